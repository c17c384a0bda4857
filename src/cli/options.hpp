// The command line of both programs. With no arguments a program runs its
// full job; every option only narrows or redirects it.
//
//   -n, --repetitions N     rows of the results file (default: the program's count)
//   -o, --output NAME       results file name inside results/ (a plain file name
//                           ending in .csv, whose stem ends in none of .<digits>,
//                           .sweep, _summary and _binned: the endings of the files
//                           named after another output)
//   -s, --seed S            the run seed (default: drawn): row j is repetition F + j of seed S
//       --first-repetition F   first repetition index of this piece (needs --seed)
//       --resume            continue the interrupted run on this output from its journal
//       --no-postprocess    do not start the post-processing script
//       --set NAME=VALUE    a model setting (repeatable; see cli/settings.hpp)
//       --scenario FILE     model settings, one NAME = VALUE a line (--set wins)
//       --sweep NAME=V1,V2,...   run every combination of the swept values
//                           (each value once per setting, as the settings read it)
//       --max-points N      the most points a sweep may have (default 10000)
//       --print-results-file   print the default results file name (the one
//                           -o replaces) and a line end, and exit: the scripts
//                           take the name from here
//       --precision NAME=HALF_WIDTH   stop once the mean of results column NAME
//                           is known to +-HALF_WIDTH (repeatable; driver/precision.hpp)
//       --precision-block B rows between precision checks (default 1000)
//   -h, --help, --version
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/precision_request.hpp"
#include "records/results_file.hpp"
#include "records/run_error.hpp"
#include "cli/settings.hpp"

// What distinguishes the two programs.
struct program_settings {
  std::string name;          // "quarnel" or "vesktor"
  int repetitions;           // rows of a full run
  std::string results_file;  // written into results/
  std::string description;   // one line for --help
  bool draws_exponent = true;  // false: the power-to-pay exponent is one fixed value
};

// A sweep's points: at most default_max_points unless --max-points allows
// more, up to max_sweep_points. Every point writes two files.
inline constexpr std::uint64_t default_max_points = 10000;
inline constexpr std::uint64_t max_sweep_points = 1000000000;

struct run_options {
  int repetitions = 0;
  std::string output;
  bool postprocess = true;
  std::optional<std::uint64_t> seed;
  std::uint64_t first_repetition = 0;
  bool resume = false;
  // Whether -n and --first-repetition were given (a resumed run takes the
  // journal's values for those not given, and checks those given).
  bool repetitions_given = false;
  bool first_repetition_given = false;
  model_settings settings;          // from --scenario and --set
  std::vector<sweep_axis> sweep;    // from --sweep, in the order given
  std::uint64_t max_points = default_max_points;
  precision_request precision;      // from --precision and --precision-block
};

// What the command line asks for: a run with `options`, or only `text` (the
// help or version text) printed.
struct parsed_command {
  run_options options;
  std::optional<std::string> text;
};

// Parses the arguments and checks every setting and swept value. Never
// prints, and reads no file but the --scenario file. Throws run_error with
// exit_usage_error and the problem (without the usage text) for an argument
// it refuses.
parsed_command parse_options(int argc, const char* const argv[], const program_settings& program);

// The usage text that --help prints and a usage error ends with.
std::string usage_text(const program_settings& program);
