#include "loops/repetition.hpp"

#include <gtest/gtest.h>

#include "loops/data_tables.hpp"

namespace {

// A repetition with fewer firms than the programs use, so that the tests
// stay quick; every step runs as in a full repetition.
results_row run(const input_tables& t, std::uint64_t index, pay_exponent_rule rule,
                int firms = 3000)
{
  const repetition_inputs in{t.span, t.g, t.pay_exponent, model_settings{}.top_fraction, firms};
  return run_repetition(in, repetition_id{index, 11}, rule);
}

}  // namespace

TEST(fill_firm_powers, levels_get_one_plus_members_below_over_members_in_level)
{
  arma::Col<double> power(12, arma::fill::value(-1.0));
  arma::Col<arma::uword> counts(20, arma::fill::zeros);
  counts[0] = 6;
  counts[1] = 2;
  counts[2] = 1;
  counts[19] = 3;
  EXPECT_EQ(fill_firm_powers(counts, 9, power, 2), 11u);
  const arma::Col<double> expected{-1, -1, 1, 1, 1, 1, 1, 1, 4, 4, 9, -1};
  EXPECT_TRUE(arma::approx_equal(power, expected, "absdiff", 0.0));

  // An empty level writes nothing and leaves the powers above it unchanged.
  counts = arma::Col<arma::uword>(20, arma::fill::zeros);
  counts[0] = 6;
  counts[2] = 2;
  counts[3] = 1;
  counts[19] = 4;
  arma::Col<double> gap(9);
  fill_firm_powers(counts, 9, gap, 0);
  EXPECT_TRUE(arma::approx_equal(gap, arma::Col<double>{1, 1, 1, 1, 1, 1, 4, 4, 9}, "absdiff", 0.0));
}

TEST(fill_firm_powers, never_writes_past_the_vector_or_a_mismatched_firm)
{
  arma::Col<arma::uword> counts(20, arma::fill::zeros);
  counts[0] = 6;
  counts[1] = 2;
  counts[2] = 1;
  counts[19] = 3;
  arma::Col<double> power(10, arma::fill::value(-1.0));
  EXPECT_THROW(fill_firm_powers(counts, 9, power, 2), std::runtime_error);   // runs past the end
  EXPECT_THROW(fill_firm_powers(counts, 10, power, 0), std::runtime_error);  // counts add up to 9
  EXPECT_THROW(fill_firm_powers(counts, 8, power, 0), std::runtime_error);
  counts[19] = 25;  // an impossible level count is read as at most 19 levels
  EXPECT_EQ(fill_firm_powers(counts, 9, power, 0), 9u);
  EXPECT_EQ(power[9], -1.0);
}

TEST(repetition, rows_lie_within_their_bounds)
{
  const input_tables t = data_tables();
  for (std::uint64_t i = 0; i < 6; ++i) {
    const results_row q = run(t, i, pay_exponent_rule::drawn);
    EXPECT_GE(q[0], 1.0);
    for (int c : {1, 2}) {
      EXPECT_GE(q[c], 0.0);
      EXPECT_LT(q[c], 1.0);
    }
    EXPECT_GE(q[3], default_exponent_range.low);
    EXPECT_LE(q[3], default_exponent_range.high);
    for (int c : {4, 5}) {
      EXPECT_GT(q[c], 0.0);
      EXPECT_LE(q[c], 1.0);
    }
    EXPECT_GE(q[6], model_settings{}.alpha.low);
    EXPECT_LE(q[6], model_settings{}.alpha.high);
  }
}

TEST(repetition, a_row_depends_only_on_seed_and_index)
{
  const input_tables t = data_tables();
  EXPECT_EQ(run(t, 3, pay_exponent_rule::drawn), run(t, 3, pay_exponent_rule::drawn));
  EXPECT_NE(run(t, 3, pay_exponent_rule::drawn), run(t, 4, pay_exponent_rule::drawn));
}

TEST(repetition, the_frontier_differs_only_in_the_pay_exponent)
{
  const input_tables t = data_tables();
  for (std::uint64_t i = 0; i < 3; ++i) {
    const results_row q = run(t, i, pay_exponent_rule::drawn);
    const results_row v = run(t, i, pay_exponent_rule::one);
    EXPECT_EQ(v[3], 1.0);
    // alpha is the loop engine's first draw in both; the economy and the
    // power sample come before e, so they are the same.
    EXPECT_EQ(v[6], q[6]);
    EXPECT_EQ(v[0], q[0]);
    EXPECT_EQ(v[1], q[1]);
    EXPECT_EQ(v[4], q[4]);
  }
}

TEST(repetition, without_pay_dispersion_the_frontier_pays_in_proportion_to_power)
{
  input_tables t = data_tables();
  t.g.zeros();
  for (std::uint64_t i = 0; i < 3; ++i) {
    const results_row v = run(t, i, pay_exponent_rule::one);
    EXPECT_NEAR(v[2], v[1], 1e-12);
    EXPECT_NEAR(v[5], v[4], 1e-12);
  }
}

TEST(repetition, unseeded_runs_differ)
{
  const input_tables t = data_tables();
  const repetition_inputs in{t.span, t.g, t.pay_exponent, model_settings{}.top_fraction, 2000};
  const results_row a = run_repetition(in, repetition_id{0, std::nullopt}, pay_exponent_rule::drawn);
  const results_row b = run_repetition(in, repetition_id{0, std::nullopt}, pay_exponent_rule::drawn);
  EXPECT_NE(a, b);
}
