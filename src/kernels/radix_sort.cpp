#include "kernels/radix_sort.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstring>
#include <utility>
#include <vector>

#include "kernels/huge_pages.hpp"

namespace {

constexpr int digit_bits = 11;
constexpr std::uint64_t sign = std::uint64_t{1} << 63;

// Keys that compare as unsigned integers the way the doubles compare as numbers.
inline std::uint64_t to_key(double v)
{
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return (bits & sign) ? ~bits : bits ^ sign;
}

// One LSD pass of `bits`-bit digits per entry of `shifts` over keys
// key(v) >> shift, moving the values between `values` and `buffer`; returns
// where they ended. count holds the histograms of every pass.
template <typename Key>
double* scatter_passes(double* values, double* buffer, std::size_t n, Key key, int bits,
                       const std::vector<int>& shifts, std::vector<std::size_t>& count)
{
  const std::size_t size = std::size_t{1} << bits;
  const std::uint64_t mask = size - 1;
  const std::size_t passes = shifts.size();
  count.assign(passes * size, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t k = key(values[i]);
    for (std::size_t p = 0; p < passes; ++p) ++count[p * size + ((k >> shifts[p]) & mask)];
  }
  double* from = values;
  double* to = buffer;
  const std::uint64_t first = key(values[0]);
  for (std::size_t p = 0; p < passes; ++p) {
    std::size_t* c = &count[p * size];
    const int shift = shifts[p];
    if (c[(first >> shift) & mask] == n) continue;  // a digit every key shares
    std::size_t offset = 0;
    for (std::size_t b = 0; b < size; ++b) {
      const std::size_t here = c[b];
      c[b] = offset;
      offset += here;
    }
    for (std::size_t i = 0; i < n; ++i) to[c[(key(from[i]) >> shift) & mask]++] = from[i];
    std::swap(from, to);
  }
  return from;
}

}  // namespace

void radix_sort(double* values, std::size_t n, int ignored_low_bits)
{
  if (n < 2) return;
  const int low = std::clamp(ignored_low_bits, 0, 63);
  std::vector<int> shifts;
  for (int shift = low; shift < 64; shift += digit_bits) shifts.push_back(shift);
  // The values move between the array and one buffer, their keys computed
  // afresh in every pass (a few bit operations, cheaper than the memory a
  // key array would take). Left uninitialised: every slot is written before
  // it is read.
  big_buffer<double> buffer(n);
  std::vector<std::size_t> count;
  const double* sorted = scatter_passes(values, buffer.data(), n, to_key, digit_bits, shifts, count);
  if (sorted != values) std::copy(sorted, sorted + n, values);
}

bool sort_doubles(double* values, std::size_t n)
{
  if (n == 1) return !std::isnan(values[0]);
  if (n < 2) return true;
  // Keys relative to the smallest, so that the digits cover only the range
  // the values span: 24 bits of it in two 12-bit passes order values apart
  // by more than (range of the keys) / 2^24. Pay spans some 10 to 20
  // octaves, which leaves steps of about 2^-20 relative. Ranges over 32
  // octaves (steps coarser than 2^-19) take a third pass.
  std::uint64_t lo = ~std::uint64_t{0}, hi = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t k = to_key(values[i]);
    lo = std::min(lo, k);
    hi = std::max(hi, k);
  }
  // A NaN's key lies beyond those of both infinities.
  if (hi > to_key(std::numeric_limits<double>::infinity()) ||
      lo < to_key(-std::numeric_limits<double>::infinity()))
    return false;
  const std::uint64_t range = hi - lo;
  if (range == 0) return true;
  int width = 0;
  while (width < 64 && (range >> width) != 0) ++width;
  constexpr int digit = 12;  // 4096 buckets: the histograms stay in the cache
  std::vector<int> shifts;
  if (width <= 2 * digit + 33) {
    const int low = std::max(0, width - 2 * digit);
    shifts = {low, low + digit};
  } else {
    const int low = std::max(0, width - 3 * digit);
    shifts = {low, low + digit, low + 2 * digit};
  }
  big_buffer<double> buffer(n);
  std::vector<std::size_t> count;
  const double* sorted = scatter_passes(
      values, buffer.data(), n, [lo](double v) { return to_key(v) - lo; }, digit, shifts, count);
  if (sorted != values) std::copy(sorted, sorted + n, values);
  buffer = big_buffer<double>();

  // A bounded insertion pass orders what the digits could not tell apart
  // (rarely more than a few neighbours), then std::sort if the budget runs
  // out (values crowded far closer than the steps, as with almost no noise).
  std::size_t moves = 0;
  const std::size_t budget = 4 * n + 64;
  for (std::size_t i = 1; i < n; ++i) {
    const double v = values[i];
    if (!(values[i - 1] > v)) continue;
    std::size_t j = i;
    while (j > 0 && values[j - 1] > v) {
      values[j] = values[j - 1];
      --j;
      if (++moves > budget) {
        values[j] = v;
        std::sort(values, values + n);
        return true;
      }
    }
    values[j] = v;
  }
  return true;
}
