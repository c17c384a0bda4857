#include "stats/bootstrap.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

using arma::Col;

TEST(BootSpan, ExactExponentialDataIsRecovered) {
  const Col<double> x = arma::regspace<Col<double>>(1, 8);
  const Col<double> y = 3.2 * arma::exp(0.17 * x);
  for (std::uint32_t seed = 1; seed <= 20; ++seed) {
    const Col<double> ab = boot_span(x, y, seed);
    ASSERT_EQ(ab.n_elem, 2u);
    EXPECT_NEAR(ab[0], 3.2, 1e-12);
    EXPECT_NEAR(ab[1], 0.17, 1e-13);
  }
  // Constant y: (c, 0), also for a square system and with x longer than y.
  const Col<double> c = boot_span({1.0, 2.0, 3.0, 9.0}, {4.5, 4.5, 4.5}, 3u);
  EXPECT_NEAR(c[0], 4.5, 1e-13);
  EXPECT_NEAR(c[1], 0.0, 1e-14);
  const Col<double> sq = boot_span({1.0, 2.0}, {0.5, 2.0}, 2u);  // seed 2 draws rows 0, 1
  EXPECT_NEAR(sq[0], 0.125, 1e-14);
  EXPECT_NEAR(sq[1], std::log(4.0), 1e-14);
}

TEST(BootSpan, EqualResampledXGivesMinimumNorm) {
  // beta0 + 2 beta1 = mean ln y with beta0^2 + beta1^2 smallest:
  // (beta0, beta1) = mean ln y / 5 * (1, 2).
  const double m = std::log(6.0);
  for (int n : {1, 2, 5}) {
    bool rank_deficient = false;
    const Col<double> ab = boot_span(Col<double>(n, arma::fill::value(2.0)),
                                     Col<double>(n, arma::fill::value(6.0)), 4u, &rank_deficient);
    EXPECT_NEAR(std::log(ab[0]), m / 5.0, 1e-13) << "n " << n;
    EXPECT_NEAR(ab[1], 2.0 * m / 5.0, 1e-13) << "n " << n;
    EXPECT_TRUE(rank_deficient) << "n " << n;  // a single row too
  }
  // Varied y: the mean depends on the resample, the direction (1, x) does not.
  const Col<double> ab = boot_span(Col<double>(6, arma::fill::value(-1.5)), {1, 2, 3, 4, 5, 6}, 8u);
  EXPECT_NEAR(ab[1], -1.5 * std::log(ab[0]), 1e-13);
}

TEST(BootSpan, RankDeficientFitsAreFlaggedSilentlyWithTheNumbersOfDefaultSolve) {
  // Two levels: some seeds resample a single level. Every fit must equal,
  // bit for bit, Armadillo's solve() with default options on the same
  // resample, and only the single-level resamples are flagged.
  const Col<double> x{2, 2, 2, 5};
  const Col<double> y{1.5, 2.5, 3.5, 9.0};
  int flagged = 0;
  testing::internal::CaptureStderr();
  for (std::uint32_t seed = 1; seed <= 40; ++seed) {
    bool rank_deficient = true;
    const Col<double> ab = boot_span(x, y, seed, &rank_deficient);
    std::mt19937 engine(seed);
    arma::Mat<double> design(4, 2);
    Col<double> response(4);
    bool single_level = true;
    for (arma::uword i = 0; i < 4; ++i) {
      const auto j = static_cast<arma::uword>(4 * std::generate_canonical<double, 53>(engine));
      design(i, 0) = 1.0;
      design(i, 1) = x[j];
      response[i] = std::log(y[j]);
      single_level = single_level && x[j] == 2.0;
    }
    Col<double> expected = arma::solve(design, response);
    EXPECT_EQ(ab[0], std::exp(expected[0])) << seed;
    EXPECT_EQ(ab[1], expected[1]) << seed;
    EXPECT_EQ(rank_deficient, single_level) << seed;
    flagged += rank_deficient;
  }
  const std::string warnings = testing::internal::GetCapturedStderr();
  EXPECT_GT(flagged, 0);
  EXPECT_LT(flagged, 40);
  // The warnings are the reference solves' own, one per single-level resample.
  int warned = 0;
  for (auto at = warnings.find("approx"); at != std::string::npos; at = warnings.find("approx", at + 1))
    ++warned;
  EXPECT_EQ(warned, flagged) << warnings;
}

TEST(BootSpan, RejectsInvalidInput) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Col<double> x{1, 2, 3};
  EXPECT_THROW(boot_span(x, Col<double>(), 1u), std::invalid_argument);
  EXPECT_THROW(boot_span({1.0, 2.0}, {1.0, 2.0, 3.0}, 1u), std::invalid_argument);
  for (double bad : {0.0, -1.0, nan, std::numeric_limits<double>::infinity()})
    EXPECT_THROW(boot_span(x, {1.0, bad, 2.0}, 1u), std::invalid_argument) << bad;
  try {
    boot_span(x, {1.0, -2.0, 2.0}, 1u);
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "boot_span(): y must be positive and finite, got y[1] = -2");
  }
  // A non-finite x leaves solve() without a solution.
  EXPECT_THROW(boot_span(Col<double>(3, arma::fill::value(nan)), {1.0, 2.0, 3.0}, 1u),
               std::runtime_error);
}

TEST(BootSigma, ConstantColumnAndResample) {
  // erf(sigma / 2) is the Gini coefficient of the log-normal: check with std::erf.
  for (double g : {0.1, 0.35, 0.5, 0.9}) {
    const double sigma = boot_sigma(Col<double>(50, arma::fill::value(g)), 5u);
    EXPECT_NEAR(std::erf(sigma / 2.0), g, 1e-15) << g;
  }
  EXPECT_EQ(boot_sigma(Col<double>(10, arma::fill::zeros), 5u), 0.0);
  EXPECT_TRUE(std::isnan(boot_sigma(Col<double>(), 5u)));

  // Row i of the resample is g[floor(n u_i)].
  const Col<double> g{0.1, 0.2, 0.3, 0.4, 0.5};
  std::mt19937 engine(9u);
  double sum = 0.0;
  for (int i = 0; i < 5; ++i)
    sum += g[static_cast<arma::uword>(5 * std::generate_canonical<double, 53>(engine))];
  EXPECT_NEAR(std::erf(boot_sigma(g, 9u) / 2.0), sum / 5.0, 1e-15);

  EXPECT_THROW(boot_sigma({1.5, 1.5}, 1u), std::domain_error);
  EXPECT_THROW(boot_sigma({1.0, 1.0}, 1u), std::overflow_error);
}
