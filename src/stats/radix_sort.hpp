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
#include <vector>

// Sorts values[0 .. n-1] in place; `scratch` is resized as needed and can be
// reused across calls to save allocations.
void radix_sort(double* values, std::size_t n, std::vector<std::uint64_t>& scratch);
