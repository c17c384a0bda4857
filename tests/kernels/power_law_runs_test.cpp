#include "kernels/power_law_runs.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/math/special_functions/zeta.hpp>

#include "stats/rpld.hpp"

using arma::Col;
using arma::uword;

namespace {

// rpld's vector written as maximal runs.
std::vector<value_run> as_runs(const Col<uword>& v) {
  std::vector<value_run> runs;
  for (uword x : v)
    if (!runs.empty() && runs.back().value == x)
      ++runs.back().count;
    else
      runs.push_back({x, 1});
  return runs;
}

// Expects the runs of rpld's sorted vector; returns how often the values drop.
int expect_runs_equal(int draws, int xmin, double alpha, int table_size, int xmax,
                      std::uint32_t seed) {
  SCOPED_TRACE(testing::Message() << "draws " << draws << " xmin " << xmin << " alpha " << alpha
                                  << " table " << table_size << " xmax " << xmax << " seed "
                                  << seed);
  const std::vector<value_run> want = as_runs(rpld(draws, xmin, alpha, table_size, xmax, true, seed));
  const std::vector<value_run> got = rpld_sorted_runs(draws, xmin, alpha, table_size, xmax, seed);
  EXPECT_EQ(got.size(), want.size());
  int drops = 0;
  for (std::size_t r = 0; r < std::min(got.size(), want.size()); ++r) {
    if (got[r].value != want[r].value || got[r].count != want[r].count) {
      ADD_FAILURE() << "run " << r << ": " << got[r].count << " x " << got[r].value << ", rpld "
                    << want[r].count << " x " << want[r].value;
      break;
    }
    drops += r > 0 && got[r].value < got[r - 1].value;
  }
  return drops;
}

}  // namespace

TEST(RpldSortedRuns, MatchesRpldForTheLoopsArguments) {
  // The whole table (alpha 1.8) down to a handful of entries (alpha 7).
  const int cut = 2300000;
  const double alphas[] = {1.8, 2.5, 4.0, 7.0};
  for (int a = 0; a < 4; ++a)
    EXPECT_EQ(expect_runs_equal(200000, 1, alphas[a], cut, cut, 31u + a), 0);

  // The first run counts the draws below P(X = 1) = 1 / zeta(2.5), with the
  // uniforms from the standard engine.
  const double alpha = 2.5;
  const double u_max = 1.0 - std::pow((cut - 0.5) / 0.5, 1.0 - alpha);
  const double h = boost::math::zeta(alpha);
  const double p1 = 1.0 - (h - 1.0) / h;
  std::mt19937 engine(5u);
  uword below = 0;
  for (int i = 0; i < 10000; ++i) below += u_max * std::generate_canonical<double, 53>(engine) < p1;
  const std::vector<value_run> runs = rpld_sorted_runs(10000, 1, alpha, cut, cut, 5u);
  ASSERT_FALSE(runs.empty());
  EXPECT_EQ(runs[0].value, 1u);
  EXPECT_EQ(runs[0].count, below);
}

TEST(RpldSortedRuns, KeepsTheDropBetweenTableAndTail) {
  // alpha 2.5, table 1 ... 10: the approximation beyond the table starts below
  // 10, and rpld leaves that drop in place.  With a table of 1 alone it starts
  // at 1, so the first tail values join the table's run of ones.
  for (std::uint32_t seed = 1; seed <= 4; ++seed) {
    EXPECT_EQ(expect_runs_equal(20000, 1, 2.5, 10, 0, seed), 1);
    EXPECT_EQ(expect_runs_equal(20000, 1, 2.5, 1, 0, seed), 0);
  }
  // Heavy tails, clamped at xmax or not, with a table reached in full,
  // also by walks that go past the first 65536 entries.
  EXPECT_LE(expect_runs_equal(50000, 1, 1.2, 10, 50, 3u), 1);
  EXPECT_LE(expect_runs_equal(50000, 2, 1.05, 4000, 0, 4u), 1);
  EXPECT_LE(expect_runs_equal(50000, 1, 1.3, 100000, 0, 5u), 1);
  EXPECT_LE(expect_runs_equal(50000, 1, 1.3, 100000, 150000, 6u), 1);
}

