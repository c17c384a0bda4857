// What --precision and --precision-block ask for: the results columns whose
// means must reach a half-width, and the rows between checks. The run that
// honours them is driver/precision.hpp.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "loops/repetition_io.hpp"
#include "records/run_error.hpp"

inline constexpr int default_precision_block = 1000;

// The results columns by position, as the results file's documentation names them.
extern const std::array<const char*, results_columns> results_column_names;

struct precision_target {
  int column;         // 0 .. results_columns-1
  double half_width;  // > 0 and finite
};

struct precision_request {
  std::vector<precision_target> targets;  // in the order given; empty: not used
  int block = default_precision_block;
  bool used() const { return !targets.empty(); }
};

// Adds the target `text` (NAME=HALF_WIDTH) to `request`. Throws run_error
// (exit_usage_error) for an unknown name, a half-width that is not a finite
// number above 0, or a name given twice.
void add_precision_target(const std::string& text, precision_request& request);
// Sets the block from `text`, a whole number from 2 to 10^9; throws run_error
// (exit_usage_error) for anything else.
void set_precision_block(const std::string& text, precision_request& request);
// The options that ask for `request` again ("" when not used), each preceded by a space.
std::string precision_arguments(const precision_request& request);
