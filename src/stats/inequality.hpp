// Inequality measures of a vector of non-negative values.
//
// gini(values, correction): the Gini coefficient 2W/(nS) - (n + 1)/n, where
// W = sum of i * x(i) over the ascending order x(1) <= ... <= x(n) and S the
// total; correction = true scales it by n/(n - 1).  One element gives 0.
// top_frac(values, fraction): the share of the total held by the
// k = floor(n * fraction) largest values (k = 0 gives 0 for a non-zero total;
// k = n gives the total divided by itself, exactly 1 for a finite non-zero
// total, whatever order the values are summed in).
// A fraction outside [0, 1], or NaN, gives NaN.
//
// Neither throws.  Degenerate inputs give the IEEE result of the formula: an
// empty vector or a zero total gives NaN (or infinity for a non-zero W or top
// sum), a NaN element gives NaN.  Both work on their own copy; the caller's
// vector is never changed.
#pragma once

#include <armadillo>

#include <cstddef>

double gini(arma::Col<double> values, bool correction);
double top_frac(arma::Col<double> values, double fraction);

// The same measures for callers that already hold the n values in ascending
// order (no NaN). gini_sorted gives exactly what gini gives for those values.
// top_share_sorted takes the total of the values as the caller summed it (in
// their original order, as top_frac does) and sums the top k in ascending
// order, which may differ from top_frac in the last bits (but for k = n,
// which gives the total divided by itself in both).
double gini_sorted(const double* sorted, std::size_t n, bool correction);
// How many of n values form the top group of the top share (the integer part
// of n * fraction), or n + 1 when the fraction lies outside 0 ... 1 or is NaN.
std::size_t top_count(std::size_t n, double fraction);
double top_share_sorted(const double* sorted, std::size_t n, double fraction, double total);

// The same for a sorted sequence given as runs: counts[r] copies of
// values[r], values ascending. gini_sorted_runs equals gini_sorted of the
// expanded sequence exactly; so does top_share_sorted_runs.
double gini_sorted_runs(const double* values, const arma::uword* counts, std::size_t runs,
                        bool correction);
double top_share_sorted_runs(const double* values, const arma::uword* counts, std::size_t runs,
                             double fraction, double total);
