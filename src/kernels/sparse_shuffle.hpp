// Reproduces sample_index(x, k, seed) (stats/resample.hpp) bit for bit.
//
// The positions of a simple random sample without replacement, drawn fast and
// in memory that grows with the sample rather than with the population.
//
// draw_positions(n, k, seed, out) clears `out` and appends the k positions
// that sample_index(x, k, seed) returns for an x of length n, in the same
// order: the same partial shuffle of 0 ... n - 1, driven by the same engine
// outputs.  k = 0 leaves `out` empty.
// Throws std::invalid_argument unless 0 <= k <= n < 2^31.
//
// When n is large against k the call holds O(k) memory however large n is:
// all k indices are drawn first, a bit per position (or per group of
// positions, at most 64 bits a draw) finds the slots drawn more than once,
// and only the displaced entries of those and of the last k slots are kept.
// When n is at most 8k a plain position vector is faster.  Both give the
// same positions.
#pragma once

#include <cstdint>
#include <vector>

void draw_positions(std::uint64_t n, int k, std::uint32_t seed, std::vector<std::uint32_t>& out);

// The same, into out[0 .. k-1] (k entries the caller provides).
void draw_positions(std::uint64_t n, int k, std::uint32_t seed, std::uint32_t* out);

// The same shuffle over a table of n entries instead of the positions
// themselves: out[t] = the entry that table[0 .. n-1] held, as passed, at the
// t-th position draw_positions(n, k, seed) returns. The table is left
// shuffled. One random access per draw into n small entries (2 or 4 bytes),
// and no lookup afterwards: the fastest form when an entry per position
// costs little to fill. Throws std::invalid_argument as draw_positions does.
void draw_from_table(std::uint16_t* table, std::uint64_t n, int k, std::uint32_t seed, std::uint32_t* out);
void draw_from_table(std::uint32_t* table, std::uint64_t n, int k, std::uint32_t seed, std::uint32_t* out);
