#include "whole_runs.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <unistd.h>
#include <vector>

#include <armadillo>
#include <boost/timer/progress_display.hpp>
#include <omp.h>

#include "driver/driver.hpp"
#include "records/journal.hpp"
#include "driver/region.hpp"
#include "loops/fast_repetition.hpp"
#include "loops/repetition.hpp"
#include "measure.hpp"

int child_whole(const std::string& data, const std::string& pipeline, int threads, int repetitions,
                std::uint64_t seed)
{
  omp_set_num_threads(threads);
  keep_freed_memory();  // as the programs do
  const input_tables t = tables_from(data);
  const region_settings settings{repetitions, 0, seed, model_settings{}.top_fraction,
                                 model_settings{}.firms};
  // Each repetition's own time as well: row r is written by one worker only.
  std::vector<double> own(static_cast<std::size_t>(repetitions), 0.0);
  arma::Mat<double> results(static_cast<arma::uword>(repetitions), results_columns, arma::fill::zeros);
  const bool plain = pipeline == "plain";
  // "journal": the fast pipeline, each finished row appended to a journal in
  // a scratch directory, as the programs do.
  region_hooks hooks;
  std::unique_ptr<journal_file> journal;
  std::string scratch = (std::filesystem::temp_directory_path() / "quarnel-bench-XXXXXX").string();
  if (pipeline == "journal") {
    if (!::mkdtemp(scratch.data())) throw std::runtime_error("mkdtemp failed");
    journal_header header;
    header.program = "quarnel";
    header.seed = seed;
    header.repetitions = repetitions;
    journal = std::make_unique<journal_file>(scratch + "/bench.journal", journal_file::open_mode::fresh, header);
    hooks.row_finished = [&](int r) {
      results_row row{};
      for (int c = 0; c < results_columns; ++c) row[c] = results(static_cast<arma::uword>(r), static_cast<arma::uword>(c));
      if (const std::string p = journal->append(static_cast<std::uint64_t>(r), row); !p.empty()) {
        std::fprintf(stderr, "journal: %s\n", p.c_str());
        std::_Exit(1);
      }
    };
  }
  const repetition_body body = [&own, plain](const repetition_inputs& in, const repetition_id& id) {
    const auto start = clock_type::now();
    const results_row row = plain ? run_repetition(in, id, pay_exponent_rule::drawn)
                                  : run_repetition_fast(in, id, pay_exponent_rule::drawn);
    if (id.index < own.size()) own[static_cast<std::size_t>(id.index)] = seconds_since(start);  // first index 0
    return row;
  };
  std::ostringstream quiet;
  boost::timer::progress_display progress(static_cast<unsigned long>(repetitions), quiet);
  const long base = peak_kb();


  const cpu_usage before = cpu_now();
  const auto start = clock_type::now();
  const region_outcome outcome = run_region(t, settings, body, results, progress, hooks);
  if (journal) {
    journal->sync();
    journal->remove();
    ::rmdir(scratch.c_str());
  }
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
