#include "stats/rpld.hpp"
#include "stats/power_law_common.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <boost/math/special_functions/zeta.hpp>

using arma::Col;
using arma::uword;

namespace {

// 0.999 quantile of the chi-square distribution with 20 degrees of freedom.
constexpr double kChi2Df20 = 45.315;

// Pearson statistic of the counts of first ... first + p.size() - 2 and of one
// tail bin of larger values, against the probabilities p (tail last).
double chi_square(const Col<uword>& v, uword first, const std::vector<double>& p) {
  std::vector<double> count(p.size(), 0.0);
  for (uword x : v) {
    EXPECT_GE(x, first);
    count[std::min<uword>(x - first, p.size() - 1)] += 1.0;
  }
  double stat = 0.0;
  for (std::size_t b = 0; b < p.size(); ++b) {
    const double expected = p[b] * static_cast<double>(v.n_elem);
    stat += (count[b] - expected) * (count[b] - expected) / expected;
  }
  return stat;
}

// Turns P(X >= first + b), b = 0 ... bins, into bin probabilities plus the tail.
std::vector<double> from_survival(const std::vector<double>& s) {
  std::vector<double> p;
  for (std::size_t b = 0; b + 1 < s.size(); ++b) p.push_back(s[b] - s[b + 1]);
  p.push_back(s.back());
  return p;
}

std::size_t descents(const Col<uword>& v) {
  std::size_t d = 0;
  for (uword i = 1; i < v.n_elem; ++i) d += v[i] < v[i - 1];
  return d;
}

}  // namespace

TEST(Rpld, ExactMethodFollowsTruncatedPowerLaw) {
  const int cut = 2300000;
  const double alphas[] = {1.8, 2.5, 4.0};
  for (int a = 0; a < 3; ++a) {
    const double alpha = alphas[a];
    const Col<uword> v = rpld(1000000, 1, alpha, cut, cut, true, 1000u + a);
    ASSERT_EQ(v.n_elem, 1000000u);
    EXPECT_GE(v.min(), 1u);
    EXPECT_LE(v.max(), static_cast<uword>(cut));
    // The table run and the tail run are each ascending.
    EXPECT_LE(descents(v), 1u);

    // Uniforms stop at u_max, so a value x below the cut has x^-alpha / zeta / u_max.
    const double u_max = 1.0 - std::pow((cut - 0.5) / 0.5, 1.0 - alpha);
    std::vector<double> p;
    double head = 0.0;
    for (int x = 1; x <= 20; ++x) {
      p.push_back(std::pow(x, -alpha) / boost::math::zeta(alpha) / u_max);
      head += p.back();
    }
    p.push_back(1.0 - head);
    EXPECT_LT(chi_square(v, 1, p), kChi2Df20) << "alpha " << alpha;
    // The run check's mean is that of the law drawn from (within 5 standard errors).
    const arma::vec x = arma::conv_to<arma::vec>::from(v);
    EXPECT_NEAR(arma::mean(x), power_law_mean(alpha, cut), 5 * arma::stddev(x) / 1000) << "alpha " << alpha;
  }
}

TEST(PowerLawMean, ExactSumsThenIntegrals) {
  EXPECT_NEAR(power_law_mean(2.5, 3), (1 + std::pow(2, -1.5) + std::pow(3, -1.5)) /
                                          (1 + std::pow(2, -2.5) + std::pow(3, -2.5)), 1e-15);
  // Past 100000 the integrals: against the sum over every size.
  EXPECT_NEAR(power_law_mean(1.8, 2300000), 47.37546809488432, 1e-6 * 47.4);
}

TEST(Rpld, TableOfOneHoldsOnlyXmin) {
  // xmin 10, alpha 2.5: P(10) = 10^-2.5 / zeta(2.5, 10) exceeds the mass the
  // approximation gives 10, so every draw past the table is at least 11 and
  // P(X >= x) = min(((x - 0.5) / 9.5)^-1.5, 1 - P(10)).
  const double alpha = 2.5;
  double h = boost::math::zeta(alpha);
  for (int k = 1; k < 10; ++k) h -= std::pow(k, -alpha);
  const double p10 = std::pow(10.0, -alpha) / h;
  std::vector<double> s{1.0};
  for (int x = 11; x <= 30; ++x)
    s.push_back(std::min(std::pow((x - 0.5) / 9.5, 1.0 - alpha), 1.0 - p10));

  const Col<uword> v = rpld(200000, 10, alpha, 1, 0, true, 77u);
  EXPECT_EQ(v.min(), 10u);
  EXPECT_EQ(descents(v), 0u);
  EXPECT_LT(chi_square(v, 10, from_survival(s)), kChi2Df20);
}

