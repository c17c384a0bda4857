#include "driver/one_run.hpp"

#include <boost/timer/progress_display.hpp>
#include <chrono>
#include <iostream>
#include <memory>
#include <omp.h>
#include <utility>

#include "driver/postprocess.hpp"
#include "driver/precision.hpp"
#include "driver/stop_signals.hpp"
#include "records/checksum.hpp"
#include "records/metadata.hpp"
#include "records/results_file.hpp"
#include "records/run_report.hpp"

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

namespace {


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
  command += precision_arguments(options.precision);  // the same stopping rule
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

// The journal of one run as it is written. After a failed write the rows
// finished from then on are kept in memory only, and the trace says so.
class point_journal {
 public:
  point_journal(std::unique_ptr<journal_file> file, std::string path, run_trace& trace)
      : file_(std::move(file)), path_(std::move(path)), trace_(trace)
  {
  }

  // Notes the first failed write (`why` not empty); later ones are not told.
  void note(const std::string& why)
  {
    if (why.empty() || failed_) return;
    failed_ = true;
    trace_.rows_at = "the journal " + path_ + " misses finished rows";
    std::cerr << "\ncould not write the journal " << path_ << ": " << why
              << " (the rows finished from now on are kept in memory only)" << std::endl;
  }
  void append(std::uint64_t index, const results_row& row)
  {
    if (!failed_) note(file_->append(index, row));
  }
  void sync() { note(file_->sync()); }

  journal_file& file() { return *file_; }
  const std::string& path() const { return path_; }
  bool failed() const { return failed_; }

