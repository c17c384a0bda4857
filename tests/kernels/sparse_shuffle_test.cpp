#include "kernels/sparse_shuffle.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "stats/resample.hpp"

using arma::Col;
using arma::uword;

namespace {

void expect_same_as_sample_index(std::uint64_t n, int k, std::uint32_t seed) {
  // sample_index reads only the length of x, so its memory is never touched.
  const Col<double> x(n, arma::fill::none);
  const Col<uword> expected = sample_index(x, k, seed);
  std::vector<std::uint32_t> got{7u, 8u, 9u};  // cleared by the call
  draw_positions(n, k, seed, got);
  ASSERT_EQ(got.size(), expected.n_elem) << "n " << n << " k " << k;
  for (std::size_t t = 0; t < got.size(); ++t)
    ASSERT_EQ(got[t], expected[t]) << "n " << n << " k " << k << " seed " << seed << " draw " << t;
}

}  // namespace

TEST(DrawPositions, MatchesSampleIndex) {
  for (std::uint32_t seed : {1u, 2u, 77u, 4294967295u}) {
    expect_same_as_sample_index(1000, 1000, seed);   // a whole permutation
    expect_same_as_sample_index(1040, 1000, seed);   // n slightly above k
    expect_same_as_sample_index(4000, 1000, seed);
    expect_same_as_sample_index(8000, 1000, seed);   // the largest n kept in a vector
    expect_same_as_sample_index(8001, 1000, seed);   // the smallest n kept sparse: many repeats
    expect_same_as_sample_index(50000, 1000, seed);  // few displaced positions
    expect_same_as_sample_index(50000, 7, seed);     // fewer draws than one block
    expect_same_as_sample_index(1000000, 5000, seed);  // repeats found per group of 4 positions
    expect_same_as_sample_index(1, 1, seed);
    expect_same_as_sample_index(5, 0, seed);
    expect_same_as_sample_index(0, 0, seed);
  }
}

TEST(DrawPositions, LargePopulation) {
#ifdef NDEBUG
  const std::uint64_t n = 30000000;
  const int k = 1000000;
#else
  const std::uint64_t n = 3000000;  // instrumented builds: the same path, smaller
  const int k = 100000;
#endif
  expect_same_as_sample_index(n, k, 12345u);

  // The first draw is floor(n * u) of the first standard canonical variate.
  std::mt19937 engine(6u);
  const double u = std::generate_canonical<double, 53>(engine);
  std::vector<std::uint32_t> out;
  draw_positions(2000000000, 3, 6u, out);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0], static_cast<std::uint32_t>(std::floor(2000000000.0 * u)));
}

TEST(DrawPositions, RejectsOutOfRange) {
  std::vector<std::uint32_t> out;
  const auto message = [&out](std::uint64_t n, int k) {
    try {
      draw_positions(n, k, 1u, out);
    } catch (const std::invalid_argument& e) {
      return std::string(e.what());
    }
    return std::string("no exception");
  };
  EXPECT_EQ(message(10, -1), "draw_positions(): k must be >= 0, got -1");
  EXPECT_EQ(message(10, 11), "draw_positions(): k must be <= n = 10, got 11");
  EXPECT_EQ(message(std::uint64_t{1} << 31, 1), "draw_positions(): n must be below 2^31, got 2147483648");
  draw_positions((std::uint64_t{1} << 31) - 1, 2, 1u, out);
  EXPECT_EQ(out.size(), 2u);
}

TEST(DrawFromTable, TakesTheEntriesAtTheDrawnPositions) {
  for (std::uint32_t seed : {3u, 4u}) {
    for (std::uint64_t n : {std::uint64_t{1}, std::uint64_t{1000}, std::uint64_t{4001}, std::uint64_t{70000}}) {
      for (int k : {0, 1, static_cast<int>(n / 3), static_cast<int>(n)}) {
        std::vector<std::uint32_t> positions;
        draw_positions(n, k, seed, positions);
        // Entries that differ from their positions, in both widths.
        std::vector<std::uint16_t> narrow(n);
        std::vector<std::uint32_t> wide(n);
        for (std::uint64_t p = 0; p < n; ++p) {
          narrow[p] = static_cast<std::uint16_t>((p * 7919) % 65536);
          wide[p] = static_cast<std::uint32_t>(p * 2654435761u);
        }
        const std::vector<std::uint16_t> narrow_before = narrow;
        const std::vector<std::uint32_t> wide_before = wide;
        std::vector<std::uint32_t> from_narrow(static_cast<std::size_t>(k) + 1, 99u);
        std::vector<std::uint32_t> from_wide(static_cast<std::size_t>(k) + 1, 99u);
        draw_from_table(narrow.data(), n, k, seed, from_narrow.data());
        draw_from_table(wide.data(), n, k, seed, from_wide.data());
        for (int t = 0; t < k; ++t) {
          ASSERT_EQ(from_narrow[t], narrow_before[positions[t]]) << "n " << n << " k " << k << " draw " << t;
          ASSERT_EQ(from_wide[t], wide_before[positions[t]]) << "n " << n << " k " << k << " draw " << t;
        }
        EXPECT_EQ(from_narrow[k], 99u);  // nothing written past k entries
        EXPECT_EQ(from_wide[k], 99u);
      }
    }
  }
  std::uint16_t table[3] = {0, 1, 2};
  std::uint32_t out[4];
  EXPECT_THROW(draw_from_table(table, 3, 4, 1u, out), std::invalid_argument);
  EXPECT_THROW(draw_from_table(table, 3, -1, 1u, out), std::invalid_argument);
}
