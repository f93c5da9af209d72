// Dense modular multiply-accumulate: packed gemm (portable and AVX2) and the
// vector operations on rows of residues.
#include <algorithm>

#include "modelim.hpp"
#include "vector_clones.hpp"

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#include <immintrin.h>
#define QUELMAR_EXACT_X86 1
#endif

namespace quelmar::modp {

namespace {

template <index_t NR>
void pack_slivers(const double* B, index_t ldb, index_t kd, index_t j0, index_t w,
                  double* dst) {
    for (index_t s = 0; s * NR < w; ++s, dst += kd * NR) {
        const index_t cols = std::min(NR, w - s * NR);
        for (index_t t = 0; t < kd; ++t) {
            const double* src = B + t * ldb + j0 + s * NR;
            for (index_t c = 0; c < NR; ++c) dst[t * NR + c] = c < cols ? src[c] : 0.0;
        }
    }
}

// C = reduce(C + A * B): A is mr x kd (row stride lda), B kd x nc (ldb),
// C mr x nc (ldc); entries of A, B, C are centred residues.  Portable version:
// register tiles of MR x NR over B packed in slivers.
void gemm_generic(const Field& F, index_t mr, index_t nc, index_t kd, const double* A,
                  index_t lda, const double* B, index_t ldb, double* C, index_t ldc,
                  Vec<double>& pack) {
    constexpr index_t MR = 4, NR = 8, NC = 256;
    pack.resize(kd * NC);
    for (index_t jc = 0; jc < nc; jc += NC) {
        const index_t w = std::min(NC, nc - jc);
        pack_slivers<NR>(B, ldb, kd, jc, w, pack.data());
        for (index_t i0 = 0; i0 < mr; i0 += MR) {
            const index_t rows = std::min(MR, mr - i0);
            const double* a[MR];
            for (index_t r = 0; r < MR; ++r) a[r] = A + (i0 + std::min(r, rows - 1)) * lda;
            for (index_t s = 0; s * NR < w; ++s) {
                const double* bp = pack.data() + s * kd * NR;
                const index_t cols = std::min(NR, w - s * NR);
                double* c0 = C + i0 * ldc + jc + s * NR;
                double acc[MR][NR] = {};
                for (index_t r = 0; r < rows; ++r)
                    for (index_t c = 0; c < cols; ++c) acc[r][c] = c0[r * ldc + c];
                for (index_t t0 = 0; t0 < kd; t0 += kChunk) {
                    const index_t t1 = std::min(kd, t0 + kChunk);
                    for (index_t t = t0; t < t1; ++t) {
                        const double* b = bp + t * NR;
                        for (index_t r = 0; r < MR; ++r) {
                            const double x = a[r][t];
                            for (index_t c = 0; c < NR; ++c) acc[r][c] += x * b[c];
                        }
                    }
                    for (index_t r = 0; r < MR; ++r)
                        for (index_t c = 0; c < NR; ++c) acc[r][c] = F.reduce(acc[r][c]);
                }
                for (index_t r = 0; r < rows; ++r)
                    for (index_t c = 0; c < cols; ++c) c0[r * ldc + c] = acc[r][c];
            }
        }
    }
}

#ifdef QUELMAR_EXACT_X86

// The same with AVX2 and FMA (all products and sums are exact integers, so
// fused and separate operations agree): 6 x 8 register tiles over B packed in
// slivers of 8 columns.
__attribute__((target("avx2,fma"))) void gemm_avx2(const Field& F, index_t mr, index_t nc,
                                                   index_t kd, const double* A, index_t lda,
                                                   const double* B, index_t ldb, double* C,
                                                   index_t ldc, Vec<double>& pack) {
    constexpr index_t MR = 6, NR = 8, NC = 256;
    const __m256d vp = _mm256_set1_pd(F.pd);
    const __m256d vpinv = _mm256_set1_pd(F.pinv);
    pack.resize(kd * NC);
    for (index_t jc = 0; jc < nc; jc += NC) {
        const index_t w = std::min(NC, nc - jc);
        const index_t slivers = (w + NR - 1) / NR;
        pack_slivers<NR>(B, ldb, kd, jc, w, pack.data());
        for (index_t i0 = 0; i0 < mr; i0 += MR) {
            const index_t rows = std::min(MR, mr - i0);
            for (index_t s = 0; s < slivers; ++s) {
                const double* bp = pack.data() + s * kd * NR;
                const index_t j0 = jc + s * NR;
                const index_t cols = std::min(NR, nc - j0);
                double* c0 = C + i0 * ldc + j0;
                if (rows == MR && cols == NR) {
                    __m256d acc[MR][2];
                    for (index_t r = 0; r < MR; ++r) {
                        acc[r][0] = _mm256_loadu_pd(c0 + r * ldc);
                        acc[r][1] = _mm256_loadu_pd(c0 + r * ldc + 4);
                    }
                    const double* a0 = A + i0 * lda;
                    for (index_t t0 = 0; t0 < kd; t0 += kChunk) {
                        const index_t t1 = std::min(kd, t0 + kChunk);
                        for (index_t t = t0; t < t1; ++t) {
                            const __m256d b0 = _mm256_loadu_pd(bp + t * NR);
                            const __m256d b1 = _mm256_loadu_pd(bp + t * NR + 4);
                            for (index_t r = 0; r < MR; ++r) {
                                const __m256d a = _mm256_broadcast_sd(a0 + r * lda + t);
                                acc[r][0] = _mm256_fmadd_pd(a, b0, acc[r][0]);
                                acc[r][1] = _mm256_fmadd_pd(a, b1, acc[r][1]);
                            }
                        }
                        for (index_t r = 0; r < MR; ++r)
                            for (int h = 0; h < 2; ++h) {
                                const __m256d q = _mm256_round_pd(
                                    _mm256_mul_pd(acc[r][h], vpinv),
                                    _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
                                acc[r][h] = _mm256_fnmadd_pd(q, vp, acc[r][h]);
                            }
                    }
                    for (index_t r = 0; r < MR; ++r) {
                        _mm256_storeu_pd(c0 + r * ldc, acc[r][0]);
                        _mm256_storeu_pd(c0 + r * ldc + 4, acc[r][1]);
                    }
                } else {
                    double acc[MR][NR] = {};
                    for (index_t r = 0; r < rows; ++r)
                        for (index_t c = 0; c < cols; ++c) acc[r][c] = c0[r * ldc + c];
                    for (index_t t0 = 0; t0 < kd; t0 += kChunk) {
                        const index_t t1 = std::min(kd, t0 + kChunk);
                        for (index_t t = t0; t < t1; ++t)
                            for (index_t r = 0; r < rows; ++r) {
                                const double a = A[(i0 + r) * lda + t];
                                for (index_t c = 0; c < NR; ++c)
                                    acc[r][c] += a * bp[t * NR + c];
                            }
                        for (index_t r = 0; r < rows; ++r)
                            for (index_t c = 0; c < NR; ++c) acc[r][c] = F.reduce(acc[r][c]);
                    }
                    for (index_t r = 0; r < rows; ++r)
                        for (index_t c = 0; c < cols; ++c) c0[r * ldc + c] = acc[r][c];
                }
            }
        }
    }
}

bool cpu_has_avx2() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    }();
    return has;
}

#endif

void gemm_serial(const Field& F, index_t mr, index_t nc, index_t kd, const double* A,
                 index_t lda, const double* B, index_t ldb, double* C, index_t ldc,
                 Vec<double>& pack) {
#ifdef QUELMAR_EXACT_X86
    if (cpu_has_avx2()) {
        gemm_avx2(F, mr, nc, kd, A, lda, B, ldb, C, ldc, pack);
        return;
    }
#endif
    gemm_generic(F, mr, nc, kd, A, lda, B, ldb, C, ldc, pack);
}

}  // namespace

