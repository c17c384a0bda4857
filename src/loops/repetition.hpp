// One repetition of the simulation: one synthetic economy, one results row.
//
//  1. span parameters (a, b) by bootstrap from the span table, or the span
//     setting's A,B;
//  2. the loop engine draws the firm-size exponent alpha from the alpha
//     setting (a fixed value still takes its uniform);
//  3. firm_count firm sizes from the discrete power law on 1 .. largest_firm
//     (rpld, sorted);
//  4. the bottom-level size of every firm (base fit);
//  5. every member's power, firm after firm, bottom level first;
//  6. the powers of firm_count distinct members, and their Gini coefficient
//     and top share;
//  7. pay = power^e, with e drawn by the exponent setting (quarnel) or its
//     one value (vesktor);
//  8. pay times log-normal noise exp(sigma z + noise_location), sigma by
//     bootstrap from the g table, or the sigma setting's value;
//  9. the Gini coefficient and top share of pay.
// Row: mean firm size, Gini of power, Gini of pay, e, top share of power,
// top share of pay, alpha. The settings and their defaults are those of
// loops/model_settings.hpp.
//
// Draws from the loop engine, in order: alpha, e (only when drawn), then two
// uniforms per attempt of the polar method for the noise factors.
#pragma once

#include <armadillo>
#include <cstdint>
#include <random>

#include "loops/repetition_io.hpp"
#include "loops/seeds.hpp"

enum class pay_exponent_rule { drawn, one };

// The location of the log-normal pay noise (not a setting).
inline constexpr double noise_location = 1.0;

// The number of levels of a level counts vector (entry 19, at most 19),
// after checking that the counts of those levels add up to `size`.
// Throws std::runtime_error, naming the firm, when they do not.
std::uint64_t checked_levels(const arma::Col<arma::uword>& counts, std::uint64_t size);

// Writes the powers of one firm's members, bottom level first, into
// power[position ...]: 1 + (members below) / (members in the level) for
// every member of a level. `counts` is a level counts vector (entries
// 0 .. L-1, L in entry 19). Returns the position after the firm.
// Throws std::runtime_error, writing nothing, when the firm would run past
// the end of `power` or its counts do not add up to `size`.
std::uint64_t fill_firm_powers(const arma::Col<arma::uword>& counts, std::uint64_t size,
                               arma::Col<double>& power, std::uint64_t position);

// How every repetition begins: its seeds (none for an unseeded run) and the
// span parameters (a, b), bootstrapped from the span table unless the
// settings fix them. A resample of a single level is counted in inputs.notes.
struct repetition_start {
  std::optional<repetition_seeds> seeds;
  double a;
  double b;
};
repetition_start start_repetition(const repetition_inputs& inputs, const repetition_id& id);

// The power of every member, firm after firm in the order of `sizes`, each
// firm bottom level first, its levels from hierarchy_func(size, base, span).
// Throws std::runtime_error when the economy has 2^31 members or more, or a
// firm's level counts do not add up to its size.
arma::Col<double> member_powers(const arma::Col<arma::uword>& sizes, const arma::Col<double>& bases,
                                const arma::Col<double>& span);

// Multiplies every pay value, in order, by a draw of
// std::lognormal_distribution(1, sigma) from `engine`.
void apply_noise(arma::Col<double>& pay, double sigma, std::mt19937& engine);

// The power-to-pay exponent: from the loop engine's uniform u by the
// exponent setting when the rule draws one, else the program's fixed value
// (the setting's one value, default_fixed_exponent; u is not used).
double pay_exponent_of(const repetition_inputs& inputs, pay_exponent_rule rule, double u);

// The log-normal shape of the pay noise: the fixed setting, or a bootstrap
// from the g table.
double sigma_of(const repetition_inputs& inputs, const std::optional<repetition_seeds>& seeds);

// Runs one repetition with the given rule for the power-to-pay exponent.
results_row run_repetition(const repetition_inputs& inputs, const repetition_id& id,
                           pay_exponent_rule rule);
