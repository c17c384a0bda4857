// Simple random sampling without replacement.
//
// sample_index(x, k) returns k distinct positions of x (0-based) in the order
// drawn; sample_no_replace(x, k) returns the values of x at those positions.
// Only the length n of x matters to the draw: one partial shuffle of the
// positions 0 ... n - 1 in which every chosen slot is refilled from the end of
// the unchosen range, so each draw takes one uniform and constant time.
// k = 0 gives an empty result; k = n a random permutation.
// Throws std::invalid_argument for k < 0, k > n, or x with 2^31 elements or more.
//
// The seeded forms draw k uniforms from std::mt19937(seed); the plain forms
// take the seed from std::random_device("default").  Equal x length, k and
// seed give equal positions in both functions.
#pragma once

#include <armadillo>
#include <cstdint>

arma::Col<double> sample_no_replace(const arma::Col<double>& x, int k);
arma::Col<double> sample_no_replace(const arma::Col<double>& x, int k, std::uint32_t seed);

arma::Col<arma::uword> sample_index(const arma::Col<double>& x, int k);
arma::Col<arma::uword> sample_index(const arma::Col<double>& x, int k, std::uint32_t seed);
