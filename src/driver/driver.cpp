#include "driver/driver.hpp"

#include <boost/timer/progress_display.hpp>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <malloc.h>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/directory.hpp"
#include "driver/results_file.hpp"
#include "driver/tables.hpp"

namespace {

int fail_setup(const std::string& message)
{
  std::cerr << message << std::endl;
  return exit_setup_error;
}

// Why `dir` cannot receive the results file, or "" when it can.
std::string results_dir_problem(const std::string& dir)
{
  struct stat info;
  if (::stat(dir.c_str(), &info) != 0) return "does not exist";
  if (!S_ISDIR(info.st_mode)) return "is not a directory";
  if (::access(dir.c_str(), W_OK | X_OK) != 0) return "is not writable";
  return "";
}

// Writes `text` as `file` in the working directory when `here` is true;
// otherwise, or when that fails, into a fallback file in the system's
// temporary directory, whose path is printed. A finished run is never lost
// silently. Returns whether the file landed where intended.
bool save_text(const std::string& file, const std::string& text, bool here, const char* what)
{
  if (here) {
    std::string where = file;
    try {
      where = current_directory() + "/" + file;
    } catch (const std::exception&) {
    }
    const std::string problem = write_file_atomically(file, text);
    if (problem.empty()) return true;
    std::cerr << "could not save " << what << " to " << where << ": " << problem << std::endl;
  }
  const std::string fallback = write_fallback_file(file, text);
  if (fallback.empty()) {
    std::cerr << "could not write a fallback file either; " << what << " follow on stderr"
              << std::endl;
    std::cerr << text;
  } else {
    std::cerr << what << " saved instead to " << fallback << std::endl;
  }
  return false;
}

void report_failures(const region_outcome& outcome, const run_options& options)
{
  for (const repetition_failure& f : outcome.failures) {
    std::cerr << "repetition " << f.index << " failed: " << f.message;
    if (options.seed) {
      std::cerr << " (rerun it with --seed " << *options.seed << " --first-repetition "
                << f.index << " --repetitions 1)";
    }
    std::cerr << std::endl;
  }
}

// What the repetitions met without failing, once for the whole run.
void report_notes(const repetition_notes& notes, int repetitions)
{
  if (notes.rank_deficient_span_fits > 0) {
    std::cerr << "note: in " << notes.rank_deficient_span_fits << " of " << repetitions
              << " repetitions the resampled span table held a single level; their span fit "
                 "is the minimum-norm solution"
              << std::endl;
  }
}

void postprocess()
{
  const int status = std::system("Rscript energy_estimator.R");
  if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 127) {
    std::cerr << "note: Rscript was not found; the results were not post-processed"
              << std::endl;
  }
}

}  // namespace

// Every repetition allocates and frees buffers of the same sizes, up to some
// tens of MB. Left to itself, glibc hands large freed blocks back to the
// system (unmapped, or trimmed from a worker's arena, or placed in a fresh
// mapping when a worker's 64 MB arena heap is fragmented), and the next
// repetition pays a page fault for every page again, which on some virtual
// machines costs more than the work. Keep blocks below 32 MB in the heap,
// never trim it, and let every worker use the one main heap (a handful of
// large allocations per repetition: no contention worth a second arena).
void keep_freed_memory()
{
  mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 1024 * 1024 * 1024);
  mallopt(M_ARENA_MAX, 1);
}

int run_program(const program_settings& program, const repetition_body& body, int argc,
                const char* const argv[])
{
  const parse_result parsed = parse_options(argc, argv, program);
  if (parsed.status == parse_status::done) {
    std::cout << parsed.text;
    return exit_ok;
  }
  if (parsed.status == parse_status::usage_error) {
    std::cerr << program.name << ": " << parsed.text << "\n\n" << usage_text(program);
    return exit_usage_error;
  }
  const run_options& options = parsed.options;
  keep_freed_memory();

  std::cout << "Quarnel Model" << std::endl;

  try {
    if (!change_directory("executables", "data")) {
      const auto data = rewrite_path(current_directory(), "executables", "data");
      return fail_setup("cannot enter the data directory " + data.value_or("data") +
                        " (expected beside executables/)");
    }
  } catch (const std::exception& e) {
    return fail_setup(std::string(e.what()) + "; start " + program.name +
                      " from the executables/ directory beside data/, results/ and R/");
  }

  input_tables tables = load_tables();
  if (const std::string p = span_table_problem(tables.span); !p.empty()) {
    return fail_setup(std::string("span table ") + span_file + ": " + p);
  }
  if (const std::string p = g_table_problem(tables.g); !p.empty()) {
    return fail_setup(std::string("g table ") + g_file + ": " + p);
  }
  if (tables.pay_exponent.n_elem == 0) {
    std::cerr << "note: " << pay_exponent_file << " is missing or empty (it is not used)"
              << std::endl;
  }

  std::string results_dir;
  try {
    results_dir = rewrite_path(current_directory(), "data", "results").value_or("");
  } catch (const std::exception& e) {
    return fail_setup(e.what());
  }
  if (const std::string p = results_dir_problem(results_dir); !p.empty()) {
    return fail_setup("the results directory " + results_dir + " " + p);
  }

  arma::Mat<double> results(static_cast<arma::uword>(options.repetitions), results_columns,
                            arma::fill::none);

  const auto start = std::chrono::system_clock::now();
  region_outcome outcome;
  {
    boost::timer::progress_display progress(static_cast<unsigned long>(options.repetitions));
    const region_settings settings{options.repetitions, options.first_repetition, options.seed,
                                   top_fraction, firm_count};
    outcome = run_region(tables, settings, body, results, progress);
    if (!outcome.failures.empty()) std::cout << std::endl;  // ends the unfinished bar
  }
  const auto end = std::chrono::system_clock::now();
  const double seconds =
      static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count()) /
      1000000000;
  std::cout << "elapsed time: " << seconds << " s" << std::endl << std::endl;
  report_notes(outcome.notes, options.repetitions);

  bool in_results = false;
  try {
    in_results = change_directory("data", "results");
  } catch (const std::exception&) {
  }
  if (!in_results) std::cerr << "cannot enter the results directory " << results_dir << std::endl;

  if (!outcome.failures.empty()) {
    report_failures(outcome, options);
    const std::string partial = options.output + ".partial";
    if (save_text(partial, format_indexed_rows(results, outcome.finished, options.first_repetition),
                  in_results, "the finished rows")) {
      std::cerr << "finished rows saved to " << results_dir << "/" << partial << std::endl;
    }
    return exit_repetition_failed;
  }

  if (!save_text(options.output, format_table(results), in_results, "the results")) {
    return exit_save_failed;
  }

  if (options.postprocess) {
    bool in_r = false;
    try {
      in_r = change_directory("results", "R");
    } catch (const std::exception&) {
    }
    if (in_r) {
      postprocess();
    } else {
      std::cerr << "note: cannot enter the R directory; the results were not post-processed"
                << std::endl;
    }
  }
  return exit_ok;
}