 private:
  std::unique_ptr<journal_file> file_;
  std::string path_;
  run_trace& trace_;
  bool failed_ = false;
};

// One run's results, its record for the metadata and what the region gave.
struct point_state {
  std::string output;
  journal_header header;
  run_record record;
  arma::Mat<double> results;
  std::vector<unsigned char> done;  // rows finished before this region
  region_outcome outcome;
  int rows_wanted = 0;               // the rows of the file: -n, or fewer once a precision is met
  int rows_finished = 0;             // for the terminal's status line
  status_line status_on_terminal;    // records/run_report.hpp
};

// Opens the run's journal (throws run_error with "cannot start: " or
// "cannot resume: " before the problem), and names a drawn seed.
std::unique_ptr<journal_file> open_point_journal(const run_context& run, point_state& p,
                                                 const std::string& path, bool resume)
{
  run_options point_options = run.options;
  point_options.resume = resume;
  std::unique_ptr<journal_file> journal;
  try {
    journal = open_journal(path, point_options, p.header, p.record.seed_source);
  } catch (const run_error& e) {
    throw run_error(std::string("cannot ") + (resume ? "resume: " : "start: ") + e.what());
  }
  if (p.record.seed_source == "drawn") {
    std::cerr << "note: the seed of this run is " << p.header.seed << " (--seed " << p.header.seed
              << " reproduces it)" << std::endl;
  }
  return journal;
}

// Writes the metadata with the status of the run's end.
void write_metadata(const run_context& run, point_state& p, const char* status)
{
  run_record& record = p.record;
  record.end = std::chrono::system_clock::now();
  record.status = status;
  record.repetitions_done = count_finished(p.outcome.finished);
  record.failures = p.outcome.failures;
  record.rank_deficient_span_fits = p.outcome.notes.rank_deficient_span_fits;
  // What the run cost: one line on stderr, and the metadata.
  record.cost.rows = static_cast<std::uint64_t>(record.repetitions_done - record.resumed_rows);
  std::cerr << cost_text(record.cost) << std::endl;
  const std::string path = run.layout.results + "/" + metadata_file_name(p.output);
  if (const std::string problem = write_file_atomically(path, metadata_text(record)); !problem.empty()) {
    std::cerr << "could not write the metadata " << path << ": " << problem << std::endl;
  }
}

// Runs the rows still to do in the parallel region, appending each finished
// one to the journal, then prints the elapsed time and the notes.
void run_rows(const run_context& run, const model_settings& model, point_state& p, point_journal& journal,
              unused_journal_guard& unused)
{
  region_hooks hooks;
  hooks.done = p.done;
  hooks.stop_requested = &stop_requested();
  hooks.row_finished = [&p, &journal](int r) {
    p.status_on_terminal.row_finished(static_cast<std::uint64_t>(++p.rows_finished),
                                      static_cast<std::uint64_t>(p.rows_wanted));
    results_row row;
    for (int c = 0; c < results_columns; ++c) {
      row[c] = p.results(static_cast<arma::uword>(r), static_cast<arma::uword>(c));
    }
    journal.append(p.header.first_repetition + static_cast<std::uint64_t>(r), row);
  };
  const journal_header& h = p.header;
  const auto start = std::chrono::steady_clock::now();
  const double core_start = core_seconds_used();
  {
    const std::vector<int> todo = rows_to_do(h.repetitions, hooks.done);
    unused.release();
    run.trace->repetitions_started = true;
    run.trace->rows_at = "the finished rows stay in " + journal.path();
    const region_settings settings{h.repetitions, h.first_repetition, h.seed,
                                   model.top_fraction, model.firms, model};
    if (run.options.precision.used()) {  // blocks until the targets are met (driver/precision.hpp)
      precision_state reached;
      p.outcome = run_to_precision(run.tables, settings, run.body, p.results, hooks, run.options.precision,
                                   std::cout, std::cerr, reached, [&p](int limit) {
                                     p.status_on_terminal.clear();
                                     p.rows_wanted = limit;
                                   });
      p.rows_wanted = reached.met ? reached.rows : h.repetitions;
      p.record.precision = precision_json(run.options.precision, reached);
    } else {
      boost::timer::progress_display progress(static_cast<unsigned long>(todo.size()));
      p.outcome = run_region(run.tables, settings, run.body, p.results, progress, hooks);
      if (count_finished(p.outcome.finished) < h.repetitions) std::cout << std::endl;  // ends the bar
    }
    p.status_on_terminal.clear();
  }
  journal.sync();
  const double seconds =
      std::chrono::duration_cast<std::chrono::duration<double>>(std::chrono::steady_clock::now() - start).count();
  p.record.cost.wall_seconds = seconds;
  p.record.cost.core_seconds = core_seconds_used() - core_start;
  std::cout << "elapsed time: " << seconds << " s" << std::endl << std::endl;
  report_notes(p.outcome.notes, count_finished(p.outcome.finished) - p.record.resumed_rows);
}

// Where the finished rows of a run that did not complete are, for its
// closing message. When the journal misses rows, they are all written to a
// fallback file too.
std::string saved_rows_text(const run_context& run, const point_state& p, const point_journal& journal)
{
  const int saved = count_finished(p.outcome.finished);
  const std::string of = std::to_string(saved) + " of " + std::to_string(p.header.repetitions);
  if (!journal.failed() || saved >= p.rows_wanted) {
    return of + " rows are saved in " + journal.path();
  }
  const std::string rows = format_indexed_rows(p.results, p.outcome.finished, p.header.first_repetition);
  const std::string fallback = write_fallback_file(p.output + ".rows", rows);
  std::cerr << "the finished rows are saved " << (fallback.empty() ? "nowhere else" : "to " + fallback)
            << std::endl;
  run.trace->rows_at = "the journal " + journal.path() + " misses finished rows" +
                       (fallback.empty() ? "" : "; all are saved to " + fallback);
  return of + " rows are finished, but the journal " + journal.path() + " misses some";
}

// Saves the results file of a complete run and removes its journal, or
// reports where the rows are when it cannot be saved. Returns the status.
int save_results(const run_context& run, point_state& p, point_journal& journal, const std::string& resume_with)
{
  if (p.rows_wanted < p.header.repetitions) {  // a met precision: the file holds rows 0 .. rows_wanted-1
    p.results = arma::Mat<double>(p.results.head_rows(static_cast<arma::uword>(p.rows_wanted)));
  }
  const std::string results_text = format_table(p.results);
  if (!save_text(run.layout.results, p.output, results_text, "the results")) {
    p.record.message = "the results file could not be saved in results/";
    write_metadata(run, p, "failed");
    if (journal.failed()) {
      std::cerr << "the journal " << journal.path() << " misses rows (all are in the table above); "
                << resume_with << " runs them again and writes the file" << std::endl;
    } else {
      std::cerr << "the rows also stay in " << journal.path() << "; " << resume_with
                << " writes the file again" << std::endl;
    }
    return exit_save_failed;
  }
  journal.file().remove();
  run.trace->rows_at = "the results are saved in " + run.layout.results + "/" + p.output;
  p.record.results_sha256 = sha256_of_text(results_text);
  p.record.results_rows = static_cast<std::uint64_t>(p.rows_wanted);
  write_metadata(run, p, "complete");
  return exit_ok;
}

// Reports how the region ended and saves what it made. Returns the status.
int finish_run(const run_context& run, point_state& p, point_journal& journal)
{
  const std::string program_path = run.command_line.empty() ? run.program.name : run.command_line.front();
  const std::string resume_with =
      resume_command(run.start_dir, program_path, run.options, p.header, run.program.draws_exponent);
  const int saved = count_finished(p.outcome.finished);
  const std::string saved_rows = saved_rows_text(run, p, journal);
  if (p.outcome.failures.empty() && saved < p.rows_wanted) {
    const int signal = stop_signal();
    p.record.signal = signal_name(signal);
    write_metadata(run, p, "interrupted");
    std::cerr << "stopped by " << signal_name(signal) << ": " << saved_rows << "\nresume with: "
              << resume_with << std::endl;
    return 128 + signal;
  }
  if (!p.outcome.failures.empty()) {
    report_failures(p.outcome, p.header.seed);
    write_metadata(run, p, "failed");
    std::cerr << saved_rows << "\nretry the failed repetitions with: " << resume_with << std::endl;
    return exit_repetition_failed;
  }
  return save_results(run, p, journal, resume_with);
}

}  // namespace

