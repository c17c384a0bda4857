// The inline exp and log, and the bulk polar method built on them, against
// the C library and std::normal_distribution.
#include "kernels/normal_bulk.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <vector>

#include "kernels/fast_math.hpp"

namespace {

// Distance in units in the last place between two finite doubles of the same sign.
std::int64_t ulps_apart(double a, double b)
{
  std::int64_t x, y;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x > y ? x - y : y - x;
}

}  // namespace

TEST(fast_math, exp_is_within_4_ulp_of_the_c_library_over_its_domain)
{
  std::mt19937_64 engine(7);
  std::uniform_real_distribution<double> wide(-708.0, 708.0), narrow(-2.0, 2.0);
  for (int i = 0; i < 200000; ++i) {
    for (double x : {wide(engine), narrow(engine)}) {
      const std::int64_t d = ulps_apart(exp_in_range(x), std::exp(x));
      ASSERT_LE(d, 4) << x;
    }
  }
  // Both ends, the halfway points where x / ln 2 rounds, and zero.
  for (double x : {-708.0, 708.0, 0.0, -0.0, 0.5 * std::log(2.0), -0.5 * std::log(2.0),
                   1.5 * std::log(2.0), 1e-300, -1e-300}) {
    EXPECT_LE(ulps_apart(exp_in_range(x), std::exp(x)), 4) << x;
  }
  EXPECT_EQ(exp_in_range(0.0), 1.0);
}

TEST(fast_math, log_is_within_4_ulp_of_the_c_library_for_every_normal_double)
{
  std::mt19937_64 engine(8);
  for (int i = 0; i < 400000; ++i) {
    // Random bit patterns across all positive normal doubles, and values
    // near 1 where the result is small and its relative error shows.
    const std::uint64_t bits = (engine() % (0x7fe0000000000000u)) + 0x0010000000000000u;
    double x;
    std::memcpy(&x, &bits, sizeof x);
    const double near_one = 1.0 + std::ldexp(static_cast<double>(engine() >> 11), -53) - 0.5;
    for (double v : {x, near_one}) {
      const std::int64_t d = ulps_apart(log_of_normal(v), std::log(v));
      ASSERT_LE(d, 4) << v;
    }
  }
  for (double v : {1.0, 0.5, 2.0, std::sqrt(0.5), std::sqrt(2.0), 0x1p-1022, 0x1.fffffffffffffp+1023,
                   std::nextafter(1.0, 0.0), std::nextafter(1.0, 2.0), 1e-300}) {
    EXPECT_LE(ulps_apart(log_of_normal(v), std::log(v)), 4) << v;
  }
  EXPECT_EQ(log_of_normal(1.0), 0.0);
}

TEST(draw_normals, gives_std_normal_distributions_variates_and_leaves_the_engine_where_it_does)
{
  // Counts odd and even, starting at every offset within the engine's block
  // of outputs, so that attempts straddle the refill in every way.
  for (int skip = 0; skip < 4; ++skip) {
    for (std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{1000},
                          std::size_t{4001}}) {
      std::mt19937 reference(1234 + skip);
      mt_bulk engine;
      mt_seed(engine, 1234 + skip);
      for (int s = 0; s < skip; ++s) {
        reference();
        mt_next(engine);
      }
      std::normal_distribution<double> normal;
      std::vector<double> z(n);
      draw_normals(engine, z.data(), n);
      for (std::size_t i = 0; i < n; ++i) {
        const double expected = normal(reference);
        ASSERT_NEAR(z[i], expected, 1e-14 * std::abs(expected)) << "skip " << skip << ", n " << n << ", i " << i;
      }
      // An odd count leaves the second of the last pair unused; the engine
      // has read the same outputs either way.
      ASSERT_EQ(mt_next(engine), reference()) << "skip " << skip << ", n " << n;
    }
  }
}

TEST(draw_normals, successive_calls_continue_one_stream_when_the_counts_are_even)
{
  std::mt19937 reference(99);
  std::normal_distribution<double> normal;
  mt_bulk engine;
  mt_seed(engine, 99);
  std::vector<double> z(512);
  for (int call = 0; call < 10; ++call) {
    draw_normals(engine, z.data(), z.size());
    for (double v : z) {
      const double expected = normal(reference);
      ASSERT_NEAR(v, expected, 1e-14 * std::abs(expected)) << call;
    }
  }
  draw_normals(engine, z.data(), 0);
  EXPECT_EQ(mt_next(engine), reference());
}
