// The results file: one line per row, values separated by single commas, each
// in scientific notation with 14 digits after the point ("1.23456789012345e+00"),
// an exact zero (of either sign) as "0", NaN as "nan", infinities as "inf"
// and "-inf". No header.
//
// Files are written under a temporary name beside the target (the target
// followed by ".tmp_" and a number), flushed to disk and then renamed over the
// target, so a reader never sees a half-written results file.
#pragma once

#include <armadillo>
#include <cstdint>
#include <string>
#include <vector>

// The largest --repetitions, and so the most rows of a results table or a
// journal: row and worker arithmetic in int stays far from overflow
// (whether the results fit in memory is checked before the run).
inline constexpr int max_repetitions = 1000000000;

// One value in the results file's number format.
std::string format_value(double value);

// The whole table as the file's text.
std::string format_table(const arma::Mat<double>& table);

// The rows of `table` whose flag in `finished` is set, each preceded by its
// repetition index (first_index + row) as a whole number.
std::string format_indexed_rows(const arma::Mat<double>& table,
                                const std::vector<unsigned char>& finished,
                                std::uint64_t first_index);

// Writes all of `text` to the open descriptor `fd` (retrying short writes
// and interrupted calls). Returns "" on success, otherwise the reason.
std::string write_whole(int fd, const std::string& text);

// Writes `text` to `path` through a temporary file and a rename.
// Returns "" on success, otherwise the reason; the target is then untouched.
std::string write_file_atomically(const std::string& path, const std::string& text);

// Writes `text` to a new file in the system's temporary directory whose name
// starts with `stem`. Returns its path, or "" when even that fails.
std::string write_fallback_file(const std::string& stem, const std::string& text);
