// Reproduces no function: which instruction set the kernels' vector loops
// run on.
//
// The programs are built for every x86-64 machine (128-bit SSE2 vectors).
// The twister, the polar method and the noise's exp also come compiled for
// AVX2 (256-bit vectors, no fused multiply-add) and run so on a processor
// that has it. Both forms give the same bits: the loops do integer and
// comparison work and IEEE double arithmetic that is rounded step by step
// the same way whatever the vector width.
//
// wide_vectors() is true when the AVX2 forms run: the processor has AVX2
// and the environment variable QUARNEL_VECTORS is not "baseline" when the
// first kernel asks. force_baseline_vectors(true) makes it false from then
// on (tests compare both forms this way); false restores the choice the
// processor and the environment made.
#pragma once

bool wide_vectors();
bool cpu_has_wide_vectors();
void force_baseline_vectors(bool baseline);

// A kernel's body is written once as an always-inline function and compiled
// twice: into a plain function, and into one marked QUARNEL_WIDE_TARGET,
// where the compiler vectorises it for AVX2.
#if defined(__x86_64__) && defined(__GNUC__)
#define QUARNEL_WIDE_TARGET __attribute__((target("avx2")))
#define QUARNEL_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define QUARNEL_WIDE_TARGET
#define QUARNEL_ALWAYS_INLINE inline
#endif
