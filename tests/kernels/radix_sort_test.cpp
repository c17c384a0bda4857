#include "kernels/radix_sort.hpp"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <random>

TEST(radix_sort, orders_like_std_sort)
{
  std::mt19937_64 engine(7);
  std::lognormal_distribution<double> pay(1.0, 2.0);
  std::vector<double> values(50000);
  for (double& v : values) v = pay(engine);
  // Ties, powers that differ only in the low bits, and extremes.
  values[10] = values[20] = values[30];
  values.push_back(std::nextafter(values[5], 0.0));
  values.push_back(0.0);
  values.push_back(std::numeric_limits<double>::max());
  values.push_back(std::numeric_limits<double>::denorm_min());
  values.push_back(-3.5);
  values.push_back(-std::numeric_limits<double>::infinity());
  values.push_back(std::numeric_limits<double>::infinity());
  std::vector<double> expected = values;
  std::sort(expected.begin(), expected.end());
  radix_sort(values.data(), values.size());
  EXPECT_EQ(values, expected);

  // Values that share most digits (the passes over common digits are skipped).
  std::vector<double> ones(1000, 1.0);
  ones[3] = 4.0;
  ones[999] = 1.5;
  radix_sort(ones.data(), ones.size());
  EXPECT_EQ(ones[997], 1.0);
  EXPECT_EQ(ones[998], 1.5);
  EXPECT_EQ(ones[999], 4.0);

  double single = 2.0;
  radix_sort(&single, 1);
  radix_sort(nullptr, 0);
  EXPECT_EQ(single, 2.0);
}

TEST(radix_sort, ignoring_low_bits_keeps_near_ties_in_input_order)
{
  const double a = 3.0;
  const double a_up = std::nextafter(3.0, 4.0);  // differs from 3 in the last bit only
  std::vector<double> values{5.0, a_up, 1.0, a, 2.0e9, 0.5};
  radix_sort(values.data(), values.size(), 20);
  EXPECT_EQ(values, (std::vector<double>{0.5, 1.0, a_up, a, 5.0, 2.0e9}));

  // Apart from near ties it orders like std::sort.
  std::mt19937_64 engine(3);
  std::uniform_real_distribution<double> spread(0.0, 1000.0);
  std::vector<double> many(20000);
  for (double& v : many) v = spread(engine);
  std::vector<double> expected = many;
  std::sort(expected.begin(), expected.end());
  radix_sort(many.data(), many.size(), 20);
  for (std::size_t i = 0; i < many.size(); ++i) EXPECT_NEAR(many[i], expected[i], expected[i] * 0x1p-32);
}

namespace {

// Gathers the stretches sort_doubles hands over, in the order it hands them.
class gather final : public sorted_stretches {
 public:
  void take(const double* sorted, std::size_t n) override { seen.insert(seen.end(), sorted, sorted + n); }
  std::vector<double> seen;
};

}  // namespace

TEST(sort_doubles, orders_exactly_like_std_sort_also_when_values_crowd)
{
  std::mt19937_64 engine(5);
  // Spread values, and values crowded within 1e-9 relative of each other
  // (pay with almost no noise), which the leading bits cannot tell apart.
  for (double spread : {0.5, 1e-9}) {
    std::lognormal_distribution<double> pay(1.0, spread);
    std::vector<double> values(100000);
    for (double& v : values) v = pay(engine);
    for (std::size_t i = 0; i < values.size(); i += 7) values[i] = 3.0;  // many ties
    std::vector<double> expected = values;
    std::sort(expected.begin(), expected.end());
    sort_doubles(values.data(), values.size());
    EXPECT_EQ(values, expected) << spread;
  }
  // Values over hundreds of octaves, of both signs, with zeros and
  // infinities; and a narrow cluster stretched by one far outlier.
  std::uniform_real_distribution<double> exponent(-300.0, 300.0);
  std::vector<double> wide(50000);
  for (std::size_t i = 0; i < wide.size(); ++i)
    wide[i] = (i % 3 == 0 ? -1.0 : 1.0) * std::pow(10.0, exponent(engine));
  wide[5] = 0.0;
  wide[6] = -0.0;
  wide[7] = std::numeric_limits<double>::infinity();
  wide[8] = -std::numeric_limits<double>::infinity();
  std::lognormal_distribution<double> narrow(1.0, 0.1);
  std::vector<double> outlier(50000);
  for (double& v : outlier) v = narrow(engine);
  outlier[123] = 1e300;
  // Outliers on both sides of a cluster that is itself a tight core with a
  // thin halo: the crowded part is sorted again on its own range, twice.
  std::vector<double> nested(200000);
  for (std::size_t i = 0; i < nested.size(); ++i)
    nested[i] = 1.0 + (i % 4 == 0 ? 1e-6 : 1e-12) * narrow(engine);
  nested[1] = -1e300;
  nested[2] = 1e300;
  for (std::vector<double>* values : {&wide, &outlier, &nested}) {
    std::vector<double> expected = *values;
    std::sort(expected.begin(), expected.end());
    gather passed;  // the same stretches, the array left as scratch
    std::vector<double> copy = *values;
    EXPECT_TRUE(pass_sorted(copy.data(), copy.size(), expected.front(), expected.back(), passed));
    gather stretches;
    sort_doubles(values->data(), values->size(), &stretches);
    EXPECT_EQ(*values, expected);
    EXPECT_EQ(stretches.seen, expected);  // each value once, in order
    EXPECT_EQ(passed.seen, expected);
  }
  // A range given by the caller: its own, one too narrow (found afresh) and
  // one that claims all values equal.
  for (const auto& [low, high] : {std::pair{0.1, 100.0}, std::pair{2.0, 3.0}, std::pair{5.0, 5.0}}) {
    std::vector<double> values(outlier.begin(), outlier.begin() + 1000);
    values[0] = 0.1;
    values[1] = 100.0;
    std::vector<double> expected = values;
    std::sort(expected.begin(), expected.end());
    EXPECT_TRUE(sort_doubles(values.data(), values.size(), low, high));
    EXPECT_EQ(values, expected) << low << " .. " << high;
  }

  // A NaN of either sign is found before anything moves.
  for (double nan : {std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN()}) {
    std::vector<double> with_nan{3.0, 1.0, nan, 2.0};
    EXPECT_FALSE(sort_doubles(with_nan.data(), with_nan.size()));
    EXPECT_EQ(with_nan[0], 3.0);
    EXPECT_TRUE(std::isnan(with_nan[2]));
    EXPECT_FALSE(sort_doubles(&nan, 1));
    EXPECT_FALSE(sort_doubles(with_nan.data(), with_nan.size(), 5.0, 5.0));
    gather passed;
    EXPECT_FALSE(pass_sorted(with_nan.data(), with_nan.size(), 1.0, 3.0, passed));
    EXPECT_TRUE(passed.seen.empty());
  }

  double one = 1.0;
  EXPECT_TRUE(sort_doubles(&one, 1));
  sort_doubles(nullptr, 0);
  EXPECT_EQ(one, 1.0);
}
