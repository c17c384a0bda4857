#include "model/base_fit.hpp"
#include "model/hierarchy.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

using arma::Col;
using arma::uword;

namespace {
const double nan_value = std::numeric_limits<double>::quiet_NaN();
}

TEST(implied_total, counts_every_level_of_the_candidate)
{
  const Col<double> span = s_func(2, 0);
  EXPECT_EQ(implied_total(10.02, span), 18.0);  // 10 + 5 + 2 + 1
  EXPECT_EQ(implied_total(10.97, span), 18.0);
  EXPECT_EQ(implied_total(11.02, span), 19.0);  // 11 + 5 + 2 + 1
  EXPECT_EQ(implied_total(0.5, span), 1.0);     // bottom of at least one
  // Unsound totals: counts of 2^64 or more, a sum past 2^64, odd spans.
  EXPECT_TRUE(std::isnan(implied_total(0.02, s_func(1e-3, 0))));
  EXPECT_EQ(implied_total(1e17, s_func(1, 0)), 2e18);
  EXPECT_TRUE(std::isnan(implied_total(1e18, s_func(1, 0))));
  EXPECT_TRUE(std::isnan(implied_total(5.0, s_func(-2, 0))));
  EXPECT_TRUE(std::isnan(implied_total(nan_value, span)));
  EXPECT_THROW(implied_total(5.0, Col<double>(18, arma::fill::ones)), std::invalid_argument);
}

TEST(base_fit, reads_the_kept_candidate)
{
  // 10.02 .. 10.97 share the total 18 and 11.02 .. 11.97 the total 19.
  const Col<double> r = base_fit(2, 0, Col<uword>{19, 18, 1, 0});
  ASSERT_EQ(r.n_elem, 4u);
  EXPECT_GE(r[0], 11.02 - 1e-9);
  EXPECT_LE(r[0], 11.97 + 1e-9);
  EXPECT_GE(r[1], 10.02 - 1e-9);
  EXPECT_LE(r[1], 10.97 + 1e-9);
  EXPECT_GT(r[2], 0.0);  // candidates below 2 all give a firm of 1
  EXPECT_LT(r[2], 2.0);
  EXPECT_TRUE(std::isnan(r[3]));  // below the smallest total
  EXPECT_EQ(base_fit(2, 0, Col<uword>()).n_elem, 0u);
}

TEST(base_fit, interpolates_between_table_entries)
{
  // With spans beyond every candidate a firm is its bottom level alone: the
  // total is trunc(B), so the fitted base of size s lies in [s, s + 1).
  Col<uword> sizes = {1999990, 2, 7, 999, 1000, 1001, 54321, 7, 1234567};
  const Col<double> r = base_fit(1e7, 0, sizes);
  for (uword i = 0; i < sizes.n_elem; ++i) {
    EXPECT_GE(r[i], double(sizes[i]) - 1e-9) << sizes[i];
    EXPECT_LT(r[i], double(sizes[i]) + 1.0) << sizes[i];
  }
  EXPECT_EQ(r[2], r[7]);
  // The largest size lifts the top of the range beyond 2000000.
  const Col<double> high = base_fit(1e7, 0, Col<uword>{2100000, 2200000});
  EXPECT_GE(high[0], 2100000.0 - 1e-9);
  EXPECT_LT(high[0], 2100001.0);
}

TEST(base_fit, unsound_spans_give_nan_not_garbage)
{
  // Span factor 1/2: the smallest total is 20963, larger sizes still fit.
  Col<double> r = base_fit(0.5, 0, Col<uword>{1, 20962, 100000});
  EXPECT_TRUE(std::isnan(r[0]));
  EXPECT_TRUE(std::isnan(r[1]));
  EXPECT_TRUE(std::isfinite(r[2]));
  // No candidate has a sound total: one NaN per size.
  for (double a : {1e-3, -2.0, 0.0, nan_value}) {
    r = base_fit(a, 0, Col<uword>{1, 50, 3000});
    ASSERT_EQ(r.n_elem, 3u);
    EXPECT_TRUE(arma::all(r != r)) << a;
  }
  r = base_fit(2, -HUGE_VAL, Col<uword>{1, 50});
  EXPECT_TRUE(arma::all(r != r));
  // Sizes of 2^31 or more only shift the top through their low 32 bits.
  r = base_fit(2, 0, Col<uword>{5, (uword(1) << 31) + 5, (uword(1) << 32) + 10});
  EXPECT_TRUE(std::isfinite(r[0]));
  EXPECT_TRUE(std::isnan(r[1]) && std::isnan(r[2]));
}

TEST(base_fit, every_size_gets_a_sound_hierarchy)
{
  Col<uword> sizes(20000 + 3000);
  for (uword s = 1; s <= 20000; ++s) sizes[s - 1] = s;
  std::mt19937 rng(20240611u);
  std::uniform_int_distribution<uword> pick(20001, 2299999);
  for (uword i = 20000; i + 1 < sizes.n_elem; ++i) sizes[i] = pick(rng);
  sizes[sizes.n_elem - 1] = 2300000;

  for (double a = 2.0; a <= 6.0; a += 0.5)
    for (double b : {0.0, 0.05, 0.1, 0.15, 0.2, 0.25, 0.3}) {
      const Col<double> base = base_fit(a, b, sizes);
      const Col<double> span = s_func(a, b);
      for (uword i = 0; i < sizes.n_elem; ++i) {
        ASSERT_TRUE(std::isfinite(base[i])) << a << ' ' << b << ' ' << sizes[i];
        const Col<uword> c = hierarchy_func(int(sizes[i]), base[i], span);
        uword sum = 0;
        ASSERT_LE(c[19], 19u);
        for (uword j = 0; j < c[19]; ++j) {
          ASSERT_LE(c[j], sizes[i]);  // a count that wrapped below zero shows up here
          sum += c[j];
        }
        ASSERT_EQ(sum, sizes[i]) << a << ' ' << b << ' ' << base[i];
      }
    }
}
