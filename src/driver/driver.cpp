#include "driver/driver.hpp"

#include <algorithm>
#include <boost/timer/progress_display.hpp>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <malloc.h>
#include <memory>
#include <new>
#include <omp.h>
#include <optional>
#include <poll.h>
#include <random>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "records/checksum.hpp"
#include "driver/directory.hpp"
#include "records/journal.hpp"
#include "records/metadata.hpp"
#include "driver/preflight.hpp"
#include "records/results_file.hpp"
#include "driver/stop_signals.hpp"
#include "driver/sweep.hpp"
#include "records/tables.hpp"

namespace {

[[noreturn]] void fail_setup(const std::string& message)
{
  throw run_error(message, exit_setup_error);
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

void report_failures(const region_outcome& outcome, std::uint64_t seed)
{
  for (const repetition_failure& f : outcome.failures) {
    std::cerr << "repetition " << f.index << " failed: " << f.message << " (rerun it with --seed "
              << seed << " --first-repetition " << f.index << " --repetitions 1)" << std::endl;
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

// QUARNEL_VECTORS caps the kernels' vector width when it is "baseline" or
// "avx2" (kernels/vector_isa.hpp); any other value is ignored there, so it
// is named here, once, at the start.
void note_ignored_vector_limit()
{
  const char* limit = std::getenv("QUARNEL_VECTORS");
  if (limit == nullptr || *limit == '\0') return;
  const std::string value = limit;
  if (value == "baseline" || value == "avx2") return;
  std::cerr << "note: QUARNEL_VECTORS='" << echoed(value)
            << "' is ignored (it takes baseline or avx2); the kernels use the widest vectors "
               "the processor has"
            << std::endl;
}

// `text` as one word for the shell (quoted unless it is made of characters
// the shell takes literally).
std::string shell_quoted(const std::string& text)
{
  if (!text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                              "0123456789_-+=./,:@") == std::string::npos) {
    return text;
  }
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The post-processing command for the results file or sweep table `name`:
// the default results file is the script's own default; any other is named
// after "--", so that the script takes no name ("-x.csv", "--help") for an
// option.
std::string postprocess_command(const std::string& name, const program_settings& program)
{
  std::string command = "Rscript " + std::string(postprocess_script);
  if (name != program.results_file) command += " -- " + shell_quoted(name);
  return command;
}

// The model settings that shape the rows besides the seed and the repetition
// index. They go into the journal header (a resumed run must have the same)
// and into the metadata; settings chosen on the command line belong here.
settings_map settings_in_force(const model_settings& model, bool draws_exponent)
{
  settings_map map;
  for (const auto& [name, value] : setting_values(model, draws_exponent)) map[name] = value;
  return map;
}

// The options that give the run's settings and sweep again: --set for every
// setting off its default, --sweep as given.
std::string settings_arguments(const run_options& options, bool draws_exponent)
{
  std::string text;
  const auto defaults = setting_values(model_settings{}, draws_exponent);
  const auto chosen = setting_values(options.settings, draws_exponent);
  for (std::size_t i = 0; i < chosen.size(); ++i) {
    if (chosen[i] != defaults[i]) text += " --set " + shell_quoted(chosen[i].first + "=" + chosen[i].second);
  }
  for (const sweep_axis& axis : options.sweep) {
    bool comma = false;
    for (const std::string& v : axis.values) comma = comma || v.find(',') != std::string::npos;
    std::string values;
    for (const std::string& v : axis.values) values += (values.empty() ? "" : comma ? ";" : ",") + v;
    text += " --sweep " + shell_quoted(axis.name + "=" + values);
  }
  if (options.max_points != default_max_points) text += " --max-points " + std::to_string(options.max_points);
  return text;
}

// A 64-bit run seed from the operating system's entropy source.
std::uint64_t draw_run_seed()
{
  std::random_device device("default");
  const std::uint64_t high = device();
  return high << 32 | device();
}

// The command that continues this run from its journal.
std::string resume_command(const std::string& start_dir, const std::string& program_path,
                           const run_options& options, const journal_header& run, bool draws_exponent)
{
  std::string command = "cd " + shell_quoted(start_dir) + " && " + shell_quoted(program_path) +
                        " -n " + std::to_string(run.repetitions) + " -o " +
                        shell_quoted(options.output) + " --seed " + std::to_string(run.seed);
  if (run.first_repetition != 0) {
    command += " --first-repetition " + std::to_string(run.first_repetition);
  }
  if (!options.postprocess) command += " --no-postprocess";
  return command + settings_arguments(options, draws_exponent) + " --resume";
}

int count_finished(const std::vector<unsigned char>& finished)
{
  int n = 0;
  for (unsigned char f : finished) n += f != 0;
  return n;
}

// Fills the journal's rows into `results` and returns their flags.
std::vector<unsigned char> rows_from_journal(const journal_contents& journal, arma::Mat<double>& results)
{
  std::vector<unsigned char> done(results.n_rows, 0);
  for (const auto& [index, row] : journal.rows) {
    const std::uint64_t r = index - journal.header.first_repetition;
    for (int c = 0; c < results_columns; ++c) results(r, static_cast<arma::uword>(c)) = row[c];
    done[r] = 1;
  }
  return done;
}

// Opens the journal for a fresh run, or for a resumed one after taking the
// values not given on the command line from it and checking the rest.
// Throws run_error.
std::unique_ptr<journal_file> open_journal(const std::string& path, const run_options& options,
                                           journal_header& run, std::string& seed_source)
{
  if (!options.resume) return std::make_unique<journal_file>(path, journal_file::open_mode::fresh, run);
  auto journal = std::make_unique<journal_file>(path, journal_file::open_mode::resume, run);
  const journal_header& had = journal->contents().header;
  if (journal->contents().format_version == 1) {
    std::cerr << "note: " << path << " is a version 1 journal: its rows carry no checksums and "
              << "are resumed unchecked" << std::endl;
  }
  if (!options.seed) {
    run.seed = had.seed;
    seed_source = "journal";
  }
  if (!options.repetitions_given) run.repetitions = had.repetitions;
  if (!options.first_repetition_given) run.first_repetition = had.first_repetition;
  if (const std::string why = header_mismatch(had, run); !why.empty()) {
    throw run_error(path + " belongs to another run: " + why);
  }
  return journal;
}

// Whether the standard output can no longer take what is written to it:
// closed, a pipe whose reader has gone, or failed on an earlier write.
bool standard_output_gone()
{
  std::cout << std::flush;
  if (!std::cout || ::fcntl(STDOUT_FILENO, F_GETFD) == -1) return true;
  pollfd out{STDOUT_FILENO, 0, 0};
  return ::poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}

// Runs the post-processing command in `r_dir`; its outcome is only a note.
// When the standard output is gone, the script's output goes to the standard
// error instead (or to /dev/null): with descriptor 1 closed, the first file
// the script opens would take that number and its notes would go there, and
// on a pipe without reader its notes would fail. A reader that leaves while
// the script runs (`| head`) cannot be foreseen here; the script itself
// drops its notes then and finishes its outputs.
void postprocess(const std::string& r_dir, const std::string& command)
{
  if (::chdir(r_dir.c_str()) != 0) {
    std::cerr << "note: cannot enter the R directory " << r_dir
              << "; the results were not post-processed" << std::endl;
    return;
  }
  if (standard_output_gone() && ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0 && null != STDOUT_FILENO) {
      ::dup2(null, STDOUT_FILENO);
      ::close(null);
    }
  }
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

// Why a row of the power-to-pay table cannot serve exponent=table, or "".
std::string exponent_row_problem(const double* row)
{
  model_settings probe;
  std::ostringstream value;
  value.precision(17);
  value << row[0];
  return apply_setting(probe, "exponent", value.str(), true);
}

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, so
// that no file the run opens later (a journal, a results file) becomes the
// standard error or output that messages go to. False when one cannot be
// opened (nothing can be reported then).
bool open_standard_descriptors()
{
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is fd: those below it are open by now.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened == fd) continue;
    if (opened >= 0) ::close(opened);
    return false;
  }
  return true;
}

// Prints a run_error's message as one or more whole lines (nothing for an
// empty one).
void report_error(const std::string& message)
{
  if (message.empty()) return;
  std::cerr << message;
  if (message.back() != '\n') std::cerr << '\n';
  std::cerr << std::flush;
}

// Where a run stands, for the message when an exception nothing else caught
// ends it.
struct run_trace {
  bool repetitions_started = false;
  std::string rows_at;  // where the finished rows are, "" while there are none
};

// Removes a fresh journal when an exception ends the run before its first
// repetition: holding only the header, it would stop the next run on the
// output as an unfinished one.
class unused_journal_guard {
 public:
  explicit unused_journal_guard(journal_file* journal) : journal_(journal) {}
  ~unused_journal_guard()
  {
    if (journal_ != nullptr) journal_->remove();
  }
  unused_journal_guard(const unused_journal_guard&) = delete;
  unused_journal_guard& operator=(const unused_journal_guard&) = delete;
  void release() { journal_ = nullptr; }

 private:
  journal_file* journal_;
};

// The most rows one results table of the run holds: -n, or with --resume
// and no -n the journals' counts (a sweep's points without a journal run
// -n's default). Throws run_error.
int rows_to_hold(const run_options& options, const std::string& results_dir,
                 const std::vector<std::string>& outputs, bool sweep)
{
  if (!options.resume || options.repetitions_given) return options.repetitions;
  if (!sweep) return read_journal_header(results_dir + "/" + options.output + ".journal").repetitions;
  int rows = options.repetitions;
  for (const std::string& output : outputs) {
    const std::string path = results_dir + "/" + output + ".journal";
    if (::access(path.c_str(), F_OK) == 0) rows = std::max(rows, read_journal_header(path).repetitions);
  }
  return rows;
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

namespace {

int run_steps(const program_settings& program, const repetition_body& body, int argc,
              const char* const argv[], run_trace& trace)
{
  if (!open_standard_descriptors()) throw run_error("", exit_setup_error);
  parsed_command parsed;
  try {
    parsed = parse_options(argc, argv, program);
  } catch (const run_error& e) {
    throw run_error(program.name + ": " + e.what() + "\n\n" + usage_text(program), e.status);
  }
  if (parsed.text) {
    std::cout << *parsed.text;
    return exit_ok;
  }
  const run_options& options = parsed.options;
  const bool sweep = !options.sweep.empty();
  std::vector<sweep_point> points{{options.settings, {}}};
  if (sweep) points = sweep_grid(options.settings, options.sweep, program.draws_exponent);
  if (const std::string m = grid_run_problem(points, omp_get_max_threads(), machine_memory()); !m.empty()) {
    throw run_error(program.name + ": " + m, exit_usage_error);
  }
  bool reads_exponent_table = false;
  for (const sweep_point& p : points) {
    reads_exponent_table = reads_exponent_table ||
                           (p.settings.exponent && p.settings.exponent->kind == drawn_setting::table);
  }
  keep_freed_memory();

  install_stop_signals();
  std::cout << "Quarnel Model" << std::endl;
  note_ignored_vector_limit();
  if (sweep) std::cout << sweep_size_text(options.sweep, options.output) << std::endl;

  // Everything that can be checked is checked before the first repetition.
  std::optional<project_layout> layout;
  std::string start_dir;
  try {
    start_dir = current_directory();
    layout = find_layout(start_dir);
  } catch (const std::exception& e) {
    fail_setup(std::string(e.what()) + "; start " + program.name +
               " from the executables/ directory beside data/, results/ and R/");
  }
  if (!layout) {
    fail_setup("the working directory " + start_dir +
               " is not in or below a directory named executables; start " + program.name +
               " from the executables/ directory beside data/, results/ and R/");
  }
  if (!is_directory(layout->data)) {
    fail_setup("cannot enter the data directory " + layout->data +
                      " (expected beside executables/)");
  }

  // One sweep at a time on a stem, from its first check to its end.
  sweep_lock lock;
  if (sweep) {
    if (const std::string p = lock.take(layout->results, options.output); !p.empty()) fail_setup(p);
  }

  input_tables tables;
  std::vector<std::string> table_notes;
  try {
    tables = load_tables(layout->data, &table_notes);
    if (reads_exponent_table) {  // then read as strictly as the other two
      tables.pay_exponent = read_table(layout->data + "/" + pay_exponent_file, 1, exponent_row_problem);
    }
  } catch (const run_error& e) {
    fail_setup(std::string("input table ") + e.what());
  }
  if (const std::string p = span_table_problem(tables.span); !p.empty()) {
    fail_setup("span table " + layout->data + "/" + span_file + ": " + p);
  }
  if (const std::string p = g_table_problem(tables.g); !p.empty()) {
    fail_setup("g table " + layout->data + "/" + g_file + ": " + p);
  }
  for (const std::string& note : table_notes) std::cerr << "note: " << note << std::endl;
  // The checksums of the tables as loaded, for every point of a sweep.
  std::map<std::string, std::optional<std::string>> table_sums;
  for (const char* file : {span_file, g_file, pay_exponent_file}) {
    table_sums[file] = sha256_of_file(layout->data + "/" + file);
  }

  std::vector<std::string> targets{options.output};
  if (sweep) {
    targets = {sweep_table_file(options.output)};
    for (std::size_t k = 0; k < points.size(); ++k) targets.push_back(point_file(options.output, k));
  }
  if (const std::string p = results_targets_problem(layout->results, targets); !p.empty()) {
    fail_setup(p);
  }
  int rows_held = options.repetitions;
  try {
    rows_held = rows_to_hold(options, layout->results, targets, sweep);
  } catch (const run_error& e) {
    fail_setup(std::string("cannot resume: ") + e.what());
  }
  if (const std::string p = memory_problem(rows_held); !p.empty()) {
    fail_setup(p);
  }
  bool postprocess_run = options.postprocess;
  const std::string script = layout->r + "/" + postprocess_script;
  if (postprocess_run && ::access(script.c_str(), R_OK) != 0) {
    std::cerr << "note: " << script << " not found; the results will not be post-processed"
              << std::endl;
    postprocess_run = false;
  }

  // Every point of a sweep runs with the one seed.
  const std::uint64_t run_seed = options.seed ? *options.seed : draw_run_seed();

  // What a run with the settings `model` is, before its journal adds what
  // a resumed run does not give: the journal's header and what --resume and
  // a resumed sweep compare.
  const auto header_of = [&](const model_settings& model) {
    journal_header run;
    run.program = program.name;
    run.version = QUARNEL_VERSION;
    run.seed = run_seed;
    run.first_repetition = options.first_repetition;
    run.repetitions = options.repetitions;
    run.settings = settings_in_force(model, program.draws_exponent);
    run.input_tables = table_sums;
    return run;
  };

  // Runs the repetitions with the settings `model` into `output`, from its
  // journal when `resume`. Returns the exit status.
  const auto run_one = [&](const model_settings& model, const std::string& output, bool resume) -> int {
    run_options point_options = options;
    point_options.resume = resume;
    journal_header run = header_of(model);
    run_record record;
    record.seed_source = options.seed ? "option" : "drawn";

    const std::string journal_path = layout->results + "/" + output + ".journal";
    std::unique_ptr<journal_file> journal;
    try {
      journal = open_journal(journal_path, point_options, run, record.seed_source);
    } catch (const run_error& e) {
      fail_setup(std::string("cannot ") + (resume ? "resume: " : "start: ") + e.what());
    }
    unused_journal_guard unused(resume ? nullptr : journal.get());
    trace.rows_at = resume ? "the finished rows stay in " + journal_path : "";
    if (record.seed_source == "drawn") {
      std::cerr << "note: the seed of this run is " << run.seed << " (--seed " << run.seed
                << " reproduces it)" << std::endl;
    }

    arma::Mat<double> results(static_cast<arma::uword>(run.repetitions), results_columns,
                              arma::fill::none);
    region_hooks hooks;
    hooks.done = rows_from_journal(journal->contents(), results);
    record.resumed_rows = count_finished(hooks.done);
    hooks.stop_requested = &stop_requested();
    bool journal_failed = false;
    const auto journal_problem = [&](const std::string& why) {
      if (why.empty() || journal_failed) return;
      journal_failed = true;
      trace.rows_at = "the journal " + journal_path + " misses finished rows";
      std::cerr << "\ncould not write the journal " << journal_path << ": " << why
                << " (the rows finished from now on are kept in memory only)" << std::endl;
    };
    hooks.row_finished = [&](int r) {
      results_row row;
      for (int c = 0; c < results_columns; ++c) {
        row[c] = results(static_cast<arma::uword>(r), static_cast<arma::uword>(c));
      }
      if (!journal_failed) journal_problem(journal->append(run.first_repetition + static_cast<std::uint64_t>(r), row));
    };

    record.run = run;
    record.command_line.assign(argv, argv + argc);
    record.threads = omp_get_max_threads();
    record.host = host_name();
    record.results_file = output;
    record.start = std::chrono::system_clock::now();
    const auto metadata_path = layout->results + "/" + metadata_file_name(output);
    const auto finish_record = [&](const char* status, const region_outcome& outcome) {
      record.end = std::chrono::system_clock::now();
      record.status = status;
      record.repetitions_done = count_finished(outcome.finished);
      record.failures = outcome.failures;
      record.rank_deficient_span_fits = outcome.notes.rank_deficient_span_fits;
      if (const std::string p = write_file_atomically(metadata_path, metadata_text(record)); !p.empty()) {
        std::cerr << "could not write the metadata " << metadata_path << ": " << p << std::endl;
      }
    };

    const auto start = std::chrono::steady_clock::now();
    region_outcome outcome;
    {
      const std::vector<int> todo = rows_to_do(run.repetitions, hooks.done);
      unused.release();
      trace.repetitions_started = true;
      trace.rows_at = "the finished rows stay in " + journal_path;
      boost::timer::progress_display progress(static_cast<unsigned long>(todo.size()));
      const region_settings settings{run.repetitions, run.first_repetition, run.seed,
                                     model.top_fraction, model.firms, model};
      outcome = run_region(tables, settings, body, results, progress, hooks);
      if (count_finished(outcome.finished) < run.repetitions) std::cout << std::endl;  // ends the bar
    }
    journal_problem(journal->sync());
    const double seconds =
        std::chrono::duration_cast<std::chrono::duration<double>>(std::chrono::steady_clock::now() - start).count();
    std::cout << "elapsed time: " << seconds << " s" << std::endl << std::endl;
    report_notes(outcome.notes, count_finished(outcome.finished) - record.resumed_rows);

    const int saved = count_finished(outcome.finished);
    const std::string resume_with =
        resume_command(start_dir, argv[0], options, run, program.draws_exponent);
    std::string saved_rows = std::to_string(saved) + " of " + std::to_string(run.repetitions) +
                             " rows are saved in " + journal_path;
    if (journal_failed && saved < run.repetitions) {
      // The journal misses rows: keep them all in a file of their own too.
      const std::string rows = format_indexed_rows(results, outcome.finished, run.first_repetition);
      const std::string fallback = write_fallback_file(output + ".rows", rows);
      std::cerr << "the finished rows are saved " << (fallback.empty() ? "nowhere else" : "to " + fallback)
                << std::endl;
      trace.rows_at = "the journal " + journal_path + " misses finished rows" +
                      (fallback.empty() ? "" : "; all are saved to " + fallback);
      saved_rows = std::to_string(saved) + " of " + std::to_string(run.repetitions) +
                   " rows are finished, but the journal " + journal_path + " misses some";
    }
    if (outcome.failures.empty() && saved < run.repetitions) {
      const int signal = stop_signal();
      record.signal = signal_name(signal);
      finish_record("interrupted", outcome);
      std::cerr << "stopped by " << signal_name(signal) << ": " << saved_rows << "\nresume with: "
                << resume_with << std::endl;
      return 128 + signal;
    }

    if (!outcome.failures.empty()) {
      report_failures(outcome, run.seed);
      finish_record("failed", outcome);
      std::cerr << saved_rows << "\nretry the failed repetitions with: " << resume_with << std::endl;
      return exit_repetition_failed;
    }

    const std::string results_text = format_table(results);
    if (!save_text(layout->results, output, results_text, "the results")) {
      record.message = "the results file could not be saved in results/";
      finish_record("failed", outcome);
      if (journal_failed) {
        std::cerr << "the journal " << journal_path << " misses rows (all are in the table above); " << resume_with
                  << " runs them again and writes the file" << std::endl;
      } else {
        std::cerr << "the rows also stay in " << journal_path << "; " << resume_with
                  << " writes the file again" << std::endl;
      }
      return exit_save_failed;
    }
    journal->remove();
    trace.rows_at = "the results are saved in " + layout->results + "/" + output;
    record.results_sha256 = sha256_of_text(results_text);
    record.results_rows = static_cast<std::uint64_t>(run.repetitions);
    finish_record("complete", outcome);
    return exit_ok;
  };

  if (!sweep) {
    const int status = run_one(options.settings, options.output, options.resume);
    if (status != exit_ok) return status;
    if (postprocess_run && stop_signal() == 0) postprocess(layout->r, postprocess_command(options.output, program));
    return exit_ok;
  }

  // A resumed sweep continues the points that have a journal, keeps those
  // complete for today's run and runs the rest. Every point is judged before
  // any runs, so that a refused one leaves everything as it was.
  std::vector<unsigned char> has_journal(points.size(), 0);
  std::vector<point_verdict> verdicts(points.size());
  for (std::size_t k = 0; k < points.size() && options.resume; ++k) {
    const std::string output = point_file(options.output, k);
    has_journal[k] = ::access((layout->results + "/" + output + ".journal").c_str(), F_OK) == 0;
    if (has_journal[k]) continue;
    verdicts[k] = finished_point(layout->results, output, header_of(points[k].settings));
    if (verdicts[k].what == point_verdict::action::refuse) fail_setup(verdicts[k].why);
  }
  for (std::size_t k = 0; k < points.size(); ++k) {
    std::cout << "sweep point " << k << " of " << points.size() << ":";
    for (std::size_t a = 0; a < options.sweep.size(); ++a)
      std::cout << " " << options.sweep[a].name << "=" << points[k].values[a];
    if (verdicts[k].what == point_verdict::action::keep) {
      std::cout << " (complete, kept)" << std::endl;
      continue;
    }
    std::cout << (verdicts[k].why.empty() ? "" : " (" + verdicts[k].why + "; run again)") << std::endl;
    const int status = run_one(points[k].settings, point_file(options.output, k), has_journal[k] != 0);
    if (status != exit_ok) return status;
  }
  const std::string table = sweep_table_file(options.output);
  if (!save_text(layout->results, table, sweep_table(options.sweep, points, options.output),
                 "the sweep table")) {
    return exit_save_failed;
  }
  std::cout << "sweep table: " << layout->results << "/" << table << std::endl;
  if (postprocess_run && stop_signal() == 0) {
    postprocess(layout->r, postprocess_command(table, program));
  }
  return exit_ok;
}

}  // namespace

int run_program(const program_settings& program, const repetition_body& body, int argc,
                const char* const argv[])
{
  run_trace trace;
  std::string what;
  try {
    return run_steps(program, body, argc, argv, trace);
  } catch (const run_error& e) {
    report_error(e.what());
    return e.status;
  } catch (const std::bad_alloc& e) {
    what = std::string("ran out of memory (") + e.what() + ")";
  } catch (const std::exception& e) {
    what = std::string("stopped by an unexpected error (") + e.what() + ")";
  } catch (...) {
    what = "stopped by an unexpected error";
  }
  std::cerr << program.name << ": " << what
            << (trace.repetitions_started ? " after the repetitions started" : " before the repetitions started")
            << (trace.rows_at.empty() ? "" : "; " + trace.rows_at) << std::endl;
  return trace.repetitions_started ? exit_save_failed : exit_setup_error;
}
