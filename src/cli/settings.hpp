// The model's settings as a run names them (--set, scenario files, sweeps):
// their names, text forms, limits and checks, on top of the values a
// repetition reads (loops/model_settings.hpp, which holds their defaults;
// --help lists them):
//
//   firms         firms per economy, which is also the sample size
//   largest_firm  the largest firm size, the firm-size sampler's table size
//   alpha         firm-size exponent: a range LOW:HIGH drawn per repetition
//                 or one value
//   exponent      power-to-pay exponent: in quarnel a range, one value, or
//                 "table" (row floor(n u) of the power-to-pay table);
//                 vesktor draws none, so there one value only
//   sigma         log-normal shape of the pay noise: "bootstrap" from the g
//                 table, or one value
//   span          span-of-control parameters: "bootstrap" from the span
//                 table, or A,B
//   top_fraction  share of the largest members the top share is taken of
//
// Common random numbers: the random streams never depend on the settings. A
// fixed alpha or exponent still takes the uniform its range would take, and
// the bootstraps have seeds of their own, so two scenarios run with the same
// seed differ only through what they change.
#pragma once

#include <array>
#include <armadillo>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "loops/model_settings.hpp"
#include "records/run_error.hpp"

// The setting names, in the order of --help and of the rendered settings.
const std::vector<std::string>& setting_names();

// Sets `name` from its text. Throws run_error (exit_usage_error) whose
// message is `context` followed by one that names the setting and its
// allowed values; the settings are then unchanged. `draws_exponent` is false
// for a program without a draw for the exponent.
void apply_setting(model_settings& s, const std::string& name, const std::string& value,
                   bool draws_exponent, const std::string& context = "");

// Every setting as "name=value" lines, in setting_names() order: the settings
// in force, for the results' metadata and the resume check.
std::vector<std::pair<std::string, std::string>> setting_values(const model_settings& s,
                                                                bool draws_exponent);
std::string settings_text(const model_settings& s, bool draws_exponent);

// The lines of --help that list every setting with its default and range.
std::string settings_help(bool draws_exponent);

struct scenario_line {
  int line;
  std::string name;
  std::string value;
};

// Reads a scenario file: one "NAME = VALUE" a line, '#' starts a comment,
// blank lines are skipped, a UTF-8 byte-order mark at the very start is
// allowed. Like a table it must be a regular file of at most
// max_input_file_bytes (records/tables.hpp). Returns the lines in file order;
// throws run_error with exit_usage_error and a message naming the file (and
// line).
std::vector<scenario_line> read_scenario(const std::string& path);

// Settings under which a measure would be undefined or the same in every
// row, which check_run refuses: firms below 2 (every Gini 0); a top group of
// floor(firms * top_fraction) = 0 members (both top shares 0); a fixed span
// under which every firm has one level (all power equal, the Gini of power
// 0); an exponent that can only be 0 with sigma=0 (all pay equal). The
// message names the settings and a value that works.

// The smallest top_fraction whose top group of `firms` members holds at
// least one, in the arithmetic the top share uses (top_count).
double smallest_top_fraction(int firms);

// Throws run_error (exit_usage_error) saying why these settings cannot run
// on `workers` workers in `memory` bytes: a measure they would leave
// undefined or the same in every row (above); at the lowest alpha an economy
// would hold 2^31 members or more on average (power_law_mean); or the
// workers' memory (each worker's as loops/fast_repetition.hpp states it)
// exceeds 80 % of `memory`.
void check_run(const model_settings& s, int workers, double memory);

// The machine's physical memory in bytes.
double machine_memory();

// A swept setting and its values; a sweep runs every combination.
struct sweep_axis {
  std::string name;
  std::vector<std::string> values;
};

struct sweep_point {
  model_settings settings;
  std::vector<std::string> values;  // one per axis
};

// Every combination of the axes' values applied to `base`, the first axis
// varying slowest. Throws apply_setting's run_error for a value it refuses.
std::vector<sweep_point> sweep_grid(const model_settings& base, const std::vector<sweep_axis>& axes,
                                    bool draws_exponent);

// check_run of each point in turn (the first problem found is thrown). Each
// distinct economy (lowest alpha, largest firm) has its mean size computed
// once, so that a grid of many points is checked in about the time of its
// distinct economies.
void check_grid(const std::vector<sweep_point>& points, int workers, double memory);
