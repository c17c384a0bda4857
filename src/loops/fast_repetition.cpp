#include "loops/fast_repetition.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "loops/economy.hpp"
#include "loops/seeds.hpp"
#include "stats/bootstrap.hpp"
#include "stats/fast_random.hpp"
#include "stats/inequality.hpp"
#include "stats/power_law_runs.hpp"
#include "stats/radix_sort.hpp"
#include "stats/sparse_shuffle.hpp"

namespace {

bool any_nan(const std::vector<double>& v)
{
  return std::any_of(v.begin(), v.end(), [](double x) { return std::isnan(x); });
}

// Gini and top share of `values` (in draw order), as gini and top_frac give them.
void measure(const std::vector<double>& values, double top_fraction, std::vector<double>& sorted,
             std::vector<std::uint64_t>& scratch, double& gini_out, double& top_out)
{
  double total = 0.0;
  for (double v : values) total += v;
  if (any_nan(values)) {
    gini_out = top_out = std::numeric_limits<double>::quiet_NaN();
    return;
  }
  sorted = values;
  radix_sort(sorted.data(), sorted.size(), scratch);
  gini_out = gini_sorted(sorted.data(), sorted.size(), false);
  top_out = top_share_sorted(sorted.data(), sorted.size(), top_fraction, total);
}

}  // namespace

results_row run_repetition_fast(const repetition_inputs& in, const repetition_id& id,
                                pay_exponent_rule rule)
{
  const repetition_start start = start_repetition(in, id);
  const std::optional<repetition_seeds>& seeds = start.seeds;
  const double a = start.a;
  const double b = start.b;

  mt_bulk engine;
  mt_seed(engine, seed_for(seeds, loop_seed));
  const double alpha = std::fma(alpha_width, mt_canonical(engine), alpha_low);

  const std::vector<value_run> sizes =
      rpld_sorted_runs(in.firm_count, 1, alpha, largest_firm, largest_firm, seed_for(seeds, sizes_seed));
  const economy world = build_economy(a, b, sizes);
  if (world.members > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) {
    throw std::runtime_error("the economy has " + std::to_string(world.members) +
                             " members, more than a sample can be drawn from");
  }

  std::vector<std::uint32_t> positions;
  draw_positions(world.members, in.firm_count, seed_for(seeds, sample_seed), positions);
  const std::size_t n = positions.size();
  std::vector<std::uint32_t> ids(n);
  std::vector<double> values(n);
  for (std::size_t l = 0; l < n; ++l) {
    ids[l] = value_at(world, positions[l]);
    values[l] = world.power[ids[l]];
  }
  positions = {};

  results_row row{};
  row[0] = static_cast<double>(world.members) / static_cast<double>(in.firm_count);

  // The power sample in ascending order, by counting the members of each
  // power value.
  {
    std::vector<std::uint64_t> count(world.power.size(), 0);
    for (std::uint32_t i : ids) ++count[i];
    std::vector<std::uint32_t> order(world.power.size());
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(),
              [&world](std::uint32_t x, std::uint32_t y) { return world.power[x] < world.power[y]; });
    std::vector<double> sorted;
    sorted.reserve(n);
    for (std::uint32_t i : order) sorted.insert(sorted.end(), count[i], world.power[i]);
    double total = 0.0;
    for (double v : values) total += v;
    row[1] = gini_sorted(sorted.data(), n, false);
    row[4] = top_share_sorted(sorted.data(), n, in.top_fraction, total);
  }

  double e = 1.0;
  std::vector<double> pay_of(world.power);
  if (rule == pay_exponent_rule::drawn) {
    e = std::fma(exponent_width, mt_canonical(engine), exponent_low);
    for (double& p : pay_of) p = std::pow(p, e);
  }
  std::vector<double> pay(n);
  for (std::size_t l = 0; l < n; ++l) pay[l] = pay_of[ids[l]];
  ids = {};
  values = {};

  // Log-normal noise exp(sigma z + 1), z by the polar method exactly as
  // std::normal_distribution draws it: one accepted pair serves two members.
  const double sigma = boot_sigma(in.g, seed_for(seeds, sigma_seed));
  bool saved_available = false;
  double saved = 0.0;
  for (std::size_t l = 0; l < n; ++l) {
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

  std::vector<double> sorted;
  std::vector<std::uint64_t> scratch;
  measure(pay, in.top_fraction, sorted, scratch, row[2], row[5]);
  row[3] = e;
  row[6] = alpha;
  return row;
}
