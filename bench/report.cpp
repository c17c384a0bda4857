#include "report.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <thread>
#include <vector>

#include <armadillo>
#include <omp.h>

#include "children.hpp"
#include "driver/driver.hpp"
#include "driver/region.hpp"
#include "kernels/vector_isa.hpp"
#include "loops/repetition.hpp"
#include "measure.hpp"
#include "stages.hpp"

#ifndef QUARNEL_BENCH_FLAGS
#define QUARNEL_BENCH_FLAGS "unknown"
#endif

namespace {

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

const std::array<std::string, 2> pipelines{"plain", "fast"};
// The fast pipeline on one thread with its kernels' baseline (128-bit) forms,
// as on a processor without AVX2 or AVX-512.
const std::string baseline = "fast 128-bit";

// A ratio of speeds over the rounds of runs: their median and range.
struct ratio_summary {
  double median, low, high;
};

ratio_summary summary_of(const std::vector<double>& r)
{
  return ratio_summary{median(r), *std::min_element(r.begin(), r.end()), *std::max_element(r.begin(), r.end())};
}

std::string shown(const ratio_summary& r, int digits)
{
  return "(" + fixed(r.low, digits) + " to " + fixed(r.high, digits) + ")  " + fixed(r.median, digits) + "x";
}

double peak(const child_report& r) { return mb(r.value.at("peak_kb")); }

double worker(const child_report& r, int threads) { return mb(r.value.at("peak_kb") - r.value.at("base_kb")) / threads; }

// Whether the pipelines computed the same rows: the comparison of their
// times is void unless they did.
struct row_checks {
  double stage_mismatch;  // plain against fast, in units of row_mismatch's tolerance
  double whole_mismatch;  // the same over the whole runs, their threads and reruns
  bool paths_equal;       // the baseline forms give the fast rows bit for bit
  bool passed() const { return stage_mismatch <= 1.0 && whole_mismatch <= 1.0 && paths_equal; }
};

// The most cores other work kept busy during the stage and the whole runs.
struct other_work {
  double stages = 0.0;
  double whole = 0.0;
};

// Peak memory per worker over the configurations, plain and fast.
struct worker_memory {
  std::array<double, 2> worst{};
  std::array<double, 2> least{std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
};

using stage_sums = std::array<std::array<double, fixed_alphas.size()>, 2>;

// One benchmark: what it runs, what its children report, and the table's
// rows, notes and targets made from that. run_benchmark calls the steps in
// the order they are declared.
class benchmark {
 public:
  benchmark(const std::string& self, const std::string& data, int repeats, int runs, int repetitions,
            int long_repetitions, std::uint64_t seed)
      : self(self),
        repeats(repeats),
        runs(runs),
        repetitions(repetitions),
        long_repetitions(long_repetitions),
        seed(seed),
        common("--data " + quoted(data) + " --seed " + std::to_string(seed)),
        long_fast("fast, -n " + std::to_string(long_repetitions)),
        mix("mix -n " + std::to_string(repetitions) + " -s " + std::to_string(seed))
  {
  }

  void time_stages();
  void time_whole_runs();
  void merge_rounds();
  row_checks check_rows();

  void add_heading(table& out) const;
  void add_members(table& out);
  stage_sums add_stage_times(table& out);
  void add_whole_repetition(table& out, const stage_sums& sum);
  void add_rates(table& out);
  void add_block_split(table& out);
  other_work add_other_work(table& out);
  void add_cpu_use(table& out);
  worker_memory add_memory(table& out);

  void print_heading() const;
  void print_notes(const row_checks& checks) const;
  void print_targets(const worker_memory& memory);

 private:
  int count_of(const std::string& p) const { return p == long_fast ? long_repetitions : repetitions; }
  double rate(const std::string& p, int threads) { return count_of(p) / whole[p][threads].value["seconds"]; }
  ratio_summary paired(const std::string& slow_p, int slow_t, const std::string& fast_p, int fast_t,
                       bool cpu = false);
  // An empty cell under each fixed alpha, for the rows of whole runs only.
  static void skip_alphas(std::vector<std::string>& row) { row.resize(row.size() + fixed_alphas.size()); }