TEST(Rpld, ContinuousApproximation) {
  // Untruncated, P(X >= x) = ((x - 0.5) / (xmin - 0.5))^(1 - alpha) exactly.
  const double alpha = 2.5;
  std::vector<double> s;
  for (int x = 1; x <= 21; ++x) s.push_back(std::pow((x - 0.5) / 0.5, 1.0 - alpha));
  const Col<uword> v = rpld(200000, 1, alpha, 0, 0, true, 5u);
  EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
  EXPECT_LT(chi_square(v, 1, from_survival(s)), kChi2Df20);

  // Unsorted: the same values in draw order, one canonical uniform per draw.
  const Col<uword> w = rpld(200000, 1, alpha, -3, 0, false, 5u);
  std::mt19937 engine(5u);
  for (int i = 0; i < 3; ++i) {
    const double u = std::generate_canonical<double, 53>(engine);
    EXPECT_EQ(w[i], static_cast<uword>(std::floor(0.5 * std::pow(1.0 - u, -1.0 / 1.5) + 0.5)));
  }
  Col<uword> w_sorted = w;
  std::sort(w_sorted.begin(), w_sorted.end());
  EXPECT_TRUE(arma::all(w_sorted == v));
}

TEST(Rpld, TruncationAndClamping) {
  // Both methods stay below xmax = 50 however heavy the tail.
  const Col<uword> approx = rpld(100000, 1, 1.2, 0, 50, false, 3u);
  const Col<uword> exact = rpld(100000, 1, 1.2, 10, 50, true, 3u);
  EXPECT_GE(approx.min(), 1u);
  EXPECT_LE(approx.max(), 49u);
  EXPECT_LE(exact.max(), 49u);
  EXPECT_GT(exact.max(), 10u);  // the tail beyond the table was reached

  // alpha 1.01 untruncated: 0.5 * (1 - u)^-100 passes 2^64 for u > 0.36.
  const Col<uword> huge = rpld(1000, 1, 1.01, 0, 0, true, 3u);
  EXPECT_EQ(huge.max(), std::numeric_limits<uword>::max());
  EXPECT_TRUE(std::is_sorted(huge.begin(), huge.end()));
}

TEST(Rpld, SeedsAndOrder) {
  const Col<uword> a = rpld(5000, 2, 2.2, 500, 0, true, 11u);
  EXPECT_TRUE(arma::all(a == rpld(5000, 2, 2.2, 500, 0, true, 11u)));
  EXPECT_FALSE(arma::all(a == rpld(5000, 2, 2.2, 500, 0, true, 12u)));
  EXPECT_EQ(rpld(0, 1, 2.0, 100, 0, true, 1u).n_elem, 0u);
  EXPECT_EQ(rpld(0, 1, 2.0, 0, 0, false, 1u).n_elem, 0u);

  // Unsorted exact draws are the sorted ones under minstd_rand0's fixed shuffle.
  Col<uword> shuffled = a;
  std::minstd_rand0 shuffler;
  std::shuffle(shuffled.begin(), shuffled.end(), shuffler);
  EXPECT_TRUE(arma::all(shuffled == rpld(5000, 2, 2.2, 500, 0, false, 11u)));
}

TEST(Rpld, RejectsInvalidArguments) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_THROW(rpld(-1, 1, 2.0, 10, 0, true, 1u), std::invalid_argument);
  EXPECT_THROW(rpld(10, 0, 2.0, 10, 0, true, 1u), std::invalid_argument);
  for (double alpha : {1.0, nan, inf, -inf})
    EXPECT_THROW(rpld(10, 1, alpha, 10, 0, true, 1u), std::invalid_argument) << alpha;
  try {
    rpld(10, 1, 0.9, 10, 0, true, 1u);
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "rpld(): alpha must be finite and > 1, got 0.9");
  }
}
