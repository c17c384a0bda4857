#include "kernels/sparse_shuffle.hpp"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/fast_random.hpp"
#include "kernels/huge_pages.hpp"
#include "kernels/vector_isa.hpp"

namespace {

// Up to this many positions per draw a plain position vector is used: up to
// n = 8k it is as fast as draw_sparse or faster (for k = 10^6 about 6 ms at
// n = 4k, 10 ms at 8k, where draw_sparse takes 15 and 10 ms).  Beyond it
// draw_sparse keeps the memory at O(k), and its time falls as n grows.
constexpr std::uint64_t dense_per_draw = 8;

// The indices do not depend on what the shuffle has done so far, so they are
// drawn a block ahead and the memory a draw will touch is requested `ahead`
// draws before it is needed: the cache misses of the random slots overlap.
constexpr int block = 256;
constexpr int ahead = 16;

inline void prefetch(const void* p) {
#if defined(__GNUC__)
  __builtin_prefetch(p, 1);
#else
  (void)p;
#endif
}

// Uniform index below m as sample_index forms it: the integer part of m * u,
// kept below m in case the product rounds up to m. m * u < 2^31, so the
// conversion to a 32-bit integer is exact (and vectorises).
inline std::uint32_t index_below(std::uint32_t m, double u) {
  const auto j = static_cast<std::uint32_t>(static_cast<std::int32_t>(exact_double(m) * u));
  return j < m ? j : m - 1;
}

// j[i] = the index of draw i for m = top - i, i = 0 ... len - 1, one uniform
// a draw: a block of the engine's outputs at a time while whole uniforms
// remain in it, else across the refill one output at a time.
QUARNEL_ALWAYS_INLINE void draw_indices(mt_bulk& engine, std::uint32_t top, std::uint32_t* j, int len) {
  int i = 0;
  while (i < len) {
    if (engine.next == mt_bulk::n) mt_refill(engine);
    const int whole = std::min((mt_bulk::n - engine.next) / 2, len - i);
    if (whole == 0) {
      j[i] = index_below(top - static_cast<std::uint32_t>(i), mt_canonical(engine));
      ++i;
      continue;
    }
    const std::uint32_t* o = engine.out + engine.next;
    for (int q = 0; q < whole; ++q)
      j[i + q] = index_below(top - static_cast<std::uint32_t>(i + q), canonical_of(o[2 * q], o[2 * q + 1]));
    engine.next += 2 * whole;
    i += whole;
  }
}

// Calls take(t0, j, len) with the indices j[0 ... len - 1] of draws t0 ...
// t0 + len - 1, one uniform per draw, in draw order.
template <typename Take>
void for_each_block(std::uint32_t n, int k, std::uint32_t seed, Take take) {
  mt_bulk engine;
  mt_seed(engine, seed);
  std::uint32_t j[block];
  for (int t0 = 0; t0 < k; t0 += block) {
    const int len = std::min(k - t0, block);
    const std::uint32_t top = n - static_cast<std::uint32_t>(t0);
    in_active_form<draw_indices>(engine, top, j, len);
    take(t0, j, len);
  }
}

// The shuffle itself, over a table of n entries: the t-th draw takes the
// entry in slot j and moves the last unchosen entry into that slot.
template <typename Entry, typename Out>
void shuffle_table(Entry* table, std::uint32_t n, int k, std::uint32_t seed, Out* out) {
  for_each_block(n, k, seed, [&](int t0, const std::uint32_t* j, int len) {
    for (int i = 0; i < len; ++i) {
      if (i + ahead < len) prefetch(&table[j[i + ahead]]);
      // Unchosen entries: table[0 ... m - 1].
      const std::uint32_t m = n - static_cast<std::uint32_t>(t0 + i);
      out[t0 + i] = table[j[i]];
      table[j[i]] = table[m - 1];
    }
  });
}

void draw_dense(std::uint32_t n, int k, std::uint32_t seed, std::uint32_t* out) {
  std::vector<std::uint32_t> position(n);
  for (std::uint32_t i = 0; i < n; ++i) position[i] = i;
  shuffle_table(position.data(), n, k, seed, out);
}

struct slot {
  std::uint32_t key;
  std::uint32_t value;
};

// Positions stay below 2^31, so this key is never a real one.
constexpr std::uint32_t empty_key = 0xffffffffu;

// The entries of the slots a shuffle has displaced, in an open-addressed
// table at most half full (a slot not in it holds its own position).  The
// entry of a key is its low bits: the chosen slots are uniform, so they
// spread as well as under any hash, and the keys of the last unchosen slots,
// which fall by one per draw, probe neighbouring entries.
class displaced_slots {
 public:
  // For up to `draws` calls of take.
  explicit displaced_slots(std::size_t draws) {
    std::size_t size = 16;
    while (size < 2 * draws) size *= 2;
    map_.assign(size, slot{empty_key, 0});
  }

