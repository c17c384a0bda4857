#include "driver/region.hpp"

#include <gtest/gtest.h>
#include <omp.h>
#include <sstream>
#include <stdexcept>

TEST(region, blocks_are_contiguous_in_worker_order)
{
  for (int w = 0; w < 8; ++w) EXPECT_EQ(worker_block(100000, 8, w).count, 12500);
  EXPECT_EQ(worker_block(100000, 3, 0).start, 0);
  EXPECT_EQ(worker_block(100000, 3, 0).count, 33334);
  EXPECT_EQ(worker_block(100000, 3, 1).start, 33334);
  EXPECT_EQ(worker_block(100000, 3, 1).count, 33333);
  EXPECT_EQ(worker_block(100000, 3, 2).start, 66667);
  EXPECT_EQ(worker_block(10000, 3, 1).start, 3334);
  EXPECT_EQ(worker_block(10000, 3, 2).start, 6667);
  // More workers than repetitions: the last ones get nothing.
  EXPECT_EQ(worker_block(2, 3, 2).count, 0);
}

namespace {

input_tables small_tables()
{
  input_tables t;
  t.span = arma::Mat<double>{{2, 3.0}, {3, 1.5}};
  t.g = arma::Col<double>{0.1};
  return t;
}

}  // namespace

TEST(region, every_row_written_once_whatever_the_team)
{
  const input_tables tables = small_tables();
  for (int threads : {1, 2, 3, 5}) {
    omp_set_num_threads(threads);
    const int n = 7;
    arma::Mat<double> results(n, results_columns, arma::fill::value(-1.0));
    std::ostringstream sink;
    boost::timer::progress_display progress(n, sink);
    const region_settings settings{n, 100, 9, 0.01, 10};
    const region_outcome outcome = run_region(
        tables, settings,
        [](const repetition_inputs& in, const repetition_id& id) {
          if (id.index % 2 == 0) ++in.notes->rank_deficient_span_fits;  // 100, 102, 104, 106
          return results_row{double(id.index), in.span(1, 1), in.g[0], double(*id.seed),
                             in.top_fraction, double(in.firm_count), 0.0};
        },
        results, progress);
    EXPECT_TRUE(outcome.failures.empty());
    EXPECT_EQ(progress.count(), 7u);
    EXPECT_EQ(outcome.notes.rank_deficient_span_fits, 4u) << threads << " threads";
    for (int r = 0; r < n; ++r) {
      EXPECT_EQ(outcome.finished[r], 1);
      EXPECT_EQ(results(r, 0), 100.0 + r) << threads << " threads";
      EXPECT_EQ(results(r, 1), 1.5);
      EXPECT_EQ(results(r, 2), 0.1);
      EXPECT_EQ(results(r, 3), 9.0);
    }
  }
}

TEST(region, a_failure_stops_new_repetitions_and_keeps_finished_rows)
{
  const input_tables tables = small_tables();
  omp_set_num_threads(1);
  const int n = 6;
  arma::Mat<double> results(n, results_columns, arma::fill::zeros);
  std::ostringstream sink;
  boost::timer::progress_display progress(n, sink);
  const region_settings settings{n, 0, std::nullopt, 0.01, 10};
  int calls = 0;
  const region_outcome outcome = run_region(
      tables, settings,
      [&calls](const repetition_inputs&, const repetition_id& id) {
        ++calls;
        if (id.index == 2) throw std::runtime_error("boom");
        return results_row{1, 1, 1, 1, 1, 1, 1};
      },
      results, progress);
  EXPECT_EQ(calls, 3);
  ASSERT_EQ(outcome.failures.size(), 1u);
  EXPECT_EQ(outcome.failures[0].index, 2u);
  EXPECT_EQ(outcome.failures[0].message, "boom");
  EXPECT_EQ(outcome.finished, (std::vector<unsigned char>{1, 1, 0, 0, 0, 0}));
  EXPECT_EQ(progress.count(), 2u);
}
