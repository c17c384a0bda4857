// Firm model: the member table of a set of firms.
//
// model(a, b, base, size, with_size, with_level, with_power)
//   One row per member of every firm, firm after firm in input order, and
//   within a firm bottom level first. Columns, one per switch that is on, in
//   this order: firm size, level (1 = bottom), power. A member's power is
//   1 + (members below the member's level) / (members in that level), in
//   double precision in that order: 1 at the bottom, size / top count at the
//   top. The hierarchies come from s_func(a, b) and, per firm k,
//   hierarchy_func(size[k], base[k], span).
//   Firms processed: the first base.n_elem. Rows: the sum of all of `size`.
//   Entries of `size` beyond the length of `base` still count towards the
//   rows; those rows (the last ones) are filled with NaN in every present
//   column, so no element is left unset. A firm of size 0 contributes no
//   rows. A NaN base puts the whole firm on one level (see hierarchy_func).
//   With every switch off the table has the right rows and no columns.
//   Throws std::invalid_argument, before writing anything, when `size` is
//   shorter than `base`, when an entry of `size` or their sum is not below
//   2^31, or when a firm's level counts do not add up to its size.
#pragma once

#include <armadillo>

arma::Mat<double> model(double a, double b, const arma::Col<double>& base,
                        const arma::Col<arma::uword>& size, bool with_size, bool with_level,
                        bool with_power);
