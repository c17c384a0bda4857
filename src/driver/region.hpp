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
// the rows finished so far stay marked in `finished`. A stop request (see
// region_hooks) likewise lets the repetitions in flight finish and starts no
// new one.
//
// Rows already finished (a resumed run) are not run again; the blocks divide
// the rows still to do.
#pragma once

#include <array>
#include <atomic>
#include <armadillo>
#include <boost/timer/progress_display.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "records/metadata.hpp"
#include "records/tables.hpp"
#include "loops/repetition_io.hpp"

using repetition_body = std::function<results_row(const repetition_inputs&, const repetition_id&)>;

struct region_settings {
  int repetitions;             // rows of the results table
  std::uint64_t first_index;   // global index of row 0
  std::optional<std::uint64_t> seed;
  double top_fraction;
  int firm_count;
  model_settings model = {};  // its top_fraction and firms are the two above
};

struct region_outcome {
  std::vector<unsigned char> finished;  // one flag per row
  std::vector<repetition_failure> failures;
  repetition_notes notes;  // summed over the workers
};

// What a run adds around the repetitions.
struct region_hooks {
  // One flag per row: finished before this region (not run again). Empty: none.
  std::vector<unsigned char> done;
  // Called after a row is stored, one call at a time, on the worker that ran it.
  std::function<void(int row)> row_finished;
  // Once true, no worker starts a new repetition.
  const std::atomic<bool>* stop_requested = nullptr;
};

struct block {
  int start;
  int count;
};

// The contiguous block of worker w (0 <= w < t) out of n repetitions.
block worker_block(int n, int t, int w);

// Runs every repetition not yet done (or stops early after a failure or a
// stop request) in one OpenMP parallel region with the runtime's default team
// size. The progress display counts the rows to do.
region_outcome run_region(const input_tables& tables, const region_settings& settings,
                          const repetition_body& body, arma::Mat<double>& results,
                          boost::timer::progress_display& progress,
                          const region_hooks& hooks = {});

// The rows of `done` (one flag per row, or empty for none) still to run.
std::vector<int> rows_to_do(int repetitions, const std::vector<unsigned char>& done);
