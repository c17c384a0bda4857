#include "stats/power_law_common.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "stats/show_double.hpp"

void check_power_law_arguments(const char* function, int draws, int xmin, double alpha)
{
  const std::string name(function);
  if (draws < 0)
    throw std::invalid_argument(name + "(): draws must be >= 0, got " + std::to_string(draws));
  if (xmin < 1)
    throw std::invalid_argument(name + "(): xmin must be >= 1, got " + std::to_string(xmin));
  if (!(alpha > 1.0) || !std::isfinite(alpha))
    throw std::invalid_argument(name + "(): alpha must be finite and > 1, got " + show_double(alpha));
}

arma::uword continuous_value(double xmin_half, double expo, double u, arma::uword clamp_to)
{
  const double v = std::floor(xmin_half * std::pow(1.0 - u, expo) + 0.5);
  // 2^64 is the first double a uword cannot hold; NaN fails the test too.
  if (!(v < 18446744073709551616.0)) return clamp_to;
  return static_cast<arma::uword>(v);
}

double power_law_mean(double alpha, int largest)
{
  // Exact sums over the first sizes, smallest terms first; beyond them the
  // integrals over [x - 1/2, x + 1/2], which the sums approach closely there.
  const int exact = std::min(largest, 100000);
  double count = 0.0, members = 0.0;
  for (int x = exact; x >= 1; --x) {
    const double p = std::pow(static_cast<double>(x), -alpha);
    count += p;
    members += p * x;
  }
  if (largest > exact) {
    const double a = exact + 0.5, b = largest + 0.5;
    count += (std::pow(b, 1 - alpha) - std::pow(a, 1 - alpha)) / (1 - alpha);
    members += alpha == 2.0 ? std::log(b / a) : (std::pow(b, 2 - alpha) - std::pow(a, 2 - alpha)) / (2 - alpha);
  }
  return members / count;
}
