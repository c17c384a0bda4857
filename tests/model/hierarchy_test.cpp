#include "model/hierarchy.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

using arma::Col;
using arma::uword;

namespace {

const double nan_value = std::numeric_limits<double>::quiet_NaN();

// 20 span entries: the given head, then entries far too large to matter.
Col<double> span_of(std::vector<double> head)
{
  while (head.size() < 20)
    head.push_back(1e15);
  return Col<double>(head);
}

// Level counts as a plain vector (entries 0..18) plus L, for readable checks.
std::vector<uword> levels(const Col<uword>& c) { return {c.begin(), c.begin() + c[19]}; }

void expect_sound(const Col<uword>& c, int n)
{
  ASSERT_EQ(c.n_elem, 20u);
  ASSERT_LE(c[19], 19u);
  uword sum = 0;
  for (uword i = 0; i < 19; ++i) {
    EXPECT_LE(c[i], uword(n));
    if (i < c[19]) EXPECT_GT(c[i], 0u); else EXPECT_EQ(c[i], 0u);
    sum += c[i];
  }
  EXPECT_EQ(sum, uword(n));
}

}  // namespace

TEST(s_func, powers_and_closed_form)
{
  const Col<double> two = s_func(2, 0), one = s_func(1, 0);
  for (uword i = 0; i < 20; ++i) {
    EXPECT_EQ(two[i], std::ldexp(1.0, int(i) + 1));
    EXPECT_EQ(one[i], 1.0);
  }
  // Entry i = a^(i+1) * exp(b * (2 + ... + i+2)).
  const Col<double> s = s_func(3.5, 0.17);
  for (uword i = 0; i < 20; ++i) {
    const double k_sum = (i + 2.0) * (i + 3.0) / 2.0 - 1.0;
    EXPECT_NEAR(s[i] / (std::pow(3.5, i + 1.0) * std::exp(0.17 * k_sum)), 1.0, 1e-13);
  }
}

TEST(hierarchy_func, worked_examples)
{
  const Col<uword> r = hierarchy_func(130, 100.7, span_of({4, 32, 512}));
  EXPECT_EQ(levels(r), (std::vector<uword>{102, 25, 3}));
  expect_sound(r, 130);
  // Excess equal to the bottom level: four members come off the top.
  EXPECT_EQ(levels(hierarchy_func(3, 4.0, s_func(2, 0))), (std::vector<uword>{3}));
  EXPECT_EQ(levels(hierarchy_func(1, 0.4, s_func(2, 0))), (std::vector<uword>{1}));
  const Col<uword> empty = hierarchy_func(0, 0.4, s_func(2, 0));
  EXPECT_TRUE(arma::all(empty == 0));
  // A surplus smaller than the bottom level comes off the bottom: 4,2,1 -> 2,2,1.
  EXPECT_EQ(levels(hierarchy_func(5, 4.0, s_func(2, 0))), (std::vector<uword>{2, 2, 1}));
}

TEST(hierarchy_func, surplus_beyond_bottom_comes_off_the_top)
{
  // 4,2,1 for 2 members: excess 5 > 4 leaves the lowest two members.
  EXPECT_EQ(levels(hierarchy_func(2, 4.0, s_func(2, 0))), (std::vector<uword>{2}));
  // Unit spans: nineteen levels of 8 for 10 members -> 8 at the bottom, 2 above.
  EXPECT_EQ(levels(hierarchy_func(10, 8.0, s_func(1, 0))), (std::vector<uword>{8, 2}));
}

TEST(hierarchy_func, at_most_nineteen_levels)
{
  Col<double> ones = s_func(1, 0);
  ones[18] = ones[19] = nan_value;  // never read
  EXPECT_EQ(levels(hierarchy_func(190, 10.0, ones)), std::vector<uword>(19, 10));
  Col<uword> r = hierarchy_func(200, 10.0, ones);
  EXPECT_EQ(r[0], 20u);
  expect_sound(r, 200);
  // 2^31 - 1 halved 18 times: the sum passes 2^31, the bottom keeps
  // n - (2^31 - 2^13 - 18) = 8209 and level i+1 holds 2^(31-i) - 1.
  r = hierarchy_func(2147483647, 2147483647.0, s_func(2, 0));
  EXPECT_EQ(r[0], 8209u);
  for (uword i = 1; i < 19; ++i) EXPECT_EQ(r[i], (uword(1) << (31 - i)) - 1);
  EXPECT_EQ(r[19], 19u);
}

TEST(hierarchy_func, odd_quotients_and_spans)
{
  // NaN, negative or zero-over-zero quotients end the hierarchy at the bottom.
  EXPECT_EQ(levels(hierarchy_func(7, 5.0, span_of({nan_value}))), (std::vector<uword>{7}));
  EXPECT_EQ(levels(hierarchy_func(7, 5.0, span_of({-2}))), (std::vector<uword>{7}));
  EXPECT_EQ(levels(hierarchy_func(1, 0.4, span_of({0}))), (std::vector<uword>{1}));
  // Infinite or vast quotients: capped, the surplus then comes off the top.
  EXPECT_EQ(levels(hierarchy_func(50, 30.0, span_of({0}))), (std::vector<uword>{30, 20}));
  EXPECT_EQ(levels(hierarchy_func(10, 4.0, span_of({1e-300}))), (std::vector<uword>{4, 6}));
}

TEST(hierarchy_func, unusable_base_gives_one_level)
{
  for (double base : {nan_value, -1.0, -0.5, 2147483648.0, 1e300, HUGE_VAL}) {
    EXPECT_EQ(levels(hierarchy_func(12, base, s_func(2, 0))), (std::vector<uword>{12}));
    EXPECT_TRUE(arma::all(hierarchy_func(0, base, s_func(2, 0)) == 0));
  }
}

TEST(hierarchy_func, rejects_bad_arguments)
{
  EXPECT_THROW(hierarchy_func(-1, 3.0, s_func(2, 0)), std::invalid_argument);
  try {
    hierarchy_func(5, 3.0, Col<double>(19, arma::fill::ones));
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()).rfind("hierarchy_func(): span", 0), 0u);
  }
}

TEST(hierarchy_func, counts_always_add_up)
{
  const Col<double> spans[] = {s_func(2, 0), s_func(0.5, 0.3), s_func(1, 0), s_func(3, -0.5)};
  for (const Col<double>& span : spans)
    for (int n : {0, 1, 2, 7, 100, 5000, 123457})
      for (double base : {0.0, 0.9, 1.5, 3.0, 50.2, 4999.0, 1e6})
        expect_sound(hierarchy_func(n, base, span), n);
}

TEST(p_func, triangular_numbers)
{
  for (double x : {0.0, -3.0, nan_value}) {
    const Col<uword> t = p_func(x, 7.0);
    ASSERT_EQ(t.n_elem, 20u);
    for (uword i = 0; i < 20; ++i) EXPECT_EQ(t[i], i * (i + 1) / 2);
  }
}
