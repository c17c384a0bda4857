#include "loops/repetition.hpp"

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>

#include "loops/seeds.hpp"
#include "model/base_fit.hpp"
#include "model/hierarchy.hpp"
#include "stats/bootstrap.hpp"
#include "stats/inequality.hpp"
#include "stats/resample.hpp"
#include "stats/rpld.hpp"

namespace {

double uniform(std::mt19937& engine)
{
  return std::generate_canonical<double, 53>(engine);
}

std::string firm_error(const char* what, std::uint64_t size)
{
  return std::string(what) + " (firm of " + std::to_string(size) + " members)";
}

}  // namespace

std::uint64_t checked_levels(const arma::Col<arma::uword>& counts, std::uint64_t size)
{
  if (counts.n_elem != 20) throw std::runtime_error(firm_error("level counts of wrong length", size));
  const std::uint64_t levels = std::min<std::uint64_t>(counts[19], 19);
  std::uint64_t total = 0;
  for (std::uint64_t k = 0; k < levels; ++k) {
    if (counts[k] > size - total) {
      throw std::runtime_error(firm_error("level counts exceed the firm size", size));
    }
    total += counts[k];
  }
  if (total != size) throw std::runtime_error(firm_error("level counts do not add up to the firm size", size));
  return levels;
}

std::uint64_t fill_firm_powers(const arma::Col<arma::uword>& counts, std::uint64_t size,
                               arma::Col<double>& power, std::uint64_t position)
{
  const std::uint64_t levels = checked_levels(counts, size);
  if (position > power.n_elem || size > power.n_elem - position) {
    throw std::runtime_error(firm_error("members run past the power vector", size));
  }

  double below = 0.0;
  double* out = power.memptr() + position;
  for (std::uint64_t k = 0; k < levels; ++k) {
    const double c = static_cast<double>(counts[k]);
    if (counts[k] > 0) {
      const double value = below / c + 1.0;
      std::fill(out, out + counts[k], value);
      out += counts[k];
    }
    below += c;
  }
  return position + size;
}

repetition_start start_repetition(const repetition_inputs& in, const repetition_id& id)
{
  repetition_start start;
  if (id.seed) start.seeds = derive_seeds(*id.seed, id.index);
  if (in.model.span) {
    start.a = (*in.model.span)[0];
    start.b = (*in.model.span)[1];
    return start;
  }
  bool rank_deficient = false;
  const arma::Col<double> ab = boot_span(in.span.col(0), in.span.col(1),
                                         seed_for(start.seeds, span_seed), &rank_deficient);
  if (rank_deficient && in.notes != nullptr) ++in.notes->rank_deficient_span_fits;
  start.a = ab[0];
  start.b = ab[1];
  return start;
}

arma::Col<double> member_powers(const arma::Col<arma::uword>& sizes, const arma::Col<double>& bases,
                                const arma::Col<double>& span)
{
  if (bases.n_elem != sizes.n_elem) throw std::runtime_error("one base per firm size is needed");
  const std::uint64_t members = arma::accu(sizes);
  if (members > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) {
    throw std::runtime_error("the economy has " + std::to_string(members) +
                             " members, more than a sample can be drawn from");
  }
  arma::Col<double> power(members, arma::fill::none);
  std::uint64_t position = 0;
  for (arma::uword f = 0; f < bases.n_elem; ++f) {
    if (sizes[f] > static_cast<arma::uword>(std::numeric_limits<int>::max())) {
      throw std::runtime_error(firm_error("a firm too large for the hierarchy", sizes[f]));
    }
    const int size = static_cast<int>(sizes[f]);
    position = fill_firm_powers(hierarchy_func(size, bases[f], span), sizes[f], power, position);
  }
  if (position != members) throw std::runtime_error("the power vector was not filled exactly");
  return power;
}

void apply_noise(arma::Col<double>& pay, double sigma, std::mt19937& engine)
{
  std::lognormal_distribution<double> noise(noise_location, sigma);
  for (arma::uword l = 0; l < pay.n_elem; ++l) pay[l] = noise(engine) * pay[l];
}

double pay_exponent_of(const repetition_inputs& in, pay_exponent_rule rule, double u)
{
  if (rule == pay_exponent_rule::drawn) {
    return drawn_value(in.model.exponent.value_or(default_exponent_range), u, in.pay_exponent);
  }
  const drawn_setting exponent = in.model.exponent.value_or(default_fixed_exponent);
  if (exponent.kind != drawn_setting::fixed) {
    throw std::invalid_argument("a program without a draw for the exponent takes one value");
  }
  return exponent.low;
}

double sigma_of(const repetition_inputs& in, const std::optional<repetition_seeds>& seeds)
{
  return in.model.sigma ? *in.model.sigma : boot_sigma(in.g, seed_for(seeds, sigma_seed));
}

results_row run_repetition(const repetition_inputs& in, const repetition_id& id,
                           pay_exponent_rule rule)
{
  const repetition_start start = start_repetition(in, id);
  const std::optional<repetition_seeds>& seeds = start.seeds;
  const double a = start.a;
  const double b = start.b;

  std::mt19937 engine(seed_for(seeds, loop_seed));
  const double alpha = drawn_value(in.model.alpha, uniform(engine), in.pay_exponent);

  const int largest = in.model.largest_firm;
  const arma::Col<arma::uword> sizes =
      rpld(in.firm_count, 1, alpha, largest, largest, true, seed_for(seeds, sizes_seed));
  const arma::Col<double> bases = base_fit(a, b, sizes);

  const arma::Col<double> power = member_powers(sizes, bases, s_func(a, b));
  const std::uint64_t members = power.n_elem;
  const arma::Col<double> sample = sample_no_replace(power, in.firm_count, seed_for(seeds, sample_seed));

  results_row row{};
  row[0] = static_cast<double>(members) / static_cast<double>(in.firm_count);
  row[1] = gini(sample, false);
  row[4] = top_frac(sample, in.top_fraction);

  const double e =
      pay_exponent_of(in, rule, rule == pay_exponent_rule::drawn ? uniform(engine) : 0.0);
  // pow(x, 1) is x: power itself is the pay before noise.
  arma::Col<double> pay = e == 1.0 ? sample : arma::Col<double>(arma::pow(sample, e));

  apply_noise(pay, sigma_of(in, seeds), engine);

  row[2] = gini(pay, false);
  row[3] = e;
  row[5] = top_frac(pay, in.top_fraction);
  row[6] = alpha;
  return row;
}
