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

#include <cmath>
#include <cstdint>

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

inline double mt_canonical(mt_bulk& engine)
{
  const double lo = static_cast<double>(mt_next(engine));
  const double hi = static_cast<double>(mt_next(engine));
  const double sum = lo + hi * 4294967296.0;
  const double u = sum / 18446744073709551616.0;
  return u >= 1.0 ? 0x1.fffffffffffffp-1 : u;
}
