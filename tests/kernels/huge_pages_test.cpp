#include "kernels/huge_pages.hpp"

#include <cstdint>
#include <gtest/gtest.h>
#include <numeric>
#include <thread>
#include <utility>
#include <vector>

TEST(big_buffer, holds_n_writable_values_and_moves_ownership)
{
  constexpr std::size_t huge = std::size_t{1} << 21;
  // Empty, small (an ordinary allocation), and from 2 MB up, where the data
  // starts on a 2 MB boundary (unless the build takes every buffer from
  // malloc): every element can be written and read back.
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{1000}, huge / 8, huge / 8 + 1, 3 * huge / 8 + 5}) {
    big_buffer<double> b(n);
    ASSERT_EQ(b.size(), n);
    if (QUARNEL_HUGE_BLOCKS && n * sizeof(double) >= huge) {
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

TEST(big_buffer, freed_blocks_serve_the_thread_s_next_buffers)
{
  if (!QUARNEL_HUGE_BLOCKS) GTEST_SKIP() << "buffers come from malloc in this build";
  // A thread of its own starts with no blocks kept.
  std::thread([] {
    constexpr std::size_t mb = std::size_t{1} << 20;
    EXPECT_EQ(kept_huge_bytes(), 0u);
    void* small = nullptr;
    void* large = nullptr;
    {
      // New blocks come in whole multiples of 8 MB.
      big_buffer<char> a(4 * mb), b(12 * mb - 5);
      small = a.data();
      large = b.data();
      a[4 * mb - 1] = 1;
      b[0] = 1;
    }
    EXPECT_EQ(kept_huge_bytes(), 24 * mb);
    {
      // The smallest block that fits: 3 MB takes the 8 MB block, 10 MB the
      // 16 MB one, and nothing fits 17 MB.
      big_buffer<char> c(3 * mb), d(10 * mb), e(17 * mb);
      EXPECT_EQ(static_cast<void*>(c.data()), small);
      EXPECT_EQ(static_cast<void*>(d.data()), large);
      EXPECT_NE(static_cast<void*>(e.data()), small);
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(e.data()) % (2 * mb), 0u);
      e[17 * mb - 1] = 1;
    }
    // At most 8 blocks and 64 MB are kept, the least recently freed going first.
    {
      big_buffer<char> big(70 * mb);
      big[70 * mb - 1] = 1;
    }
    EXPECT_LE(kept_huge_bytes(), 64 * mb);
    {
      std::vector<big_buffer<char>> many;
      for (int i = 0; i < 12; ++i) many.emplace_back(2 * mb);
    }
    EXPECT_EQ(kept_huge_blocks(), 8u);
    EXPECT_EQ(kept_huge_bytes(), 64 * mb);
  }).join();
}

TEST(big_buffer, a_larger_buffer_takes_over_the_pages_of_kept_blocks)
{
  if (!QUARNEL_HUGE_BLOCKS) GTEST_SKIP() << "buffers come from malloc in this build";
  std::thread([] {
    constexpr std::size_t mb = std::size_t{1} << 20;
    {
      big_buffer<char> a(8 * mb), b(16 * mb);
      a[0] = 'a';
      a[8 * mb - 1] = 'z';
      b[0] = 'b';
    }
    EXPECT_EQ(kept_huge_bytes(), 24 * mb);
    {
      // No kept block holds 30 MB: the 16 MB block's pages move to the
      // front of the new one, then the 8 MB block's, with what they hold.
      big_buffer<char> c(30 * mb);
      EXPECT_EQ(kept_huge_bytes(), 0u);
      EXPECT_EQ(c[0], 'b');
      EXPECT_EQ(c[16 * mb], 'a');
      EXPECT_EQ(c[24 * mb - 1], 'z');
      c[30 * mb - 1] = 1;
    }
    EXPECT_EQ(kept_huge_bytes(), 32 * mb);
  }).join();
}
