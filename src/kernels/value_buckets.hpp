// Reproduces, position by position, the plain lookup of each position's
// bucket, buckets.id[p >> shift], bit for bit: the same ids and the same
// list of misses in the same order, in every instruction-set form.
//
// A sample's value ids read from buckets of positions, many at a time.
//
// value_buckets holds one entry for each bucket of 2^shift positions: an id
// that stands for every position in the bucket, or `mixed` when no single id
// does (the economy fills them: bucket_value_ids, loops/economy.hpp).
//
// read_buckets(buckets, positions, n, out, missed) reads the buckets of
// positions[0 .. n-1]: out[l] = the bucket's id where it is not mixed; where
// it is mixed, out[l] = positions[l] and l is appended to missed (room for
// n). Returns how many were missed. out may be positions. Every position
// must lie inside the buckets (positions[l] >> shift < id.size()), and id
// holds at most 2^31 entries (the AVX-512 form reads them by a gather with
// signed 32-bit indices). The AVX-512 form reads 16 positions at a time and
// lists the misses by the compress; the others run the plain loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct value_buckets {
  static constexpr std::uint32_t mixed = 0xffffffffu;
  int shift = 0;
  std::vector<std::uint32_t> id;
};

std::size_t read_buckets(const value_buckets& buckets, const std::uint32_t* positions, std::size_t n,
                         std::uint32_t* out, std::uint32_t* missed);
