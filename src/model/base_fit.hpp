// Base fit: the bottom-level size of a firm of given size, for a given span
// of control. Inverts "bottom size -> firm size" numerically.
//
// base_fit(a, b, size)
//   Tabulates the firm size implied by 10000 candidate bottom sizes (2000
//   spaced by 0.05 from 0.02, then 8000 in geometric progression up to
//   max(2000000, largest size)), keeps one candidate per distinct total, and
//   reads each requested size off that table by linear interpolation.
//   Result: one bottom size per entry of `size`, same order; NaN for a size
//   outside the table (below the smallest or above the largest total, e.g. a
//   size of 0). An empty `size` gives an empty result. Never throws on
//   account of a or b.
//   A candidate whose total cannot be computed soundly (a count that is NaN,
//   negative or not below 2^64, or a sum of counts past 2^64 - as happens
//   for a span factor well below 1, a negative or zero span, or NaN
//   parameters) is left out of the table. If fewer than two table entries
//   remain, or the kept totals are not strictly increasing, every result is
//   NaN.
//   The largest size enters the top of the range through its low 32 bits read
//   as a signed 32-bit number; sizes are expected to stay below 2^31.
//
// implied_total(candidate, span)
//   The firm size the base fit assigns to one candidate bottom size B:
//   max(1, trunc(B)) + sum over j = 0 .. 18 of trunc(B / span[j]), all
//   counts kept (no stop at an empty level, no adjustment to a target size).
//   NaN when it cannot be computed soundly (see above).
//   Throws std::invalid_argument when span has fewer than 19 entries.
#pragma once

#include <armadillo>

arma::Col<double> base_fit(double a, double b, const arma::Col<arma::uword>& size);

double implied_total(double candidate, const arma::Col<double>& span);
