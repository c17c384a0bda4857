#include "stats/radix_sort.hpp"

#include <cstring>
#include <utility>

namespace {

constexpr int digit_bits = 11;
constexpr int passes = 6;  // 66 bits cover the 64 of a key
constexpr std::size_t buckets = std::size_t{1} << digit_bits;
constexpr std::uint64_t sign = std::uint64_t{1} << 63;

// Keys that compare as unsigned integers the way the doubles compare as numbers.
inline std::uint64_t to_key(double v)
{
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return (bits & sign) ? ~bits : bits ^ sign;
}

inline double from_key(std::uint64_t key)
{
  const std::uint64_t bits = (key & sign) ? key ^ sign : ~key;
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

}  // namespace

void radix_sort(double* values, std::size_t n, std::vector<std::uint64_t>& scratch)
{
  if (n < 2) return;
  scratch.resize(2 * n);
  std::uint64_t* from = scratch.data();
  std::uint64_t* to = scratch.data() + n;

  std::vector<std::size_t> count(passes * buckets, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = to_key(values[i]);
    from[i] = key;
    for (int p = 0; p < passes; ++p) ++count[p * buckets + ((key >> (p * digit_bits)) & (buckets - 1))];
  }

  for (int p = 0; p < passes; ++p) {
    std::size_t* c = &count[p * buckets];
    // A digit that every key shares leaves the order as it is.
    const std::uint64_t first = (from[0] >> (p * digit_bits)) & (buckets - 1);
    if (c[first] == n) continue;
    std::size_t offset = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
      const std::size_t here = c[b];
      c[b] = offset;
      offset += here;
    }
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t key = from[i];
      to[c[(key >> (p * digit_bits)) & (buckets - 1)]++] = key;
    }
    std::swap(from, to);
  }
  for (std::size_t i = 0; i < n; ++i) values[i] = from_key(from[i]);
}
