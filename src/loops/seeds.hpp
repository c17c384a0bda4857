// Where the random sources of one repetition take their seeds.
//
// A repetition seeds five fresh mt19937 engines, in this order: the span
// bootstrap, the loop engine (alpha, e and the noise), the firm-size sampler,
// the member sample, and the pay-dispersion bootstrap.
//
// The programs always have a run seed (drawn from random_device when none is
// given). Without one (a repetition_id without seed, as some tests use) each
// takes one 32-bit value from a freshly opened random_device("default") at
// the moment it starts. With a run seed S, repetition i takes its five values from
//   std::seed_seq{lo(S), hi(S), lo(i), hi(i)}.generate(s0 .. s4)
// (lo and hi the low and high 32-bit halves), so a row depends only on
// (S, i): not on the thread count, nor on how a run is split into pieces.
// This derivation is part of the results' provenance: never change it, or
// published seeds stop reproducing their rows.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

// The rows also depend on how the standard library turns an engine's outputs
// into variates: libstdc++'s std::generate_canonical and
// std::normal_distribution (which src/kernels reproduces bit for bit). The
// standard leaves those algorithms open, so another library gives other rows
// for the same seed.
#if !defined(__GLIBCXX__)
#error "Quarnel's rows depend on GNU libstdc++'s std::generate_canonical and std::normal_distribution: build with libstdc++ (g++, or clang++ -stdlib=libstdc++)"
#endif

enum seed_slot { span_seed = 0, loop_seed, sizes_seed, sample_seed, sigma_seed, seed_slots };

using repetition_seeds = std::array<std::uint32_t, seed_slots>;

repetition_seeds derive_seeds(std::uint64_t run_seed, std::uint64_t index);

// One value from a freshly opened random_device("default").
std::uint32_t fresh_seed();

// The seed of `slot`: derived when the run has a seed, fresh otherwise.
inline std::uint32_t seed_for(const std::optional<repetition_seeds>& seeds, seed_slot slot)
{
  return seeds ? (*seeds)[slot] : fresh_seed();
}
