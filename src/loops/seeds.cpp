#include "loops/seeds.hpp"

#include <random>

repetition_seeds derive_seeds(std::uint64_t run_seed, std::uint64_t index)
{
  const auto lo = [](std::uint64_t v) { return static_cast<std::uint32_t>(v & 0xffffffffu); };
  const auto hi = [](std::uint64_t v) { return static_cast<std::uint32_t>(v >> 32); };
  std::seed_seq seq{lo(run_seed), hi(run_seed), lo(index), hi(index)};
  repetition_seeds seeds{};
  seq.generate(seeds.begin(), seeds.end());
  return seeds;
}

std::uint32_t fresh_seed()
{
  std::random_device device("default");
  return static_cast<std::uint32_t>(device());
}
