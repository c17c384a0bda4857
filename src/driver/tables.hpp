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
// number (a header line is named as such), an empty cell between two commas,
// a line that mixes commas and blanks between its values (the sign of a
// decimal comma), a line with another number of values than the table has
// columns, a missing file, a directory, and a file without data rows. The
// span table may be wider than its two columns (the same width on every
// line): the further columns are not used, and a note says so.
#pragma once

#include <armadillo>
#include <stdexcept>
#include <string>
#include <vector>

struct input_tables {
  arma::Mat<double> span;          // column 0: level, column 1: span of control observed there
  arma::Col<double> g;             // Gini coefficients of pay within one level
  arma::Col<double> pay_exponent;  // power-to-pay exponents, used only by exponent=table
};

inline constexpr const char* span_file = "s_empirical.txt";
inline constexpr const char* g_file = "g_empirical.txt";
inline constexpr const char* pay_exponent_file = "power_to_pay_exponent.txt";

// What is wrong with a table file: "<path>: <problem>" or
// "<path> line L, column C: <problem>" (L and C count from 1; C in bytes).
struct table_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Why a row of values cannot be used, or "" when it can.
using row_check = std::string (*)(const double* row);

// The rows of the table file at `path`, `columns` values each (with `wider`,
// at least `columns`, as many as the first row has), every row passing
// `check` (when given). Throws table_error for anything else.
arma::Mat<double> read_table(const std::string& path, arma::uword columns,
                             row_check check = nullptr, bool wider = false);

// Reads the three tables from `dir`, in the order span (two columns or more,
// every span > 0), g (one column, every value in [0, 1)) and power-to-pay (one
// column). Throws table_error for the span and g tables. The power-to-pay
// table serves only exponent=table, and a run with that setting reads it
// again strictly (read_table, every row a valid exponent; any problem
// refuses the run); the default runs do not use it, so here a table that
// cannot be read is left empty (0 x 1) with a note. Notes for the user (that
// table's problem, unused span columns) go to *notes, if given.
input_tables load_tables(const std::string& dir, std::vector<std::string>* notes = nullptr);

// Why the span table cannot drive a run, or "" when it can: it needs at least
// one row and two columns, finite values and every span (column 1) > 0.
std::string span_table_problem(const arma::Mat<double>& span);

// Why the g table cannot drive a run, or "" when it can: at least one value,
// every value finite and in [0, 1).
std::string g_table_problem(const arma::Col<double>& g);
