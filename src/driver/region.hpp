// The parallel region that runs the repetitions of a run.
//
// Repetitions are divided statically into contiguous blocks in worker order
// (q = n / t each, the first n mod t workers one more); each worker copies the
// span table and the g table once and runs its block in ascending order. Row r
// of the results table belongs to repetition first_index + r alone, so rows are
// written without a lock; only the progress display's advance is serialised.
//
// An exception thrown by a repetition never leaves the region: it is recorded
// with the repetition's index, no worker starts a new repetition after it, and
// the rows finished so far stay marked in `finished`.
#pragma once

#include <array>
#include <armadillo>
#include <boost/timer/progress_display.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "driver/tables.hpp"

inline constexpr int results_columns = 7;
using results_row = std::array<double, results_columns>;

// What repetitions met without failing, counted by the worker that ran them.
struct repetition_notes {
  // span table resamples of a single level, fitted by the minimum-norm solution
  std::uint64_t rank_deficient_span_fits = 0;
};

// What one repetition reads: the worker's own copies of the tables and the
// run's constants; and where it counts what it met (none: not counted).
struct repetition_inputs {
  const arma::Mat<double>& span;
  const arma::Col<double>& g;
  const arma::Col<double>& pay_exponent;
  double top_fraction;
  int firm_count;
  repetition_notes* notes = nullptr;
};

// Which repetition this is: its global index, and the run's seed when the run
// is reproducible (otherwise every random source seeds from random_device).
struct repetition_id {
  std::uint64_t index;
  std::optional<std::uint64_t> seed;
};

using repetition_body = std::function<results_row(const repetition_inputs&, const repetition_id&)>;

struct region_settings {
  int repetitions;             // rows of the results table
  std::uint64_t first_index;   // global index of row 0
  std::optional<std::uint64_t> seed;
  double top_fraction;
  int firm_count;
};

struct repetition_failure {
  std::uint64_t index;
  std::string message;
};

struct region_outcome {
  std::vector<unsigned char> finished;  // one flag per row
  std::vector<repetition_failure> failures;
  repetition_notes notes;  // summed over the workers
};

struct block {
  int start;
  int count;
};

// The contiguous block of worker w (0 <= w < t) out of n repetitions.
block worker_block(int n, int t, int w);

// Runs every repetition (or stops early after a failure) in one OpenMP
// parallel region with the runtime's default team size.
region_outcome run_region(const input_tables& tables, const region_settings& settings,
                          const repetition_body& body, arma::Mat<double>& results,
                          boost::timer::progress_display& progress);
