// read_buckets in every form against the plain lookup of each position's bucket.
#include "kernels/value_buckets.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/vector_forms.hpp"

namespace {

struct lookup_case {
  value_buckets buckets;
  std::vector<std::uint32_t> positions, out, missed;  // out, missed: the plain lookup's
};

// Buckets of 2^shift positions, about one in three mixed (the largest id
// short of `mixed` among the others), and n positions spread over them.
lookup_case random_case(std::mt19937& random, int shift, std::size_t buckets, std::size_t n)
{
  lookup_case c;
  c.buckets.shift = shift;
  c.buckets.id.resize(buckets);
  for (std::uint32_t& id : c.buckets.id)
    id = random() % 3 == 0 ? value_buckets::mixed : random() % 2 == 0 ? random() % 70000 : 0xfffffffeu;
  for (std::size_t l = 0; l < n; ++l) {
    const auto p = static_cast<std::uint32_t>(random() % (std::uint64_t{buckets} << shift));
    const std::uint32_t id = c.buckets.id[p >> shift];
    c.positions.push_back(p);
    c.out.push_back(id == value_buckets::mixed ? p : id);
    if (id == value_buckets::mixed) c.missed.push_back(static_cast<std::uint32_t>(l));
  }
  return c;
}

}  // namespace

TEST(read_buckets, every_form_gives_the_plain_lookup_and_lists_the_misses_in_order)
{
  std::mt19937 random(5);
  std::vector<lookup_case> cases;
  // Lengths around the 16 lanes of the AVX-512 form and a long run; shift 31
  // puts positions from 2^31 up in the second bucket.
  for (const std::size_t n : {0, 1, 15, 16, 17, 33, 5003}) {
    cases.push_back(random_case(random, 0, 4099, n));
    cases.push_back(random_case(random, 3, 4099, n));
    cases.push_back(random_case(random, 31, 2, n));
  }
  for_each_form([&](vector_width) {
    for (const lookup_case& c : cases) {
      SCOPED_TRACE("shift " + std::to_string(c.buckets.shift) + ", n " + std::to_string(c.positions.size()));
      const std::size_t n = c.positions.size();
      std::vector<std::uint32_t> out(n), missed(n);
      missed.resize(read_buckets(c.buckets, c.positions.data(), n, out.data(), missed.data()));
      EXPECT_EQ(out, c.out);
      EXPECT_EQ(missed, c.missed);
      // Read in place, as the fast repetition does.
      std::vector<std::uint32_t> in_place = c.positions;
      missed.assign(n, 0);
      missed.resize(read_buckets(c.buckets, in_place.data(), n, in_place.data(), missed.data()));
      EXPECT_EQ(in_place, c.out);
      EXPECT_EQ(missed, c.missed);
    }
  });
}
