// The fast repetition against the plain composition of the model's functions.
#include "loops/fast_repetition.hpp"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <random>

#include "cli/settings.hpp"
#include "kernels/power_law_runs.hpp"
#include "kernels/sparse_shuffle.hpp"
#include "kernels/vector_isa.hpp"
#include "loops/data_tables.hpp"
#include "loops/seeds.hpp"
#include "stats/inequality.hpp"

namespace {

double alpha_of(std::uint64_t seed, std::uint64_t index)
{
  std::mt19937 engine(derive_seeds(seed, index)[loop_seed]);
  return drawn_value(model_settings{}.alpha, std::generate_canonical<double, 53>(engine), {});
}

// Repetition indices of `seed` whose alpha lies in [low, high).
std::vector<std::uint64_t> indices_with_alpha(std::uint64_t seed, double low, double high, int how_many)
{
  std::vector<std::uint64_t> found;
  for (std::uint64_t i = 0; static_cast<int>(found.size()) < how_many; ++i) {
    const double alpha = alpha_of(seed, i);
    if (alpha >= low && alpha < high) found.push_back(i);
  }
  return found;
}

void expect_same_row(const input_tables& t, std::uint64_t seed, std::uint64_t index,
                     const model_settings& s, pay_exponent_rule rule)
{
  const repetition_inputs in{t.span, t.g, t.pay_exponent, s.top_fraction, s.firms, nullptr, s};
  const repetition_id id{index, seed};
  const results_row plain = run_repetition(in, id, rule);
  const results_row fast = run_repetition_fast(in, id, rule);
  SCOPED_TRACE("seed " + std::to_string(seed) + ", repetition " + std::to_string(index) + ", alpha " +
               std::to_string(plain[6]) + ", settings:\n" +
               settings_text(s, rule == pay_exponent_rule::drawn));
  // The economy, the exponent and alpha exactly; the inequality measures
  // sum in another order, and the pay carries the last bits of another exp
  // and log, which the contract allows within 1e-9.
  for (int c : {0, 3, 6}) EXPECT_EQ(fast[c], plain[c]) << "column " << c;
  // A measure that is zero but for rounding (equal pay) keeps only the
  // rounding of each order of summation: an absolute 1e-12 on top.
  for (int c : {1, 2, 4, 5}) {
    EXPECT_NEAR(fast[c], plain[c], 1e-9 * std::abs(plain[c]) + 1e-12) << "column " << c;
  }
}

void expect_same_row(const input_tables& t, std::uint64_t seed, std::uint64_t index, int firms,
                     pay_exponent_rule rule)
{
  model_settings s;
  s.firms = firms;
  expect_same_row(t, seed, index, s, rule);
}

// Settings from "name=value" texts, each checked.
model_settings scenario(const std::vector<std::string>& texts, bool draws_exponent)
{
  model_settings s;
  for (const std::string& text : texts) {
    const auto eq = text.find('=');
    EXPECT_NO_THROW(apply_setting(s, text.substr(0, eq), text.substr(eq + 1), draws_exponent)) << text;
  }
  return s;
}

// An economy of `firms` firms at a fixed alpha, its span parameters those of
// repetition 0 of seed `seed`, its firm sizes drawn with seed `sizes`.
economy small_world(int firms, double alpha, std::uint64_t seed, std::uint32_t sizes)
{
  const input_tables t = data_tables();
  const repetition_inputs in{t.span, t.g, t.pay_exponent, model_settings{}.top_fraction, firms};
  const repetition_start start = start_repetition(in, repetition_id{0, seed});
  return build_economy(start.a, start.b,
                       rpld_sorted_runs(firms, 1, alpha, model_settings{}.largest_firm,
                                        model_settings{}.largest_firm, sizes));
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUARNEL_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QUARNEL_UNDER_ASAN 1
#endif

}  // namespace

TEST(fast_repetition, gives_the_plain_rows_over_many_seeds)
{
  const input_tables t = data_tables();
  for (std::uint64_t seed : {1ull, 2ull, 99ull}) {
    for (std::uint64_t i = 0; i < 8; ++i) {
      expect_same_row(t, seed, i, 5000, pay_exponent_rule::drawn);
      expect_same_row(t, seed, i, 5000, pay_exponent_rule::one);
    }
  }
}

TEST(fast_repetition, gives_the_plain_rows_at_both_ends_of_alpha)
{
  const input_tables t = data_tables();
  for (std::uint64_t i : indices_with_alpha(3, 1.8, 1.85, 2)) {
    expect_same_row(t, 3, i, 40000, pay_exponent_rule::drawn);
    expect_same_row(t, 3, i, 40000, pay_exponent_rule::one);
  }
  for (std::uint64_t i : indices_with_alpha(3, 6.9, 7.0, 2)) {
    expect_same_row(t, 3, i, 40000, pay_exponent_rule::drawn);
    expect_same_row(t, 3, i, 40000, pay_exponent_rule::one);
  }
}

// Every setting changes both forms alike: chosen edge cases, then random
// scenarios (small economies keep them quick).
TEST(fast_repetition, gives_the_plain_rows_for_any_settings)
{
  const input_tables t = data_tables();
  std::vector<std::vector<std::string>> cases{
      {"alpha=1.8001", "firms=3000"},
      {"alpha=1.8:1.81", "largest_firm=2", "firms=2000"},
      {"largest_firm=10000000", "alpha=1.85", "firms=3000"},
      {"exponent=table", "firms=2000", "sigma=0"},
      {"span=10000000,0", "firms=2000", "alpha=1.9"},  // one-level firms
      {"span=1.5,0.2", "top_fraction=0.25", "firms=1000", "exponent=0"},
  };
  std::mt19937_64 random(41);
  const auto pick = [&random](std::vector<std::string> options) {
    return options[random() % options.size()];
  };
  for (int k = 0; k < 14; ++k) {
    cases.push_back({"firms=" + std::to_string(200 + random() % 4000),
                     pick({"largest_firm=2", "largest_firm=37", "largest_firm=5000", "largest_firm=2300000"}),
                     pick({"alpha=1.8:7", "alpha=1.83", "alpha=2.2:2.4", "alpha=4.5"}),
                     pick({"exponent=0.2:1", "exponent=table", "exponent=0.6", "exponent=1.5:2"}),
                     pick({"sigma=bootstrap", "sigma=0", "sigma=1.3"}),
                     pick({"span=bootstrap", "span=2.1,0.05", "span=1.3,0.4", "span=5000000,0"}),
                     pick({"top_fraction=0.01", "top_fraction=0.003", "top_fraction=0.5"})});
  }
  for (std::size_t k = 0; k < cases.size(); ++k) {
    expect_same_row(t, 1, k, scenario(cases[k], true), pay_exponent_rule::drawn);
    std::vector<std::string> frontier = cases[k];
    for (std::string& text : frontier)
      if (text.rfind("exponent=", 0) == 0) text = k % 2 ? "exponent=0.7" : "exponent=1";
    expect_same_row(t, 1, k, scenario(frontier, false), pay_exponent_rule::one);
  }
}

#ifndef QUARNEL_UNDER_ASAN
// At the programs' own scale, where the largest firms and the sampler's tail
// come into play (seconds per plain repetition, so only in the plain build).
TEST(fast_repetition, gives_the_plain_rows_at_full_scale)
{
  const input_tables t = data_tables();
  expect_same_row(t, 1, indices_with_alpha(1, 1.8, 1.82, 1)[0], 1000000, pay_exponent_rule::drawn);
  expect_same_row(t, 1, indices_with_alpha(1, 3.0, 4.0, 1)[0], 1000000, pay_exponent_rule::one);
  expect_same_row(t, 1, indices_with_alpha(1, 6.95, 7.0, 1)[0], 1000000, pay_exponent_rule::drawn);
}
#endif

// The repetition with the kernels' widest forms and with their baseline
// forms (as on a processor without AVX2): the same row, bit for bit.
TEST(fast_repetition, gives_the_same_row_on_either_instruction_set)
{
  if (cpu_vectors() == vector_width::baseline) GTEST_SKIP() << "this processor has only the baseline form";
  const input_tables t = data_tables();
  for (int firms : {5000, 200000}) {
    const repetition_inputs in{t.span, t.g, t.pay_exponent, model_settings{}.top_fraction, firms};
    for (std::uint64_t i = 0; i < 3; ++i) {
      limit_vectors(vector_width::baseline);
      const results_row baseline = run_repetition_fast(in, repetition_id{i, 7}, pay_exponent_rule::drawn);
      limit_vectors(vector_width::avx512);
      const results_row wide = run_repetition_fast(in, repetition_id{i, 7}, pay_exponent_rule::drawn);
      for (int c = 0; c < results_columns; ++c) EXPECT_EQ(wide[c], baseline[c]) << firms << " " << i << " " << c;
    }
  }
}

// The pay stage alone, against the plain one's per-member pow and
// std::lognormal_distribution, for noise scales inside and beyond the range
// of the inline exp (beyond it the C library's exp takes over: overflow to
// infinity, NaN for a NaN scale).
TEST(fast_repetition, pay_of_sample_matches_the_plain_noise_for_any_sigma)
{
  const economy world = small_world(3001, 2.2, 5, 17);
  const power_sample sample = draw_power_sample(world, 3001, 18);
  const double e = 0.7;
  for (double sigma : {0.0, 0.8, 57.0, 60.0, 400.0, -3.0, std::nan("")}) {
    arma::Col<double> plain(sample.ids.size());
    for (arma::uword l = 0; l < plain.n_elem; ++l) plain[l] = std::pow(world.power[sample.ids[l]], e);
    std::mt19937 reference(19);
    apply_noise(plain, sigma, reference);

    mt_bulk engine;
    mt_seed(engine, 19);
    const bounded_values made = pay_of_sample(world, sample, e, pay_exponent_rule::drawn, sigma, engine);
    const big_buffer<double>& fast = made.values;
    ASSERT_EQ(fast.size(), plain.n_elem);
    // The range found while the pay was made is the pay's.
    EXPECT_EQ(made.has_nan, plain.has_nan()) << "sigma " << sigma;
    if (!plain.has_nan()) {
      EXPECT_EQ(made.smallest, *std::min_element(fast.begin(), fast.end())) << "sigma " << sigma;
      EXPECT_EQ(made.largest, *std::max_element(fast.begin(), fast.end())) << "sigma " << sigma;
    }
    for (arma::uword l = 0; l < plain.n_elem; ++l) {
      if (std::isnan(plain[l]) || std::isinf(plain[l]) || plain[l] == 0.0) {
        ASSERT_TRUE(fast[l] == plain[l] || (std::isnan(fast[l]) && std::isnan(plain[l])))
            << "sigma " << sigma << ", member " << l << ": " << fast[l] << " against " << plain[l];
      } else {
        ASSERT_NEAR(fast[l], plain[l], 1e-12 * std::abs(plain[l])) << "sigma " << sigma << ", member " << l;
      }
    }
    // Both engines have read the same outputs.
    EXPECT_EQ(mt_next(engine), reference()) << "sigma " << sigma;
  }
}

// Both ways of drawing the sample (a table of value ids when the economy is
// small against the draws, displaced positions otherwise) take the members
// draw_positions picks.
TEST(fast_repetition, the_power_sample_is_the_members_at_the_drawn_positions)
{
  const economy world = small_world(20000, 2.1, 6, 21);
  ASSERT_GT(world.members, 100000u);

  std::vector<std::uint16_t> narrow(world.members);
  std::vector<std::uint32_t> wide(world.members);
  fill_value_ids(world, narrow.data());
  fill_value_ids(world, wide.data());
  for (std::uint64_t p = 0; p < world.members; ++p) {
    ASSERT_EQ(narrow[p], value_at(world, p)) << p;
    ASSERT_EQ(wide[p], value_at(world, p)) << p;
  }

  // A bucket's id, when it has one, is every one of its members' (a single
  // position always has one); buckets that straddle a level are left mixed.
  for (const int shift : {0, 4, 9}) {
    const value_buckets buckets = bucket_value_ids(world, shift);
    ASSERT_EQ(buckets.id.size(), (world.members + (1u << shift) - 1) >> shift);
    std::size_t whole = 0;
    for (std::uint64_t p = 0; p < world.members; ++p) {
      const std::uint32_t id = buckets.id[p >> shift];
      if (id != value_buckets::mixed) {
        ASSERT_EQ(id, value_at(world, p)) << "shift " << shift << ", position " << p;
      }
      whole += id != value_buckets::mixed ? 1 : 0;
    }
    // read_buckets, in each form, gives those ids and lists the others.
    std::vector<std::uint32_t> positions(world.members), expected_out(world.members), expected_missed;
    for (std::uint32_t p = 0; p < world.members; ++p) {
      positions[p] = p * 7919u % static_cast<std::uint32_t>(world.members);
      const std::uint32_t id = buckets.id[positions[p] >> shift];
      expected_out[p] = id == value_buckets::mixed ? positions[p] : id;
      if (id == value_buckets::mixed) expected_missed.push_back(p);
    }
    for (const vector_width width : {vector_width::baseline, vector_width::avx512}) {
      limit_vectors(width);
      std::vector<std::uint32_t> out(world.members), missed(world.members);
      missed.resize(read_buckets(buckets, positions.data(), positions.size(), out.data(), missed.data()));
      EXPECT_EQ(out, expected_out) << shift;
      EXPECT_EQ(missed, expected_missed) << shift;
    }
    EXPECT_GT(whole, 0u) << shift;
    if (shift == 0) {
      EXPECT_EQ(whole, world.members);
    } else {
      EXPECT_LT(whole, world.members) << shift;
    }
  }

  for (std::uint64_t count : {world.members, world.members / 2, world.members / 16, world.members / 17,
                              world.members / 100}) {
    const int k = static_cast<int>(count);
    std::vector<std::uint32_t> positions;
    draw_positions(world.members, k, 22, positions);
    const power_sample sample = draw_power_sample(world, k, 22);
    ASSERT_EQ(sample.ids.size(), positions.size());
    for (std::size_t l = 0; l < positions.size(); ++l)
      ASSERT_EQ(sample.ids[l], value_at(world, positions[l])) << "count " << count << ", draw " << l;
  }

  EXPECT_THROW(draw_power_sample(world, -1, 22), std::invalid_argument);
  EXPECT_THROW(draw_power_sample(world, static_cast<int>(world.members) + 1, 22), std::invalid_argument);

  // More value ids than 16 bits hold cannot go into a 16-bit table.
  economy many;
  many.power.resize((std::size_t{1} << 16) + 1);
  std::uint16_t entry = 0;
  EXPECT_THROW(fill_value_ids(many, &entry), std::invalid_argument);
}

TEST(fast_repetition, remainder_of_equals_the_division_remainder)
{
  std::mt19937_64 engine(23);
  std::vector<std::uint64_t> divisors{1, 2, 3, 7, 1000, 65536, 2300000, 0x7fffffffu, 0x80000000u, 0xffffffffu};
  for (int i = 0; i < 200; ++i) divisors.push_back(1 + engine() % 0xffffffffu);
  for (std::uint64_t d : divisors) {
    const std::uint64_t inverse = d > 1 ? ~std::uint64_t{0} / d + 1 : 0;
    std::vector<std::uint32_t> xs{0u, 1u, static_cast<std::uint32_t>(d - 1), 0xffffffffu, 0x7fffffffu};
    if (d < 0xffffffffu) xs.push_back(static_cast<std::uint32_t>(d));
    for (int j = 0; j < 2000; ++j) xs.push_back(static_cast<std::uint32_t>(engine()));
    for (std::uint32_t x : xs) ASSERT_EQ(remainder_of(x, d, inverse), x % d) << x << " mod " << d;
  }
}

// The pay's Gini and top share against the plain measures, and NaN for both
// when a value is NaN.
TEST(fast_repetition, value_inequality_matches_gini_and_top_frac)
{
  std::mt19937_64 engine(31);
  std::lognormal_distribution<double> pay(1.0, 0.8);
  // Top groups of none, one value, some and all, and a fraction out of range.
  for (double fraction : {0.0, 0.01, 1.0, 1.5}) {
    for (std::size_t n : {std::size_t{1}, std::size_t{7}, std::size_t{100003}}) {
      big_buffer<double> values(n);
      arma::Col<double> plain(n);
      for (std::size_t i = 0; i < n; ++i) plain[i] = values[i] = pay(engine);
      const inequality fast = value_inequality(std::move(values), fraction);
      EXPECT_NEAR(fast.gini, gini(plain, false), 1e-12) << n;
      const double top = top_frac(plain, fraction);
      if (std::isnan(top)) {
        EXPECT_TRUE(std::isnan(fast.top_share)) << fraction;
      } else {
        EXPECT_NEAR(fast.top_share, top, 1e-12 * std::abs(top)) << n << " " << fraction;
      }
      if (fraction == 1.0) {
        EXPECT_EQ(fast.top_share, 1.0) << n;  // the whole, exactly
      }
    }
  }
  big_buffer<double> with_nan(5);
  for (std::size_t i = 0; i < 5; ++i) with_nan[i] = static_cast<double>(i);
  with_nan[3] = std::nan("");
  const inequality nan = value_inequality(std::move(with_nan), 0.01);
  EXPECT_TRUE(std::isnan(nan.gini));
  EXPECT_TRUE(std::isnan(nan.top_share));
}
