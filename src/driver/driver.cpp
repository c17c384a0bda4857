#include "driver/driver.hpp"

#include <boost/timer/progress_display.hpp>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <malloc.h>
#include <memory>
#include <optional>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/directory.hpp"
#include "driver/preflight.hpp"
#include "driver/results_file.hpp"
#include "driver/tables.hpp"

namespace {

int fail_setup(const std::string& message)
{
  std::cerr << message << std::endl;
  return exit_setup_error;
}

bool is_directory(const std::string& path)
{
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Writes `text` as `dir`/`file`; when that fails, into a fallback file in the
// system's temporary directory, whose path is printed. A finished run is
// never lost silently. Returns whether the file landed where intended.
bool save_text(const std::string& dir, const std::string& file, const std::string& text,
               const char* what)
{
  const std::string target = dir + "/" + file;
  const std::string problem = write_file_atomically(target, text);
  if (problem.empty()) return true;
  std::cerr << "could not save " << what << " to " << target << ": " << problem << std::endl;
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

// `text` as one word for the shell.
std::string shell_quoted(const std::string& text)
{
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The post-processing command: the default results file is the script's own
// default; any other is named to it.
std::string postprocess_command(const run_options& options, const program_settings& program)
{
  std::string command = "Rscript " + std::string(postprocess_script);
  if (options.output != program.results_file) command += " " + shell_quoted(options.output);
  return command;
}

// Runs the post-processing command in `r_dir`; its outcome is only a note.
void postprocess(const std::string& r_dir, const std::string& command)
{
  if (::chdir(r_dir.c_str()) != 0) {
    std::cerr << "note: cannot enter the R directory " << r_dir
              << "; the results were not post-processed" << std::endl;
    return;
  }
  std::cout << std::flush;
  const int status = std::system(command.c_str());
  if (status == -1) {
    std::cerr << "note: the post-processing command could not be started" << std::endl;
  } else if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
    std::cerr << "note: Rscript was not found; the results were not post-processed"
              << std::endl;
  } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
    std::cerr << "note: the post-processing (" << command << " in " << r_dir
              << ") exited with status " << WEXITSTATUS(status) << std::endl;
  } else if (WIFSIGNALED(status)) {
    std::cerr << "note: the post-processing (" << command << " in " << r_dir
              << ") was ended by signal " << WTERMSIG(status) << std::endl;
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

  // Everything that can be checked is checked before the first repetition.
  std::optional<project_layout> layout;
  try {
    const std::string here = current_directory();
    layout = find_layout(here);
    if (!layout) {
      return fail_setup("the working directory " + here +
                        " is not in or below a directory named executables; start " +
                        program.name + " from the executables/ directory beside data/, "
                        "results/ and R/");
    }
  } catch (const std::exception& e) {
    return fail_setup(std::string(e.what()) + "; start " + program.name +
                      " from the executables/ directory beside data/, results/ and R/");
  }
  if (!is_directory(layout->data)) {
    return fail_setup("cannot enter the data directory " + layout->data +
                      " (expected beside executables/)");
  }

  input_tables tables;
  std::vector<std::string> table_notes;
  try {
    tables = load_tables(layout->data, &table_notes);
  } catch (const table_error& e) {
    return fail_setup(std::string("input table ") + e.what());
  }
  if (const std::string p = span_table_problem(tables.span); !p.empty()) {
    return fail_setup("span table " + layout->data + "/" + span_file + ": " + p);
  }
  if (const std::string p = g_table_problem(tables.g); !p.empty()) {
    return fail_setup("g table " + layout->data + "/" + g_file + ": " + p);
  }
  for (const std::string& note : table_notes) std::cerr << "note: " << note << std::endl;

  if (const std::string p = results_target_problem(layout->results, options.output); !p.empty()) {
    return fail_setup(p);
  }
  if (const std::string p = memory_problem(options.repetitions); !p.empty()) {
    return fail_setup(p);
  }
  bool postprocess_run = options.postprocess;
  const std::string script = layout->r + "/" + postprocess_script;
  if (postprocess_run && ::access(script.c_str(), R_OK) != 0) {
    std::cerr << "note: " << script << " not found; the results will not be post-processed"
              << std::endl;
    postprocess_run = false;
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

  if (!outcome.failures.empty()) {
    report_failures(outcome, options);
    const std::string partial = options.output + ".partial";
    if (save_text(layout->results,
                  partial, format_indexed_rows(results, outcome.finished, options.first_repetition),
                  "the finished rows")) {
      std::cerr << "finished rows saved to " << layout->results << "/" << partial << std::endl;
    }
    return exit_repetition_failed;
  }

  if (!save_text(layout->results, options.output, format_table(results), "the results")) {
    return exit_save_failed;
  }

  if (postprocess_run) postprocess(layout->r, postprocess_command(options, program));
  return exit_ok;
}
