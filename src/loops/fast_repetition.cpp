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
#include "stats/fast_math.hpp"
#include "stats/inequality.hpp"
#include "stats/normal_bulk.hpp"
#include "stats/power_law_runs.hpp"
#include "stats/radix_sort.hpp"
#include "stats/sparse_shuffle.hpp"

namespace {

// The sample is drawn from a table of value ids while the table takes at
// most this many bytes per draw (32 MB for a million draws): about twice
// the memory of the displaced-position map, and three times as fast.
constexpr std::uint64_t table_bytes_per_draw = 32;

template <typename Entry>
void draw_through_table(const economy& world, int count, std::uint32_t seed, std::uint32_t* out)
{
  std::vector<Entry> table(world.members);
  fill_value_ids(world, table.data());
  draw_from_table(table.data(), world.members, count, seed, out);
}

double sum_in_order(const arma::Col<double>& values)
{
  double total = 0.0;
  for (double v : values) total += v;
  return total;
}

}  // namespace

power_sample draw_power_sample(const economy& world, int count, std::uint32_t seed)
{
  // Few members per draw: shuffle a table of every member's value id (2
  // bytes each while the ids fit) instead of positions that would each need
  // a lookup. Many members per draw: keep only the displaced positions.
  const bool narrow = world.power.size() <= (std::size_t{1} << 16);
  const std::uint64_t table_bytes = world.members * (narrow ? 2 : 4);
  if (count >= 0 && table_bytes <= table_bytes_per_draw * static_cast<std::uint64_t>(count)) {
    power_sample sample{arma::Col<std::uint32_t>(static_cast<arma::uword>(count), arma::fill::none)};
    if (narrow)
      draw_through_table<std::uint16_t>(world, count, seed, sample.ids.memptr());
    else
      draw_through_table<std::uint32_t>(world, count, seed, sample.ids.memptr());
    return sample;
  }
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

arma::Col<double> pay_of_sample(const economy& world, const power_sample& sample, double e,
                                pay_exponent_rule rule, double sigma, mt_bulk& engine)
{
  std::vector<double> pay_of(world.power);
  if (rule == pay_exponent_rule::drawn) {
    for (double& p : pay_of) p = std::pow(p, e);
  }
  const arma::uword n = sample.ids.n_elem;
  arma::Col<double> pay(n, arma::fill::none);
  // A block of normals at a time (an even number, so that no pair is split
  // between blocks), turned into noise factors and applied. The polar method
  // never accepts an r2 below 2^-106 (2u - 1 is 0 or at least 2^-53 in
  // size), so |z| <= sqrt(2 * 106 * ln 2) < 12.2, and for |sigma| <= 57 the
  // exponent stays within exp_in_range's domain.
  constexpr arma::uword block = 512;
  double noise[block];
  const bool in_range = std::abs(sigma) <= 57.0;
  for (arma::uword start = 0; start < n; start += block) {
    const std::size_t len = std::min<arma::uword>(block, n - start);
    draw_normals(engine, noise, len);
    for (std::size_t i = 0; i < len; ++i) noise[i] = sigma * noise[i] + noise_location;
    if (in_range) {
      for (std::size_t i = 0; i < len; ++i) noise[i] = exp_in_range(noise[i]);
    } else {
      for (std::size_t i = 0; i < len; ++i) noise[i] = std::exp(noise[i]);
    }
    for (std::size_t i = 0; i < len; ++i) pay[start + i] = noise[i] * pay_of[sample.ids[start + i]];
  }
  return pay;
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
  const double sigma = boot_sigma(in.g, seed_for(seeds, sigma_seed));
  const inequality of_pay =
      value_inequality(pay_of_sample(world, sample, e, rule, sigma, engine), in.top_fraction);

  return {static_cast<double>(world.members) / static_cast<double>(in.firm_count),
          of_power.gini,
          of_pay.gini,
          e,
          of_power.top_share,
          of_pay.top_share,
          alpha};
}
