// Reproduces std::mt19937 and libstdc++'s std::generate_canonical<double, 53>
// over it, bit for bit.
//
// A Mersenne twister that makes its outputs in blocks, and the uniform
// variate libstdc++ draws from it.
//
// mt_bulk seeded with s gives exactly the outputs of std::mt19937(s), in the
// same order; it only avoids the per-call bookkeeping of the standard engine
// by twisting and tempering 624 outputs at a time.
//
// mt_canonical(engine) is exactly std::generate_canonical<double, 53> over
// that engine as libstdc++ computes it: two outputs lo, then hi, and
// (lo + hi * 2^32) * 2^-64 in double, with a result that rounds up to 1
// replaced by the largest double below 1.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

struct mt_bulk {
  static constexpr int n = 624;
  std::uint32_t state[n];
  std::uint32_t out[n];
  int next = n;  // index of the next unread output in `out`
};

void mt_seed(mt_bulk& engine, std::uint32_t seed);

// Twists the state and tempers the next 624 outputs into `out`.
void mt_refill(mt_bulk& engine);

inline std::uint32_t mt_next(mt_bulk& engine)
{
  if (engine.next == mt_bulk::n) mt_refill(engine);
  return engine.out[engine.next++];
}

// static_cast<double>(v), written with bit operations that loops vectorise:
// 2^52 + v as a double, less 2^52. Exact for every 32-bit v.
inline double exact_double(std::uint32_t v)
{
  const std::uint64_t b = 0x4330000000000000u | v;
  double d;
  std::memcpy(&d, &b, sizeof d);
  return d - 0x1p52;
}

// The uniform mt_canonical makes of the outputs lo, then hi, in a form that
// loops over a block of outputs vectorise. The double sum lo + hi * 2^32 is
// rounded once, so the result never decreases as that 64-bit integer grows.
inline double canonical_of(std::uint32_t lo, std::uint32_t hi)
{
  const double u = (exact_double(lo) + exact_double(hi) * 4294967296.0) / 18446744073709551616.0;
  // A u that rounded up to 1 becomes the largest double below 1.
  return std::min(u, 0x1.fffffffffffffp-1);
}

inline double mt_canonical(mt_bulk& engine)
{
  const std::uint32_t lo = mt_next(engine);
  return canonical_of(lo, mt_next(engine));
}
