// Non-owning strided views and small owning matrices for the numeric kernels.
//
// Strides are in bytes (as NumPy reports them) and may be negative.  Views are
// trivially copyable aggregates and are passed by value.  Owning storage is
// Vec<T>, a std::vector indexed by index_t, and Matrix<T>, row-major.  Boolean data is std::uint8_t.
#pragma once

#include <cassert>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

namespace quelmar {

using index_t = std::ptrdiff_t;

template <class T>
struct VectorView {
    using Byte = std::conditional_t<std::is_const_v<T>, const char, char>;

    T* data = nullptr;
    index_t size = 0;
    index_t stride = static_cast<index_t>(sizeof(T));

    T& operator()(index_t i) const {
        assert(i >= 0 && i < size);
        return *reinterpret_cast<T*>(reinterpret_cast<Byte*>(data) + i * stride);
    }
    operator VectorView<const T>() const { return {data, size, stride}; }
};

template <class T>
struct MatrixView {
    using Byte = std::conditional_t<std::is_const_v<T>, const char, char>;

    T* data = nullptr;
    index_t rows = 0;
    index_t cols = 0;
    index_t stride0 = 0;  // bytes between rows
    index_t stride1 = static_cast<index_t>(sizeof(T));  // bytes between columns

    T& operator()(index_t i, index_t j) const {
        assert(i >= 0 && i < rows && j >= 0 && j < cols);
        return *reinterpret_cast<T*>(reinterpret_cast<Byte*>(data) + i * stride0 +
                                     j * stride1);
    }
    VectorView<T> row(index_t i) const {
        assert(i >= 0 && i < rows);
        return {&(*this)(i, 0), cols, stride1};
    }
    MatrixView transposed() const { return {data, cols, rows, stride1, stride0}; }
    /// The rows x cols block whose first entry is (i, j).
    MatrixView block(index_t i, index_t j, index_t nrows, index_t ncols) const {
        assert(i >= 0 && j >= 0 && nrows >= 0 && ncols >= 0 && i + nrows <= rows &&
               j + ncols <= cols);
        return {reinterpret_cast<T*>(reinterpret_cast<Byte*>(data) + i * stride0 + j * stride1),
                nrows, ncols, stride0, stride1};
    }
    bool is_c_contiguous() const {
        const auto item = static_cast<index_t>(sizeof(T));
        return (cols <= 1 || stride1 == item) && (rows <= 1 || stride0 == cols * item);
    }
    operator MatrixView<const T>() const { return {data, rows, cols, stride0, stride1}; }
};

/// Number of elements of a rows x cols matrix of T.  Throws
/// std::invalid_argument for a negative extent and std::bad_alloc when the
/// matrix could not fit in the address space (rows * cols * sizeof(T)
/// overflowing included), before anything is allocated.
template <class T>
std::size_t checked_elements(index_t rows, index_t cols) {
    if (rows < 0 || cols < 0) throw std::invalid_argument("negative matrix extent");
    index_t count = 0;
    if (__builtin_mul_overflow(rows, cols, &count) ||
        count > PTRDIFF_MAX / static_cast<index_t>(sizeof(T)))
        throw std::bad_alloc();
    return static_cast<std::size_t>(count);
}

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
    Vec(Base values) : Base(std::move(values)) {}  // NOLINT: a std::vector is a Vec

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
    void reserve(I n) {
        Base::reserve(to_size(n));
    }
    template <std::integral I>
    void assign(I n, const T& value) {
        Base::assign(to_size(n), value);
    }
    using Base::assign;
};

/// Row-major owning matrix.
template <class T>
class Matrix {
public:
    Matrix() = default;
    Matrix(index_t rows, index_t cols, T fill = T{})
        : rows_(rows), cols_(cols), data_(checked_elements<T>(rows, cols), fill) {}

    index_t rows() const { return rows_; }
    index_t cols() const { return cols_; }
    T* data() { return data_.data(); }
    const T* data() const { return data_.data(); }

    T& operator()(index_t i, index_t j) {
        assert(i >= 0 && i < rows_ && j >= 0 && j < cols_);
        return data_[static_cast<std::size_t>(i * cols_ + j)];
    }
    const T& operator()(index_t i, index_t j) const {
        assert(i >= 0 && i < rows_ && j >= 0 && j < cols_);
        return data_[static_cast<std::size_t>(i * cols_ + j)];
    }

    MatrixView<T> view() {
        const auto item = static_cast<index_t>(sizeof(T));
        return {data_.data(), rows_, cols_, cols_ * item, item};
    }
    MatrixView<const T> view() const {
        const auto item = static_cast<index_t>(sizeof(T));
        return {data_.data(), rows_, cols_, cols_ * item, item};
    }

private:
    index_t rows_ = 0;
    index_t cols_ = 0;
    std::vector<T> data_;
};

}  // namespace quelmar
