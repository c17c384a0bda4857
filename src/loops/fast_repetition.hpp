// The repetition the programs run: the same economy, the same random streams
// and the same row as run_repetition, computed without a vector of every
// member.
//
// What makes it fast, each step exact but the last:
// - firm sizes arrive as runs of equal sizes (the sampler stores only the
//   first 65536 entries of its table and settles the few draws past them in
//   order, and calls pow only for the table steps whose rounding its series
//   cannot settle), and firms of equal size share their bottom size and
//   level structure, so each is computed once;
// - the partial shuffle runs over a table of value ids (2 bytes each while
//   the ids fit, else 4), filled firm by firm, while the economy is small
//   against the sample (the table at most 32 bytes per draw: up to 16 or 8
//   members per draw); over a larger one it keeps only the positions it
//   displaced, and a member is found from its position through the runs
//   (firm, then level) instead of a T-entry power vector;
// - pow is evaluated once per distinct power value, and the power sample is
//   put in order by counting (its Gini sums taken a run of equal values at
//   a time);
// - the Mersenne twister makes its outputs in blocks, and the pay is ordered
//   by a radix sort; the vector loops of src/kernels run in AVX2 or
//   AVX-512 where the processor has it (the same bits as their baseline
//   forms);
// - the polar method runs a block of attempts at a time, and its log and the
//   noise's exp are inline code that vectorises (within a few ulp of the C
//   library's; the same attempts are accepted, as their test needs no log).
// Columns 0, 3 and 6 are identical to run_repetition's; the Ginis and top
// shares agree to a few 1e-12 relative at a million firms (their sums over a
// million values are taken in another order, and the pay carries the last
// bits of another exp and log).
//
// Memory per call is bounded whatever alpha and largest_firm (see
// worker_fixed_bytes below), where run_repetition holds 16 bytes per member.
// The large buffers are big_buffer blocks, which the calling thread keeps
// for its next repetition.
#pragma once

#include <armadillo>
#include <cstdint>

#include "kernels/fast_random.hpp"
#include "kernels/huge_pages.hpp"
#include "loops/economy.hpp"
#include "loops/repetition.hpp"

results_row run_repetition_fast(const repetition_inputs& inputs, const repetition_id& id,
                                pay_exponent_rule rule);

// The memory one worker needs for run_repetition_fast, an upper estimate
// that the check before a run reckons with: worker_fixed_bytes plus
// worker_bytes_per_firm per firm (each firm is one draw of the sample). Per
// draw, the most held at once is while the sample is drawn: the table of
// value ids, at most 32 bytes per draw (past that the positions are drawn
// instead, which takes less), and the sample's 4-byte ids; the pay and its
// sort keys take 16 later. The fixed part holds the huge-page blocks the
// worker keeps between buffers (at most 64 MB, kernels/huge_pages.hpp) and
// the tables that grow with the distinct firm sizes and power values; the
// size sampler stores at most 65536 table entries however large
// largest_firm (a larger one costs time, not memory).
inline constexpr double worker_fixed_bytes = 64.0 * 1024 * 1024;
inline constexpr double worker_bytes_per_firm = 40.0;

// The stages of run_repetition_fast, in the order it runs them after the
// economy is built (exposed for the benchmark).

// The sampled members in draw order, each as the id of its power value in
// world.power.
struct power_sample {
  big_buffer<std::uint32_t> ids;
};

// Draws `count` distinct members, exactly the ones sample_no_replace draws
// from the economy's power vector with the same seed.
power_sample draw_power_sample(const economy& world, int count, std::uint32_t seed);

struct inequality {
  double gini;
  double top_share;
};

// Gini and top share of the power sample, ordered by counting its values.
inequality power_inequality(const economy& world, const power_sample& sample, double top_fraction);

// The pay of every sampled member, in draw order: power^e (pow once per
// power value; the power itself when the rule draws no e and e is 1) times the noise
// factor exp(sigma z + noise_location), z standard normal drawn from the engine by
// draw_normals (the polar method's attempts exactly as
// std::lognormal_distribution makes them). The exp and the log inside the
// polar method are exp_in_range and log_of_normal, within a few ulp of the
// C library's.
// Values with their smallest and largest, found while they were made;
// has_nan: one of them is NaN (and the bounds mean nothing).
struct bounded_values {
  big_buffer<double> values;
  double smallest = 0.0;
  double largest = 0.0;
  bool has_nan = false;
};

bounded_values pay_of_sample(const economy& world, const power_sample& sample, double e,
                             pay_exponent_rule rule, double sigma, mt_bulk& engine);

// Gini and top share of values in any order (sorts its own copy); NaN for
// both when a value is NaN.
inequality value_inequality(big_buffer<double> values, double top_fraction);

// The same, the sort spared its pass to find the smallest and largest.
inequality value_inequality(bounded_values values, double top_fraction);
