// What a person watching a run reads, and what the run cost.
//
// The progress bar of asterisks stays on the standard output. When the
// standard error is a terminal, a status line there is rewritten (carriage
// return) at most once a second with the rows done, repetitions per second,
// the elapsed time and the estimated time left. Every run that reaches its
// repetitions ends with one line on the standard error saying what it cost
// (rows, wall time, repetitions per second, core-seconds per repetition),
// the same figures as its metadata.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

// The cost of the repetitions run by this process.
struct run_cost {
  std::uint64_t rows = 0;     // rows run (not those taken from a journal)
  double wall_seconds = 0;    // from the first repetition to the end
  double core_seconds = 0;    // user + system time of the process meanwhile
};

// User + system time of this process so far, in seconds (getrusage).
double core_seconds_used();

// "1:02:03" for hours, else "2:03" (minutes and seconds).
std::string clock_text(double seconds);

// The status line's text: "rows 120 of 400, 35.2 repetitions/s, elapsed 0:03, left 0:08".
// `rows_run` of them were run at `elapsed` seconds; the time left is unknown
// ("left ?") before the first.
std::string status_text(std::uint64_t rows_done, std::uint64_t rows_total, std::uint64_t rows_run,
                        double elapsed_seconds);

// The end line: "run cost: 400 rows in 12.3 s, 32.5 repetitions/s, 0.0612 core-seconds per repetition".
std::string cost_text(const run_cost& cost);

// The metadata's figures: repetitions_run, run_seconds, repetitions_per_second,
// core_seconds, core_seconds_per_repetition (null when no row ran).
void add_cost_json(nlohmann::json& metadata, const run_cost& cost);

// The status line on a terminal's standard error; does nothing otherwise.
class status_line {
 public:
  status_line();
  // Notes a finished row; rewrites the line when the last one is a second old.
  void row_finished(std::uint64_t rows_done, std::uint64_t rows_total);
  // Clears the line (before other messages, and at the end).
  void clear();
  bool shown() const { return terminal_; }

 private:
  bool terminal_;
  bool written_ = false;
  std::uint64_t rows_run_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_;
};
