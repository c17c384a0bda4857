// Runs that stop at a chosen precision (--precision NAME=HALF_WIDTH).
//
// The rows run in blocks of B in index order: after rows 0 .. kB-1 are
// finished, the 95 % Student t interval of the mean of every named results
// column is estimated from those rows alone (rows whose value is NaN or
// infinite are left out of the estimate and counted). The run stops at the
// first k where every half-width is at most its target, or at -n rows. Each
// row depends only on the seed and its index, so the results file is
// byte-identical to that of `-n kB` with the same seed, for any thread count.
//
// Stopping on an estimated width makes the interval cover slightly less than
// 95 % (a run tends to stop where the spread happened to be estimated low);
// with blocks of the default 1000 rows every estimate rests on so many rows
// that the effect is small.
#pragma once

#include <array>
#include <armadillo>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli/precision_request.hpp"
#include "driver/region.hpp"

// The 97.5 % quantile of Student's t with `degrees` (>= 1) degrees of freedom.
double student_t_975(int degrees);

struct mean_estimate {
  int rows_used = 0;      // finite values
  int rows_left_out = 0;  // NaN or infinite values
  double mean = 0;
  double half_width = 0;  // of the 95 % interval; +inf with fewer than 2 rows used
};

// The estimate of the mean of `column` over rows 0 .. rows-1 of `results`.
mean_estimate estimate_mean(const arma::Mat<double>& results, int rows, int column);

// The further rows a measure needs by the usual estimate n (h/target)^2 - n
// (rounded up; 0 when h <= target), or nullopt when h is not finite.
std::optional<std::uint64_t> rows_still_needed(int rows_used, double half_width, double target);

// Where a precision run stands after a block.
struct precision_state {
  int rows = 0;                         // rows 0 .. rows-1 were estimated
  std::vector<mean_estimate> estimates;  // one per target
  bool met = false;                     // every half-width within its target
};

precision_state check_precision(const precision_request& request, const arma::Mat<double>& results, int rows);

// One line (without line end) on what a block reached: the rows, every
// measure's half-width against its target, and the rows still needed.
std::string precision_report(const precision_request& request, const precision_state& state);

// The metadata's "precision" object: targets, block, rows_run (the rows of
// the last check: those of the results file once complete), half_widths
// (null where not finite or not estimated), rows_left_out and met.
nlohmann::json precision_json(const precision_request& request, const precision_state& state);

// The rows the results file of a complete run with the metadata `metadata`
// holds when it was run as `request` asks today: `repetitions`, or the rows
// where a precision run met its targets. nullopt, with the reason in `why`,
// when it ran with other precision targets or another block.
std::optional<std::uint64_t> rows_expected(const nlohmann::json& metadata, const precision_request& request,
                                           int repetitions, std::string& why);

// Runs the rows of `settings` (all -n of them allocated in `results`) in
// blocks, stopping as described above, after a failure or on a stop request.
// A block begins only once the previous ones are finished; no check is made
// before the rows `hooks.done` holds (a resumed journal's) are all within
// the prefix, so that no finished row is dropped. Each block shows its own
// progress bar on `bar`; `report` takes one precision_report line per block
// and a note when -n rows end the run short of a target. `on_block` is
// called with the end of the block under way (rows 0 .. limit-1) before the
// block runs and before anything is written to `report`. `state` is the
// last check (rows 0 when none was made): met when the run stopped at its
// targets, over all -n rows when they were missed. outcome.finished covers
// all -n rows.
region_outcome run_to_precision(const input_tables& tables, const region_settings& settings,
                                const repetition_body& body, arma::Mat<double>& results,
                                const region_hooks& hooks, const precision_request& request,
                                std::ostream& bar, std::ostream& report, precision_state& state,
                                const std::function<void(int limit)>& on_block = {});
