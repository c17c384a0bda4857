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
