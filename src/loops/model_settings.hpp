// What a repetition assumes of the model: the settings a run may change
// (see cli/settings.hpp for their names, text forms and limits), as plain
// values, and how a drawn setting turns one uniform into its value.
//
// The model's defaults are stated here and nowhere else: model_settings{}
// and the two exponent defaults below. Everything else (the programs, --help,
// the tests, the benchmark) takes them from here.
#pragma once

#include <array>
#include <armadillo>
#include <optional>

// A value drawn per repetition from one uniform u of the loop engine.
struct drawn_setting {
  enum kind_t { range, fixed, table } kind;
  double low;   // range: low + (high - low) u; fixed: low
  double high;
};

struct model_settings {
  int firms = 1000000;
  int largest_firm = 2300000;
  drawn_setting alpha{drawn_setting::range, 1.8, 7.0};
  // Empty: the program's own rule, default_exponent_range (quarnel) or
  // default_fixed_exponent (vesktor).
  std::optional<drawn_setting> exponent;
  std::optional<double> sigma;                        // empty: bootstrap
  std::optional<std::array<double, 2>> span;          // empty: bootstrap (a, b)
  double top_fraction = 0.01;
};

// The default exponent of a program that draws one (quarnel), and of one
// that does not (vesktor: pay is power times noise).
inline constexpr drawn_setting default_exponent_range{drawn_setting::range, 0.2, 1.0};
inline constexpr drawn_setting default_fixed_exponent{drawn_setting::fixed, 1.0, 1.0};

// The value a drawn setting takes for the uniform u (0 <= u <= 1): for a
// range fma(high - low, u, low), for a fixed value that value, for "table"
// entry floor(n u) of `table` (the last one for u = 1). Throws
// std::invalid_argument for "table" with an empty table.
double drawn_value(const drawn_setting& s, double u, const arma::Col<double>& table);
