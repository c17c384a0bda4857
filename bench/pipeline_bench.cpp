// pipeline_bench: where a repetition's time goes, how many repetitions per
// second each pipeline runs, and how much memory a worker holds.
//
// Run without arguments it prints one table: seconds per repetition of each
// stage at fixed alpha = 1.8, 2.0, 2.5, 4.0, 7.0 for the plain pipeline
// (run_repetition) and the fast one (run_repetition_fast); then the whole
// pipeline's repetitions per second over the seeded mix of `quarnel -n 40
// -s 1` with 1 and with 2 threads, with the share of kernel time, the page
// faults and the other work on the machine while they ran; and the peak
// resident memory of each. Every measurement runs in a child process of its
// own (this program started again with a --child-* option), so each peak
// resident size belongs to one configuration alone. The exit status is 1 when
// the two pipelines' rows differ (or a child fails), else 0.
//
// Options: --data DIR (the input tables, default the project's data/),
// --repeats R (stage timings are the median of R repetitions, default 3),
// --runs K (whole-pipeline figures are the median of K runs, default 3),
// --repetitions N and --seed S (the mix, default 40 and 1).
//
// The stage timings replay the two pipelines step by step with the same
// functions, seeds and random streams as the programs; the only change is
// that alpha is fixed instead of drawn (its uniform is still drawn and
// discarded, so every later draw is the same one the programs make). Each
// child also prints its results row, and the parent checks that both
// pipelines give the same rows, so a replay that drifted from the programs
// would show.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <numeric>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <armadillo>
#include <boost/timer/progress_display.hpp>
#include <omp.h>
#include <sys/resource.h>
#include <unistd.h>

#include "driver/driver.hpp"
#include "driver/region.hpp"
#include "driver/tables.hpp"
#include "loops/economy.hpp"
#include "loops/fast_repetition.hpp"
#include "loops/repetition.hpp"
#include "loops/seeds.hpp"
#include "model/base_fit.hpp"
#include "model/hierarchy.hpp"
#include "stats/bootstrap.hpp"
#include "stats/fast_random.hpp"
#include "stats/inequality.hpp"
#include "stats/power_law_runs.hpp"
#include "stats/radix_sort.hpp"
#include "stats/resample.hpp"
#include "stats/rpld.hpp"
#include "stats/sparse_shuffle.hpp"

#ifndef QUARNEL_BENCH_DATA_DIR
#define QUARNEL_BENCH_DATA_DIR "data"
#endif
#ifndef QUARNEL_BENCH_FLAGS
#define QUARNEL_BENCH_FLAGS "unknown"
#endif

