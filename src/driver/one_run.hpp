// One run of the repetitions into one results file: open (or resume) its
// journal, run the rows still to do in the parallel region with a progress
// bar, appending every finished row to the journal, report what stopped or
// failed, save the results file, remove the journal and write the metadata.
// A sweep makes one such run per point.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cli/options.hpp"
#include "driver/directory.hpp"
#include "driver/region.hpp"
#include "records/journal.hpp"
#include "records/tables.hpp"

// Where a run stands, for the message when an exception nothing else caught
// ends it.
struct run_trace {
  bool repetitions_started = false;
  std::string rows_at;  // where the finished rows are, "" while there are none
};

// What every run of a program shares once the checks before the run are
// done. The trace is updated as the runs go.
struct run_context {
  const program_settings& program;
  const repetition_body& body;
  std::vector<std::string> command_line;
  run_options options;
  std::string start_dir;  // where the program was started
  project_layout layout;
  input_tables tables;
  // The checksums of the tables as loaded, for every point of a sweep.
  std::map<std::string, std::optional<std::string>> table_sums;
  std::uint64_t seed = 0;  // every point of a sweep runs with the one seed
  run_trace* trace = nullptr;
};

// What a run with the settings `model` is, before its journal adds what a
// resumed run does not give: the journal's header and what --resume and a
// resumed sweep compare.
journal_header run_header(const run_context& run, const model_settings& model);

// Runs the repetitions with the settings `model` into results/`output`, from
// its journal when `resume`. Returns the exit status (exit_ok, 128 + a
// signal, exit_repetition_failed or exit_save_failed); throws run_error when
// the journal cannot be opened or resumed.
int run_one(const run_context& run, const model_settings& model, const std::string& output, bool resume);

// Writes `text` as `dir`/`file`; when that fails, into a fallback file in the
// system's temporary directory, whose path is printed. A finished run is
// never lost silently. Returns whether the file landed where intended.
bool save_text(const std::string& dir, const std::string& file, const std::string& text,
               const char* what);