TEST(RpldSortedRuns, ContinuousApproximationIsAscending) {
  for (int table_size : {0, -5}) {
    EXPECT_EQ(expect_runs_equal(100000, 1, 2.5, table_size, 0, 8u), 0);
    EXPECT_EQ(expect_runs_equal(100000, 3, 1.8, table_size, 2300000, 9u), 0);
  }
  // alpha 1.0001 untruncated: almost every value passes 2^64 and is clamped.
  EXPECT_EQ(expect_runs_equal(20000, 1, 1.0001, 0, 0, 2u), 0);
  const std::vector<value_run> huge = rpld_sorted_runs(20000, 1, 1.0001, 0, 0, 2u);
  ASSERT_FALSE(huge.empty());
  EXPECT_EQ(huge.back().value, std::numeric_limits<uword>::max());
  EXPECT_GT(huge.back().count, 10000u);
}

TEST(RpldSortedRuns, MatchesRpldOverManyArguments) {
  std::mt19937 pick(2024u);
  for (int it = 0; it < 300; ++it) {
    const int draws = std::uniform_int_distribution<int>(0, 2000)(pick);
    const int xmin = it % 3 == 0 ? std::uniform_int_distribution<int>(1, 300)(pick) : 1;
    const double alpha = 1.0 + std::exp(std::uniform_real_distribution<double>(-8.0, 3.0)(pick));
    const int table_size = it % 4 == 0 ? std::uniform_int_distribution<int>(-2, 2)(pick)
                                       : std::uniform_int_distribution<int>(1, 5000)(pick);
    const int xmax = it % 2 == 0 ? std::uniform_int_distribution<int>(0, 10000)(pick) : 0;
    expect_runs_equal(draws, xmin, alpha, table_size, xmax, static_cast<std::uint32_t>(pick()));
  }
}

TEST(RpldSortedRuns, NormaliserLostToRounding) {
  // For large alpha, zeta(alpha) minus the terms below xmin cancels in double
  // to zero or below zero.  A negative normaliser makes rpld's cumulative
  // table fall instead of rise (xmin 5, alpha 40 with 100 entries is such a
  // case); the draws must still be rpld's.
  const auto normaliser = [](int xmin, double alpha) {
    double h = boost::math::zeta(alpha);
    for (int k = 1; k < xmin; ++k) h -= std::pow(k, -alpha);
    return h;
  };
  EXPECT_EQ(normaliser(2, 60.0), 0.0);
  EXPECT_LT(normaliser(5, 40.0), 0.0);
  for (int xmin : {2, 3, 5, 50})
    for (double alpha : {40.0, 55.0, 60.0, 200.0})
      for (int table_size : {1, 100}) expect_runs_equal(300, xmin, alpha, table_size, 0, 9u);
  EXPECT_TRUE(rpld_sorted_runs(0, 1, 2.0, 100, 0, 1u).empty());
  EXPECT_TRUE(rpld_sorted_runs(0, 1, 2.0, 0, 0, 1u).empty());
}

TEST(RpldSortedRuns, RejectsWhatRpldRejects) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const auto message = [](auto call) {
    try {
      call();
    } catch (const std::invalid_argument& e) {
      return std::string(e.what());
    }
    return std::string("no exception");
  };
  const std::pair<int, int> sizes[] = {{-1, 1}, {10, 0}, {10, 1}};
  for (const auto& size : sizes)
    for (double alpha : {2.0, 1.0, 0.9, nan, inf, -inf}) {
      const int draws = size.first, xmin = size.second;
      if (draws == 10 && xmin == 1 && alpha == 2.0) continue;  // valid
      const std::string want = message([&] { rpld(draws, xmin, alpha, 10, 0, true, 1u); });
      ASSERT_EQ(want.rfind("rpld(): ", 0), 0u) << want;
      EXPECT_EQ(message([&] { rpld_sorted_runs(draws, xmin, alpha, 10, 0, 1u); }),
                "rpld_sorted_runs(): " + want.substr(8));
    }
}
