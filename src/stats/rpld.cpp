#include "stats/rpld.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>

#include <boost/math/special_functions/zeta.hpp>

#include "stats/power_law_common.hpp"

using arma::Col;
using arma::uword;

Col<uword> rpld(int draws, int xmin, double alpha, int table_size, int xmax, bool sorted) {
  std::random_device rd("default");
  return rpld(draws, xmin, alpha, table_size, xmax, sorted, rd());
}

Col<uword> rpld(int draws, int xmin, double alpha, int table_size, int xmax, bool sorted,
                std::uint32_t seed) {
  check_power_law_arguments("rpld", draws, xmin, alpha);
  const uword n = static_cast<uword>(draws);
  // Zero marks a draw the table walk has not placed: every value is >= xmin >= 1.
  Col<uword> result(n, arma::fill::zeros);

  // Truncation stops the uniforms where the continuous approximation reaches
  // xmax - 0.5, so the table and the tail both end at xmax.
  const bool truncated = xmax > xmin;
  double u_max = 1.0;
  if (truncated)
    u_max = 1.0 - std::pow((static_cast<double>(xmax) - 0.5) / (static_cast<double>(xmin) - 0.5),
                           1.0 - alpha);

  // All uniforms first, in draw order: the engine serves nothing else.
  std::mt19937 engine(seed);
  Col<double> u(n);
  for (uword i = 0; i < n; ++i) u[i] = u_max * std::generate_canonical<double, 53>(engine);

  const double xmin_half = static_cast<double>(xmin) - 0.5;
  const double expo = -1.0 / (alpha - 1.0);
  const uword clamp_to = truncated ? static_cast<uword>(xmax) : std::numeric_limits<uword>::max();

  if (table_size < 1) {
    for (uword i = 0; i < n; ++i) result[i] = continuous_value(xmin_half, expo, u[i], clamp_to);
    if (sorted) std::sort(result.begin(), result.end());
    return result;
  }

  // Hurwitz zeta(alpha, xmin) from the Riemann zeta by removing the terms below xmin.
  double h = boost::math::zeta(alpha);
  for (int k = 1; k < xmin; ++k) h -= std::pow(static_cast<double>(k), -alpha);

  // cumulative[i] = P(X <= xmin + i - 1), built as 1 - survival where the
  // survival runs down by one term at a time; entry 0 is never read.
  const uword m = static_cast<uword>(table_size);
  Col<double> cumulative(m + 1);
  cumulative[0] = 0.0;
  double survival = (h - std::pow(static_cast<double>(xmin), -alpha)) / h;
  cumulative[1] = 1.0 - survival;
  for (uword i = 1; i < m; ++i) {
    // xmin + i in double: exact, and it cannot overflow an int.
    survival = survival - std::pow(static_cast<double>(xmin) + static_cast<double>(i), -alpha) / h;
    cumulative[i + 1] = 1.0 - survival;
  }

  // Sorted uniforms let one forward walk over the table replace a search per draw.
  std::sort(u.begin(), u.end());
  uword c = 1;
  for (uword i = 0; i < n; ++i) {
    while (c < m && cumulative[c] <= u[i]) ++c;
    if (cumulative[c] > u[i]) result[i] = static_cast<uword>(xmin) + c - 1;
  }

  // Draws beyond the table have the largest uniforms, so they sit at the end.
  for (uword i = n; i > 0 && result[i - 1] == 0; --i)
    result[i - 1] = continuous_value(xmin_half, expo, u[i - 1], clamp_to);

  if (!sorted) {
    std::minstd_rand0 shuffler;
    std::shuffle(result.begin(), result.end(), shuffler);
  }
  return result;
}
