// Reproduces no function: which instruction set the kernels' vector loops
// run on.
//
// The programs are built for every x86-64 machine (128-bit SSE2 vectors).
// The twister, the polar method, the noise's exp, the sample's indices and
// the sampler's series terms and their test also come compiled for AVX2
// (256-bit vectors) and for AVX-512 (512-bit vectors), without fused
// multiply-adds, and run in the widest form the processor has. All forms give the same bits: the loops do integer and
// comparison work and IEEE double arithmetic that is rounded step by step
// the same way whatever the vector width.
//
// active_vectors() is the form that runs: the widest the processor offers
// (cpu_vectors()), at most the one QUARNEL_VECTORS names in the environment
// when the first kernel asks ("baseline" or "avx2"; any other value or none
// sets no limit), and at most the one limit_vectors set last (tests compare
// the forms this way; limit_vectors(vector_width::avx512) lifts the limit).
#pragma once

enum class vector_width { baseline, avx2, avx512 };

vector_width active_vectors();
vector_width cpu_vectors();
void limit_vectors(vector_width most);
const char* vector_name(vector_width width);

// A kernel's body is written once as an always-inline function and compiled
// three times: into a plain function and into ones marked
// QUARNEL_AVX2_TARGET and QUARNEL_AVX512_TARGET, where the compiler
// vectorises it for those instruction sets.
#if defined(__x86_64__) && defined(__GNUC__)
#define QUARNEL_AVX2_TARGET __attribute__((target("avx2")))
#define QUARNEL_AVX512_TARGET \
  __attribute__((target("avx512f,avx512dq,avx512vl,avx512bw,prefer-vector-width=512")))
#define QUARNEL_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define QUARNEL_AVX2_TARGET
#define QUARNEL_AVX512_TARGET
#define QUARNEL_ALWAYS_INLINE inline
#endif
