// An economy as runs of firms of equal size, and who stands where in it.
//
// The members of all firms lie in one row, firm after firm in the order of
// the sorted firm sizes, each firm bottom level first: the layout of a power
// vector holding every member. Firms of equal size share their bottom size
// (base fit) and level structure (hierarchy), so each is computed once, and
// the member at a position is found through the runs instead of a vector of
// every member.
#pragma once

#include <cstdint>
#include <vector>

#include "kernels/power_law_runs.hpp"
#include "kernels/value_buckets.hpp"

// The members of a run of firms of equal size, and where their levels start.
struct firm_run {
  std::uint64_t start;  // position of its first member
  std::uint64_t size;   // members per firm
  std::uint32_t shape;  // index of the size's level structure
};

// x mod d for 32-bit x and 1 <= d < 2^32, given inverse = ceil(2^64 / d)
// (0 for d = 1): the fraction x / d in 64-bit fixed point, times d, keeps
// the remainder in its upper half. Exact for every such x and d.
inline std::uint32_t remainder_of(std::uint32_t x, std::uint64_t d, std::uint64_t inverse)
{
  __extension__ using wide = unsigned __int128;
  const std::uint64_t fraction = inverse * x;
  return static_cast<std::uint32_t>((static_cast<wide>(fraction) * d) >> 64);
}

// The level structure shared by every firm of one size: the cumulative
// member counts of its levels, and the id of each level's power value.
struct firm_shape {
  std::uint32_t levels;
  std::uint32_t first_value;     // ids first_value .. first_value + levels - 1
  // Members in this level and the ones below (sizes stay below 2^31); the
  // entries past the top level hold 2^32 - 1, above any member's place.
  std::uint32_t upto[20];
};

// All that value_at reads of one run, in two cache lines: the run's
// positions, its firm size and the level structure of that size.
struct alignas(64) run_levels {
  std::uint32_t start;        // position of its first member
  std::uint32_t end;          // one past its last member
  std::uint32_t size;         // members per firm
  std::uint32_t first_value;  // the id of its bottom level's power value
  std::uint64_t inverse;      // ceil(2^64 / size), for remainders without a division
  std::uint32_t upto[20];     // as in firm_shape
};

struct economy {
  std::vector<firm_run> runs;    // in the order of the sorted firm sizes
  std::vector<firm_shape> shapes;
  std::vector<run_levels> levels;  // one for each run, in the same order
  std::vector<double> power;     // power value of each level id
  std::uint64_t members = 0;
  // guide[b]: the run holding position b << shift, a start for the search.
  std::vector<std::uint32_t> guide;
  int shift = 0;
};

// The distinct sizes of `sizes`, ascending.
std::vector<arma::uword> distinct_sizes(const std::vector<value_run>& sizes);

// Builds the economy of the firm sizes `sizes` (runs of equal sizes, in
// order) for span parameters a and b. Throws std::runtime_error when a firm's
// level counts do not add up to its size, or the economy has 2^31 members or
// more.
economy build_economy(double a, double b, const std::vector<value_run>& sizes);

// The id of the power value of the member at position p (p < members).
inline std::uint32_t value_at(const economy& e, std::uint64_t p)
{
  // Positions and sizes stay below 2^31 (build_economy checks it), and an
  // empty run ends where it starts, so the search passes it.
  const auto q = static_cast<std::uint32_t>(p);
  std::size_t r = e.guide[p >> e.shift];
  while (r + 1 < e.levels.size() && e.levels[r].end <= q) ++r;
  const run_levels& run = e.levels[r];
  const std::uint32_t w = remainder_of(q - run.start, run.size, run.inverse);
  // The level is the number of levels whose members all stand below w:
  // counted over every entry without a branch, as the level of a random
  // member cannot be predicted.
  std::uint32_t k = 0;
  for (int i = 0; i < 20; ++i) k += run.upto[i] <= w ? 1u : 0u;
  return run.first_value + k;
}

// Asks the cache for what value_at(e, p) will read of its run.
inline void prefetch_value_at(const economy& e, std::uint64_t p)
{
#if defined(__GNUC__)
  __builtin_prefetch(&e.levels[e.guide[p >> e.shift]]);
#else
  (void)e;
  (void)p;
#endif
}

// The value ids of the members a bucket of 2^shift positions at a time
// (0 <= shift < 32; read by read_buckets, kernels/value_buckets.hpp): id[b]
// is the value id that every member of positions b << shift ...
// ((b + 1) << shift) - 1 holds when the bucket lies inside one level of one
// firm, else value_buckets::mixed. A lookup that finds `mixed` asks
// value_at. One pass over the levels of the firms at least a bucket long,
// each bucket written once.
value_buckets bucket_value_ids(const economy& e, int shift);

// Writes value_at(e, p) into table[p] for every position p < e.members, firm
// by firm (one pass of sequential writes). The value ids must fit the entry
// type: e.power.size() <= 2^16 for 16-bit entries (else std::invalid_argument).
void fill_value_ids(const economy& e, std::uint16_t* table);
void fill_value_ids(const economy& e, std::uint32_t* table);
