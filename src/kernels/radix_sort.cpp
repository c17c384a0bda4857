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

// sort_doubles' layout. A histogram of the top 12 bits of every key (taken
// relative to the smallest) groups the 4096 slices of the range into
// buckets of about `bucket_target` values each, so that dense stretches of
// the range get narrow buckets and sparse ones wide buckets; one pass then
// scatters the keys into their buckets (a few hundred destinations, whose
// writes stay within the cache). Each bucket, small enough for the first-
// level cache, is ordered on its own on the top 16 bits of its own range in
// two passes of 8-bit digits, turned back into doubles, and finished by an
// insertion pass that orders the values those bits do not tell apart
// (rarely more than a few at a time).
constexpr int slice_bits = 12;
constexpr std::size_t slices = std::size_t{1} << slice_bits;
constexpr std::size_t bucket_target = 2048;
constexpr int local_digit = 8;
constexpr std::size_t local_size = std::size_t{1} << local_digit;
constexpr std::size_t small_bucket = 32;  // fewer values go straight to the insertion pass
// A bucket of one slice holding more than this many values (values crowded
// in a small part of a range stretched by far outliers) is sorted again on
// its own range, which is at least 2^11 times narrower.
constexpr std::size_t crowded_bucket = 16 * bucket_target;

inline double from_key(std::uint64_t key)
{
  const std::uint64_t bits = (key & sign) ? key ^ sign : ~key;
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

inline int bit_width(std::uint64_t x)
{
  int width = 0;
  while (width < 64 && (x >> width) != 0) ++width;
  return width;
}

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

// Orders one bucket: the keys in[0 .. len-1], relative to the bucket's
// smallest possible key `base`, become ascending doubles in out[0 .. len-1],
// on the two 8-bit digits of key >> low; `scratch` holds len keys.
void order_bucket(const std::uint64_t* in, double* out, std::uint64_t* scratch, std::size_t len,
                  std::uint64_t base, int low)
{
  if (len <= small_bucket) {
    for (std::size_t i = 0; i < len; ++i) out[i] = from_key(in[i] + base);
    insertion_pass(out, len);
    return;
  }
  std::uint32_t count[2][local_size] = {};
  for (std::size_t i = 0; i < len; ++i) {
    const std::uint64_t k = in[i] >> low;
    ++count[0][k & (local_size - 1)];
    ++count[1][(k >> local_digit) & (local_size - 1)];
  }
  for (auto& c : count) {
    std::uint32_t offset = 0;
    for (std::uint32_t& here : c) {
      const std::uint32_t size = here;
      here = offset;
      offset += size;
    }
  }
  for (std::size_t i = 0; i < len; ++i) scratch[count[0][(in[i] >> low) & (local_size - 1)]++] = in[i];
  const int high = low + local_digit;
  for (std::size_t i = 0; i < len; ++i)
    out[count[1][(scratch[i] >> high) & (local_size - 1)]++] = from_key(scratch[i] + base);
  insertion_pass(out, len);
}

// Sorts values[0 .. n-1] (n >= 2, no NaN, range > 0), handing each ordered
// bucket to `stretches`; returns false, having moved nothing, if a key lies
// outside lo .. lo + range. Unless `in_place`, the ordered buckets go to
// `stretches` (which must be given) from a scratch array and not back to
// `values`, which are left in no particular order.
bool sort_range(double* values, std::size_t n, std::uint64_t lo, std::uint64_t range,
                sorted_stretches* stretches, bool in_place)
{
  const int shift = std::max(0, bit_width(range) - slice_bits);
  std::vector<std::uint32_t> fill(slices, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t k = to_key(values[i]) - lo;
    if (k > range) return false;
    ++fill[k >> shift];
  }

  // Neighbouring slices form a bucket until the next would take it past
  // bucket_target values (a single fuller slice is a bucket of its own).
  std::vector<std::uint16_t> bucket_of(slices);
  std::vector<std::uint32_t> first_slice;
  std::vector<std::size_t> start;
  std::size_t in_bucket = 0, offset = 0;
  for (std::size_t s = 0; s < slices; ++s) {
    if (start.empty() || (in_bucket != 0 && in_bucket + fill[s] > bucket_target)) {
      first_slice.push_back(static_cast<std::uint32_t>(s));
      start.push_back(offset);
      in_bucket = 0;
    }
    bucket_of[s] = static_cast<std::uint16_t>(start.size() - 1);
    in_bucket += fill[s];
    offset += fill[s];
  }
  const std::size_t buckets = start.size();
  first_slice.push_back(static_cast<std::uint32_t>(slices));
  start.push_back(n);

  // The keys go to their buckets relative to the bucket's first slice.
  big_buffer<std::uint64_t> keys(n);
  std::size_t largest = 0;
  {
    std::vector<std::size_t> next(start.begin(), start.end() - 1);
    std::vector<std::uint64_t> base(buckets);
    for (std::size_t b = 0; b < buckets; ++b) {
      base[b] = std::uint64_t{first_slice[b]} << shift;
      largest = std::max(largest, start[b + 1] - start[b]);
    }
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t k = to_key(values[i]) - lo;
      const std::size_t b = bucket_of[k >> shift];
      keys[next[b]++] = k - base[b];
    }
  }
  big_buffer<std::uint64_t> scratch(std::min(largest, crowded_bucket));
  std::vector<double> ordered(in_place ? 0 : std::min(largest, crowded_bucket));
  for (std::size_t b = 0; b < buckets; ++b) {
    const std::size_t len = start[b + 1] - start[b];
    if (len == 0) continue;
    const std::uint32_t width = first_slice[b + 1] - first_slice[b];
    const std::uint64_t base = lo + (std::uint64_t{first_slice[b]} << shift);
    double* out = values + start[b];
    if (len > crowded_bucket && width == 1) {
      // Back to doubles, and sorted again on the bucket's own range.
      for (std::size_t i = 0; i < len; ++i) out[i] = from_key(keys[start[b] + i] + base);
      double smallest, largest_value;
      value_range(out, len, smallest, largest_value);
      const std::uint64_t sub_lo = to_key(smallest == 0.0 ? -0.0 : smallest);
      const std::uint64_t sub_range = to_key(largest_value == 0.0 ? 0.0 : largest_value) - sub_lo;
      if (sub_range != 0 && sort_range(out, len, sub_lo, sub_range, stretches, in_place)) continue;
    } else {
      // The bucket's keys lie below width << shift.
      const int bits = bit_width(width - 1) + shift;
      if (!in_place) out = ordered.data();
      order_bucket(keys.data() + start[b], out, scratch.data(), len, base, std::max(0, bits - 2 * local_digit));
    }
    if (stretches != nullptr) stretches->take(out, len);
  }
  return true;
}

}  // namespace

