// Bootstrap estimators: one resample with replacement, one estimate per call.
//
// boot_span(x, y) resamples the (x, y) pairs, n = length of y, and fits
// y = a * exp(b * x) by least squares on ln y (Armadillo solve, default
// options).  Returns (a, b).  When every resampled x is equal (always so for
// n = 1) the fit is rank-deficient and the minimum-norm solution applies:
// ln a and b are proportional to 1 and x.  (Default solve also takes it for
// distinct x too close or too large for its conditioning test, as 1 and
// 1e300; the programs admit only whole levels up to 1000, which pass it.)
// Such a fit prints nothing; with `rank_deficient` given, *rank_deficient
// tells whether the minimum-norm solution was used.
// Throws std::invalid_argument for an empty y, y of 2^31 elements or more,
// x shorter than y, or a y that is not positive and finite, and
// std::runtime_error "solve(): solution not found" when no solution exists
// (for example for a non-finite x).
//
// boot_sigma(g) resamples the Gini coefficients g and returns
// sigma = 2 * erf_inv(mean), the log-normal shape whose Gini coefficient is
// that mean.  An empty g gives NaN.  Boost.Math's errors propagate: a mean
// outside [-1, 1] raises std::domain_error, a mean of exactly +-1
// std::overflow_error.  Throws std::invalid_argument for g of 2^31 elements
// or more.
//
// Resampled row i (i = 0 ... n - 1, in order) is row floor(n * u_i), u_i the
// i-th canonical uniform of std::mt19937(seed); the plain forms take the seed
// from std::random_device("default").
#pragma once

#include <armadillo>
#include <cstdint>

arma::Col<double> boot_span(arma::Col<double> x, arma::Col<double> y);
arma::Col<double> boot_span(arma::Col<double> x, arma::Col<double> y, std::uint32_t seed,
                            bool* rank_deficient = nullptr);

double boot_sigma(arma::Col<double> g);
double boot_sigma(arma::Col<double> g, std::uint32_t seed);
