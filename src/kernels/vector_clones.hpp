// The loops over residues are compiled twice, for AVX2 and for the
// baseline (and for AVX-512 where GCC can), and the processor picks one at
// load time (the results agree: every operation is exact or correctly rounded
// in each).  Private to the modular kernels.
#pragma once

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define QUELMAR_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define QUELMAR_VECTOR_CLONES
#endif
