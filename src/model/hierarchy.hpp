// Hierarchy structure of a firm: the building blocks every hierarchy in the
// model is made of.
//
// Levels are numbered from 1 at the bottom; the span of control of level k
// (members of level k-1 per member of level k, k >= 2) is a * exp(b * k).
//
// s_func(a, b)
//   Cumulative span vector, 20 entries: entry i is the product of the span
//   factors of levels 2 .. i+2, i.e. bottom-level members per member of level
//   i+2. No check on a or b (a = 2, b = 0 gives 2, 4, 8, ..., 2^20).
//
// hierarchy_func(n, base, span)
//   Level counts of one firm of n members whose bottom level holds `base`
//   members (real-valued). Result: 20 entries, members per level bottom first
//   in entries 0 .. L-1, zeros in L .. 18, and the number of levels L in
//   entry 19 (at most 19 levels). Entries 0 .. L-1 always add up to n.
//   The bottom size is truncated to m; the upper levels are m / span[i],
//   truncated, up to the first empty one; the bottom level then absorbs the
//   difference to n, unless that would empty it or drive it below zero, in
//   which case the surplus is taken off the top levels instead.
//   Edge cases:
//     - base NaN, negative or >= 2^31: a one-level firm of n members
//       (entry 0 = n, entry 19 = 1; all zeros for n = 0);
//     - a quotient m / span[i] that is NaN, negative or below 1 is an empty
//       level and ends the hierarchy; one above n counts as n (the surplus
//       is taken off the top anyway, so the result is unchanged);
//     - no more than 19 levels are built, whatever the span;
//     - only span[0] .. span[17] are read.
//   Throws std::invalid_argument when n < 0 or span has fewer than 20 entries.
//
// p_func(double, double)
//   The triangular numbers i*(i+1)/2 for i = 0 .. 19; both arguments ignored.
//
// All three are pure functions, safe to call from several threads at once.
#pragma once

#include <armadillo>

arma::Col<double> s_func(double a, double b);

arma::Col<arma::uword> hierarchy_func(const int& n, const double& base,
                                      const arma::Col<double>& span);

arma::Col<arma::uword> p_func(double, double);
