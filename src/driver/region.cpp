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

std::vector<int> rows_to_do(int repetitions, const std::vector<unsigned char>& done)
{
  std::vector<int> rows;
  for (int r = 0; r < repetitions; ++r) {
    if (static_cast<std::size_t>(r) >= done.size() || !done[static_cast<std::size_t>(r)]) rows.push_back(r);
  }
  return rows;
}

region_outcome run_region(const input_tables& tables, const region_settings& settings,
                          const repetition_body& body, arma::Mat<double>& results,
                          boost::timer::progress_display& progress, const region_hooks& hooks)
{
  region_outcome outcome;
  outcome.finished.assign(static_cast<std::size_t>(settings.repetitions), 0);
  for (std::size_t r = 0; r < outcome.finished.size() && r < hooks.done.size(); ++r) {
    outcome.finished[r] = hooks.done[r];
  }
  const std::vector<int> todo = rows_to_do(settings.repetitions, hooks.done);
  std::atomic<bool> stop{false};
  const auto stopping = [&stop, &hooks]() {
    return stop.load(std::memory_order_relaxed) ||
           (hooks.stop_requested && hooks.stop_requested->load(std::memory_order_relaxed));
  };

#pragma omp parallel
  {
    const block mine = worker_block(static_cast<int>(todo.size()), omp_get_num_threads(),
                                    omp_get_thread_num());
    const arma::Mat<double> span = tables.span;
    const arma::Col<double> g = tables.g;
    repetition_notes notes;
    const repetition_inputs inputs{span, g, tables.pay_exponent, settings.top_fraction,
                                   settings.firm_count, &notes, settings.model};

    for (int k = mine.start; k < mine.start + mine.count; ++k) {
      if (stopping()) break;
      const int r = todo[static_cast<std::size_t>(k)];
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
      {
        if (hooks.row_finished) hooks.row_finished(r);
        ++progress;
      }
    }
#pragma omp critical(quarnel_notes)
    outcome.notes.rank_deficient_span_fits += notes.rank_deficient_span_fits;
  }
  return outcome;
}
