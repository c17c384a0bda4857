// Reproduces std::exp and std::log to within a few units in the last place
// (the one kernel that is not bit for bit; it serves the pay noise).
//
// exp and log as branch-free inline code that the compiler can vectorise.
//
// Both are within a few units in the last place of the correctly rounded
// result (the tests check 4 ulp against the C library over their domains),
// and give the same doubles on every machine: plain IEEE arithmetic, no
// tables, no fused multiply-add (the build turns contraction off).
//
// exp_in_range(x) needs |x| <= 708 (a normal result); log_of_normal(x) needs
// a positive, finite, normal x. Outside those domains the results are
// meaningless: callers check and fall back to std::exp / std::log.
#pragma once

#include <cstdint>
#include <cstring>

namespace fast_math_detail {

inline std::uint64_t bits_of(double x)
{
  std::uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

inline double from_bits(std::uint64_t b)
{
  double x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

// ln 2 split so that k * ln2_hi is exact for |k| < 2^11.
constexpr double ln2_hi = 0x1.62e42fefa3800p-1;
constexpr double ln2_lo = 0x1.ef35793c76730p-45;

}  // namespace fast_math_detail

// exp(x) = 2^k exp(r), k the integer nearest x / ln 2 and |r| <= ln 2 / 2
// (a little more where x / ln 2 rounds), exp(r) by its Taylor polynomial of
// degree 13, whose remainder is below 2^-57 there.
inline double exp_in_range(double x)
{
  using namespace fast_math_detail;
  constexpr double shifter = 0x1.8p52;  // adding it rounds to an integer
  const double kd = x * 1.4426950408889634 + shifter;
  const double k = kd - shifter;
  const double r = (x - k * ln2_hi) - k * ln2_lo;
  double p = 1.0 / 6227020800.0;  // 1/13!
  p = p * r + 1.0 / 479001600.0;
  p = p * r + 1.0 / 39916800.0;
  p = p * r + 1.0 / 3628800.0;
  p = p * r + 1.0 / 362880.0;
  p = p * r + 1.0 / 40320.0;
  p = p * r + 1.0 / 5040.0;
  p = p * r + 1.0 / 720.0;
  p = p * r + 1.0 / 120.0;
  p = p * r + 1.0 / 24.0;
  p = p * r + 1.0 / 6.0;
  p = p * r + 0.5;
  p = p * r + 1.0;
  p = p * r + 1.0;
  // The low bits of kd hold k; (k + 1023) << 52 is 2^k as a double.
  const double scale = from_bits((bits_of(kd) + 1023u) << 52);
  return p * scale;
}

// log(x) = k ln 2 + log(m), x = 2^k m with m in [0.707, 1.414), and
// log(m) = 2 atanh(f) = 2 (f + f^3/3 + f^5/5 + ...), f = (m - 1) / (m + 1),
// |f| <= 0.172: eleven terms leave a remainder below 2^-58.
inline double log_of_normal(double x)
{
  using namespace fast_math_detail;
  // Offsetting the bits by those of 0.707 before taking the exponent moves
  // the mantissa range to [0.707, 1.414); the bias of 1024 << 52 keeps the
  // difference non-negative, so a logical shift extracts k + 1024.
  constexpr std::uint64_t offset = 0x3fe6a09e667f3bcdu;  // bits of sqrt(1/2)
  constexpr std::uint64_t bias = std::uint64_t{1024} << 52;
  const std::uint64_t b = bits_of(x);
  const std::uint64_t t = b - offset + bias;
  const std::uint64_t biased_k = t >> 52;                // k + 1024, in [1, 2047]
  const double m = from_bits(b - (biased_k << 52) + bias);  // x / 2^k
  // k exactly as a double: 2^52 + (k + 1024) from the bits, less 2^52 + 1024.
  const double k = from_bits(0x4330000000000000u | biased_k) - (0x1p52 + 1024.0);
  const double f = (m - 1.0) / (m + 1.0);
  const double s = f * f;
  double p = 1.0 / 21.0;
  p = p * s + 1.0 / 19.0;
  p = p * s + 1.0 / 17.0;
  p = p * s + 1.0 / 15.0;
  p = p * s + 1.0 / 13.0;
  p = p * s + 1.0 / 11.0;
  p = p * s + 1.0 / 9.0;
  p = p * s + 1.0 / 7.0;
  p = p * s + 1.0 / 5.0;
  p = p * s + 1.0 / 3.0;
  const double two_f = f + f;
  // log(m) = 2f + 2f s p; the small terms are added before the large ones.
  return k * ln2_hi + (k * ln2_lo + two_f * s * p + two_f);
}
