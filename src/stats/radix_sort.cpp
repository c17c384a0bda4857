#include "stats/radix_sort.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

constexpr int digit_bits = 11;
constexpr int max_passes = 6;  // 66 bits cover the 64 of a key
constexpr std::size_t buckets = std::size_t{1} << digit_bits;
constexpr std::uint64_t sign = std::uint64_t{1} << 63;

// Keys that compare as unsigned integers the way the doubles compare as numbers.
inline std::uint64_t to_key(double v)
{
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return (bits & sign) ? ~bits : bits ^ sign;
}

}  // namespace

void radix_sort(double* values, std::size_t n, int ignored_low_bits)
{
  if (n < 2) return;
  const int low = std::clamp(ignored_low_bits, 0, 63);
  const int passes = (64 - low + digit_bits - 1) / digit_bits;
  const auto digit = [low](std::uint64_t key, int p) {
    return static_cast<std::size_t>((key >> (low + p * digit_bits)) & (buckets - 1));
  };

  // Key histograms of every pass in one read of the values.
  std::vector<std::size_t> count(max_passes * buckets, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = to_key(values[i]);
    for (int p = 0; p < passes; ++p) ++count[p * buckets + digit(key, p)];
  }
  // A digit that every key shares leaves the order as it is: skip its pass.
  std::vector<int> active;
  for (int p = 0; p < passes; ++p) {
    if (count[p * buckets + digit(to_key(values[0]), p)] != n) active.push_back(p);
  }
  if (active.empty()) return;

  // The values move between the array and one buffer, their keys computed
  // afresh in every pass (a few bit operations, cheaper than the memory a
  // key array would take). Left uninitialised: every slot is written before
  // it is read.
  std::unique_ptr<double[]> buffer(new double[n]);
  double* from = values;
  double* to = buffer.get();
  for (const int p : active) {
    std::size_t* c = &count[p * buckets];
    std::size_t offset = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
      const std::size_t here = c[b];
      c[b] = offset;
      offset += here;
    }
    for (std::size_t i = 0; i < n; ++i) to[c[digit(to_key(from[i]), p)]++] = from[i];
    std::swap(from, to);
  }
  if (from != values) std::copy(from, from + n, values);
}

void sort_doubles(double* values, std::size_t n)
{
  // Three 11-bit passes: values apart by more than about 2^-20 relative come
  // out in order, nearer ones in their input order.
  constexpr int leading_bits_ignored = 31;
  radix_sort(values, n, leading_bits_ignored);
  // A bounded insertion pass, then std::sort if the budget runs out (values
  // crowded closer than the passes can tell apart, as with almost no noise).
  std::size_t moves = 0;
  const std::size_t budget = 4 * n + 64;
  for (std::size_t i = 1; i < n; ++i) {
    const double v = values[i];
    std::size_t j = i;
    while (j > 0 && values[j - 1] > v) {
      values[j] = values[j - 1];
      --j;
      if (++moves > budget) {
        values[j] = v;
        std::sort(values, values + n);
        return;
      }
    }
    values[j] = v;
  }
}
