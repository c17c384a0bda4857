#include "stats/huge_pages.hpp"

#include <cstdint>
#include <gtest/gtest.h>
#include <numeric>
#include <utility>

TEST(big_buffer, holds_n_writable_values_and_moves_ownership)
{
  constexpr std::size_t huge = std::size_t{1} << 21;
  // Empty, small (an ordinary allocation), and from 2 MB up, where the data
  // starts on a 2 MB boundary: every element can be written and read back.
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{1000}, huge / 8, huge / 8 + 1, 3 * huge / 8 + 5}) {
    big_buffer<double> b(n);
    ASSERT_EQ(b.size(), n);
    if (n * sizeof(double) >= huge) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.data()) % huge, 0u);
    }
    std::iota(b.begin(), b.end(), 0.0);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(b[i], static_cast<double>(i));

    big_buffer<double> moved(std::move(b));
    EXPECT_EQ(moved.size(), n);
    EXPECT_EQ(b.size(), 0u);
    EXPECT_EQ(b.data(), nullptr);
    if (n > 0) {
      EXPECT_EQ(moved[n - 1], static_cast<double>(n - 1));
    }
    big_buffer<double> assigned(7);
    assigned = std::move(moved);  // frees its own block, takes the other
    EXPECT_EQ(assigned.size(), n);
  }
}
