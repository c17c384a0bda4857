#include "stats/inequality.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

using arma::Col;
using arma::uword;

// Counts enter the arithmetic as exact doubles.  They are taken in 64 bits:
// for every length below 2^31 that gives the same doubles as a 32-bit count,
// and longer vectors cannot wrap.

double gini(Col<double> values, bool correction) {
  const uword n = values.n_elem;
  if (n == 1) return 0.0;
  // A NaN breaks the ordering the sort relies on, and makes W and S NaN anyway.
  if (std::any_of(values.begin(), values.end(), [](double v) { return std::isnan(v); }))
    return std::numeric_limits<double>::quiet_NaN();
  if (n > 0) std::sort(values.begin(), values.end());
  return gini_sorted(values.memptr(), n, correction);
}

namespace {

// The Gini coefficient of n values that `each` hands to a callback one by
// one in ascending order: W and S accumulate element by element, so a
// sequence given as runs yields exactly what the same values in an array do.
template <typename Each>
double gini_of(std::size_t n, bool correction, Each each) {
  if (n == 1) return 0.0;
  double weighted = 0.0;
  double total = 0.0;
  std::size_t i = 0;
  each([&](double v) {
    ++i;
    weighted += static_cast<double>(i) * v;
    total += v;
  });
  const double g0 = 2.0 * weighted / total - static_cast<double>(n + 1);
  return correction ? g0 / (static_cast<double>(n) - 1.0) : g0 / static_cast<double>(n);
}

}  // namespace

std::size_t top_count(std::size_t n, double fraction) {
  if (!(fraction >= 0.0 && fraction <= 1.0)) return n + 1;
  const std::size_t k = static_cast<std::size_t>(static_cast<double>(n) * fraction);
  return std::min(k, n);
}

double gini_sorted(const double* sorted, std::size_t n, bool correction) {
  return gini_of(n, correction, [&](auto&& add) {
    for (std::size_t i = 0; i < n; ++i) add(sorted[i]);
  });
}

double gini_sorted_runs(const double* values, const uword* counts, std::size_t runs,
                        bool correction) {
  std::size_t n = 0;
  for (std::size_t r = 0; r < runs; ++r) n += counts[r];
  return gini_of(n, correction, [&](auto&& add) {
    for (std::size_t r = 0; r < runs; ++r) {
      for (uword c = 0; c < counts[r]; ++c) add(values[r]);
    }
  });
}

double top_share_sorted(const double* sorted, std::size_t n, double fraction, double total) {
  const std::size_t k = top_count(n, fraction);
  if (k > n) return std::numeric_limits<double>::quiet_NaN();
  if (k == n) return total / total;
  double top = 0.0;
  for (std::size_t i = n - k; i < n; ++i) top += sorted[i];
  return top / total;
}

double top_share_sorted_runs(const double* values, const uword* counts, std::size_t runs,
                             double fraction, double total) {
  std::size_t n = 0;
  for (std::size_t r = 0; r < runs; ++r) n += counts[r];
  const std::size_t k = top_count(n, fraction);
  if (k > n) return std::numeric_limits<double>::quiet_NaN();
  if (k == n) return total / total;
  // The first run that reaches into the top group, and how much of it does.
  std::size_t r = runs;
  std::size_t taken = 0;
  while (taken < k) {
    --r;
    taken += counts[r];
  }
  double top = 0.0;
  for (std::size_t c = taken - k; r < runs && c < counts[r]; ++c) top += values[r];
  for (++r; r < runs; ++r) {
    for (uword c = 0; c < counts[r]; ++c) top += values[r];
  }
  return top / total;
}

double top_frac(Col<double> values, double fraction) {
  if (!(fraction >= 0.0 && fraction <= 1.0)) return std::numeric_limits<double>::quiet_NaN();
  const uword n = values.n_elem;

  double total = 0.0;  // in the given order, before anything moves
  for (uword i = 0; i < n; ++i) total += values[i];

  // 0 <= n * fraction <= n, so the truncation stays in range; no rounding up.
  uword k = static_cast<uword>(static_cast<double>(n) * fraction);
  if (k > n) k = n;
  if (k == 0) return 0.0 / total;
  // A NaN total means a NaN element (which would break the selection) or
  // opposite infinities; either way the share is NaN.
  if (std::isnan(total)) return total;
  // Every value is in the top group: the share is the total over itself,
  // which the top sum, added in another order, could miss in the last bits.
  if (k == n) return total / total;

  // Selection, not a sort: only the split between the top k and the rest matters.
  std::nth_element(values.begin(), values.begin() + (n - k), values.end());
  double top = 0.0;
  for (uword i = n - k; i < n; ++i) top += values[i];
  return top / total;
}
