#include "kernels/value_buckets.hpp"

#include "kernels/vector_isa.hpp"

namespace {

// `mixed` has every bit set: a miss keeps its position, with no branch.
QUARNEL_ALWAYS_INLINE std::size_t read_buckets_in(const std::uint32_t* id, int shift, const std::uint32_t* positions,
                                                  std::size_t n, std::uint32_t* out, std::uint32_t* missed)
{
  std::size_t count = 0;
  for (std::size_t l = 0; l < n; ++l) {
    const std::uint32_t position = positions[l];
    const std::uint32_t got = id[position >> shift];
    const std::uint32_t miss = got == value_buckets::mixed ? 1u : 0u;
    missed[count] = static_cast<std::uint32_t>(l);
    count += miss;
    out[l] = got & (position | (miss - 1u));
  }
  return count;
}

QUARNEL_AVX512_TARGET std::size_t read_buckets_avx512(const std::uint32_t* id, int shift,
                                                      const std::uint32_t* positions, std::size_t n,
                                                      std::uint32_t* out, std::uint32_t* missed)
{
#if QUARNEL_HAS_AVX512
  const __m128i by = _mm_cvtsi32_si128(shift);
  const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m512i all = _mm512_set1_epi32(-1);
  std::size_t count = 0;
  for (std::size_t l = 0; l < n; l += 16) {
    const std::size_t left = n - l;
    const __mmask16 in = static_cast<__mmask16>(left >= 16 ? 0xffffu : (1u << left) - 1u);
    const __m512i position = _mm512_maskz_loadu_epi32(in, positions + l);
    // (The zero-masked shift: GCC 12 warns about the plain one.)
    const __m512i got =
        _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), in, _mm512_maskz_srl_epi32(in, position, by), id, 4);
    const __mmask16 miss = _mm512_mask_cmpeq_epi32_mask(in, got, all);
    _mm512_mask_compressstoreu_epi32(missed + count, miss,
                                     _mm512_add_epi32(lane, _mm512_set1_epi32(static_cast<int>(l))));
    count += static_cast<std::size_t>(__builtin_popcount(miss));
    _mm512_mask_storeu_epi32(out + l, in, _mm512_mask_blend_epi32(miss, got, position));
  }
  return count;
#else
  return read_buckets_in(id, shift, positions, n, out, missed);
#endif
}

}  // namespace

std::size_t read_buckets(const value_buckets& buckets, const std::uint32_t* positions, std::size_t n,
                         std::uint32_t* out, std::uint32_t* missed)
{
  return in_active_form<read_buckets_in, read_buckets_avx512>(buckets.id.data(), buckets.shift, positions, n, out,
                                                              missed);
}
