// Checks made before the first repetition, so that a run never fails after
// its work is done for a reason that was visible at its start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "records/run_error.hpp"

// Bytes each repetition's row needs at the end of a run: seven doubles in
// the results table, up to seven 22-character values in its text, and one
// flag.
inline constexpr std::uint64_t bytes_per_row = 7 * 8 + 7 * 22 + 1;

// Longest suffix appended to a results file name while saving: ".journal"
// and ".tmp_" with a number of up to 10 digits.
inline constexpr std::size_t saving_suffix_length = 8 + 5 + 10;

// Checks that every file of `names` (at least one) can be saved into the
// directory `dir`, in their order, with the directory checked and read once
// (a sweep's thousands of files are checked in about the time of one listing
// of `dir`). Throws run_error naming the first problem: `dir` missing, not a
// directory or not writable (a probe file is created and removed there), a
// name too long for the file system once the saving suffixes are added, or a
// directory standing where a file, its journal or its metadata would go.
void check_results_targets(const std::string& dir, const std::vector<std::string>& names);

// Checks that the results of `repetitions` rows fit in this machine's
// physical memory. Throws run_error with the figures when they do not.
void check_memory(int repetitions);