// Compared as doubles two at a time in four independent pairs of lanes (one
// chain of minima would wait on each comparison).
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



bool sort_doubles(double* values, std::size_t n, sorted_stretches* stretches)
{
  double smallest = 0.0, largest = 0.0;
  if (n != 0 && !value_range(values, n, smallest, largest)) return false;
  return sort_doubles(values, n, smallest, largest, stretches);
}

namespace {

bool sort_or_pass(double* values, std::size_t n, double smallest, double largest, sorted_stretches* stretches,
                  bool in_place)
{
  if (n == 0) return true;
  // A zero at either end is taken as the key of the zero of that end's side,
  // so that every key lies between lo and hi.
  const std::uint64_t lo = to_key(smallest == 0.0 ? -0.0 : smallest);
  const std::uint64_t hi = to_key(largest == 0.0 ? 0.0 : largest);
  if (hi > lo && sort_range(values, n, lo, hi - lo, stretches, in_place)) return true;
  // All equal, or the range given was not theirs: found afresh.
  if (!value_range(values, n, smallest, largest)) return false;
  const std::uint64_t low = to_key(smallest == 0.0 ? -0.0 : smallest);
  const std::uint64_t high = to_key(largest == 0.0 ? 0.0 : largest);
  if (high > low && sort_range(values, n, low, high - low, stretches, in_place)) return true;
  if (stretches != nullptr) stretches->take(values, n);
  return true;
}

}  // namespace

bool sort_doubles(double* values, std::size_t n, double smallest, double largest, sorted_stretches* stretches)
{
  return sort_or_pass(values, n, smallest, largest, stretches, true);
}

bool pass_sorted(double* values, std::size_t n, double smallest, double largest, sorted_stretches& stretches)
{
  return sort_or_pass(values, n, smallest, largest, &stretches, false);
}
