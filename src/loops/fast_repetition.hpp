// The repetition the programs run: the same economy, the same random streams
// and the same row as run_repetition, computed without a vector of every
// member.
//
// What makes it fast, each step exact:
// - firm sizes arrive as runs of equal sizes, and firms of equal size share
//   their bottom size and level structure, so each is computed once;
// - a member is found from its position through the runs (firm, then level)
//   instead of a T-entry power vector; the partial shuffle keeps only the
//   positions it displaced;
// - pow is evaluated once per distinct power value, and the power sample is
//   put in order by counting;
// - the Mersenne twister makes its outputs in blocks, and the pay is sorted
//   by a radix sort.
// Columns 0, 3 and 6 are identical to run_repetition's; the Ginis too (same
// sums in the same order); the top shares may differ in the last bits (the
// top group is summed in another order).
//
// Memory per call is bounded whatever alpha (tens of MB for a million
// firms), where run_repetition holds 16 bytes per member.
#pragma once

#include "loops/repetition.hpp"

results_row run_repetition_fast(const repetition_inputs& inputs, const repetition_id& id,
                                pay_exponent_rule rule);
