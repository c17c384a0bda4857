#include "kernels/fast_random.hpp"

#include <gtest/gtest.h>
#include <random>

TEST(mt_bulk, gives_the_outputs_of_std_mt19937)
{
  for (std::uint32_t seed : {0u, 1u, 5489u, 4294967295u, 2065720291u}) {
    std::mt19937 reference(seed);
    mt_bulk engine;
    mt_seed(engine, seed);
    // Several blocks, so that every branch of the twist is crossed.
    for (int i = 0; i < 3 * 624 + 17; ++i) ASSERT_EQ(mt_next(engine), reference()) << seed << " " << i;
  }
}

TEST(mt_bulk, canonical_matches_generate_canonical)
{
  std::mt19937 reference(42);
  mt_bulk engine;
  mt_seed(engine, 42);
  for (int i = 0; i < 5000; ++i) {
    const double expected = std::generate_canonical<double, 53>(reference);
    ASSERT_EQ(mt_canonical(engine), expected) << i;
  }
  // Interleaving raw outputs and variates keeps both streams in step.
  EXPECT_EQ(mt_next(engine), reference());
  EXPECT_EQ(mt_canonical(engine), (std::generate_canonical<double, 53>(reference)));
}
