#include "driver/region.hpp"

#include <atomic>
#include <exception>
#include <omp.h>

block worker_block(int n, int t, int w)
{
  const int q = n / t;
  const int r = n % t;
  if (w < r) return {w * (q + 1), q + 1};
  return {w * q + r, q};
}

region_outcome run_region(const input_tables& tables, const region_settings& settings,
                          const repetition_body& body, arma::Mat<double>& results,
                          boost::timer::progress_display& progress)
{
  region_outcome outcome;
  outcome.finished.assign(static_cast<std::size_t>(settings.repetitions), 0);
  std::atomic<bool> stop{false};

#pragma omp parallel
  {
    const block mine = worker_block(settings.repetitions, omp_get_num_threads(),
                                    omp_get_thread_num());
    const arma::Mat<double> span = tables.span;
    const arma::Col<double> g = tables.g;
    repetition_notes notes;
    const repetition_inputs inputs{span, g, tables.pay_exponent, settings.top_fraction,
                                   settings.firm_count, &notes};

    for (int r = mine.start; r < mine.start + mine.count; ++r) {
      if (stop.load(std::memory_order_relaxed)) break;
      const std::uint64_t index = settings.first_index + static_cast<std::uint64_t>(r);
      bool failed = false;
      std::string failure;
      try {
        const results_row row = body(inputs, repetition_id{index, settings.seed});
        for (int c = 0; c < results_columns; ++c) {
          results(static_cast<arma::uword>(r), static_cast<arma::uword>(c)) = row[c];
        }
        outcome.finished[static_cast<std::size_t>(r)] = 1;
      } catch (const std::exception& e) {
        failed = true;
        failure = e.what();
      } catch (...) {
        failed = true;
        failure = "unknown error";
      }
      if (failed) {
        stop.store(true, std::memory_order_relaxed);
#pragma omp critical(quarnel_failures)
        outcome.failures.push_back({index, failure});
        break;
      }
#pragma omp critical(quarnel_progress)
      ++progress;
    }
#pragma omp critical(quarnel_notes)
    outcome.notes.rank_deficient_span_fits += notes.rank_deficient_span_fits;
  }
  return outcome;
}
