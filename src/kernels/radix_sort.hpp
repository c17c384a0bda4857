// Reproduces std::sort of doubles under <, as gini and top_frac
// (stats/inequality.hpp) sort their copy: the same order.
//
// Sorting doubles by the bits of their representation.
//
// radix_sort(values) puts the values in ascending order, as std::sort under <
// would, in linear time: an LSD radix sort over 11-bit digits of a key that
// orders doubles as numbers (negative values flipped). Equal values end up
// together, so any sum over the result in order equals the same sum over a
// std::sort result. -0.0 sorts just before +0.0 (std::sort treats them as
// equal). The values must not be NaN.
#pragma once

#include <cstddef>
#include <cstdint>

// Sorts values[0 .. n-1] in place, with a working copy of 8 bytes a value.
//
// With ignored_low_bits = b > 0 only the key bits from b upwards are sorted
// on (fewer passes): values whose representations agree above bit b, which
// for finite values of equal sign differ by less than 2^(b-52) relative,
// keep their input order among themselves.
void radix_sort(double* values, std::size_t n, int ignored_low_bits = 0);

// Sorts values[0 .. n-1] in place exactly as radix_sort(values, n) does, in
// fewer passes over the whole array: a histogram of the top 12 bits of the
// keys (taken relative to the smallest) groups the range into buckets of
// about 2048 values each, narrow where the values are dense; one pass
// scatters the keys into their buckets; each bucket is then ordered on its
// own, within the cache, on the top 16 bits of its own range, and an
// insertion pass orders the values those bits do not tell apart (rarely more
// than a few at a time). A crowded bucket (values packed into a small part
// of a range stretched by far outliers) is sorted again the same way on its
// own range; should an insertion pass still meet many near ties, it finishes
// with std::sort. Returns false, leaving the values as they were, when one of
// them is NaN (which has no place in the order). Scratch: 8 bytes a value,
// and 8 more a value of the largest bucket.
//
// `stretches`, when given, receives the sorted values a stretch at a time, in
// order and each value once, as soon as a stretch is in its place (still in
// the cache): sums over the sorted values then need no pass of their own. It
// hears nothing when sort_doubles returns false.
class sorted_stretches {
 public:
  virtual void take(const double* sorted, std::size_t n) = 0;

 protected:
  ~sorted_stretches() = default;
};
bool sort_doubles(double* values, std::size_t n, sorted_stretches* stretches = nullptr);

// The same for values whose smallest and largest are known already (from
// value_range, say while they were made), which saves sort_doubles its first
// pass. Should a value lie outside that range, the range is found afresh
// (nothing is wrong but the time); false, leaving the values as they were,
// when one of them is NaN.
bool sort_doubles(double* values, std::size_t n, double smallest, double largest,
                  sorted_stretches* stretches = nullptr);

// Hands values[0 .. n-1] to `stretches` exactly as sort_doubles(values, n,
// smallest, largest, &stretches) does, the same values in the same
// stretches, without putting them back in order: the array is scratch, left
// in no particular order, which saves writing every value back to memory.
// False, having handed over nothing, when one of them is NaN.
bool pass_sorted(double* values, std::size_t n, double smallest, double largest, sorted_stretches& stretches);

// The smallest and largest of values[0 .. n-1] (n >= 1); false when one of
// them is NaN. Of a -0.0 and a +0.0 either may come out.
bool value_range(const double* values, std::size_t n, double& smallest, double& largest);