  const std::string self;
  const int repeats;
  const int runs;
  const int repetitions;
  const int long_repetitions;
  const std::uint64_t seed;
  const std::string common;  // the children's --data and --seed
  // The two-thread target is judged on a longer mix of the fast pipeline:
  // over 40 repetitions (half a second on two threads) the first touches of
  // the second worker's pages and a single slow spell of one virtual core
  // decide the figure, which a run of hours spreads thin.
  const std::string long_fast;
  const std::string mix;  // the heading of the whole runs' column

  // Stage timings, by pipeline and fixed alpha.
  std::map<std::string, std::array<child_report, fixed_alphas.size()>> stages;
  // Whole runs, by configuration and thread count: one report per round.
  std::map<std::string, std::map<int, std::vector<child_report>>> runs_of;
  // The rounds of each configuration merged into one report.
  std::map<std::string, std::map<int, child_report>> whole;
};

// One child per pipeline and alpha.
void benchmark::time_stages()
{
  for (const std::string& p : pipelines) {
    for (std::size_t i = 0; i < fixed_alphas.size(); ++i) {
      std::fprintf(stderr, "stages: %s pipeline, alpha %.1f ...\n", p.c_str(), fixed_alphas[i]);
      char alpha[32];
      std::snprintf(alpha, sizeof alpha, "%.17g", fixed_alphas[i]);
      stages[p][i] = run_child(self, "--child-stages " + p + " " + alpha + " --repeats " +
                                         std::to_string(repeats) + " " + common);
    }
  }
}

// Whole repetitions, one child per pipeline, thread count and run; `runs`
// rounds, each over every configuration, so that a passing disturbance
// touches all of them alike.
void benchmark::time_whole_runs()
{
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
    for (int threads : {1, 2}) {
      std::fprintf(stderr, "whole pipeline (run %d of %d): fast, %d thread%s, %d repetitions ...\n", round + 1,
                   runs, threads, threads == 1 ? "" : "s", long_repetitions);
      runs_of[long_fast][threads].push_back(run_child(self, "--child-whole fast " + std::to_string(threads) +
                                                                " --repetitions " +
                                                                std::to_string(long_repetitions) + " " + common));
    }
    std::fprintf(stderr, "whole pipeline (run %d of %d): fast with a journal, 2 threads ...\n", round + 1, runs);
    runs_of["journal"][2].push_back(run_child(
        self, "--child-whole journal 2 --repetitions " + std::to_string(repetitions) + " " + common));
    std::fprintf(stderr, "whole pipeline (run %d of %d): fast, baseline vectors, 1 thread, %d repetitions ...\n",
                 round + 1, runs, repetitions);
    runs_of[baseline][1].push_back(run_child(
        self, "--child-whole fast 1 --repetitions " + std::to_string(repetitions) + " " + common,
        "QUARNEL_VECTORS=baseline"));
  }
}

void benchmark::merge_rounds()
{
  for (const std::string& p : pipelines) {
    for (int threads : {1, 2}) whole[p][threads] = merged(runs_of[p][threads]);
  }
  whole["journal"][2] = merged(runs_of["journal"][2]);
  for (int threads : {1, 2}) whole[long_fast][threads] = merged(runs_of[long_fast][threads]);
  whole[baseline][1] = merged(runs_of[baseline][1]);
}

row_checks benchmark::check_rows()
{
  // Every instruction set must give the very same rows.
  const bool paths_equal = row_mismatch(whole[baseline][1].rows, whole["fast"][1].rows) == 0.0 &&
                           whole[baseline][1].value["self_mismatch"] == 0.0;

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
  whole_mismatch = std::max(whole_mismatch, row_mismatch(whole["journal"][2].rows, whole["plain"][1].rows));
  for (const std::string& p : pipelines) {
    for (int threads : {1, 2}) whole_mismatch = std::max(whole_mismatch, whole[p][threads].value["self_mismatch"]);
  }
  // The longer mix: the same rows on either thread count, and its first
  // rows those of the short mix, bit for bit (a row depends on its index and
  // the seed alone).
  const std::vector<results_row>& one = whole[long_fast][1].rows;
  const std::vector<results_row>& short_rows = whole["fast"][1].rows;
  const auto n = static_cast<std::ptrdiff_t>(std::min(one.size(), short_rows.size()));
  const double heads = row_mismatch({one.begin(), one.begin() + n}, {short_rows.begin(), short_rows.begin() + n});
  const double threads = row_mismatch(whole[long_fast][2].rows, one);
  const double reruns =
      std::max(whole[long_fast][1].value["self_mismatch"], whole[long_fast][2].value["self_mismatch"]);
  if (heads != 0.0 || threads != 0.0 || reruns != 0.0) whole_mismatch = std::numeric_limits<double>::infinity();
  return row_checks{stage_mismatch, whole_mismatch, paths_equal};
}

// A ratio of speeds, taken run by run within each round (its two runs a few
// seconds apart) and summarised by the median over the rounds: a
// disturbance that slows one round moves one ratio, not one side of all.
// By default the wall time; `cpu` takes the CPU time (user and kernel)
// instead, which other work on the machine inflates far less.
ratio_summary benchmark::paired(const std::string& slow_p, int slow_t, const std::string& fast_p, int fast_t,
                                bool cpu)
{
  auto time = [cpu](const child_report& c) {
    return cpu ? c.value.at("user_s") + c.value.at("system_s") : c.value.at("seconds");
  };
  std::vector<double> r;
  for (int round = 0; round < runs; ++round) {
    r.push_back(time(runs_of[slow_p][slow_t][static_cast<std::size_t>(round)]) /
                time(runs_of[fast_p][fast_t][static_cast<std::size_t>(round)]));
  }
  return summary_of(r);
}

void benchmark::add_heading(table& out) const
{
  std::vector<std::string> head{"quantity", "pipeline"};
  for (double a : fixed_alphas) head.push_back("alpha " + fixed(a, 1));
  head.push_back(mix);
  out.add(head);
}

void benchmark::add_members(table& out)
{
  std::vector<std::string> row{"members T (millions)", ""};
  for (std::size_t i = 0; i < fixed_alphas.size(); ++i) {
    row.push_back(fixed(stages["plain"][i].value["members"] / 1e6, 2));
  }
  double mean = 0.0;
  for (const results_row& r : whole["plain"][1].rows) mean += r[0] * model_settings{}.firms / 1e6;
  row.push_back(fixed(mean / static_cast<double>(std::max<std::size_t>(1, whole["plain"][1].rows.size())), 2) +
                " (mean)");
  out.add(row);
}

// Seconds per repetition of each stage; returns each alpha's sum per pipeline.
stage_sums benchmark::add_stage_times(table& out)
{
  stage_sums sum{};
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
  return sum;
}

// The stages' sum at each alpha beside the whole runs' time, and how much
// faster the fast pipeline is.
void benchmark::add_whole_repetition(table& out, const stage_sums& sum)
{
  for (std::size_t q = 0; q < pipelines.size(); ++q) {
    std::vector<std::string> row{q == 0 ? "whole repetition (s/rep)" : "", pipelines[q]};
    for (std::size_t i = 0; i < fixed_alphas.size(); ++i) row.push_back(secs(sum[q][i]));
    row.push_back(secs(1.0 / rate(pipelines[q], 1)) + " (1 thread)");
    out.add(row);
  }
  std::vector<std::string> row{"", "plain/fast"};
  for (std::size_t i = 0; i < fixed_alphas.size(); ++i) row.push_back(fixed(sum[0][i] / sum[1][i], 1) + "x");
  row.push_back(shown(paired("plain", 1, "fast", 1), 1));
  out.add(row);
  row = {"", "plain/" + baseline};
  skip_alphas(row);
  row.push_back(shown(paired("plain", 1, baseline, 1), 1));
  out.add(row);
  row = {"", "plain/fast, CPU time"};
  skip_alphas(row);
  row.push_back(shown(paired("plain", 1, "fast", 1, true), 1));
  out.add(row);
}

// Repetitions per second on 1 and 2 threads, the speed-ups, and the cost of
// journaling.
void benchmark::add_rates(table& out)
{
  const std::array<std::string, 3> scaled{"plain", "fast", long_fast};
  for (int threads : {1, 2}) {
    for (std::size_t q = 0; q < scaled.size(); ++q) {
      std::vector<std::string> row{
          q == 0 ? "repetitions per second, " + std::to_string(threads) + (threads == 1 ? " thread" : " threads")
                 : "",
          scaled[q]};
      skip_alphas(row);
      const child_report& r = whole[scaled[q]][threads];
      row.push_back("(" + fixed(count_of(scaled[q]) / r.value.at("seconds_max"), 2) + " to " +
                    fixed(count_of(scaled[q]) / r.value.at("seconds_min"), 2) + ")  " +
                    fixed(rate(scaled[q], threads), 3));
      out.add(row);
    }
    if (threads == 1) {
      std::vector<std::string> row{"", baseline};
      skip_alphas(row);
      const child_report& r = whole[baseline][1];
      row.push_back("(" + fixed(repetitions / r.value.at("seconds_max"), 2) + " to " +
                    fixed(repetitions / r.value.at("seconds_min"), 2) + ")  " + fixed(rate(baseline, 1), 3));
      out.add(row);
    }
  }
  for (std::size_t q = 0; q < scaled.size(); ++q) {
    std::vector<std::string> row{q == 0 ? "speed-up, 2 threads / 1 thread" : "", scaled[q]};
    skip_alphas(row);
    row.push_back(shown(paired(scaled[q], 1, scaled[q], 2), 2));
    out.add(row);
  }
  std::vector<std::string> row{"journaling, 2 threads: rep/s", "fast+journal"};
  skip_alphas(row);
  row.push_back(fixed(rate("journal", 2), 3) + ", time " + shown(paired("journal", 2, "fast", 2), 3) +
                " that of fast");
  out.add(row);
}

// The repetitions are split into two contiguous blocks, one per worker; with
// repetitions of unequal cost the slower block bounds the speed-up.
void benchmark::add_block_split(table& out)
{
  const std::array<std::string, 3> scaled{"plain", "fast", long_fast};
  for (std::size_t q = 0; q < scaled.size(); ++q) {
    const std::vector<double>& own = whole[scaled[q]][1].repetition_seconds;
    std::vector<std::string> row{q == 0 ? "speed-up the 2-block split allows" : "", scaled[q]};
    skip_alphas(row);
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
  // How much longer each worker's block took in the 2-thread run than the
  // same repetitions in the 1-thread run of its round (median over the rounds,
  // range in brackets): what the second worker costs the first and the
  // machine costs both, apart from the split.
  for (std::size_t q = 0; q < scaled.size(); ++q) {
    std::vector<std::string> row{q == 0 ? "block time, 2 threads / 1 thread" : "", scaled[q]};
    skip_alphas(row);
    std::string cell;
    for (int w = 0; w < 2; ++w) {
      std::vector<double> r;
      for (int round = 0; round < runs; ++round) {
        const std::vector<double>& one = runs_of[scaled[q]][1][static_cast<std::size_t>(round)].repetition_seconds;
        const std::vector<double>& two = runs_of[scaled[q]][2][static_cast<std::size_t>(round)].repetition_seconds;
        const block b = worker_block(static_cast<int>(std::min(one.size(), two.size())), 2, w);
        double t1 = 0.0, t2 = 0.0;
        for (int k = b.start; k < b.start + b.count; ++k) {
          t1 += one[static_cast<std::size_t>(k)];
          t2 += two[static_cast<std::size_t>(k)];
        }
        if (t1 > 0.0) r.push_back(t2 / t1);
      }
      if (r.empty()) continue;
      cell += (w == 0 ? "worker 1 " : ", worker 2 ") + shown(summary_of(r), 2);
    }
    row.push_back(cell);
    out.add(row);
  }
}

// Other work on the machine while each child ran, plain / fast.
other_work benchmark::add_other_work(table& out)
{
  other_work busy;
  auto both = [](const child_report& plain, const child_report& fast, double& busiest) {
    const double p = plain.value.at("others_cores"), f = fast.value.at("others_cores");
    busiest = std::max({busiest, p, f});
    return fixed(p, 2) + " / " + fixed(f, 2);
  };
  std::vector<std::string> row{"cores kept busy by other work", "1 thread"};
  for (std::size_t i = 0; i < fixed_alphas.size(); ++i) {
    row.push_back(both(stages["plain"][i], stages["fast"][i], busy.stages));
  }
  row.push_back(both(whole["plain"][1], whole["fast"][1], busy.whole));
  out.add(row);
  row = {"", "2 threads"};
  skip_alphas(row);
  row.push_back(both(whole["plain"][2], whole["fast"][2], busy.whole));
  out.add(row);
  return busy;
}

// Where the CPU time of the 1-thread run went: a large kernel share is
// the first touch of freshly allocated pages.
void benchmark::add_cpu_use(table& out)
{
  for (std::size_t q = 0; q < pipelines.size(); ++q) {
    child_report& r = whole[pipelines[q]][1];
    std::vector<std::string> row{q == 0 ? "kernel share of CPU time, 1 thread" : "", pipelines[q]};
    skip_alphas(row);
    row.push_back(fixed(100.0 * r.value["system_s"] / (r.value["user_s"] + r.value["system_s"]), 0) + " %");
    out.add(row);
  }
  for (std::size_t q = 0; q < pipelines.size(); ++q) {
    std::vector<std::string> row{q == 0 ? "minor page faults per repetition" : "", pipelines[q]};
    skip_alphas(row);
    row.push_back(fixed(whole[pipelines[q]][1].value["faults"] / repetitions, 0));
    out.add(row);
  }
}

worker_memory benchmark::add_memory(table& out)
{
  for (std::size_t q = 0; q < pipelines.size(); ++q) {
    std::vector<std::string> row{q == 0 ? "peak resident memory (MB)" : "", pipelines[q]};
    for (std::size_t i = 0; i < fixed_alphas.size(); ++i) row.push_back(fixed(peak(stages[pipelines[q]][i]), 0));
    row.push_back(fixed(peak(whole[pipelines[q]][1]), 0) + " / " + fixed(peak(whole[pipelines[q]][2]), 0));
    out.add(row);
  }
  worker_memory m;
  for (std::size_t q = 0; q < pipelines.size(); ++q) {
    std::vector<std::string> row{q == 0 ? "peak memory per worker (MB)" : "", pipelines[q]};
    for (std::size_t i = 0; i < fixed_alphas.size(); ++i) {
      const double w = worker(stages[pipelines[q]][i], 1);
      m.worst[q] = std::max(m.worst[q], w);
      m.least[q] = std::min(m.least[q], w);
      row.push_back(fixed(w, 0));
    }
    const double w1 = worker(whole[pipelines[q]][1], 1);
    const double w2 = worker(whole[pipelines[q]][2], 2);
    m.worst[q] = std::max({m.worst[q], w1, w2});
    row.push_back(fixed(w1, 0) + " / " + fixed(w2, 0));
    out.add(row);
  }
  return m;
}

void benchmark::print_heading() const
{
  std::cout << "Pipeline benchmark: quarnel repetitions of " << model_settings{}.firms << " firms, seeded\n";
  std::cout << "Machine: " << cpu_model() << ", " << std::thread::hardware_concurrency()
            << " logical cores (" << omp_get_num_procs() << " available to OpenMP); g++ " << __VERSION__
            << "; flags " << QUARNEL_BENCH_FLAGS << "; Armadillo " << arma::arma_version::as_string()
            << "\nFast pipeline's vector loops: "
            << vector_name(cpu_vectors())
            << "; \"" << baseline << "\": the baseline forms, forced by QUARNEL_VECTORS=baseline\n\n";
}

// What each figure is, and whether the rows agreed.
void benchmark::print_notes(const row_checks& checks) const
{
  std::cout << "\nStage times: median of " << repeats
            << " repetitions with repetition 0's seeds and alpha fixed, one thread; fast \"hierarchy and"
               " powers\" is build_economy less its base fit.\n"
               "Whole pipeline: run_region over repetitions 0.."
            << repetitions - 1 << " of seed " << seed
            << " (quarnel's rows; \"" << long_fast << "\": repetitions 0.." << long_repetitions - 1
            << ", on which the two-thread target is judged), each configuration in its own process; median of "
            << runs
            << " runs, their range in brackets. Ratios (plain/fast, speed-up): taken within each round of runs,"
               " then the median over the rounds, their range in brackets; \"CPU time\": the same ratio of the"
               " 1-thread runs' user and kernel seconds, which other work inflates far less than the wall time.\n"
               "Memory: ru_maxrss of that process (largest of the runs); per worker = (peak - peak before the first repetition)"
               " / threads; \""
            << mix << "\" column: 1 thread / 2 threads.\n"
               "Kernel share and page faults: getrusage over the 1-thread run's region; the kernel time is"
               " mostly the first touch of freshly allocated pages.\n"
               "Speed-up the split allows: the 1-thread run's repetition times summed over each worker's"
               " block of the 2-thread run, total / larger block.\n"
               "Block time, 2 threads / 1 thread: the repetition times of each worker's block in the 2-thread"
               " run over those of the same repetitions in the 1-thread run of the round; above 1 by what the"
               " two workers cost each other (memory, first touches) and the machine costs one run more than"
               " the other.\n"
               "Cores kept busy by other work: the machine's busy time (/proc/stat) less the benchmark's own,"
               " per second of each run (plain / fast).\n";
  std::cout << "Rows: fast equals plain (columns 0, 3, 6 exact, others within 1e-9): stages "
            << (checks.stage_mismatch <= 1.0 ? "yes" : "NO") << ", whole runs "
            << (checks.whole_mismatch <= 1.0 ? "yes" : "NO") << "; " << baseline
            << " rows equal the fast rows bit for bit: " << (checks.paths_equal ? "yes" : "NO") << "\n\n";
}

// The targets are reported, never enforced: the exit status is the rows'.
void benchmark::print_targets(const worker_memory& memory)
{
  const double speed = paired("plain", 1, "fast", 1).median;
  const double scaling = paired(long_fast, 1, long_fast, 2).median;
  // Independent of alpha: the largest economy (alpha 1.8, some 58 times the
  // members of alpha 7.0) may not need more than the allocator's slack
  // (some tens of MB from one repetition's buffers to the next) above the
  // smallest need; the plain pipeline needs about 16 bytes a member more.
  const double growth = worker(stages["fast"][0], 1) - memory.least[1];
  const bool flat = growth < 32.0;
  std::cout << "Targets:\n"
            << "  fast / plain, 1 thread          " << fixed(speed, 2) << "x  (>= 12x)     "
            << (speed >= 12.0 ? "met" : "NOT met") << "\n"
            << "  fast, 2 threads / 1 thread      " << fixed(scaling, 3) << "x  (>= 1.8x, over " << long_repetitions
            << " repetitions)  "
            << (scaling >= 1.8 ? "met" : "NOT met") << "\n"
            << "  fast, peak memory per worker    " << fixed(memory.worst[1], 0) << " MB, "
            << fixed(memory.least[1], 0) << " to " << fixed(memory.worst[1], 0)
            << " MB over alpha, alpha 1.8 needs " << fixed(growth, 0)
            << " MB above the least  (< 200 MB, < 32 MB above)  "
            << (memory.worst[1] < 200.0 && flat ? "met" : "NOT met") << "\n";
}

// How long the benchmark took and how loaded the machine was, with a warning
// when other work was heavy enough to distort the figures.
void print_closing(clock_type::time_point begin, const std::string& load_before, const other_work& busy)
{
  const std::string load_after = load_average();
  std::cout << "\nBenchmark took " << fixed(seconds_since(begin), 0) << " s; load average " << load_before
            << " before, " << load_after << " after.\n";
  if (busy.stages > 0.2 || busy.whole > 0.2) {
    std::cout << "Warning: other work kept up to " << fixed(std::max(busy.stages, busy.whole), 2)
              << " cores busy during the "
              << (busy.whole > 0.2 ? (busy.stages > 0.2 ? "stage and whole-pipeline runs" : "whole-pipeline runs")
                                   : "stage runs")
              << "; their times, and 2-thread figures above all, understate what idle cores give.\n";
  }
}

}  // namespace

int run_benchmark(const std::string& self, const std::string& data, int repeats, int runs,
                  int repetitions, int long_repetitions, std::uint64_t seed)
{
  const auto begin = clock_type::now();
  const std::string load_before = load_average();
  benchmark b(self, data, repeats, runs, repetitions, long_repetitions, seed);
  b.time_stages();
  b.time_whole_runs();
  b.merge_rounds();
  const row_checks checks = b.check_rows();

  table out;
  b.add_heading(out);
  out.rule();
  b.add_members(out);
  out.rule();
  const stage_sums sum = b.add_stage_times(out);
  out.rule();
  b.add_whole_repetition(out, sum);
  out.rule();
  b.add_rates(out);
  b.add_block_split(out);
  const other_work busy = b.add_other_work(out);
  b.add_cpu_use(out);
  out.rule();
  const worker_memory memory = b.add_memory(out);

  b.print_heading();
  out.print();
  b.print_notes(checks);
  b.print_targets(memory);
  print_closing(begin, load_before, busy);
  return checks.passed() ? 0 : 1;
}
