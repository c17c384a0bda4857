#include "loops/fast_repetition.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "loops/seeds.hpp"
#include "stats/bootstrap.hpp"
#include "stats/inequality.hpp"
#include "stats/power_law_runs.hpp"
#include "stats/radix_sort.hpp"
#include "stats/sparse_shuffle.hpp"

namespace {

double sum_in_order(const arma::Col<double>& values)
{
  double total = 0.0;
  for (double v : values) total += v;
  return total;
}

}  // namespace

power_sample draw_power_sample(const economy& world, int count, std::uint32_t seed)
{
  std::vector<std::uint32_t> positions;
  draw_positions(world.members, count, seed, positions);
  power_sample sample{arma::Col<std::uint32_t>(positions.size(), arma::fill::none)};
  for (std::size_t l = 0; l < positions.size(); ++l) sample.ids[l] = value_at(world, positions[l]);
  return sample;
}

inequality power_inequality(const economy& world, const power_sample& sample, double top_fraction)
{
  // The sample in ascending order is each power value as often as it was
  // drawn, the values taken in ascending order.
  const std::size_t m = world.power.size();
  std::vector<arma::uword> drawn(m, 0);
  double total = 0.0;  // in draw order, as top_frac sums it
  for (std::uint32_t id : sample.ids) {
    ++drawn[id];
    total += world.power[id];
  }
  std::vector<std::uint32_t> order(m);
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(),
            [&world](std::uint32_t x, std::uint32_t y) { return world.power[x] < world.power[y]; });
  std::vector<double> values(m);
  std::vector<arma::uword> counts(m);
  for (std::size_t j = 0; j < m; ++j) {
    values[j] = world.power[order[j]];
    counts[j] = drawn[order[j]];
  }
  return {gini_sorted_runs(values.data(), counts.data(), m, false),
          top_share_sorted_runs(values.data(), counts.data(), m, top_fraction, total)};
}

arma::Col<double> pay_before_noise(const economy& world, const power_sample& sample, double e,
                                   pay_exponent_rule rule)
{
  std::vector<double> pay_of(world.power);
  if (rule == pay_exponent_rule::drawn) {
    for (double& p : pay_of) p = std::pow(p, e);
  }
  arma::Col<double> pay(sample.ids.n_elem, arma::fill::none);
  for (arma::uword l = 0; l < pay.n_elem; ++l) pay[l] = pay_of[sample.ids[l]];
  return pay;
}

void apply_noise(arma::Col<double>& pay, double sigma, mt_bulk& engine)
{
  bool saved_available = false;
  double saved = 0.0;
  for (arma::uword l = 0; l < pay.n_elem; ++l) {
    double z;
    if (saved_available) {
      saved_available = false;
      z = saved;
    } else {
      double x, y, r2;
      do {
        x = 2.0 * mt_canonical(engine) - 1.0;
        y = 2.0 * mt_canonical(engine) - 1.0;
        r2 = x * x + y * y;
      } while (r2 > 1.0 || r2 == 0.0);
      const double mult = std::sqrt(-2 * std::log(r2) / r2);
      saved = x * mult;
      saved_available = true;
      z = y * mult;
    }
    z = z * 1.0 + 0.0;  // the standard normal's scale and location
    pay[l] = std::exp(sigma * z + noise_location) * pay[l];
  }
}

inequality value_inequality(arma::Col<double> values, double top_fraction)
{
  const double total = sum_in_order(values);
  if (values.has_nan()) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return {nan, nan};
  }
  sort_doubles(values.memptr(), values.n_elem);
  return {gini_sorted(values.memptr(), values.n_elem, false),
          top_share_sorted(values.memptr(), values.n_elem, top_fraction, total)};
}

results_row run_repetition_fast(const repetition_inputs& in, const repetition_id& id,
                                pay_exponent_rule rule)
{
  const repetition_start start = start_repetition(in, id);
  const std::optional<repetition_seeds>& seeds = start.seeds;

  mt_bulk engine;
  mt_seed(engine, seed_for(seeds, loop_seed));
  const double alpha = std::fma(alpha_width, mt_canonical(engine), alpha_low);

  const economy world = build_economy(
      start.a, start.b,
      rpld_sorted_runs(in.firm_count, 1, alpha, largest_firm, largest_firm, seed_for(seeds, sizes_seed)));

  const power_sample sample = draw_power_sample(world, in.firm_count, seed_for(seeds, sample_seed));
  const inequality of_power = power_inequality(world, sample, in.top_fraction);

  double e = 1.0;
  if (rule == pay_exponent_rule::drawn) e = std::fma(exponent_width, mt_canonical(engine), exponent_low);
  arma::Col<double> pay = pay_before_noise(world, sample, e, rule);
  apply_noise(pay, boot_sigma(in.g, seed_for(seeds, sigma_seed)), engine);
  const inequality of_pay = value_inequality(std::move(pay), in.top_fraction);

  return {static_cast<double>(world.members) / static_cast<double>(in.firm_count),
          of_power.gini,
          of_pay.gini,
          e,
          of_power.top_share,
          of_pay.top_share,
          alpha};
}
