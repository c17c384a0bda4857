// The three empirical input tables, read strictly as text, and their checks.
//
// A table file holds one row of numbers per line. Accepted: values separated
// by spaces, tabs or commas (one comma between two values, with or without
// blanks around it), line ends LF or CRLF, blank lines, lines whose first
// non-blank character is '#' (comments), and a UTF-8 byte-order mark at the
// very start. A value is a decimal number: an optional sign, digits with an
// optional decimal point, an optional exponent ("3.037", "-2", "1e-3").
// Everything else is refused with the file, line and column: any other byte
// (shown as it is, or in hex when not printable), a value that is not a
// number (a first line of words is named a header; "nan" and "inf" are not
// words but values that are not finite), a number beyond the range of a
// double, one that rounds to zero or to a subnormal double (nonzero and
// below 2.2e-308, where a double keeps fewer significant bits), an empty
// cell between two commas, a line that mixes commas and blanks between its
// values (the sign of a decimal comma), a line with another number of values
// than the table has columns, and a file without data rows. The span table
// may be wider than its two columns (the same width on every line): the
// further columns are not used, and a note says so.
//
// A table file must be a regular file (after following symbolic links) of at
// most max_input_file_bytes; see read_input_file.
#pragma once

#include <armadillo>
#include <cstdint>
#include <string>
#include <vector>

#include "records/run_error.hpp"

// Input files (the tables and a --scenario file) are read whole, and only
// regular files of at most this many bytes: far above any real table (the
// project's hold under 1 KiB each), far below the machine's memory.
inline constexpr std::uint64_t max_input_file_bytes = 64ull * 1024 * 1024;  // 64 MiB

// The bytes of the regular file at `path`, read whole. Throws run_error
// whose message is the problem, without the path (the caller puts the file
// before it): "file not found", "is a directory, not a <noun>",
// "is a <kind> ..., not a regular file" for anything else (a device such as
// /dev/zero, a FIFO, a socket; with the file a symbolic link leads to),
// "is <N> bytes, more than ..." above max_input_file_bytes, or the system's
// reason. A FIFO or device is refused before it is opened, and
// the file is opened without blocking and checked again once open, so an
// input can neither block the program nor fill its memory.
std::string read_input_file(const std::string& path, const std::string& noun);

// `text` as a message echoes it: whole up to `most` bytes, otherwise its
// first bytes (never a part of a UTF-8 character) and a mark saying it was
// cut and how long it is. Every token, line or value a message quotes from
// an input (a table, a scenario file, an option) goes through it.
std::string echoed(const std::string& text, std::size_t most = 40);

struct input_tables {
  arma::Mat<double> span;          // column 0: level, column 1: span of control observed there
  arma::Col<double> g;             // Gini coefficients of pay within one level
  arma::Col<double> pay_exponent;  // power-to-pay exponents, used only by exponent=table
};

inline constexpr const char* span_file = "s_empirical.txt";
inline constexpr const char* g_file = "g_empirical.txt";
inline constexpr const char* pay_exponent_file = "power_to_pay_exponent.txt";

// What is wrong with a table file is thrown as a run_error whose message is
// "<path>: <problem>" or "<path> line L, column C: <problem>" (L and C count
// from 1; C in bytes).

// Checks a row of values: throws run_error with the reason when it cannot be
// used (read_table puts the file and line before it).
using row_check = void (*)(const double* row);

// The rows of the table file at `path`, `columns` values each (with `wider`,
// at least `columns`, as many as the first row has), every row passing
// `check` (when given). Throws run_error for anything else.
arma::Mat<double> read_table(const std::string& path, arma::uword columns,
                             row_check check = nullptr, bool wider = false);

// The levels of the span table: whole numbers from 1 up to this. A firm of
// the model has at most 19 levels; a level far beyond them (such as 1e300)
// would leave the fit of the growth rate meaningless, and with whole levels
// in this range two different levels always make a well-conditioned fit, so
// that a fit falls back on the minimum-norm solution exactly when its
// resample holds a single level.
inline constexpr double max_span_level = 1000;

// Reads the three tables from `dir`, in the order span (two columns or more,
// every level a whole number from 1 to max_span_level, every span > 0), g
// (one column, every value in [0, 1)) and power-to-pay (one column). Throws
// run_error for the span and g tables. The power-to-pay table serves only
// exponent=table, and a run with that setting reads it again strictly
// (read_table, every row a valid exponent; any problem refuses the run); the
// default runs do not use it, so here a table that cannot be read is left
// empty (0 x 1) with a note. Notes for the user (that
// table's problem, unused span columns) go to *notes, if given.
input_tables load_tables(const std::string& dir, std::vector<std::string>* notes = nullptr);

// Throws run_error "span table <path>: <why>" when the span table read from
// `path` cannot drive a run: it needs at least one row and two columns,
// finite values, every level (column 0) a whole number from 1 to
// max_span_level and every span (column 1) > 0.
void check_span_table(const arma::Mat<double>& span, const std::string& path);

// Throws run_error "g table <path>: <why>" when the g table cannot drive a
// run: it needs at least one value, every value finite and in [0, 1).
void check_g_table(const arma::Col<double>& g, const std::string& path);
