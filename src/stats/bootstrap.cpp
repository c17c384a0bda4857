#include "stats/bootstrap.hpp"

#include <climits>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>

#include <boost/math/special_functions/erf.hpp>

#include "stats/show_double.hpp"

using arma::Col;
using arma::Mat;
using arma::uword;

namespace {

// The resample size is handled as an int, so it must fit one.
int checked_size(const char* fn, const char* arg, uword n_elem) {
  if (n_elem > static_cast<uword>(INT_MAX))
    throw std::invalid_argument(std::string(fn) + "(): " + arg +
                                " must have fewer than 2^31 elements, got " +
                                std::to_string(n_elem));
  return static_cast<int>(n_elem);
}

// Row drawn with replacement: the integer part of n * u, kept below n even
// if the product rounds up.
uword draw_row(int n, std::mt19937& engine) {
  const double u = std::generate_canonical<double, 53>(engine);
  const uword j = static_cast<uword>(u * static_cast<double>(n));
  return j < static_cast<uword>(n) ? j : static_cast<uword>(n - 1);
}

}  // namespace

Col<double> boot_span(Col<double> x, Col<double> y) {
  std::random_device rd("default");
  return boot_span(std::move(x), std::move(y), rd());
}

Col<double> boot_span(Col<double> x, Col<double> y, std::uint32_t seed, bool* rank_deficient) {
  if (y.n_elem == 0) throw std::invalid_argument("boot_span(): y must not be empty");
  const int n = checked_size("boot_span", "y", y.n_elem);
  if (x.n_elem < y.n_elem)
    throw std::invalid_argument("boot_span(): x must have at least as many elements as y (" +
                                std::to_string(n) + "), got " + std::to_string(x.n_elem));
  for (uword i = 0; i < y.n_elem; ++i)
    if (!(y[i] > 0.0) || !std::isfinite(y[i]))
      throw std::invalid_argument("boot_span(): y must be positive and finite, got y[" +
                                  std::to_string(i) + "] = " + show_double(y[i]));

  std::mt19937 engine(seed);
  Mat<double> design(static_cast<uword>(n), 2);
  Col<double> response(static_cast<uword>(n));
  for (int i = 0; i < n; ++i) {
    const uword j = draw_row(n, engine);  // one row for both columns keeps the pairs together
    design(i, 0) = 1.0;
    design(i, 1) = x[j];
    response[i] = std::log(y[j]);
  }

  // The default options' QR least squares; where that finds the system
  // singular (the resampled x all equal), the minimum-norm solution of
  // LAPACK's DGELSD. These are the two steps of solve() with default options,
  // taken one at a time so that the second one prints no warning.
  Col<double> beta;
  bool approximate = false;
  if (!arma::solve(beta, design, response, arma::solve_opts::no_approx)) {
    approximate = true;
    if (!arma::solve(beta, design, response, arma::solve_opts::force_approx))
      throw std::runtime_error("solve(): solution not found");
  }
  // One row gives one equation in two unknowns: the default solve then
  // returns the minimum-norm solution as well, without calling it singular.
  if (rank_deficient != nullptr) *rank_deficient = approximate || n < 2;
  beta[0] = std::exp(beta[0]);
  return beta;
}

double boot_sigma(Col<double> g) {
  std::random_device rd("default");
  return boot_sigma(std::move(g), rd());
}

double boot_sigma(Col<double> g, std::uint32_t seed) {
  const int n = checked_size("boot_sigma", "g", g.n_elem);
  std::mt19937 engine(seed);
  Col<double> resample(static_cast<uword>(n));
  for (int i = 0; i < n; ++i) resample[i] = g[draw_row(n, engine)];

  // Armadillo's mean() throws on an empty vector; the mean of nothing is NaN,
  // which erf_inv hands back unchanged.
  const double m = n > 0 ? arma::mean(resample) : std::numeric_limits<double>::quiet_NaN();
  return 2.0 * boost::math::erf_inv(m);
}
