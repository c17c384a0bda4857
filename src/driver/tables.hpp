// The three empirical input tables and their checks.
//
// Each table is loaded with Armadillo's automatic format detection (plain
// whitespace- or comma-separated numbers). A file that cannot be opened or
// read leaves its table empty: the span table 0 x 0, the two columns 0 x 1.
#pragma once

#include <armadillo>
#include <string>

struct input_tables {
  arma::Mat<double> span;          // column 0: level, column 1: span of control observed there
  arma::Col<double> g;             // Gini coefficients of pay within one level
  arma::Col<double> pay_exponent;  // power-to-pay exponents; loaded, never read by the loops
};

inline constexpr const char* span_file = "s_empirical.txt";
inline constexpr const char* g_file = "g_empirical.txt";
inline constexpr const char* pay_exponent_file = "power_to_pay_exponent.txt";

// Loads the three tables from the working directory, in the order span, g,
// power-to-pay. Never throws for a missing or unreadable file.
input_tables load_tables();

// Why the span table cannot drive a run, or "" when it can: it needs at least
// one row and two columns, finite values and every span (column 1) > 0.
std::string span_table_problem(const arma::Mat<double>& span);

// Why the g table cannot drive a run, or "" when it can: at least one value,
// every value finite and in [0, 1).
std::string g_table_problem(const arma::Col<double>& g);
