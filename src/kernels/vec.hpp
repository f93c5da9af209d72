// A std::vector that takes the kernels' signed indices and extents as they
// are, so that index arithmetic in index_t needs no cast at every access.
#pragma once

#include <cassert>
#include <concepts>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <vector>

#include "view.hpp"

namespace quelmar {

/// std::vector<T> indexed, sized and resized by any integer type (an index
/// or extent must not be negative).  It is a std::vector, and may be passed
/// where one is expected.
template <class T>
class Vec : public std::vector<T> {
    using Base = std::vector<T>;

    template <std::integral I>
    static std::size_t to_size(I n) {
        assert(n >= 0);
        return static_cast<std::size_t>(n);
    }

public:
    Vec() = default;
    template <std::integral I>
    explicit Vec(I n) : Base(to_size(n)) {}
    template <std::integral I>
    Vec(I n, const T& value) : Base(to_size(n), value) {}
    template <std::input_iterator It>
    Vec(It first, It last) : Base(first, last) {}
    Vec(std::initializer_list<T> values) : Base(values) {}

    template <std::integral I>
    T& operator[](I i) {
        return Base::operator[](to_size(i));
    }
    template <std::integral I>
    const T& operator[](I i) const {
        return Base::operator[](to_size(i));
    }

    /// The number of elements as an index_t.
    index_t ssize() const { return static_cast<index_t>(Base::size()); }

    template <std::integral I>
    void resize(I n) {
        Base::resize(to_size(n));
    }
    template <std::integral I>
    void resize(I n, const T& value) {
        Base::resize(to_size(n), value);
    }
    template <std::integral I>
    void assign(I n, const T& value) {
        Base::assign(to_size(n), value);
    }
    using Base::assign;
};

}  // namespace quelmar