  // The draw that chooses slot `key` while slot `last` is the last unchosen
  // one: returns the entry of `key` and moves the entry of `last` into it.
  std::uint32_t take(std::uint32_t key, std::uint32_t last) {
    const std::size_t at_j = find(key);
    const std::uint32_t taken = map_[at_j].key == key ? map_[at_j].value : key;
    if (key != last) {
      const std::size_t at_last = find(last);
      map_[at_j] = slot{key, map_[at_last].key == last ? map_[at_last].value : last};
    }
    return taken;
  }

  void prefetch(std::uint32_t key) const { ::prefetch(&map_[key & (map_.size() - 1)]); }

 private:
  std::size_t find(std::uint32_t key) const {
    const std::size_t mask = map_.size() - 1;
    std::size_t i = key & mask;
    while (map_[i].key != key && map_[i].key != empty_key) i = (i + 1) & mask;
    return i;
  }

  std::vector<slot> map_;
};

// Room for a list of up to n + 1 entries written without a branch (each
// write goes to the next free entry, and only some are kept), of which
// only the few pages written are ever touched: heap memory, not a
// huge-page block, which a later buffer would find mostly unbacked.
struct scratch_list : std::unique_ptr<std::uint32_t[]> {
  explicit scratch_list(std::size_t n) : std::unique_ptr<std::uint32_t[]>(new std::uint32_t[n + 1]) {}
};

// keep[0 ...] = the draws t < draws whose slot out[t] lies at or above
// `tail` or whose group (out[t] >> shift) & mask has its bit set in marks,
// in order; returns how many. Written without a branch (keep needs room for
// draws + 1). The AVX-512 form takes 16 draws at a time, reading their
// marks by a gather and packing their numbers by the compress.
QUARNEL_ALWAYS_INLINE std::size_t pick_kept_in(const std::uint32_t* out, std::uint32_t draws, int shift,
                                               std::uint32_t mask, std::uint32_t tail, const std::uint64_t* marks,
                                               std::uint32_t* keep) {
  std::size_t kept = 0;
  for (std::uint32_t t = 0; t < draws; ++t) {
    const std::uint32_t group = (out[t] >> shift) & mask;
    keep[kept] = t;
    kept += (out[t] >= tail || (marks[group / 64] >> (group % 64) & 1) != 0) ? 1 : 0;
  }
  return kept;
}

QUARNEL_AVX512_TARGET std::size_t pick_kept_avx512(const std::uint32_t* out, std::uint32_t draws, int shift,
                                                   std::uint32_t mask, std::uint32_t tail,
                                                   const std::uint64_t* marks, std::uint32_t* keep) {
#if QUARNEL_HAS_AVX512
  const __m128i by = _mm_cvtsi32_si128(shift);
  const __m512i group_mask = _mm512_set1_epi32(static_cast<int>(mask));
  const __m512i low5 = _mm512_set1_epi32(31), one = _mm512_set1_epi32(1);
  const __m512i last = _mm512_set1_epi32(static_cast<int>(tail));
  const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  // The marks as 32-bit words: on x86 bit b of the 64-bit word b / 64 is
  // bit b % 32 of the 32-bit word b / 32.
  const void* words = marks;
  std::size_t kept = 0;
  for (std::uint32_t t = 0; t < draws; t += 16) {
    const std::uint32_t left = draws - t;
    const __mmask16 in = static_cast<__mmask16>(left >= 16 ? 0xffffu : (1u << left) - 1u);
    const __m512i slot = _mm512_maskz_loadu_epi32(in, out + t);
    // (The zero-masked shifts: GCC 12 warns about the plain ones.)
    const __m512i group = _mm512_and_si512(_mm512_maskz_srl_epi32(in, slot, by), group_mask);
    const __m512i word =
        _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), in, _mm512_maskz_srli_epi32(in, group, 5), words, 4);
    const __m512i bit = _mm512_and_si512(_mm512_maskz_srlv_epi32(in, word, _mm512_and_si512(group, low5)), one);
    const __mmask16 take =
        static_cast<__mmask16>(_mm512_mask_test_epi32_mask(in, bit, bit) | _mm512_mask_cmpge_epu32_mask(in, slot, last));
    _mm512_mask_compressstoreu_epi32(keep + kept, take, _mm512_add_epi32(lane, _mm512_set1_epi32(static_cast<int>(t))));
    kept += static_cast<std::size_t>(__builtin_popcount(take));
  }
  return kept;
#else
  return pick_kept_in(out, draws, shift, mask, tail, marks, keep);
#endif
}

std::size_t pick_kept(const std::uint32_t* out, std::uint32_t draws, int shift, std::uint32_t mask,
                      std::uint32_t tail, const std::uint64_t* marks, std::uint32_t* keep) {
  return in_active_form<pick_kept_in, pick_kept_avx512>(out, draws, shift, mask, tail, marks, keep);
}

