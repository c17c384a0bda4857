#include "kernels/radix_sort.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

namespace {

// sort_doubles' digits: a first pass on the top 8 of the bits it sorts on
// scatters the values into 256 buckets of adjacent ranges; each bucket,
// small enough for the cache, is then ordered on its own, on the next 2 (or
// 3) digits of 8 bits, and finished by an insertion pass. Only the first
// pass moves values through the whole array; 256 destinations keep its
// writes within the first-level cache.
constexpr int local_digit = 8;
constexpr std::size_t local_size = std::size_t{1} << local_digit;
constexpr std::size_t small_bucket = 32;  // fewer values go straight to the insertion pass

// Orders values[0 .. n-1] that are nearly in order already; when that takes
// more than about 4 moves a value (values crowded far closer than the
// digits can tell apart), std::sort instead.
void insertion_pass(double* values, std::size_t n)
{
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
        return;
      }
    }
    values[j] = v;
  }
}

// Orders one bucket: from `in` (len values) into `out`, on `passes` digits of
// key - lo starting at bit `low`, through `scratch` (len values; `in` is
// overwritten when there are three passes).
template <int passes>
void order_bucket(double* in, double* out, double* scratch, std::size_t len, std::uint64_t lo, int low)
{
  if (len <= small_bucket) {
    std::copy(in, in + len, out);
    insertion_pass(out, len);
    return;
  }
  std::size_t count[passes][local_size] = {};
  for (std::size_t i = 0; i < len; ++i) {
    const std::uint64_t k = to_key(in[i]) - lo;
    for (int p = 0; p < passes; ++p) ++count[p][(k >> (low + local_digit * p)) & (local_size - 1)];
  }
  double* from = in;
  for (int p = 0; p < passes; ++p) {
    std::size_t* c = count[p];
    std::size_t offset = 0;
    for (std::size_t d = 0; d < local_size; ++d) {
      const std::size_t here = c[d];
      c[d] = offset;
      offset += here;
    }
    double* to = p == passes - 1 ? out : (from == scratch ? in : scratch);
    const int shift = low + local_digit * p;
    for (std::size_t i = 0; i < len; ++i) to[c[((to_key(from[i]) - lo) >> shift) & (local_size - 1)]++] = from[i];
    from = to;
  }
  insertion_pass(out, len);
}

// The smallest and largest of values[0 .. n-1], n >= 2, compared as doubles
// two at a time in four independent pairs of lanes (one chain of minima
// would wait on each comparison); false when one of them is NaN. (Of a -0.0
// and a +0.0 either may come out; the caller treats them alike.)
bool value_range(const double* values, std::size_t n, double& smallest, double& largest)
{
#if defined(__SSE2__)
  __m128d low[4], high[4], nan[4];
  for (int q = 0; q < 4; ++q) {
    low[q] = high[q] = _mm_set1_pd(values[0]);
    nan[q] = _mm_setzero_pd();
  }
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (int q = 0; q < 4; ++q) {
      const __m128d v = _mm_loadu_pd(values + i + 2 * q);
      low[q] = _mm_min_pd(v, low[q]);  // v < low ? v : low, lane by lane
      high[q] = _mm_max_pd(v, high[q]);
      nan[q] = _mm_or_pd(nan[q], _mm_cmpunord_pd(v, v));
    }
  }
  for (int q = 1; q < 4; ++q) {
    low[0] = _mm_min_pd(low[q], low[0]);
    high[0] = _mm_max_pd(high[q], high[0]);
    nan[0] = _mm_or_pd(nan[q], nan[0]);
  }
  if (_mm_movemask_pd(nan[0]) != 0) return false;
  double lows[2], highs[2];
  _mm_storeu_pd(lows, low[0]);
  _mm_storeu_pd(highs, high[0]);
  smallest = std::min(lows[0], lows[1]);
  largest = std::max(highs[0], highs[1]);
#else
  smallest = largest = values[0];
  std::size_t i = 0;
#endif
  for (; i < n; ++i) {
    const double v = values[i];
    if (std::isnan(v)) return false;
    smallest = std::min(smallest, v);
    largest = std::max(largest, v);
  }
  return true;
}

}  // namespace

bool sort_doubles(double* values, std::size_t n, sorted_stretches* stretches)
{
  if (n == 0) return true;
  if (n == 1 && std::isnan(values[0])) return false;
  auto whole = [&]() {
    if (stretches != nullptr) stretches->take(values, n);
    return true;
  };
  if (n == 1) return whole();
  // A zero at either end is taken as the key of the zero of that end's side,
  // so that every key lies between lo and hi.
  double smallest, largest;
  if (!value_range(values, n, smallest, largest)) return false;
  const std::uint64_t lo = to_key(smallest == 0.0 ? -0.0 : smallest);
  const std::uint64_t hi = to_key(largest == 0.0 ? 0.0 : largest);
  const std::uint64_t range = hi - lo;
  if (range == 0) return whole();
  // Keys relative to the smallest, so that the digits cover only the range
  // the values span: 24 bits of it order values apart by more than (range
  // of the keys) / 2^24. Pay spans some 10 to 20 octaves, which leaves steps
  // of about 2^-20 relative. Ranges over 32 octaves (steps coarser than
  // 2^-19) take a third local digit.
  int width = 0;
  while (width < 64 && (range >> width) != 0) ++width;
  const int passes = width <= 57 ? 2 : 3;
  const int low = std::max(0, width - local_digit * (passes + 1));
  const int top = low + local_digit * passes;

  std::size_t start[local_size + 1] = {};
  for (std::size_t i = 0; i < n; ++i) ++start[((to_key(values[i]) - lo) >> top) & (local_size - 1)];
  std::size_t offset = 0, largest_bucket = 0;
  for (std::size_t b = 0; b <= local_size; ++b) {
    const std::size_t here = b < local_size ? start[b] : 0;
    largest_bucket = std::max(largest_bucket, here);
    start[b] = offset;
    offset += here;
  }
  big_buffer<double> buffer(n);
  {
    std::size_t next[local_size];
    std::copy(start, start + local_size, next);
    for (std::size_t i = 0; i < n; ++i) {
      const double v = values[i];
      buffer[next[((to_key(v) - lo) >> top) & (local_size - 1)]++] = v;
    }
  }
  big_buffer<double> scratch(largest_bucket);
  for (std::size_t b = 0; b < local_size; ++b) {
    double* in = buffer.data() + start[b];
    const std::size_t len = start[b + 1] - start[b];
    if (passes == 2)
      order_bucket<2>(in, values + start[b], scratch.data(), len, lo, low);
    else
      order_bucket<3>(in, values + start[b], scratch.data(), len, lo, low);
    if (stretches != nullptr && len != 0) stretches->take(values + start[b], len);
  }
  return true;
}
