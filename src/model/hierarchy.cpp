#include "model/hierarchy.hpp"

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

using arma::Col;
using arma::uword;

namespace {

constexpr uword n_entries = 20;
constexpr uword max_levels = 19;  // entry 19 holds the level count
constexpr double two_pow_31 = 2147483648.0;

}  // namespace

Col<double> s_func(double a, double b)
{
  Col<double> span(n_entries);
  double product = 1.0;
  for (uword i = 0; i < n_entries; ++i) {
    const double k = static_cast<double>(i + 2);
    product *= std::exp(k * b) * a;
    span[i] = product;
  }
  return span;
}

Col<uword> hierarchy_func(const int& n, const double& base, const Col<double>& span)
{
  if (n < 0)
    throw std::invalid_argument("hierarchy_func(): n must be >= 0, got " + std::to_string(n));
  if (span.n_elem < n_entries)
    throw std::invalid_argument("hierarchy_func(): span must have 20 entries, got " +
                                std::to_string(span.n_elem));

  Col<uword> counts(n_entries, arma::fill::zeros);
  uword* c = counts.memptr();
  const uword size = static_cast<uword>(n);

  // Written this way round so that NaN also lands here: no bottom size that a
  // 32-bit count can hold, so the whole firm sits on one level.
  if (!(base >= 0.0 && base < two_pow_31)) {
    if (size > 0) {
      c[0] = size;
      c[19] = 1;
    }
    return counts;
  }

  const std::int32_t m = static_cast<std::int32_t>(base);
  c[0] = (m == 0) ? 1 : static_cast<uword>(m);
  // The upper levels hang off the truncated bottom size, not off entry 0:
  // with m = 0 the bottom holds one member but nobody stands above it.
  const double dividend = static_cast<double>(m);
  const double size_d = static_cast<double>(size);

  uword levels = max_levels;
  for (uword i = 0; i + 1 < max_levels; ++i) {
    const double q = dividend / span[i];
    uword v = 0;
    if (q >= 1.0)  // false for NaN too
      // Anything above n is cut back to n: the surplus comes off the top below
      // either way, so the outcome is the same and the sum stays small.
      v = (q > size_d) ? size : static_cast<uword>(q);
    c[i + 1] = v;
    if (v == 0) {
      levels = i + 1;
      break;
    }
  }

  // Every entry is below 2^31 and there are at most 19, so the sum is exact.
  std::int64_t sum = 0;
  for (uword i = 0; i < levels; ++i)
    sum += static_cast<std::int64_t>(c[i]);
  std::int64_t d = sum - static_cast<std::int64_t>(n);
  const std::int64_t bottom = static_cast<std::int64_t>(c[0]);

  if (d < bottom) {
    // The bottom level absorbs the difference (a shortfall adds members).
    c[0] = static_cast<uword>(bottom - d);
  } else {
    // Taking d off the bottom would empty it or worse: take the surplus off
    // the top instead, emptying levels from the top down. Entries 0 .. L-1
    // are all non-zero and sum >= d, so this stops with d = 0.
    while (d > 0 && levels > 0) {
      uword& top = c[levels - 1];
      const std::int64_t have = static_cast<std::int64_t>(top);
      const std::int64_t take = (d < have) ? d : have;
      top -= static_cast<uword>(take);
      d -= take;
      if (top == 0)
        --levels;
    }
  }

  c[19] = levels;
  return counts;
}

Col<uword> p_func(double, double)
{
  Col<uword> tri(n_entries);
  for (uword i = 0; i < n_entries; ++i)
    tri[i] = i;
  for (uword i = 1; i < n_entries; ++i)
    tri[i] += tri[i - 1];
  return tri;
}
