// Reproduces rpld(draws, xmin, alpha, table_size, xmax, true, seed)
// (stats/rpld.hpp) bit for bit, as runs of equal values.
//
// Sorted draws of the discrete power-law sampler, as runs of equal values.
//
// rpld_sorted_runs(draws, xmin, alpha, table_size, xmax, seed) describes
// exactly the vector that rpld(draws, xmin, alpha, table_size, xmax, true, seed)
// returns: writing out each run's value `count` times, run after run, gives
// that vector element for element.  The runs are maximal (neighbouring runs
// hold different values) and every count is at least 1; draws = 0 gives none.
// - table_size >= 1 (exact method): the draws inside the table come first,
//   ascending, then the draws beyond the table, ascending among themselves, so
//   the values may drop once where the two parts meet, just as in rpld.
// - table_size <= 0 (continuous approximation): ascending throughout.
// It checks its arguments as rpld does and throws std::invalid_argument with
// the same messages under its own name (draws < 0, xmin < 1, alpha not a
// finite number above 1); it clamps approximated values beyond the range of
// uword as rpld does, and Boost.Math errors of zeta propagate.
//
// It draws the very uniforms rpld draws, but sorts none of them except the
// few whose walk passes the stored table, and computes the cumulative
// distribution only about as far as the largest uniform reaches, storing at
// most the first 65536 entries: a call costs about `draws` steps plus one per
// table entry reached, in bounded memory, instead of a sort and a table of
// table_size entries. The entries come from survival_steps, which gives the
// doubles of rpld's recurrence while calling pow for only a few of them.
#pragma once

#include <armadillo>
#include <cstdint>
#include <vector>

struct value_run {
  arma::uword value;
  arma::uword count;
};

std::vector<value_run> rpld_sorted_runs(int draws, int xmin, double alpha, int table_size,
                                        int xmax, std::uint32_t seed);
