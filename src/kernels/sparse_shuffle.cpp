#include "kernels/sparse_shuffle.hpp"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>

#include "kernels/fast_random.hpp"
#include "kernels/huge_pages.hpp"
#include "kernels/vector_isa.hpp"

namespace {

// Up to this many positions per draw a plain position vector is used: at
// n = 4k it holds 16 bytes per draw, about what the map below holds, and it is
// the faster of the two (for k = 10^6 about 9 ms against 15 ms).  Beyond it
// the map keeps the memory at O(k) and its time hardly grows with n.
constexpr std::uint64_t dense_per_draw = 4;

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

QUARNEL_AVX512_TARGET void draw_indices_avx512(mt_bulk& engine, std::uint32_t top, std::uint32_t* j, int len) {
  draw_indices(engine, top, j, len);
}
QUARNEL_AVX2_TARGET void draw_indices_avx2(mt_bulk& engine, std::uint32_t top, std::uint32_t* j, int len) {
  draw_indices(engine, top, j, len);
}
void draw_indices_baseline(mt_bulk& engine, std::uint32_t top, std::uint32_t* j, int len) {
  draw_indices(engine, top, j, len);
}

// Calls take(t0, j, len) with the indices j[0 ... len - 1] of draws t0 ...
// t0 + len - 1, one uniform per draw, in draw order.
template <typename Take>
void for_each_block(std::uint32_t n, int k, std::uint32_t seed, Take take) {
  mt_bulk engine;
  mt_seed(engine, seed);
  std::uint32_t j[block];
  const vector_width width = active_vectors();
  for (int t0 = 0; t0 < k; t0 += block) {
    const int len = std::min(k - t0, block);
    const std::uint32_t top = n - static_cast<std::uint32_t>(t0);
    if (width == vector_width::avx512)
      draw_indices_avx512(engine, top, j, len);
    else if (width == vector_width::avx2)
      draw_indices_avx2(engine, top, j, len);
    else
      draw_indices_baseline(engine, top, j, len);
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

// The same shuffle, keeping only the slots whose position has changed.  Each
// draw writes at most one new slot, so k draws fill at most k of the >= 2k
// entries and every probe sequence ends at an empty entry.  The entry of a key
// is its low bits: the drawn keys are uniform, so they spread as well as under
// any hash, and the keys m - 1 of the refills, which fall by one per draw,
// probe neighbouring entries.
void draw_sparse(std::uint32_t n, int k, std::uint32_t seed, std::uint32_t* out) {
  std::size_t size = 16;
  while (size < 2 * static_cast<std::size_t>(k)) size *= 2;
  const std::size_t mask = size - 1;
  big_buffer<slot> map(size);
  std::fill(map.begin(), map.end(), slot{empty_key, 0});
  const auto find = [&map, mask](std::uint32_t key) {
    std::size_t i = key & mask;
    while (map[i].key != key && map[i].key != empty_key) i = (i + 1) & mask;
    return i;
  };

  for_each_block(n, k, seed, [&](int t0, const std::uint32_t* j, int len) {
    for (int i = 0; i < len; ++i) {
      if (i + ahead < len) prefetch(&map[j[i + ahead] & mask]);
      const std::uint32_t m = n - static_cast<std::uint32_t>(t0 + i);
      const std::uint32_t key = j[i];
      const std::size_t at_j = find(key);
      out[t0 + i] = map[at_j].key == key ? map[at_j].value : key;
      const std::uint32_t last = m - 1;
      if (key != last) {
        const std::size_t at_last = find(last);
        map[at_j] = slot{key, map[at_last].key == last ? map[at_last].value : last};
      }
    }
  });
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
