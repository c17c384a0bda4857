#include "stages.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <vector>

#include <armadillo>
#include <omp.h>

#include "driver/driver.hpp"
#include "kernels/fast_random.hpp"
#include "kernels/power_law_runs.hpp"
#include "loops/economy.hpp"
#include "loops/fast_repetition.hpp"
#include "loops/repetition.hpp"
#include "loops/seeds.hpp"
#include "measure.hpp"
#include "model/base_fit.hpp"
#include "model/hierarchy.hpp"
#include "stats/bootstrap.hpp"
#include "stats/inequality.hpp"
#include "stats/resample.hpp"
#include "stats/rpld.hpp"

namespace {

using stage_times = std::map<std::string, double>;

// The programs' defaults: the settings of every benchmarked repetition.
const model_settings defaults{};

struct span_and_sigma {
  double a;
  double b;
  double sigma;
};

// The two bootstraps that open every repetition, from their own seeds.
span_and_sigma bootstraps(const input_tables& t, const repetition_seeds& s)
{
  const arma::Col<double> ab = boot_span(t.span.col(0), t.span.col(1), s[span_seed]);
  return {ab[0], ab[1], boot_sigma(t.g, s[sigma_seed])};
}

// The plain pipeline, step for step as run_repetition runs it (rule: drawn),
// through the same stage functions.
results_row plain_stages(const input_tables& t, const repetition_seeds& s, double alpha,
                         stage_times& time, double& members_out)
{
  auto start = clock_type::now();
  const auto [a, b, sigma] = bootstraps(t, s);
  std::mt19937 engine(s[loop_seed]);
  std::generate_canonical<double, 53>(engine);  // alpha's draw, replaced by the fixed alpha
  time["bootstraps"] = seconds_since(start);

  start = clock_type::now();
  const arma::Col<arma::uword> sizes =
      rpld(defaults.firms, 1, alpha, defaults.largest_firm, defaults.largest_firm, true, s[sizes_seed]);
  time["sampler"] = seconds_since(start);

  start = clock_type::now();
  const arma::Col<double> bases = base_fit(a, b, sizes);
  time["base_fit"] = seconds_since(start);

  start = clock_type::now();
  arma::Col<double> power = member_powers(sizes, bases, s_func(a, b));
  time["hierarchy"] = seconds_since(start);

  start = clock_type::now();
  const arma::Col<double> sample = sample_no_replace(power, defaults.firms, s[sample_seed]);
  const double members = static_cast<double>(power.n_elem);
  power.reset();
  time["resampling"] = seconds_since(start);

  results_row row{};
  row[0] = members / static_cast<double>(defaults.firms);
  start = clock_type::now();
  row[1] = gini(sample, false);
  row[4] = top_frac(sample, defaults.top_fraction);
  time["power_inequality"] = seconds_since(start);

  start = clock_type::now();
  const double e =
      drawn_value(default_exponent_range, std::generate_canonical<double, 53>(engine), t.pay_exponent);
  arma::Col<double> pay = arma::pow(sample, e);
  apply_noise(pay, sigma, engine);
  time["noise_pay"] = seconds_since(start);

  start = clock_type::now();
  row[2] = gini(pay, false);
  row[5] = top_frac(pay, defaults.top_fraction);
  time["pay_inequality"] = seconds_since(start);

  row[3] = e;
  row[6] = alpha;
  members_out = members;
  return row;
}

// The fast pipeline, step for step as run_repetition_fast runs it (rule:
// drawn), through the same stage functions.
results_row fast_stages(const input_tables& t, const repetition_seeds& s, double alpha,
                        stage_times& time, double& members_out)
{
  auto start = clock_type::now();
  const auto [a, b, sigma] = bootstraps(t, s);
  mt_bulk engine;
  mt_seed(engine, s[loop_seed]);
  mt_canonical(engine);  // alpha's draw, replaced by the fixed alpha
  time["bootstraps"] = seconds_since(start);

  start = clock_type::now();
  const std::vector<value_run> sizes =
      rpld_sorted_runs(defaults.firms, 1, alpha, defaults.largest_firm, defaults.largest_firm, s[sizes_seed]);
  time["sampler"] = seconds_since(start);

  // build_economy does the base fit (over the distinct sizes) and the
  // hierarchies in one call; the base fit is timed on its own with the same
  // call, and the hierarchy stage is the remainder.
  start = clock_type::now();
  base_fit(a, b, arma::Col<arma::uword>(distinct_sizes(sizes)));
  const double fit_seconds = seconds_since(start);
  start = clock_type::now();
  const economy world = build_economy(a, b, sizes);
  const double economy_seconds = seconds_since(start);
  time["base_fit"] = fit_seconds;
  time["hierarchy"] = std::max(0.0, economy_seconds - fit_seconds);

  start = clock_type::now();
  const power_sample sample = draw_power_sample(world, defaults.firms, s[sample_seed]);
  time["resampling"] = seconds_since(start);

  results_row row{};
  row[0] = static_cast<double>(world.members) / static_cast<double>(defaults.firms);

  start = clock_type::now();
  const inequality of_power = power_inequality(world, sample, defaults.top_fraction);
  row[1] = of_power.gini;
  row[4] = of_power.top_share;
  time["power_inequality"] = seconds_since(start);

  start = clock_type::now();
  const double e = drawn_value(default_exponent_range, mt_canonical(engine), t.pay_exponent);
  bounded_values pay = pay_of_sample(world, sample, e, pay_exponent_rule::drawn, sigma, engine);
  time["noise_pay"] = seconds_since(start);

  start = clock_type::now();
  const inequality of_pay = value_inequality(std::move(pay), defaults.top_fraction);
  row[2] = of_pay.gini;
  row[5] = of_pay.top_share;
  time["pay_inequality"] = seconds_since(start);

  row[3] = e;
  row[6] = alpha;
  members_out = static_cast<double>(world.members);
  return row;
}

}  // namespace

int child_stages(const std::string& data, const std::string& pipeline, double alpha, int repeats,
                 std::uint64_t seed)
{
  omp_set_num_threads(1);  // one worker: no library call may spread over the other core
  keep_freed_memory();     // as the programs do
  const input_tables t = tables_from(data);
  const repetition_seeds s = derive_seeds(seed, 0);
  const long base = peak_kb();

  std::map<std::string, std::vector<double>> times;
  results_row row{};
  double members = 0.0;
  for (int r = 0; r < repeats; ++r) {
    stage_times one;
    row = pipeline == "plain" ? plain_stages(t, s, alpha, one, members)
                              : fast_stages(t, s, alpha, one, members);
    for (const auto& [key, value] : one) times[key].push_back(value);
  }
  for (const auto& [key, values] : times) std::printf("stage %s %.9g\n", key.c_str(), median(values));
  std::printf("members %.17g\n", members);
  std::printf("base_kb %ld\npeak_kb %ld\n", base, peak_kb());
  print_row(row);
  return 0;
}