namespace {

using clock_type = std::chrono::steady_clock;

const std::array<double, 5> fixed_alphas{1.8, 2.0, 2.5, 4.0, 7.0};

// The stages, in pipeline order; the stage children print their times under
// these keys.
const std::array<const char*, 8> stage_keys{"bootstraps", "sampler",   "base_fit",
                                            "hierarchy",  "resampling", "power_inequality",
                                            "noise_pay",  "pay_inequality"};
const std::array<const char*, 8> stage_labels{
    "bootstraps (span, sigma)", "sampler",    "base fit",
    "hierarchy and powers",     "resampling", "inequality of power (Gini, top 1%)",
    "noise and pay",            "inequality of pay (Gini, top 1%)"};

double seconds_since(clock_type::time_point start)
{
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Peak resident memory of this process so far, in kB.
long peak_kb()
{
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

double seconds_of(const timeval& t)
{
  return static_cast<double>(t.tv_sec) + 1e-6 * static_cast<double>(t.tv_usec);
}

// CPU seconds in user and in kernel mode, and minor page faults, so far.
struct cpu_usage {
  double user;
  double system;
  double faults;
};

cpu_usage cpu_now()
{
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return {seconds_of(usage.ru_utime), seconds_of(usage.ru_stime), static_cast<double>(usage.ru_minflt)};
}

double median(std::vector<double> v)
{
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

input_tables tables_from(const std::string& dir)
{
  if (chdir(dir.c_str()) != 0) throw std::runtime_error("cannot enter the data directory " + dir);
  input_tables t = load_tables();
  std::string problem = span_table_problem(t.span);
  if (problem.empty()) problem = g_table_problem(t.g);
  if (!problem.empty()) throw std::runtime_error("the input tables in " + dir + " are unusable: " + problem);
  return t;
}

void print_row(const results_row& row)
{
  std::printf("row");
  for (double v : row) std::printf(" %.17g", v);
  std::printf("\n");
}

// ---------------------------------------------------------------------------
// Stage timings of one repetition at fixed alpha.

using stage_times = std::map<std::string, double>;

// The plain pipeline, step for step as run_repetition runs it (rule: drawn),
// through the same stage functions.
results_row plain_stages(const input_tables& t, const repetition_seeds& s, double alpha,
                         stage_times& time, double& members_out)
{
  auto start = clock_type::now();
  const arma::Col<double> ab = boot_span(t.span.col(0), t.span.col(1), s[span_seed]);
  const double a = ab[0];
  const double b = ab[1];
  const double sigma = boot_sigma(t.g, s[sigma_seed]);
  std::mt19937 engine(s[loop_seed]);
  std::generate_canonical<double, 53>(engine);  // alpha's draw, replaced by the fixed alpha
  time["bootstraps"] = seconds_since(start);

  start = clock_type::now();
  const arma::Col<arma::uword> sizes =
      rpld(firm_count, 1, alpha, largest_firm, largest_firm, true, s[sizes_seed]);
  time["sampler"] = seconds_since(start);

  start = clock_type::now();
  const arma::Col<double> bases = base_fit(a, b, sizes);
  time["base_fit"] = seconds_since(start);

  start = clock_type::now();
  arma::Col<double> power = member_powers(sizes, bases, s_func(a, b));
  time["hierarchy"] = seconds_since(start);

  start = clock_type::now();
  const arma::Col<double> sample = sample_no_replace(power, firm_count, s[sample_seed]);
  const double members = static_cast<double>(power.n_elem);
  power.reset();
  time["resampling"] = seconds_since(start);

  results_row row{};
  row[0] = members / static_cast<double>(firm_count);
  start = clock_type::now();
  row[1] = gini(sample, false);
  row[4] = top_frac(sample, top_fraction);
  time["power_inequality"] = seconds_since(start);

  start = clock_type::now();
  const double e = std::fma(exponent_width, std::generate_canonical<double, 53>(engine), exponent_low);
  arma::Col<double> pay = arma::pow(sample, e);
  apply_noise(pay, sigma, engine);
  time["noise_pay"] = seconds_since(start);

  start = clock_type::now();
  row[2] = gini(pay, false);
  row[5] = top_frac(pay, top_fraction);
  time["pay_inequality"] = seconds_since(start);

  row[3] = e;
  row[6] = alpha;
  members_out = members;
  return row;
}

// The fast pipeline, step for step as run_repetition_fast runs it (rule:
// drawn), through the same stage functions.
results_row fast_stages(const input_tables& t, const repetition_seeds& s, double alpha,
                        stage_times& time, double& members_out)
{
  auto start = clock_type::now();
  const arma::Col<double> ab = boot_span(t.span.col(0), t.span.col(1), s[span_seed]);
  const double a = ab[0];
  const double b = ab[1];
  const double sigma = boot_sigma(t.g, s[sigma_seed]);
  mt_bulk engine;
  mt_seed(engine, s[loop_seed]);
  mt_canonical(engine);  // alpha's draw, replaced by the fixed alpha
  time["bootstraps"] = seconds_since(start);

  start = clock_type::now();
  const std::vector<value_run> sizes =
      rpld_sorted_runs(firm_count, 1, alpha, largest_firm, largest_firm, s[sizes_seed]);
  time["sampler"] = seconds_since(start);

  // build_economy does the base fit (over the distinct sizes) and the
  // hierarchies in one call; the base fit is timed on its own with the same
  // call, and the hierarchy stage is the remainder.
  start = clock_type::now();
  base_fit(a, b, arma::Col<arma::uword>(distinct_sizes(sizes)));
  const double fit_seconds = seconds_since(start);
  start = clock_type::now();
  const economy world = build_economy(a, b, sizes);
  const double economy_seconds = seconds_since(start);
  time["base_fit"] = fit_seconds;
  time["hierarchy"] = std::max(0.0, economy_seconds - fit_seconds);

  start = clock_type::now();
  const power_sample sample = draw_power_sample(world, firm_count, s[sample_seed]);
  time["resampling"] = seconds_since(start);

  results_row row{};
  row[0] = static_cast<double>(world.members) / static_cast<double>(firm_count);

  start = clock_type::now();
  const inequality of_power = power_inequality(world, sample, top_fraction);
  row[1] = of_power.gini;
  row[4] = of_power.top_share;
  time["power_inequality"] = seconds_since(start);

  start = clock_type::now();
  const double e = std::fma(exponent_width, mt_canonical(engine), exponent_low);
  big_buffer<double> pay = pay_of_sample(world, sample, e, pay_exponent_rule::drawn, sigma, engine);
  time["noise_pay"] = seconds_since(start);

  start = clock_type::now();
  const inequality of_pay = value_inequality(std::move(pay), top_fraction);
  row[2] = of_pay.gini;
  row[5] = of_pay.top_share;
  time["pay_inequality"] = seconds_since(start);

  row[3] = e;
  row[6] = alpha;
  members_out = static_cast<double>(world.members);
  return row;
}

int child_stages(const std::string& data, const std::string& pipeline, double alpha, int repeats,
                 std::uint64_t seed)
{
  omp_set_num_threads(1);  // one worker: no library call may spread over the other core
  keep_freed_memory();     // as the programs do
  const input_tables t = tables_from(data);
  const repetition_seeds s = derive_seeds(seed, 0);
  const long base = peak_kb();

  std::map<std::string, std::vector<double>> times;
  results_row row{};
  double members = 0.0;
  for (int r = 0; r < repeats; ++r) {
    stage_times one;
    row = pipeline == "plain" ? plain_stages(t, s, alpha, one, members)
                              : fast_stages(t, s, alpha, one, members);
    for (const auto& [key, value] : one) times[key].push_back(value);
  }
  for (const auto& [key, values] : times) std::printf("stage %s %.9g\n", key.c_str(), median(values));
  std::printf("members %.17g\n", members);
  std::printf("base_kb %ld\npeak_kb %ld\n", base, peak_kb());
  print_row(row);
  return 0;
}

// ---------------------------------------------------------------------------
// Whole repetitions through the parallel region, as the programs run them.

int child_whole(const std::string& data, const std::string& pipeline, int threads, int repetitions,
                std::uint64_t seed)
{
  omp_set_num_threads(threads);
  keep_freed_memory();  // as the programs do
  const input_tables t = tables_from(data);
  const region_settings settings{repetitions, 0, seed, top_fraction, firm_count};
  // Each repetition's own time as well: row r is written by one worker only.
  std::vector<double> own(static_cast<std::size_t>(repetitions), 0.0);
  const bool plain = pipeline == "plain";
  const repetition_body body = [&own, plain](const repetition_inputs& in, const repetition_id& id) {
    const auto start = clock_type::now();
    const results_row row = plain ? run_repetition(in, id, pay_exponent_rule::drawn)
                                  : run_repetition_fast(in, id, pay_exponent_rule::drawn);
    if (id.index < own.size()) own[static_cast<std::size_t>(id.index)] = seconds_since(start);  // first index 0
    return row;
  };
  arma::Mat<double> results(static_cast<arma::uword>(repetitions), results_columns, arma::fill::zeros);
  std::ostringstream quiet;
  boost::timer::progress_display progress(static_cast<unsigned long>(repetitions), quiet);
  const long base = peak_kb();

  const cpu_usage before = cpu_now();
  const auto start = clock_type::now();
  const region_outcome outcome = run_region(t, settings, body, results, progress);
  const double seconds = seconds_since(start);
  const cpu_usage after = cpu_now();

  if (!outcome.failures.empty()) {
    std::fprintf(stderr, "repetition %llu failed: %s\n",
                 static_cast<unsigned long long>(outcome.failures[0].index),
                 outcome.failures[0].message.c_str());
    return 1;
  }
  std::printf("seconds %.9g\n", seconds);
  std::printf("user_s %.9g\nsystem_s %.9g\nfaults %.17g\n", after.user - before.user,
              after.system - before.system, after.faults - before.faults);
  std::printf("base_kb %ld\npeak_kb %ld\n", base, peak_kb());
  for (std::size_t r = 0; r < own.size(); ++r) std::printf("rep %zu %.9g\n", r, own[r]);
  for (arma::uword r = 0; r < results.n_rows; ++r) {
    results_row row{};
    for (int c = 0; c < results_columns; ++c) row[c] = results(r, static_cast<arma::uword>(c));
    print_row(row);
  }
  return 0;
}

// ---------------------------------------------------------------------------
// The parent: starts the children, checks their rows, prints the table.

struct child_report {
  std::map<std::string, double> value;
  std::vector<results_row> rows;
  std::vector<double> repetition_seconds;
};

std::string quoted(const std::string& s)
{
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// CPU seconds the whole machine has spent busy so far (every core, from
// /proc/stat; time stolen by a hypervisor counts as busy), or NaN.
double machine_busy_seconds()
{
  std::ifstream in("/proc/stat");
  std::string cpu;
  double user, nice, system, idle, iowait, irq, softirq, steal;
  if (!(in >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal) || cpu != "cpu") {
    return std::numeric_limits<double>::quiet_NaN();
  }
  return (user + nice + system + irq + softirq + steal) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU seconds used so far by the children that have been waited for.
double children_cpu_seconds()
{
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
}

// Runs this program again with `arguments` (after the shell assignments in
// `environment`) and collects what it prints. Also
// records, as "others_cores", how many cores other work kept busy meanwhile
// (the machine's busy time less the child's own, over the wall time).
child_report run_child(const std::string& self, const std::string& arguments,
                       const std::string& environment = "")
{
  const std::string command = (environment.empty() ? "" : environment + " ") + quoted(self) + " " + arguments;
  const double busy_before = machine_busy_seconds();
  const double children_before = children_cpu_seconds();
  const auto start = clock_type::now();
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot start " + command);
  std::string text;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
  if (pclose(pipe) != 0) throw std::runtime_error("failed: " + command);
  const double wall = seconds_since(start);
  const double others = machine_busy_seconds() - busy_before - (children_cpu_seconds() - children_before);

  child_report report;
  report.value["others_cores"] = std::max(0.0, others / wall);
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream in(line);
    std::string key;
    in >> key;
    if (key == "rep") {
      std::size_t r;
      double v;
      in >> r >> v;
      report.repetition_seconds.push_back(v);
    } else if (key == "row") {
      results_row row{};
      for (double& v : row) in >> v;
      report.rows.push_back(row);
    } else if (key == "stage") {
      std::string name;
      double v;
      in >> name >> v;
      report.value["stage " + name] = v;
    } else {
      double v;
      in >> v;
      report.value[key] = v;
    }
  }
  return report;
}

// The largest difference between two sets of rows, in units of the
// tolerance: columns 0, 3 and 6 must be identical, the others within 1e-9
// relative. A value above 1 means the rows disagree.
double row_mismatch(const std::vector<results_row>& x, const std::vector<results_row>& y)
{
  if (x.size() != y.size() || x.empty()) return std::numeric_limits<double>::infinity();
  double worst = 0.0;
  for (std::size_t r = 0; r < x.size(); ++r) {
    for (int c = 0; c < results_columns; ++c) {
      const double u = x[r][c], v = y[r][c];
      if (std::isnan(u) && std::isnan(v)) continue;
      if (c == 0 || c == 3 || c == 6) {
        if (u != v) return std::numeric_limits<double>::infinity();
      } else {
        const double d = std::abs(u - v);
        if (d == 0.0) continue;
        worst = std::max(worst, d / (1e-9 * std::abs(v)));
      }
    }
  }
  return worst;
}

// One report from several runs of the same configuration: the median time
// (and CPU time, page faults, time of each repetition), the largest peak
// memory and the most other work seen; the first run's rows, with
// "self_mismatch" saying how far the later runs' rows are from them.
child_report merged(const std::vector<child_report>& runs)
{
  child_report m = runs.front();
  for (const char* key : {"seconds", "user_s", "system_s", "faults"}) {
    std::vector<double> v;
    for (const child_report& r : runs) v.push_back(r.value.at(key));
    m.value[key] = median(v);
    m.value[std::string(key) + "_min"] = *std::min_element(v.begin(), v.end());
    m.value[std::string(key) + "_max"] = *std::max_element(v.begin(), v.end());
  }
  for (const child_report& r : runs) {
    m.value["peak_kb"] = std::max(m.value["peak_kb"], r.value.at("peak_kb"));
    m.value["base_kb"] = std::min(m.value["base_kb"], r.value.at("base_kb"));
    m.value["others_cores"] = std::max(m.value["others_cores"], r.value.at("others_cores"));
    m.value["self_mismatch"] = std::max(m.value["self_mismatch"], row_mismatch(r.rows, m.rows));
  }
  for (std::size_t i = 0; i < m.repetition_seconds.size(); ++i) {
    std::vector<double> v;
    for (const child_report& r : runs) {
      if (i < r.repetition_seconds.size()) v.push_back(r.repetition_seconds[i]);
    }
    m.repetition_seconds[i] = median(v);
  }
  return m;
}

std::string cpu_model()
{
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) {
      const auto colon = line.find(':');
      if (colon != std::string::npos) return line.substr(line.find_first_not_of(" \t", colon + 1));
    }
  }
  return "unknown CPU";
}

std::string fixed(double v, int decimals)
{
  if (!std::isfinite(v)) return "-";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, v);
  return buffer;
}

// Seconds with three significant digits, so that a 2 ms stage and a 2 s
// stage both read well.
std::string secs(double v)
{
  if (!std::isfinite(v)) return "-";
  char buffer[64];
  if (v >= 1.0) {
    std::snprintf(buffer, sizeof buffer, "%.2f", v);
  } else if (v >= 0.1) {
    std::snprintf(buffer, sizeof buffer, "%.3f", v);
  } else if (v >= 0.01) {
    std::snprintf(buffer, sizeof buffer, "%.4f", v);
  } else {
    std::snprintf(buffer, sizeof buffer, "%.5f", v);
  }
  return buffer;
}

struct table {
  std::vector<std::vector<std::string>> cells;
  void add(std::vector<std::string> row) { cells.push_back(std::move(row)); }
  void rule() { cells.push_back({}); }
  void print() const
  {
    std::vector<std::size_t> width;
    for (const auto& row : cells) {
      if (row.size() > width.size()) width.resize(row.size(), 0);
      for (std::size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
    }
    std::size_t total = 0;
    for (std::size_t w : width) total += w + 2;
    for (const auto& row : cells) {
      if (row.empty()) {
        std::cout << std::string(total, '-') << '\n';
        continue;
      }
      std::string line;
      for (std::size_t c = 0; c < row.size(); ++c) {
        const std::string& s = row[c];
        const std::size_t pad = width[c] - s.size();
        line += c < 2 ? s + std::string(pad, ' ') : std::string(pad, ' ') + s;  // labels left, numbers right
        line += "  ";
      }
      while (!line.empty() && line.back() == ' ') line.pop_back();
      std::cout << line << '\n';
    }
  }
};

// The 1-minute load average: other work on the machine slows every figure.
std::string load_average()
{
  std::ifstream in("/proc/loadavg");
  std::string first;
  return in >> first ? first : "unknown";
}

double mb(double kb) { return kb / 1024.0; }

int parent(const std::string& self, const std::string& data, int repeats, int runs, int repetitions,
           std::uint64_t seed)
{
  const auto begin = clock_type::now();
  const std::string load_before = load_average();
  const std::string common = "--data " + quoted(data) + " --seed " + std::to_string(seed);
  const std::array<std::string, 2> pipelines{"plain", "fast"};

  // Stage timings, one child per pipeline and alpha.
  std::map<std::string, std::array<child_report, fixed_alphas.size()>> stages;
  for (const std::string& p : pipelines) {
    for (std::size_t i = 0; i < fixed_alphas.size(); ++i) {
      std::fprintf(stderr, "stages: %s pipeline, alpha %.1f ...\n", p.c_str(), fixed_alphas[i]);
      char alpha[32];
      std::snprintf(alpha, sizeof alpha, "%.17g", fixed_alphas[i]);
      stages[p][i] = run_child(self, "--child-stages " + p + " " + alpha + " --repeats " +
                                         std::to_string(repeats) + " " + common);
    }
  }

  // Whole repetitions, one child per pipeline and thread count.
  // Whole repetitions, one child per pipeline, thread count and run; `runs`
  // rounds, each over every configuration, so that a passing disturbance
  // touches all of them alike.
  std::map<std::string, std::map<int, std::vector<child_report>>> runs_of;
  for (int round = 0; round < runs; ++round) {
    for (const std::string& p : pipelines) {
      for (int threads : {1, 2}) {
        std::fprintf(stderr, "whole pipeline (run %d of %d): %s, %d thread%s, %d repetitions ...\n", round + 1,
                     runs, p.c_str(), threads, threads == 1 ? "" : "s", repetitions);
        runs_of[p][threads].push_back(run_child(self, "--child-whole " + p + " " + std::to_string(threads) +
                                                          " --repetitions " + std::to_string(repetitions) +
                                                          " " + common));
      }
    }
  }
  std::map<std::string, std::map<int, child_report>> whole;
  for (const std::string& p : pipelines) {
    for (int threads : {1, 2}) whole[p][threads] = merged(runs_of[p][threads]);
  }

  // Both pipelines must have computed the same rows, or the comparison is void.
  double stage_mismatch = 0.0;
  for (std::size_t i = 0; i < fixed_alphas.size(); ++i) {
    stage_mismatch = std::max(stage_mismatch, row_mismatch(stages["fast"][i].rows, stages["plain"][i].rows));
  }
  double whole_mismatch = 0.0;
  for (int threads : {1, 2}) {
    whole_mismatch = std::max(whole_mismatch, row_mismatch(whole["fast"][threads].rows, whole["plain"][1].rows));
  }
  whole_mismatch = std::max(whole_mismatch, row_mismatch(whole["plain"][2].rows, whole["plain"][1].rows));
  for (const std::string& p : pipelines) {
    for (int threads : {1, 2}) whole_mismatch = std::max(whole_mismatch, whole[p][threads].value["self_mismatch"]);
  }

  auto rate = [&](const std::string& p, int threads) {
    return repetitions / whole[p][threads].value["seconds"];
  };
  // A ratio of speeds, taken run by run within each round (its two runs a few
  // seconds apart) and summarised by the median over the rounds: a
  // disturbance that slows one round moves one ratio, not one side of all.
  struct ratio_summary {
    double median, low, high;
  };
  auto paired = [&](const std::string& slow_p, int slow_t, const std::string& fast_p, int fast_t) {
    std::vector<double> r;
    for (int round = 0; round < runs; ++round) {
      r.push_back(runs_of[slow_p][slow_t][static_cast<std::size_t>(round)].value.at("seconds") /
                  runs_of[fast_p][fast_t][static_cast<std::size_t>(round)].value.at("seconds"));
    }
    return ratio_summary{median(r), *std::min_element(r.begin(), r.end()), *std::max_element(r.begin(), r.end())};
  };
  auto shown = [](const ratio_summary& r, int digits) {
    return "(" + fixed(r.low, digits) + " to " + fixed(r.high, digits) + ")  " + fixed(r.median, digits) + "x";
  };
  auto peak = [&](const child_report& r) { return mb(r.value.at("peak_kb")); };
  auto worker = [&](const child_report& r, int threads) {
    return mb(r.value.at("peak_kb") - r.value.at("base_kb")) / threads;
  };

  const std::string mix = "mix -n " + std::to_string(repetitions) + " -s " + std::to_string(seed);
  table out;
  {
    std::vector<std::string> head{"quantity", "pipeline"};
    for (double a : fixed_alphas) head.push_back("alpha " + fixed(a, 1));
    head.push_back(mix);
    out.add(head);
  }
  out.rule();
  {
    std::vector<std::string> row{"members T (millions)", ""};
    for (std::size_t i = 0; i < fixed_alphas.size(); ++i) {
      row.push_back(fixed(stages["plain"][i].value["members"] / 1e6, 2));
    }
    double mean = 0.0;
    for (const results_row& r : whole["plain"][1].rows) mean += r[0] * firm_count / 1e6;
    row.push_back(fixed(mean / static_cast<double>(std::max<std::size_t>(1, whole["plain"][1].rows.size())), 2) +
                  " (mean)");
    out.add(row);
  }
  out.rule();
  std::array<std::array<double, fixed_alphas.size()>, 2> sum{};
  for (std::size_t k = 0; k < stage_keys.size(); ++k) {
    for (std::size_t q = 0; q < pipelines.size(); ++q) {
      std::vector<std::string> row{q == 0 ? std::string(stage_labels[k]) + " (s/rep)" : "", pipelines[q]};
      for (std::size_t i = 0; i < fixed_alphas.size(); ++i) {
        const double v = stages[pipelines[q]][i].value["stage " + std::string(stage_keys[k])];
        sum[q][i] += v;
        row.push_back(secs(v));
      }
      out.add(row);
    }
  }
  out.rule();
  for (std::size_t q = 0; q < pipelines.size(); ++q) {
    std::vector<std::string> row{q == 0 ? "whole repetition (s/rep)" : "", pipelines[q]};
    for (std::size_t i = 0; i < fixed_alphas.size(); ++i) row.push_back(secs(sum[q][i]));
    row.push_back(secs(1.0 / rate(pipelines[q], 1)) + " (1 thread)");
    out.add(row);
  }
  {
    std::vector<std::string> row{"", "plain/fast"};
    for (std::size_t i = 0; i < fixed_alphas.size(); ++i) row.push_back(fixed(sum[0][i] / sum[1][i], 1) + "x");
    row.push_back(shown(paired("plain", 1, "fast", 1), 1));
    out.add(row);
  }
  out.rule();
  for (int threads : {1, 2}) {
    for (std::size_t q = 0; q < pipelines.size(); ++q) {
      std::vector<std::string> row{
          q == 0 ? "repetitions per second, " + std::to_string(threads) + (threads == 1 ? " thread" : " threads")
                 : "",
          pipelines[q]};
      for (std::size_t i = 0; i < fixed_alphas.size(); ++i) row.push_back("");
      const child_report& r = whole[pipelines[q]][threads];
      row.push_back("(" + fixed(repetitions / r.value.at("seconds_max"), 2) + " to " +
                    fixed(repetitions / r.value.at("seconds_min"), 2) + ")  " + fixed(rate(pipelines[q], threads), 3));
      out.add(row);
    }
  }
  for (std::size_t q = 0; q < pipelines.size(); ++q) {
    std::vector<std::string> row{q == 0 ? "speed-up, 2 threads / 1 thread" : "", pipelines[q]};
    for (std::size_t i = 0; i < fixed_alphas.size(); ++i) row.push_back("");
    row.push_back(shown(paired(pipelines[q], 1, pipelines[q], 2), 2));
    out.add(row);
  }
  // The repetitions are split into two contiguous blocks, one per worker; with
  // repetitions of unequal cost the slower block bounds the speed-up.
  for (std::size_t q = 0; q < pipelines.size(); ++q) {
    const std::vector<double>& own = whole[pipelines[q]][1].repetition_seconds;
    std::vector<std::string> row{q == 0 ? "speed-up the 2-block split allows" : "", pipelines[q]};
    for (std::size_t i = 0; i < fixed_alphas.size(); ++i) row.push_back("");
    double all = 0.0, slowest = 0.0;
    for (int w = 0; w < 2; ++w) {
      const block b = worker_block(static_cast<int>(own.size()), 2, w);
      double sum = 0.0;
      for (int r = b.start; r < b.start + b.count; ++r) sum += own[static_cast<std::size_t>(r)];
      all += sum;
      slowest = std::max(slowest, sum);
    }
    row.push_back(fixed(all / slowest, 2) + "x");
    out.add(row);
  }
  // Other work on the machine while each child ran, plain / fast.
  double busy_stages = 0.0, busy_whole = 0.0;
  auto both = [&](const child_report& plain, const child_report& fast, double& busiest) {
    const double p = plain.value.at("others_cores"), f = fast.value.at("others_cores");
    busiest = std::max({busiest, p, f});
    return fixed(p, 2) + " / " + fixed(f, 2);
  };
  {
    std::vector<std::string> row{"cores kept busy by other work", "1 thread"};
    for (std::size_t i = 0; i < fixed_alphas.size(); ++i) {
      row.push_back(both(stages["plain"][i], stages["fast"][i], busy_stages));
    }
    row.push_back(both(whole["plain"][1], whole["fast"][1], busy_whole));
    out.add(row);
    row = {"", "2 threads"};
    for (std::size_t i = 0; i < fixed_alphas.size(); ++i) row.push_back("");
    row.push_back(both(whole["plain"][2], whole["fast"][2], busy_whole));
    out.add(row);
  }
  // Where the CPU time of the 1-thread run went: a large kernel share is
  // the first touch of freshly allocated pages.
  for (std::size_t q = 0; q < pipelines.size(); ++q) {
    child_report& r = whole[pipelines[q]][1];
    std::vector<std::string> row{q == 0 ? "kernel share of CPU time, 1 thread" : "", pipelines[q]};
    for (std::size_t i = 0; i < fixed_alphas.size(); ++i) row.push_back("");
    row.push_back(fixed(100.0 * r.value["system_s"] / (r.value["user_s"] + r.value["system_s"]), 0) + " %");
    out.add(row);
  }
  for (std::size_t q = 0; q < pipelines.size(); ++q) {
    std::vector<std::string> row{q == 0 ? "minor page faults per repetition" : "", pipelines[q]};
    for (std::size_t i = 0; i < fixed_alphas.size(); ++i) row.push_back("");
    row.push_back(fixed(whole[pipelines[q]][1].value["faults"] / repetitions, 0));
    out.add(row);
  }
  out.rule();
  for (std::size_t q = 0; q < pipelines.size(); ++q) {
    std::vector<std::string> row{q == 0 ? "peak resident memory (MB)" : "", pipelines[q]};
    for (std::size_t i = 0; i < fixed_alphas.size(); ++i) row.push_back(fixed(peak(stages[pipelines[q]][i]), 0));
    row.push_back(fixed(peak(whole[pipelines[q]][1]), 0) + " / " + fixed(peak(whole[pipelines[q]][2]), 0));
    out.add(row);
  }
  std::array<double, 2> worst_worker{};
  std::array<double, 2> least_worker{std::numeric_limits<double>::infinity(),
                                     std::numeric_limits<double>::infinity()};
  for (std::size_t q = 0; q < pipelines.size(); ++q) {
    std::vector<std::string> row{q == 0 ? "peak memory per worker (MB)" : "", pipelines[q]};
    for (std::size_t i = 0; i < fixed_alphas.size(); ++i) {
      const double w = worker(stages[pipelines[q]][i], 1);
      worst_worker[q] = std::max(worst_worker[q], w);
      least_worker[q] = std::min(least_worker[q], w);
      row.push_back(fixed(w, 0));
    }
    const double w1 = worker(whole[pipelines[q]][1], 1);
    const double w2 = worker(whole[pipelines[q]][2], 2);
    worst_worker[q] = std::max({worst_worker[q], w1, w2});
    row.push_back(fixed(w1, 0) + " / " + fixed(w2, 0));
    out.add(row);
  }

  std::cout << "Pipeline benchmark: quarnel repetitions of " << firm_count << " firms, seeded\n";
  std::cout << "Machine: " << cpu_model() << ", " << std::thread::hardware_concurrency()
            << " logical cores (" << omp_get_num_procs() << " available to OpenMP); g++ " << __VERSION__
            << "; flags " << QUARNEL_BENCH_FLAGS << "; Armadillo " << arma::arma_version::as_string()
            << "\n\n";
  out.print();

  const double speed = paired("plain", 1, "fast", 1).median;
  const double scaling = paired("fast", 1, "fast", 2).median;
  // Independent of alpha: the largest economy (alpha 1.8, some 58 times the
  // members of alpha 7.0) may not need more than the allocator's slack
  // (some tens of MB from one repetition's buffers to the next) above the
  // smallest need; the plain pipeline needs about 16 bytes a member more.
  const double growth = worker(stages["fast"][0], 1) - least_worker[1];
  const bool flat = growth < 32.0;
  std::cout << "\nStage times: median of " << repeats
            << " repetitions with repetition 0's seeds and alpha fixed, one thread; fast \"hierarchy and"
               " powers\" is build_economy less its base fit.\n"
               "Whole pipeline: run_region over repetitions 0.."
            << repetitions - 1 << " of seed " << seed
            << " (quarnel's rows), each configuration in its own process; median of " << runs
            << " runs, their range in brackets. Ratios (plain/fast, speed-up): taken within each round of runs,"
               " then the median over the rounds, their range in brackets.\n"
               "Memory: ru_maxrss of that process (largest of the runs); per worker = (peak - peak before the first repetition)"
               " / threads; \""
            << mix << "\" column: 1 thread / 2 threads.\n"
               "Kernel share and page faults: getrusage over the 1-thread run's region; the kernel time is"
               " mostly the first touch of freshly allocated pages.\n"
               "Speed-up the split allows: the 1-thread run's repetition times summed over each worker's"
               " block of the 2-thread run, total / larger block.\n"
               "Cores kept busy by other work: the machine's busy time (/proc/stat) less the benchmark's own,"
               " per second of each run (plain / fast).\n";
  std::cout << "Rows: fast equals plain (columns 0, 3, 6 exact, others within 1e-9): stages "
            << (stage_mismatch <= 1.0 ? "yes" : "NO") << ", whole runs " << (whole_mismatch <= 1.0 ? "yes" : "NO")
            << "\n\n";
  std::cout << "Targets:\n"
            << "  fast / plain, 1 thread          " << fixed(speed, 2) << "x   (>= 8x)      "
            << (speed >= 8.0 ? "met" : "NOT met") << "\n"
            << "  fast, 2 threads / 1 thread      " << fixed(scaling, 3) << "x  (>= 1.8x)  "
            << (scaling >= 1.8 ? "met" : "NOT met") << "\n"
            << "  fast, peak memory per worker    " << fixed(worst_worker[1], 0) << " MB, "
            << fixed(least_worker[1], 0) << " to " << fixed(worst_worker[1], 0)
            << " MB over alpha, alpha 1.8 needs " << fixed(growth, 0)
            << " MB above the least  (< 200 MB, < 32 MB above)  " << (worst_worker[1] < 200.0 && flat ? "met" : "NOT met")
            << "\n";
  const std::string load_after = load_average();
  std::cout << "\nBenchmark took " << fixed(seconds_since(begin), 0) << " s; load average " << load_before
            << " before, " << load_after << " after.\n";
  if (busy_stages > 0.2 || busy_whole > 0.2) {
    std::cout << "Warning: other work kept up to " << fixed(std::max(busy_stages, busy_whole), 2)
              << " cores busy during the "
              << (busy_whole > 0.2 ? (busy_stages > 0.2 ? "stage and whole-pipeline runs" : "whole-pipeline runs")
                                   : "stage runs")
              << "; their times, and 2-thread figures above all, understate what idle cores give.\n";
  }
  return stage_mismatch <= 1.0 && whole_mismatch <= 1.0 ? 0 : 1;
}

[[noreturn]] void usage(const std::string& why)
{
  std::cerr << "pipeline_bench: " << why << "\n"
            << "usage: pipeline_bench [--data DIR] [--repeats R] [--runs K] [--repetitions N] [--seed S]\n";
  std::exit(2);
}

int to_int(const std::string& s, const char* what)
{
  try {
    std::size_t used = 0;
    const long v = std::stol(s, &used);
    if (used != s.size() || v < 1 || v > 1000000) throw std::invalid_argument(s);
    return static_cast<int>(v);
  } catch (const std::exception&) {
    usage(std::string(what) + " must be a whole number from 1 to 1000000, got " + s);
  }
}

}  // namespace

int main(int argc, char* argv[])
{
  std::string data = QUARNEL_BENCH_DATA_DIR;
  int repeats = 3;
  int runs = 3;
  int repetitions = 40;
  std::uint64_t seed = 1;
  std::string child;
  std::vector<std::string> child_args;

  const std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto next = [&]() -> const std::string& {
      if (i + 1 >= args.size()) usage(a + " needs a value");
      return args[++i];
    };
    if (a == "--data") {
      data = next();
    } else if (a == "--repeats") {
      repeats = to_int(next(), "--repeats");
    } else if (a == "--runs") {
      runs = to_int(next(), "--runs");
    } else if (a == "--repetitions") {
      repetitions = to_int(next(), "--repetitions");
    } else if (a == "--seed") {
      const std::string& v = next();
      try {
        std::size_t used = 0;
        if (v.empty() || v[0] == '-') throw std::invalid_argument(v);
        seed = std::stoull(v, &used);
        if (used != v.size()) throw std::invalid_argument(v);
      } catch (const std::exception&) {
        usage("--seed must be a whole number from 0 to 2^64 - 1, got " + v);
      }
    } else if (a == "--child-stages" || a == "--child-whole") {
      child = a;
      child_args = {next(), next()};
      if (child_args[0] != "plain" && child_args[0] != "fast") usage("pipeline must be plain or fast");
    } else if (a == "-h" || a == "--help") {
      std::cout << "usage: pipeline_bench [--data DIR] [--repeats R] [--runs K] [--repetitions N] [--seed S]\n"
                   "Times both repetition pipelines stage by stage and whole, and prints one table.\n";
      return 0;
    } else {
      usage("unknown argument " + a);
    }
  }

  try {
    if (child == "--child-stages") {
      return child_stages(data, child_args[0], std::stod(child_args[1]), repeats, seed);
    }
    if (child == "--child-whole") {
      return child_whole(data, child_args[0], to_int(child_args[1], "threads"), repetitions, seed);
    }
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) throw std::runtime_error("cannot find this program's own path");
    self[length] = '\0';
    return parent(self, data, repeats, runs, repetitions, seed);
  } catch (const std::exception& e) {
    std::cerr << "pipeline_bench: " << e.what() << "\n";
    return 1;
  }
}
