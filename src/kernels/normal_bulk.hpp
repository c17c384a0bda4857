// Reproduces std::normal_distribution<double> over std::mt19937 (libstdc++'s
// polar method): the same attempts accepted, the engine left where it leaves
// it, each variate to the last bits of log_of_normal (fast_math.hpp).
//
// Standard normal variates in bulk.
//
// draw_normals(engine, z, n) writes n variates to z[0 .. n-1]: the attempts
// of a fresh std::normal_distribution over a std::mt19937 with the engine's
// outputs, the same ones accepted, each accepted pair (x, y) giving y * mult,
// then x * mult. For odd n the last x * mult is not used. The engine is left
// just after the last attempt used, where the standard distribution leaves
// its engine.
//
// The one difference: mult = sqrt(-2 log(r2) / r2) takes its log from
// log_of_normal, so a variate may differ from the standard one in the last
// bits. The attempts run a block of engine outputs at a time through
// branch-free loops the compiler vectorises.
#pragma once

#include <cstddef>

#include "kernels/fast_random.hpp"

void draw_normals(mt_bulk& engine, double* z, std::size_t n);

// Reproduces std::lognormal_distribution<double>(location, scale) over the
// same engine: out[i] = exp(scale * z_i + location) for the n variates z_i
// that draw_normals(engine, z, n) gives, the exp from exp_in_range (within a
// few ulp of std::exp) while |scale| <= 57 and |location| <= 8, which keeps
// its argument in range, else from std::exp.
void draw_lognormals(mt_bulk& engine, double location, double scale, double* out, std::size_t n);