void gemm(const Field& F, index_t mr, index_t nc, index_t kd, const double* A, index_t lda,
          const double* B, index_t ldb, double* C, index_t ldc, Vec<double>& pack,
          Team* team) {
    if (mr <= 0 || nc <= 0 || kd <= 0) return;
    // Whole slivers of 8 columns to each piece (an entry's sums and
    // reductions are the same in every tile, edge tiles included).
    share_out(team, mr * nc * kd >= kThreadedWork, nc, 8,
              [&](index_t j0, index_t j1, bool on_caller) {
                  thread_local Vec<double> own;  // a helper's
                  gemm_serial(F, mr, j1 - j0, kd, A, lda, B + j0, ldb, C + j0, ldc,
                              on_caller ? pack : own);
              });
}

// y = reduce(y + f * x) over n entries.
QUELMAR_VECTOR_CLONES
void axpy(const Field& F, index_t n, double f, const double* x, double* y) {
    const double pd = F.pd, pinv = F.pinv;
    for (index_t k = 0; k < n; ++k) {
        const double t = y[k] + f * x[k];
        y[k] = t - ((t * pinv + kMagic) - kMagic) * pd;
    }
}

QUELMAR_VECTOR_CLONES
void add_scaled(index_t n, double f, const double* x, double* y) {
    for (index_t k = 0; k < n; ++k) y[k] += f * x[k];
}

QUELMAR_VECTOR_CLONES
void reduce_n(const Field& F, index_t n, double* y) {
    const double pd = F.pd, pinv = F.pinv;
    for (index_t k = 0; k < n; ++k) y[k] -= ((y[k] * pinv + kMagic) - kMagic) * pd;
}

}  // namespace quelmar::modp
