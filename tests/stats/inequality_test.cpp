#include "stats/inequality.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

using arma::Col;

TEST(Gini, HandCalculatedValues) {
  EXPECT_DOUBLE_EQ(gini({1.0, 3.0}, false), 0.25);
  EXPECT_DOUBLE_EQ(gini({3.0, 1.0}, false), 0.25);
  EXPECT_DOUBLE_EQ(gini({3.0, 1.0}, true), 0.5);
  EXPECT_NEAR(gini(Col<double>(7, arma::fill::value(2.5)), false), 0.0, 1e-15);
  // n - 1 zeros and one positive value.
  EXPECT_DOUBLE_EQ(gini({0.0, 0.0, 0.0, 4.0}, false), 0.75);
  EXPECT_DOUBLE_EQ(gini({0.0, 4.0, 0.0, 0.0}, true), 1.0);

  // 1 ... n in shuffled order: G = (n - 1) / (3n).
  Col<double> v = arma::regspace<Col<double>>(1, 1000);
  std::shuffle(v.begin(), v.end(), std::mt19937(1u));
  const Col<double> before = v;
  EXPECT_NEAR(gini(v, false), 999.0 / 3000.0, 1e-13);
  EXPECT_TRUE(arma::all(v == before));  // the caller's order survives
}

TEST(Gini, DegenerateInputs) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (bool c : {false, true}) {
    EXPECT_EQ(gini({0.0}, c), 0.0);
    EXPECT_EQ(gini({-3.0}, c), 0.0);
    EXPECT_EQ(gini({nan}, c), 0.0);
    EXPECT_TRUE(std::isnan(gini(Col<double>(), c)));
    EXPECT_TRUE(std::isnan(gini({0.0, 0.0, 0.0}, c)));
    EXPECT_TRUE(std::isnan(gini({1.0, nan, 2.0}, c)));
  }
}

TEST(TopFrac, HandCalculatedValues) {
  Col<double> v{5, 1, 4, 2, 3, 10, 0, 0, 0, 0};
  const Col<double> before = v;
  EXPECT_DOUBLE_EQ(top_frac(v, 0.2), 0.6);
  EXPECT_DOUBLE_EQ(top_frac(v, 0.25), 0.6);  // k = 2 by truncation
  EXPECT_EQ(top_frac(v, 0.05), 0.0);         // k = 0
  EXPECT_EQ(top_frac(v, 0.0), 0.0);
  EXPECT_EQ(top_frac(v, 1.0), 1.0);
  EXPECT_TRUE(arma::all(v == before));

  // Top 5 % of 1 ... 100: (96 + ... + 100) / 5050.
  Col<double> w = arma::regspace<Col<double>>(1, 100);
  std::shuffle(w.begin(), w.end(), std::mt19937(2u));
  EXPECT_DOUBLE_EQ(top_frac(w, 0.05), 490.0 / 5050.0);
  EXPECT_EQ(top_frac(arma::regspace<Col<double>>(1, 99), 0.01), 0.0);  // fewer than 100
}

TEST(TopFrac, DegenerateInputsAndBadFractions) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(std::isnan(top_frac(Col<double>(), 0.5)));
  EXPECT_TRUE(std::isnan(top_frac(Col<double>(4, arma::fill::zeros), 0.5)));
  EXPECT_TRUE(std::isnan(top_frac(Col<double>(4, arma::fill::zeros), 0.0)));
  EXPECT_TRUE(std::isnan(top_frac({1.0, nan, 3.0, 2.0}, 0.5)));
  const Col<double> v{3, 1, 2};
  for (double f : {-0.1, 1.5, nan, std::numeric_limits<double>::infinity()})
    EXPECT_TRUE(std::isnan(top_frac(v, f))) << f;
}

// Runs of equal values stand for the expanded sequence: the same Gini to the
// last bit, and the top group cut inside a run where it falls there.
TEST(SortedRuns, EqualTheExpandedSequence) {
  std::mt19937 engine(11u);
  std::uniform_int_distribution<int> count_of(0, 40);
  std::vector<double> values;
  std::vector<arma::uword> counts;
  double v = 0.5;
  for (int r = 0; r < 200; ++r) {
    v += std::uniform_real_distribution<double>(0.01, 3.0)(engine);
    values.push_back(v);
    counts.push_back(static_cast<arma::uword>(count_of(engine)));
  }
  std::vector<double> expanded;
  for (std::size_t r = 0; r < values.size(); ++r) expanded.insert(expanded.end(), counts[r], values[r]);
  const std::size_t n = expanded.size();
  double total = 0.0;
  for (double x : expanded) total += x;

  for (bool correction : {false, true}) {
    EXPECT_EQ(gini_sorted_runs(values.data(), counts.data(), values.size(), correction),
              gini_sorted(expanded.data(), n, correction));
  }
  for (double fraction : {0.0, 0.01, 0.013, 0.25, 1.0}) {
    EXPECT_EQ(top_share_sorted_runs(values.data(), counts.data(), values.size(), fraction, total),
              top_share_sorted(expanded.data(), n, fraction, total))
        << fraction;
  }
  EXPECT_TRUE(std::isnan(top_share_sorted_runs(values.data(), counts.data(), values.size(), 1.5, total)));
  // The sorted forms give what gini gives for the same values.
  EXPECT_EQ(gini_sorted(expanded.data(), n, false), gini(Col<double>(expanded), false));
}

// A top group of every value holds exactly the whole, in every form, however
// the sums round; a zero total still gives NaN.
TEST(TopFrac, EveryValueIsExactlyTheWhole) {
  std::mt19937 engine(5u);
  std::lognormal_distribution<double> draw(1.0, 2.0);
  for (arma::uword n : {3u, 100u, 10007u}) {
    Col<double> v(n);
    for (double& x : v) x = draw(engine);
    Col<double> sorted = arma::sort(v);
    double total = 0.0;
    for (double x : v) total += x;
    const std::vector<arma::uword> ones(n, 1);
    EXPECT_EQ(top_frac(v, 1.0), 1.0) << n;
    EXPECT_EQ(top_share_sorted(sorted.memptr(), n, 1.0, total), 1.0) << n;
    EXPECT_EQ(top_share_sorted_runs(sorted.memptr(), ones.data(), n, 1.0, total), 1.0) << n;
  }
  const Col<double> zeros(4, arma::fill::zeros);
  EXPECT_TRUE(std::isnan(top_frac(zeros, 1.0)));
  EXPECT_TRUE(std::isnan(top_share_sorted(zeros.memptr(), 4, 1.0, 0.0)));
}
