// Reproduces no function: which instruction set the kernels' vector loops
// run on.
//
// The programs are built for every x86-64 machine (128-bit SSE2 vectors).
// The kernels' loops also come compiled for AVX2 (256-bit vectors) and for
// AVX-512 (512-bit vectors), without fused multiply-adds, and run in the
// widest form the processor has. All forms give the same bits: the loops do
// integer and comparison work and IEEE double arithmetic that is rounded
// step by step the same way whatever the vector width.
//
// active_vectors() is the form that runs: the widest the processor offers
// (cpu_vectors()), at most the one QUARNEL_VECTORS names in the environment
// when the first kernel asks ("baseline" or "avx2"; any other value or none
// sets no limit), and at most the one limit_vectors set last (tests compare
// the forms this way; limit_vectors(vector_width::avx512) lifts the limit).
#pragma once

#include <utility>

enum class vector_width { baseline, avx2, avx512 };

vector_width active_vectors();
vector_width cpu_vectors();
void limit_vectors(vector_width most);
const char* vector_name(vector_width width);

// QUARNEL_HAS_AVX512 is 1 where the compiler builds the AVX2 and AVX-512
// forms (x86-64, GCC or Clang), else 0: then every kernel runs its
// baseline form. Code written with AVX-512 intrinsics stands under
// `#if QUARNEL_HAS_AVX512`, with the plain body under `#else` so that the
// form still compiles where it never runs. (Defining it as 0 on the command
// line builds that way on x86-64 too.)
#if !defined(QUARNEL_HAS_AVX512)
#if defined(__x86_64__) && defined(__GNUC__)
#define QUARNEL_HAS_AVX512 1
#else
#define QUARNEL_HAS_AVX512 0
#endif
#endif

#if QUARNEL_HAS_AVX512
#include <immintrin.h>
#define QUARNEL_AVX2_TARGET __attribute__((target("avx2")))
#define QUARNEL_AVX512_TARGET \
  __attribute__((target("avx512f,avx512dq,avx512vl,avx512bw,prefer-vector-width=512")))
#else
#define QUARNEL_AVX2_TARGET
#define QUARNEL_AVX512_TARGET
#endif

#if defined(__GNUC__)
#define QUARNEL_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define QUARNEL_ALWAYS_INLINE inline
#endif

namespace vector_isa_detail {

template <auto Body, typename... Args>
QUARNEL_AVX512_TARGET auto avx512(Args&&... args)
{
  return Body(std::forward<Args>(args)...);
}

template <auto Body, typename... Args>
QUARNEL_AVX2_TARGET auto avx2(Args&&... args)
{
  return Body(std::forward<Args>(args)...);
}

}  // namespace vector_isa_detail

// Body(args...) in the form active_vectors() names. A kernel's body is
// written once as a QUARNEL_ALWAYS_INLINE function; this compiles it three
// times, into a function marked QUARNEL_AVX512_TARGET, one marked
// QUARNEL_AVX2_TARGET and the caller itself, where the compiler vectorises
// it for those instruction sets, and calls the one that is active.
// Avx512, when given, takes Body's place in the AVX-512 form: a body of its
// own written with intrinsics (it must give the same results as Body).
template <auto Body, auto Avx512 = Body, typename... Args>
QUARNEL_ALWAYS_INLINE auto in_active_form(Args&&... args)
{
  switch (active_vectors()) {
    case vector_width::avx512:
      return vector_isa_detail::avx512<Avx512>(std::forward<Args>(args)...);
    case vector_width::avx2:
      return vector_isa_detail::avx2<Body>(std::forward<Args>(args)...);
    default:
      return Body(std::forward<Args>(args)...);
  }
}