journal_header run_header(const run_context& run, const model_settings& model)
{
  journal_header header;
  header.program = run.program.name;
  header.version = QUARNEL_VERSION;
  header.seed = run.seed;
  header.first_repetition = run.options.first_repetition;
  header.repetitions = run.options.repetitions;
  header.settings = settings_in_force(model, run.program.draws_exponent);
  header.input_tables = run.table_sums;
  return header;
}

int run_one(const run_context& run, const model_settings& model, const std::string& output, bool resume)
{
  point_state p;
  p.output = output;
  p.header = run_header(run, model);
  p.record.seed_source = run.options.seed ? "option" : "drawn";
  const std::string journal_path = run.layout.results + "/" + output + ".journal";
  point_journal journal(open_point_journal(run, p, journal_path, resume), journal_path, *run.trace);
  unused_journal_guard unused(resume ? nullptr : &journal.file());
  run.trace->rows_at = resume ? "the finished rows stay in " + journal_path : "";

  p.results.set_size(static_cast<arma::uword>(p.header.repetitions), results_columns);
  p.done = rows_from_journal(journal.file().contents(), p.results);
  p.record.resumed_rows = count_finished(p.done);
  p.rows_wanted = p.header.repetitions;
  p.rows_finished = p.record.resumed_rows;
  p.record.run = p.header;
  p.record.command_line = run.command_line;
  p.record.threads = omp_get_max_threads();
  p.record.host = host_name();
  p.record.results_file = output;
  p.record.start = std::chrono::system_clock::now();

  run_rows(run, model, p, journal, unused);
  return finish_run(run, p, journal);
}

