#include "driver/driver.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <malloc.h>
#include <new>
#include <omp.h>
#include <optional>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/directory.hpp"
#include "driver/one_run.hpp"
#include "driver/postprocess.hpp"
#include "driver/preflight.hpp"
#include "driver/stop_signals.hpp"
#include "driver/sweep.hpp"
#include "records/checksum.hpp"
#include "records/journal.hpp"
#include "records/tables.hpp"

namespace {

bool is_directory(const std::string& path)
{
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
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





// A 64-bit run seed from the operating system's entropy source.
std::uint64_t draw_run_seed()
{
  std::random_device device("default");
  const std::uint64_t high = device();
  return high << 32 | device();
}







// Throws run_error when a row of the power-to-pay table cannot serve
// exponent=table.
void check_exponent_row(const double* row)
{
  model_settings probe;
  std::ostringstream value;
  value.precision(17);
  value << row[0];
  apply_setting(probe, "exponent", value.str(), true);
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

// The options, or the usage error with the usage text appended.
parsed_command parse_command(const program_settings& program, int argc, const char* const argv[])
{
  try {
    return parse_options(argc, argv, program);
  } catch (const run_error& e) {
    throw run_error(program.name + ": " + e.what() + "\n\n" + usage_text(program), e.status);
  }
}

// The points to run (one without a sweep), each checked to fit the machine.
std::vector<sweep_point> plan_points(const program_settings& program, const run_options& options)
{
  std::vector<sweep_point> points{{options.settings, {}}};
  if (!options.sweep.empty()) points = sweep_grid(options.settings, options.sweep, program.draws_exponent);
  try {
    check_grid(points, omp_get_max_threads(), machine_memory());
  } catch (const run_error& e) {
    throw run_error(program.name + ": " + e.what(), e.status);
  }
  return points;
}

// The project layout around the working directory, with its data directory.
void find_project(run_context& run)
{
  std::optional<project_layout> layout;
  try {
    run.start_dir = current_directory();
    layout = find_layout(run.start_dir);
  } catch (const std::exception& e) {
    throw run_error(std::string(e.what()) + "; start " + run.program.name +
                    " from the executables/ directory beside data/, results/ and R/");
  }
  if (!layout) {
    throw run_error("the working directory " + run.start_dir +
                    " is not in or below a directory named executables; start " + run.program.name +
                    " from the executables/ directory beside data/, results/ and R/");
  }
  if (!is_directory(layout->data)) {
    throw run_error("cannot enter the data directory " + layout->data + " (expected beside executables/)");
  }
  run.layout = *layout;
}

// Reads and checks the input tables (the power-to-pay table as strictly as
// the other two when a point reads it), prints their notes and takes their
// checksums.
void load_inputs(run_context& run, const std::vector<sweep_point>& points)
{
  bool reads_exponent_table = false;
  for (const sweep_point& p : points) {
    reads_exponent_table = reads_exponent_table ||
                           (p.settings.exponent && p.settings.exponent->kind == drawn_setting::table);
  }
  const std::string& data = run.layout.data;
  std::vector<std::string> table_notes;
  try {
    run.tables = load_tables(data, &table_notes);
    if (reads_exponent_table) {
      run.tables.pay_exponent = read_table(data + "/" + pay_exponent_file, 1, check_exponent_row);
    }
  } catch (const run_error& e) {
    throw run_error(std::string("input table ") + e.what());
  }
  check_span_table(run.tables.span, data + "/" + span_file);
  check_g_table(run.tables.g, data + "/" + g_file);
  for (const std::string& note : table_notes) std::cerr << "note: " << note << std::endl;
  for (const char* file : {span_file, g_file, pay_exponent_file}) {
    run.table_sums[file] = sha256_of_file(data + "/" + file);
  }
}

// Checks that every file of the run can be saved into results/ and that its
// results fit in memory.
void check_results(const run_context& run, std::size_t point_count)
{
  const run_options& options = run.options;
  const bool sweep = !options.sweep.empty();
  std::vector<std::string> targets{options.output};
  if (sweep) {
    targets = {sweep_table_file(options.output)};
    for (std::size_t k = 0; k < point_count; ++k) targets.push_back(point_file(options.output, k));
  }
  check_results_targets(run.layout.results, targets);
  int rows_held = options.repetitions;
  try {
    rows_held = rows_to_hold(options, run.layout.results, targets, sweep);
  } catch (const run_error& e) {
    throw run_error(std::string("cannot resume: ") + e.what());
  }
  check_memory(rows_held);
}

// Whether the run ends with the post-processing: asked for, and its script
// is there (a note says when it is not).
bool postprocess_wanted(const run_context& run)
{
  if (!run.options.postprocess) return false;
  const std::string script = run.layout.r + "/" + postprocess_script;
  if (::access(script.c_str(), R_OK) == 0) return true;
  std::cerr << "note: " << script << " not found; the results will not be post-processed" << std::endl;
  return false;
}

// A resumed sweep continues the points that have a journal, keeps those
// complete for today's run and runs the rest. Every point is judged before
// any runs, so that a refused one leaves everything as it was.
std::vector<point_verdict> judge_points(const run_context& run, const std::vector<sweep_point>& points,
                                        std::vector<unsigned char>& has_journal)
{
  has_journal.assign(points.size(), 0);
  std::vector<point_verdict> verdicts(points.size());
  for (std::size_t k = 0; k < points.size() && run.options.resume; ++k) {
    const std::string output = point_file(run.options.output, k);
    has_journal[k] = ::access((run.layout.results + "/" + output + ".journal").c_str(), F_OK) == 0;
    if (has_journal[k]) continue;
    verdicts[k] = finished_point(run.layout.results, output, run_header(run, points[k].settings),
                                 run.options.precision);
    if (verdicts[k].what == point_verdict::action::refuse) throw run_error(verdicts[k].why);
  }
  return verdicts;
}

// Runs every point of a sweep not kept, then saves the sweep table. Returns
// the exit status.
int run_sweep(const run_context& run, const std::vector<sweep_point>& points)
{
  const run_options& options = run.options;
  std::vector<unsigned char> has_journal;
  const std::vector<point_verdict> verdicts = judge_points(run, points, has_journal);
  for (std::size_t k = 0; k < points.size(); ++k) {
    std::cout << "sweep point " << k << " of " << points.size() << ":";
    for (std::size_t a = 0; a < options.sweep.size(); ++a)
      std::cout << " " << options.sweep[a].name << "=" << points[k].values[a];
    if (verdicts[k].what == point_verdict::action::keep) {
      std::cout << " (complete, kept)" << std::endl;
      continue;
    }
    std::cout << (verdicts[k].why.empty() ? "" : " (" + verdicts[k].why + "; run again)") << std::endl;
    const int status = run_one(run, points[k].settings, point_file(options.output, k), has_journal[k] != 0);
    if (status != exit_ok) return status;
  }
  const std::string table = sweep_table_file(options.output);
  if (!save_text(run.layout.results, table, sweep_table(options.sweep, points, options.output),
                 "the sweep table")) {
    return exit_save_failed;
  }
  std::cout << "sweep table: " << run.layout.results << "/" << table << std::endl;
  return exit_ok;
}

// A run: parse, check everything that can be checked before the first
// repetition, run (every point of a sweep), post-process. Returns the exit
// status; throws run_error for what ends it before it starts.
int run_steps(const program_settings& program, const repetition_body& body, int argc,
              const char* const argv[], run_trace& trace)
{
  if (!open_standard_descriptors()) throw run_error("", exit_setup_error);
  const parsed_command parsed = parse_command(program, argc, argv);
  if (parsed.text) {
    std::cout << *parsed.text;
    return exit_ok;
  }
  run_context run{program, body, {argv, argv + argc}, parsed.options, {}, {}, {}, {}, 0, &trace};
  const bool sweep = !run.options.sweep.empty();
  const std::vector<sweep_point> points = plan_points(program, run.options);
  keep_freed_memory();

  install_stop_signals();
  std::cout << "Quarnel Model" << std::endl;
  note_ignored_vector_limit();
  if (sweep) std::cout << sweep_size_text(run.options.sweep, run.options.output) << std::endl;

  find_project(run);
  sweep_lock lock;  // one sweep at a time on a stem, from its first check to its end
  if (sweep) lock.take(run.layout.results, run.options.output);
  load_inputs(run, points);
  check_results(run, points.size());
  const bool postprocess_run = postprocess_wanted(run);
  run.seed = run.options.seed ? *run.options.seed : draw_run_seed();

  const int status = sweep ? run_sweep(run, points) : run_one(run, run.options.settings, run.options.output, run.options.resume);
  if (status != exit_ok) return status;
  if (postprocess_run && stop_signal() == 0) {
    const std::string name = sweep ? sweep_table_file(run.options.output) : run.options.output;
    postprocess(run.layout.r, postprocess_command(name, program));
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
