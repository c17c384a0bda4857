// What the two forms of the power-law sampler (rpld and rpld_sorted_runs)
// share: their argument checks and the continuous approximation; and the
// mean of the law they draw from, for the checks before a run.
#pragma once

#include <armadillo>

// Throws std::invalid_argument, naming `function`, for draws < 0, xmin < 1 or
// alpha not a finite number above 1.
void check_power_law_arguments(const char* function, int draws, int xmin, double alpha);

// floor((xmin - 0.5) * (1 - u)^expo + 0.5) as a uword, with expo =
// -1 / (alpha - 1) and xmin_half = xmin - 0.5. A value a uword cannot hold
// (2^64 or more, or NaN) is clamped to `clamp_to` instead of converted.
arma::uword continuous_value(double xmin_half, double expo, double u, arma::uword clamp_to);

// The mean of the discrete law x^-alpha on 1 .. largest (alpha > 1, largest
// >= 1) to about 1e-6 relative (exact sums up to 100000, integrals beyond):
// the law that rpld(draws, 1, alpha, largest, largest, ...) follows closely.
double power_law_mean(double alpha, int largest);