// The shuffle with the slots that matter found first.  The indices do not
// depend on what the shuffle has done, so all are drawn before it runs.  A
// slot is read again after a draw chooses it only if a later draw chooses it
// too, or if it is one of the last k slots, which the draws take one by one
// as the last unchosen slot; every other draw takes its index as it is.  The
// slots chosen more than once are found with one bit per group of positions
// (at most 64 bits per draw; two slots of one group count as a repeat, which
// costs time, not exactness), and the shuffle runs over the draws of
// repeated groups and of the last k slots alone: about k^2 / n draws, whose
// displaced entries fit the cache, where the whole shuffle's would not.
void draw_sparse(std::uint32_t n, int k, std::uint32_t seed, std::uint32_t* out) {
  if (k == 0) return;
  const auto draws = static_cast<std::uint32_t>(k);
  for_each_block(n, k, seed, [out](int t0, const std::uint32_t* j, int len) { std::copy(j, j + len, out + t0); });

  int shift = 0;
  while ((static_cast<std::uint64_t>(n - 1) >> shift) >= 64 * static_cast<std::uint64_t>(draws)) ++shift;
  const std::uint32_t tail = n - draws;  // the last k slots start here
  // A group each time a draw falls in it again, written without a branch:
  // every draw writes the next free entry, and only a repeat keeps it.
  const scratch_list again(draws);
  std::size_t repeats = 0, in_tail = 0;
  {
    big_buffer<std::uint64_t> seen(static_cast<std::size_t>(((n - 1) >> shift) / 64) + 1);
    std::fill(seen.begin(), seen.end(), std::uint64_t{0});
    std::uint64_t* words = seen.data();
    std::uint32_t* found = again.get();
    const std::uint32_t* drawn = out;
    for (std::uint32_t t = 0; t < draws; ++t) {
      if (t + ahead < draws) prefetch(&words[(drawn[t + ahead] >> shift) / 64]);
      const std::uint32_t group = drawn[t] >> shift;
      const std::uint64_t bit = std::uint64_t{1} << (group % 64);
      const std::uint64_t word = words[group / 64];
      found[repeats] = group;
      repeats += (word & bit) != 0 ? 1 : 0;
      words[group / 64] = word | bit;
      in_tail += drawn[t] >= tail ? 1 : 0;
    }
  }
  // The repeated groups as bits at their low bits, 256 bits per group: the
  // few groups that share a bit with one are kept as well.
  std::size_t bits = 64;
  while (bits < 256 * repeats) bits *= 2;
  const auto bit_mask = static_cast<std::uint32_t>(bits - 1);
  std::vector<std::uint64_t> repeated(bits / 64, 0);
  for (std::size_t i = 0; i < repeats; ++i) {
    const std::uint32_t group = again[i];
    repeated[(group & bit_mask) / 64] |= std::uint64_t{1} << (group % 64);
  }

  // A group drawn m >= 2 times is in `again` m - 1 times: the draws kept
  // number about in_tail + 2 * repeats (at most all of them), written as
  // the repeats were.
  const scratch_list kept_draws(draws);
  const std::size_t kept = pick_kept(out, draws, shift, bit_mask, tail, repeated.data(), kept_draws.get());
  displaced_slots map(kept);
  for (std::size_t i = 0; i < kept; ++i) {
    if (i + ahead < kept) map.prefetch(out[kept_draws[i + ahead]]);
    const std::uint32_t t = kept_draws[i];
    out[t] = map.take(out[t], n - 1 - t);
  }
}

}  // namespace

namespace {

void check_arguments(const char* name, std::uint64_t n, int k) {
  const std::string who = std::string(name) + "(): ";
  if (n >= (std::uint64_t{1} << 31))
    throw std::invalid_argument(who + "n must be below 2^31, got " + std::to_string(n));
  if (k < 0) throw std::invalid_argument(who + "k must be >= 0, got " + std::to_string(k));
  if (static_cast<std::uint64_t>(k) > n)
    throw std::invalid_argument(who + "k must be <= n = " + std::to_string(n) + ", got " + std::to_string(k));
}

}  // namespace

void draw_positions(std::uint64_t n, int k, std::uint32_t seed, std::vector<std::uint32_t>& out) {
  check_arguments("draw_positions", n, k);
  out.assign(static_cast<std::size_t>(k), 0);
  draw_positions(n, k, seed, out.data());
}

void draw_positions(std::uint64_t n, int k, std::uint32_t seed, std::uint32_t* out) {
  check_arguments("draw_positions", n, k);
  const auto size = static_cast<std::uint32_t>(n);
  if (n <= dense_per_draw * static_cast<std::uint64_t>(k))
    draw_dense(size, k, seed, out);
  else
    draw_sparse(size, k, seed, out);
}

void draw_from_table(std::uint16_t* table, std::uint64_t n, int k, std::uint32_t seed, std::uint32_t* out) {
  check_arguments("draw_from_table", n, k);
  shuffle_table(table, static_cast<std::uint32_t>(n), k, seed, out);
}

void draw_from_table(std::uint32_t* table, std::uint64_t n, int k, std::uint32_t seed, std::uint32_t* out) {
  check_arguments("draw_from_table", n, k);
  shuffle_table(table, static_cast<std::uint32_t>(n), k, seed, out);
}
