#include "stats/resample.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>

using arma::Col;
using arma::uword;

TEST(Resample, PositionsAreDistinctAndValuesMatch) {
  Col<double> x(1000);
  for (uword i = 0; i < x.n_elem; ++i) x[i] = 10.0 * static_cast<double>(i) + 0.5;

  const Col<uword> idx = sample_index(x, 600, 42u);
  ASSERT_EQ(idx.n_elem, 600u);
  Col<uword> sorted_idx = arma::sort(idx);
  EXPECT_TRUE(std::adjacent_find(sorted_idx.begin(), sorted_idx.end()) == sorted_idx.end());
  EXPECT_LT(sorted_idx.max(), 1000u);
  // The same seed draws the same positions in both functions.
  const Col<double> val = sample_no_replace(x, 600, 42u);
  for (uword t = 0; t < idx.n_elem; ++t) EXPECT_EQ(val[t], x[idx[t]]);

  // k = n: a permutation of all positions, and of all values.
  const Col<uword> perm = sample_index(x, 1000, 7u);
  EXPECT_TRUE(arma::all(arma::sort(perm) == arma::regspace<Col<uword>>(0, 999)));
  EXPECT_TRUE(arma::all(arma::sort(sample_no_replace(x, 1000, 7u)) == x));

  EXPECT_EQ(sample_index(x, 0, 1u).n_elem, 0u);
  EXPECT_EQ(sample_no_replace(Col<double>(), 0, 1u).n_elem, 0u);
  EXPECT_EQ(sample_index(Col<double>{3.0}, 1, 9u)[0], 0u);
  EXPECT_EQ(sample_no_replace(Col<double>{3.0}, 1, 9u)[0], 3.0);
}

TEST(Resample, DrawsFollowTheEngine) {
  // Draw t takes floor((n - t) * u_t); the chosen slot is refilled from the end.
  const Col<double> x(10, arma::fill::zeros);
  for (std::uint32_t seed : {1u, 2u, 3u, 4u}) {
    std::mt19937 engine(seed);
    const auto j0 = static_cast<uword>(10 * std::generate_canonical<double, 53>(engine));
    const auto j1 = static_cast<uword>(9 * std::generate_canonical<double, 53>(engine));
    const Col<uword> idx = sample_index(x, 2, seed);
    EXPECT_EQ(idx[0], j0);
    EXPECT_EQ(idx[1], j1 == j0 ? 9u : j1);
  }
}

TEST(Resample, InclusionFrequencyIsKOverN) {
  // 20000 seeded calls, k = 3 of n = 10: each position is included with
  // p = 0.3, so its count has standard error sqrt(R p (1 - p)) ~ 65.
  const int reps = 20000;
  const Col<double> x(10, arma::fill::zeros);
  Col<double> count(10, arma::fill::zeros);
  for (int r = 0; r < reps; ++r)
    for (uword p : sample_index(x, 3, static_cast<std::uint32_t>(r))) count[p] += 1.0;
  const double se = std::sqrt(reps * 0.3 * 0.7);
  for (uword p = 0; p < 10; ++p) EXPECT_NEAR(count[p], reps * 0.3, 4.5 * se) << "position " << p;
}

TEST(Resample, RejectsKOutsideRange) {
  const Col<double> x(5, arma::fill::ones);
  EXPECT_THROW(sample_index(x, -1, 1u), std::invalid_argument);
  EXPECT_THROW(sample_no_replace(x, -1, 1u), std::invalid_argument);
  try {
    sample_no_replace(x, 6, 1u);
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "sample_no_replace(): k must be <= n = 5, got 6");
  }
}
