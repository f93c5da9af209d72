// Timing of the exact sensitivity pattern on a real network (not a test).
//
// Input: a text file "m n", then m rows of n stoichiometric coefficients, then
// m rows of n regulation entries ("inf" for a free entry).  The counts K and L
// come from construct_A; each trial draws the free entries from N(0, 10^2).
// With --float, the first trial is also compared with the floating-point
// cofactor adjugate (needs (L^2)(L-1)^2 doubles of workspace).  With
// --counts K L, construct_A is skipped (it takes most of a minute on a
// genome-scale network) and the top block is read from the regulation.  With
// --dump FILE, the pattern of the first trial is written there (one row of
// 0/1 characters per species).  With --threads N, the pattern is computed on
// up to N threads, and each trial is also run on one thread just before (the
// two times side by side, and whether the patterns agree).
//
// Build with the project: cmake -DQUELMAR_BUILD_BENCH=ON, target bench_exact.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "exact.hpp"
#include "amatrix.hpp"
#include "dense.hpp"
#include "lapack.hpp"

extern "C" void dgetrf_(int* m, int* n, double* a, int* lda, int* ipiv, int* info);

using quelmar::index_t;
using quelmar::Matrix;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double parse(const std::string& s) {
    return s == "inf" ? INFINITY : std::strtod(s.c_str(), nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: %s network.txt [trials] [--float] [--counts K L] [--dump FILE] "
                     "[--threads N]\n",
                     argv[0]);
        return 2;
    }
    const int trials = argc > 2 && argv[2][0] != '-' ? std::atoi(argv[2]) : 3;
    bool with_float = false;
    index_t K = -1, Lc = -1;
    const char* dump = nullptr;
    int threads = 1;
    for (int a = 2; a < argc; ++a) {
        if (std::strcmp(argv[a], "--dump") == 0 && a + 1 < argc) dump = argv[a + 1];
        if (std::strcmp(argv[a], "--threads") == 0 && a + 1 < argc)
            threads = std::max(1, std::atoi(argv[a + 1]));
        with_float |= std::strcmp(argv[a], "--float") == 0;
        if (std::strcmp(argv[a], "--counts") == 0 && a + 2 < argc) {
            K = std::atol(argv[a + 1]);
            Lc = std::atol(argv[a + 2]);
        }
    }
    quelmar::set_dgetrf(&dgetrf_);

    std::ifstream in(argv[1]);
    index_t m = 0, n = 0;
    in >> m >> n;
    Matrix<double> S(m, n), reg(m, n);
    std::string tok;
    for (index_t i = 0; i < m; ++i)
        for (index_t j = 0; j < n; ++j) {
            in >> tok;
            S(i, j) = parse(tok);
        }
    for (index_t i = 0; i < m; ++i)
        for (index_t j = 0; j < n; ++j) {
            in >> tok;
            reg(i, j) = parse(tok);
        }

    auto t0 = std::chrono::steady_clock::now();
    Matrix<double> A;
    if (K < 0) {
        A = quelmar::construct_A(S.view(), reg.view());
        K = A.rows() - m;
        Lc = A.rows() - n;
    } else {  // the top block only
        A = Matrix<double>(m + K, m + K, 0.0);
        for (index_t i = 0; i < m; ++i)
            for (index_t j = 0; j < n; ++j) A(j, i) = reg(i, j);
        with_float = false;
    }
    const index_t L = A.rows();
    std::printf("m=%td n=%td L=%td K=%td Lc=%td construct_A %.2f s\n", m, n, L, K, Lc,
                seconds_since(t0));

    std::mt19937_64 rng(12345);
    std::normal_distribution<double> normal(0.0, 10.0);
    for (int t = 0; t < trials; ++t) {
        Matrix<double> Ar = A;
        for (index_t i = 0; i < L; ++i)
            for (index_t j = 0; j < L; ++j)
                if (!(std::abs(Ar(i, j)) < INFINITY)) Ar(i, j) = normal(rng);
        const auto view = Ar.view();
        const quelmar::MatrixView<const double> top{view.data, n, m, view.stride0,
                                                    view.stride1};
        Matrix<std::uint8_t> one(m, n, 0);
        double dt1 = 0.0;
        if (threads > 1) {
            t0 = std::chrono::steady_clock::now();
            quelmar::exact_sensitivity_pattern(S.view(), top, K, Lc, one.view());
            dt1 = seconds_since(t0);
        }
        Matrix<std::uint8_t> out(m, n, 0);
        t0 = std::chrono::steady_clock::now();
        const bool ok =
            quelmar::exact_sensitivity_pattern(S.view(), top, K, Lc, out.view(), {}, threads);
        const double dt = seconds_since(t0);
        long nz = 0, differ = 0;
        for (index_t i = 0; i < m; ++i)
            for (index_t j = 0; j < n; ++j) {
                nz += out(i, j);
                differ += threads > 1 && out(i, j) != one(i, j);
            }
        std::printf("trial %d: ok=%d non-zeros %ld of %td, %.4f s", t, ok ? 1 : 0, nz, m * n,
                    dt);
        if (threads > 1)
            std::printf(" on %d threads, %.4f s on one (%ld entries differ)", threads, dt1,
                        differ);
        std::printf("\n");
        if (dump != nullptr && t == 0) {
            std::ofstream f(dump);
            for (index_t i = 0; i < m; ++i) {
                for (index_t j = 0; j < n; ++j) f << (out(i, j) ? '1' : '0');
                f << '\n';
            }
        }

        if (with_float && t == 0) {
            std::vector<double> work(static_cast<size_t>(L * L * (L - 1) * (L - 1)));
            Matrix<double> adj = Ar;
            t0 = std::chrono::steady_clock::now();
            quelmar::adjugate(adj.view(), L, work.data());
            const double dtf = seconds_since(t0);
            long fz = 0, only_exact = 0, only_float = 0;
            for (index_t i = 0; i < m; ++i)
                for (index_t j = 0; j < n; ++j) {
                    const bool f = std::abs(adj(i, j)) > quelmar::TOL;
                    fz += f;
                    only_exact += out(i, j) && !f;
                    only_float += f && !out(i, j);
                }
            std::printf("float adjugate %.2f s: non-zeros %ld, exact only %ld, "
                        "float only %ld\n",
                        dtf, fz, only_exact, only_float);
        }
    }
    return 0;
}
