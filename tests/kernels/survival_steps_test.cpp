#include "kernels/survival_steps.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include <boost/math/special_functions/zeta.hpp>

using arma::uword;

namespace {

double hurwitz(double alpha, int xmin) {
  double h = boost::math::zeta(alpha);
  for (int k = 1; k < xmin; ++k) h -= std::pow(static_cast<double>(k), -alpha);
  return h;
}

// Runs survival_steps from entry c for `count` steps against the recurrence
// with a std::pow call per step; returns how many steps called std::pow.
std::size_t expect_same_chain(int xmin, double alpha, double h, uword m, uword c, double s,
                              std::size_t count) {
  SCOPED_TRACE(testing::Message() << "xmin " << xmin << " alpha " << alpha << " h " << h
                                  << " m " << m << " from " << c);
  survival_steps steps(xmin, alpha, h, m, c, s);
  double plain = s;
  std::size_t differ = 0, first = count;
  for (std::size_t i = 0; i < count; ++i) {
    plain = plain - std::pow(static_cast<double>(xmin) + static_cast<double>(c + i), -alpha) / h;
    const double got = steps.next();
    if (!(got == plain) && !(std::isnan(got) && std::isnan(plain))) {
      if (differ++ == 0) first = i;
    }
  }
  EXPECT_EQ(differ, 0u) << "first at step " << first;
  return steps.exact_calls();
}

}  // namespace

TEST(SurvivalSteps, SameDoublesAsCallingPowEveryStep) {
  // The whole table the loops' sampler can reach, at the alphas where it
  // reaches furthest, and shorter runs across the rest of the range.
  for (const double alpha : {1.8, 1.8400000000000001, 1.9312345678}) {
    const double h = hurwitz(alpha, 1);
    const std::size_t exact = expect_same_chain(1, alpha, h, 2300000, 1, (h - 1.0) / h, 2299999);
    // Beyond the first 4096 entries std::pow is the exception.
    EXPECT_LT(exact, 4096u + 20000u);
  }
  for (const double alpha : {1.0001, 1.5, 2.0, 2.5, 3.7, 7.0, 15.9, 16.5, 40.0}) {
    for (const int xmin : {1, 3, 70000}) {
      const double h = hurwitz(alpha, xmin);
      expect_same_chain(xmin, alpha, h, 400000, 1, (h - std::pow(xmin, -alpha)) / h, 200000);
    }
  }
}

TEST(SurvivalSteps, StartsAnywhereAndRunsPastTheTableEnd) {
  const double alpha = 1.85;
  const double h = hurwitz(alpha, 1);
  // A start inside the series range with a survival of its own, and a
  // table end that cuts a batch short; steps beyond m go on alike.
  expect_same_chain(1, alpha, h, 300000, 123457, 0.001234567, 300000);
  expect_same_chain(1, alpha, h, 5000, 1, (h - 1.0) / h, 20000);
  expect_same_chain(2, 2.2, hurwitz(2.2, 2), 1, 1, 0.5, 10000);
}

TEST(SurvivalSteps, BrokenNormaliserOrHugeTermsCallPowForEveryStep) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const double h : {-1.5, 0.0, nan, std::numeric_limits<double>::infinity(), 1e-300}) {
    EXPECT_GE(expect_same_chain(1, 1.9, h, 100000, 5000, 0.25, 5000), 5000u) << h;
  }
}

TEST(SurvivalSteps, SeriesTermsAreCloseToThePowTerms) {
  double term[max_terms];
  double worst = 0.0;
  for (const double alpha : {1.0001, 1.8, 2.3, 4.0, 7.0, 11.0, 16.0}) {
    const double h = hurwitz(alpha, 1);
    for (uword c = 4095; c < 3000000; c += c / 7 + 1) {
      const std::size_t got = approximate_terms(1, alpha, h, c, max_terms, term);
      const double x = static_cast<double>(c + 1);
      EXPECT_EQ(got, x < 4096.0 ? 0u : std::min<std::size_t>(max_terms, (c + 1) / 256)) << c;
      for (std::size_t i = 0; i < got; ++i) {
        const double want = std::pow(x + static_cast<double>(i), -alpha) / h;
        worst = std::max(worst, std::fabs(term[i] - want) / want);
      }
    }
  }
  EXPECT_LT(worst, 0x1p-47);
  // No series where it would not be accurate.
  EXPECT_EQ(approximate_terms(1, 16.5, 1.0, 100000, max_terms, term), 0u);
  EXPECT_EQ(approximate_terms(1, 2.0, -1.0, 100000, max_terms, term), 0u);
  EXPECT_EQ(approximate_terms(1, 2.0, 1.0, 100000, 7, term), 0u);  // fewer than 16
  EXPECT_EQ(approximate_terms(-200000, 2.0, 1.0, 100000, max_terms, term), 0u);  // x below 1
}
