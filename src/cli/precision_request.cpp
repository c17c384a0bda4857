#include "cli/precision_request.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "records/results_file.hpp"
#include "records/tables.hpp"

const std::array<const char*, results_columns> results_column_names = {
    "mean_firm_size",   "gini_power",     "gini_pay",          "power_to_pay_exponent",
    "top1_share_power", "top1_share_pay", "firm_size_exponent"};

namespace {

std::string all_names()
{
  std::string names;
  for (const char* n : results_column_names) names += (names.empty() ? "" : ", ") + std::string(n);
  return names;
}

// `value` with `digits` significant digits.
std::string shown(double value, int digits = 3)
{
  std::ostringstream text;
  text.precision(digits);
  text << value;
  return text.str();
}

// The shortest text that reads back as `value` exactly.
std::string round_trip(double value)
{
  for (int digits = 1;; ++digits) {
    const std::string text = shown(value, digits);
    if (digits >= 17 || std::strtod(text.c_str(), nullptr) == value) return text;
  }
}

}  // namespace

namespace {

std::string target_problem(const std::string& text, precision_request& request)
{
  const auto eq = text.find('=');
  if (eq == std::string::npos || eq == 0) return "--precision takes NAME=HALF_WIDTH, got '" + echoed(text) + "'";
  const std::string name = text.substr(0, eq);
  const std::string value = text.substr(eq + 1);
  const auto named = std::find_if(results_column_names.begin(), results_column_names.end(),
                                  [&name](const char* n) { return name == n; });
  if (named == results_column_names.end()) {
    return "--precision " + echoed(name) + " is not a results column (" + all_names() + ")";
  }
  const int column = static_cast<int>(named - results_column_names.begin());
  for (const precision_target& t : request.targets) {
    if (t.column == column) return "--precision " + name + " is given twice";
  }
  char* end = nullptr;
  errno = 0;
  const double half_width = value.empty() || std::isspace(static_cast<unsigned char>(value[0]))
                                ? std::nan("")
                                : std::strtod(value.c_str(), &end);
  if (end == nullptr || *end != '\0' || errno != 0 || !std::isfinite(half_width) || !(half_width > 0)) {
    return "--precision " + name + " takes a half-width that is a finite number above 0, got '" +
           echoed(value) + "'";
  }
  request.targets.push_back({column, half_width});
  return "";
}

std::string block_problem(const std::string& text, precision_request& request)
{
  long long block = 0;
  bool digits = !text.empty() && text.size() <= 10;
  for (char c : text) {
    digits = digits && c >= '0' && c <= '9';
    if (digits) block = block * 10 + (c - '0');
  }
  if (!digits || block < 2 || block > max_repetitions) {
    return "--precision-block takes a whole number from 2 to " + std::to_string(max_repetitions) + ", got '" +
           echoed(text) + "'";
  }
  request.block = static_cast<int>(block);
  return "";
}

}  // namespace

void add_precision_target(const std::string& text, precision_request& request)
{
  if (std::string why = target_problem(text, request); !why.empty()) throw run_error(why, exit_usage_error);
}

void set_precision_block(const std::string& text, precision_request& request)
{
  if (std::string why = block_problem(text, request); !why.empty()) throw run_error(why, exit_usage_error);
}

std::string precision_arguments(const precision_request& request)
{
  std::string text;
  for (const precision_target& t : request.targets) {
    text += " --precision " + std::string(results_column_names[static_cast<std::size_t>(t.column)]) + "=" +
            round_trip(t.half_width);
  }
  if (request.used() && request.block != default_precision_block) {
    text += " --precision-block " + std::to_string(request.block);
  }
  return text;
}
