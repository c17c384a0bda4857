// The metadata file beside every results file: results/<stem>.json for the
// results file <stem>.csv (any last extension is replaced; a name without one
// gets ".json" appended). It is written atomically when a run ends, whether
// complete, interrupted or failed, as one JSON object:
//
//   program, version        strings
//   command_line            array of strings (argv as given)
//   seed                    decimal string (64 bits)
//   seed_source             "option" (--seed), "drawn" (random_device) or
//                           "journal" (a resumed run without --seed)
//   first_repetition        number, or a decimal string above 2^53 (beyond
//                           what JSON readers holding doubles keep exactly);
//                           so too every other 64-bit count and index below
//   repetitions_requested   number
//   repetitions_done        rows finished, counting those of a resumed journal
//   resumed_rows            rows taken from the journal (0 for a fresh run)
//   threads                 worker threads
//   settings                object: model setting name -> value text
//   input_tables_sha256     object: file name -> SHA-256 (hex), null if missing
//   input_tables            the same object, under the name existing readers
//                           use
//   start_time, end_time    UTC, ISO 8601 ("2026-12-08T12:30:00Z")
//   elapsed_seconds         number
//   host                    host name
//   results_file            the results file name inside results/
//   results_file_sha256     SHA-256 (hex) of the complete results file's bytes,
//                           null until the complete file is in place
//   results_file_rows       its number of rows (lines), null likewise
//   status                  "complete", "interrupted" or "failed"
//   signal                  "SIGINT", "SIGTERM" or "SIGHUP" (interrupted only)
//   failures                array of {"repetition": number, "message": string}
//   rank_deficient_span_fits   repetitions of this process whose resampled span
//                           table held a single level (minimum-norm span fit)
//   message                 what else went wrong, or ""
//   compiler                the compiler and its version ("g++ 12.2.0")
//   standard_library        "libstdc++ <release> (<date>)": the rows depend on
//                           its std::generate_canonical and
//                           std::normal_distribution
//   precision               null, or with --precision the object of
//                           precision_json (driver/precision.hpp): targets,
//                           block, rows_run, half_widths, rows_left_out, met
//   repetitions_run, run_seconds, repetitions_per_second, core_seconds,
//   core_seconds_per_repetition   what the rows run by this process cost
//                           (driver/run_report.hpp)
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "records/journal.hpp"
#include "records/run_report.hpp"

// A repetition that failed, and why.
struct repetition_failure {
  std::uint64_t index;
  std::string message;
};

struct run_record {
  journal_header run;
  std::string seed_source;
  std::vector<std::string> command_line;
  int repetitions_done = 0;
  int resumed_rows = 0;
  int threads = 0;
  std::chrono::system_clock::time_point start;
  std::chrono::system_clock::time_point end;
  std::string host;
  std::string results_file;
  // Set once the complete results file is in place: what it holds.
  std::optional<std::string> results_sha256;
  std::optional<std::uint64_t> results_rows;
  std::string status;
  std::string signal;
  std::vector<repetition_failure> failures;
  std::uint64_t rank_deficient_span_fits = 0;
  std::string message;
  run_cost cost;
  nlohmann::json precision = nullptr;  // precision_json, or null
};

std::string metadata_file_name(const std::string& results_file);

// The metadata as JSON text, indented, with a final line end.
std::string metadata_text(const run_record& record);

// "YYYY-MM-DDThh:mm:ssZ".
std::string utc_iso8601(std::chrono::system_clock::time_point t);

// The host name, or "" when unknown.
std::string host_name();
