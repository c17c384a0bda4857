// pipeline_bench: where a repetition's time goes, how many repetitions per
// second each pipeline runs, and how much memory a worker holds.
//
// Run without arguments it prints one table: seconds per repetition of each
// stage at fixed alpha = 1.8, 2.0, 2.5, 4.0, 7.0 for the plain pipeline
// (run_repetition) and the fast one (run_repetition_fast); then the whole
// pipeline's repetitions per second over the seeded mix of `quarnel -n 40
// -s 1` with 1 and with 2 threads (and the fast one on 1 thread with its
// kernels' baseline 128-bit forms, QUARNEL_VECTORS=baseline; and the fast
// one over the first 200 repetitions of that seed with 1 and with 2 threads,
// on which the two-thread target is judged), with the share
// of kernel time, the page faults and the other work on the machine while
// they ran; the fast pipeline with 2 threads when every finished row is
// appended to a journal as the programs do (the cost of journaling); and the
// peak resident memory of each. Every measurement runs in a child process of
// its own (this program started again with a --child-* option), so each peak
// resident size belongs to one configuration alone. The exit status is 1 when
// the two pipelines' rows differ, or the fast pipeline's rows differ in any
// bit between its widest and its baseline instruction set (or a child
// fails), else 0.
//
// Options: --data DIR (the input tables, default the project's data/),
// --repeats R (stage timings are the median of R repetitions, default 3),
// --runs K (whole-pipeline figures are the median of K runs, default 3),
// --repetitions N and --seed S (the mix, default 40 and 1), --long N (the
// fast pipeline's longer mix, default 200).
//
// The stage timings replay the two pipelines step by step with the same
// functions, seeds and random streams as the programs; the only change is
// that alpha is fixed instead of drawn (its uniform is still drawn and
// discarded, so every later draw is the same one the programs make). Each
// child also prints its results row, and the parent checks that both
// pipelines give the same rows, so a replay that drifted from the programs
// would show.
//
// The parts: stages.cpp (the stage replay), whole_runs.cpp (whole
// repetitions through the parallel region), children.cpp (starting the
// children and reading them back), report.cpp (the table and its targets),
// measure.cpp (clocks, memory, medians).
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include "report.hpp"
#include "stages.hpp"
#include "whole_runs.hpp"

#ifndef QUARNEL_BENCH_DATA_DIR
#define QUARNEL_BENCH_DATA_DIR "data"
#endif

namespace {

[[noreturn]] void usage(const std::string& why)
{
  std::cerr << "pipeline_bench: " << why << "\n"
            << "usage: pipeline_bench [--data DIR] [--repeats R] [--runs K] [--repetitions N] [--long N] [--seed S]\n";
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
  int long_repetitions = 200;
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
    } else if (a == "--long") {
      long_repetitions = to_int(next(), "--long");
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
      if (child_args[0] != "plain" && child_args[0] != "fast" && (a == "--child-stages" || child_args[0] != "journal")) {
        usage("pipeline must be plain or fast (or journal, for whole runs)");
      }
    } else if (a == "-h" || a == "--help") {
      std::cout << "usage: pipeline_bench [--data DIR] [--repeats R] [--runs K] [--repetitions N] [--long N] [--seed S]\n"
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
    return run_benchmark(self, data, repeats, runs, repetitions, long_repetitions, seed);
  } catch (const std::exception& e) {
    std::cerr << "pipeline_bench: " << e.what() << "\n";
    return 1;
  }
}
