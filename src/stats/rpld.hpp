// Discrete power-law sampler.
//
// rpld(draws, xmin, alpha, table_size, xmax, sorted) returns `draws` integers
// from the discrete power law P(x) = x^-alpha / zeta(alpha, xmin), x >= xmin.
// - xmax > xmin truncates the law: the uniforms stop at the point where the
//   continuous approximation reaches xmax - 0.5; otherwise nothing is cut.
// - table_size >= 1 inverts the exact cumulative distribution tabulated for
//   xmin ... xmin + table_size - 1 and uses the continuous approximation
//   floor((xmin - 0.5) * (1 - u)^(-1 / (alpha - 1)) + 0.5) beyond the table;
//   table_size <= 0 uses that approximation for every draw.
// - sorted = true returns the values in the order of their sorted uniforms:
//   ascending, except that the exact method puts the draws beyond the table
//   (ascending among themselves) after those inside it, so the values may
//   drop once where the two parts meet.  Otherwise the exact method permutes
//   those values with a fixed shuffle (std::minstd_rand0 in its default
//   state, so equal `draws` get equal permutations), and the approximation
//   leaves them in the order drawn.
// - An approximated value beyond what uword holds is clamped to xmax when the
//   law is truncated, else to the largest uword.
// Throws std::invalid_argument for draws < 0, xmin < 1 or alpha not a finite
// number above 1.  Boost.Math errors of zeta and allocation failures propagate.
//
// The seeded form draws all its uniforms from std::mt19937(seed); the plain
// form takes the seed from std::random_device("default").
#pragma once

#include <armadillo>
#include <cstdint>

arma::Col<arma::uword> rpld(int draws, int xmin, double alpha, int table_size,
                            int xmax, bool sorted);
arma::Col<arma::uword> rpld(int draws, int xmin, double alpha, int table_size,
                            int xmax, bool sorted, std::uint32_t seed);
