#include "loops/fast_repetition.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "kernels/huge_pages.hpp"
#include "kernels/normal_bulk.hpp"
#include "kernels/power_law_runs.hpp"
#include "kernels/radix_sort.hpp"
#include "kernels/sparse_shuffle.hpp"
#include "loops/seeds.hpp"
#include "stats/bootstrap.hpp"
#include "stats/inequality.hpp"

namespace {

// The sample is drawn from a table of value ids while the table takes at
// most this many bytes per draw (32 MB for a million draws). Beyond it the
// table would cost memory for little speed: drawing positions and looking up
// each one's value id is about as fast from some 20 million members on, and
// faster above.
constexpr std::uint64_t table_bytes_per_draw = 32;

// Buckets of positions in the table of value ids by bucket (4 bytes each).
constexpr std::uint64_t bucket_table_entries = std::uint64_t{1} << 18;

template <typename Entry>
void draw_through_table(const economy& world, int count, std::uint32_t seed, std::uint32_t* out)
{
  big_buffer<Entry> table(world.members);
  fill_value_ids(world, table.data());
  draw_from_table(table.data(), world.members, count, seed, out);
}

// The Gini coefficient (no small-sample correction) and the top share of n
// values, taken a stretch of the sorted values at a time: gini_sorted's sums
// W = sum of i * v_i and S = sum of v_i, accumulated in four interleaved
// lanes (value i in lane i mod 4), which the compiler vectorises (the same
// terms added in another order, the same whatever the stretches); and
// top_share_sorted's sum of the values from rank n - k on, added one by one
// in ascending order as it adds them.
class sorted_sums final : public sorted_stretches {
 public:
  // The top group as top_share_sorted counts it; a fraction outside 0 ... 1
  // (or NaN) makes the share NaN.
  sorted_sums(std::size_t n, double top_fraction)
      : top_valid_(top_count(n, top_fraction) <= n), top_from_(top_valid_ ? n - top_count(n, top_fraction) : n)
  {
  }

  void take(const double* v, std::size_t len) override
  {
    for (std::size_t i = top_from_ > seen_ ? top_from_ - seen_ : 0; i < len; ++i) top_ += v[i];
    std::size_t j = 0;
    for (; j < len && (seen_ + j) % 4 != 0; ++j) add_one(seen_ + j, v[j]);
    double rank[4];
    for (int l = 0; l < 4; ++l) rank[l] = static_cast<double>(seen_ + j + l + 1);  // exact: n < 2^53
    double w[4] = {w_[0], w_[1], w_[2], w_[3]};  // locals, which the stores to v cannot alias
    double t[4] = {t_[0], t_[1], t_[2], t_[3]};
    for (; j + 4 <= len; j += 4) {
      for (int l = 0; l < 4; ++l) {
        w[l] += rank[l] * v[j + l];
        t[l] += v[j + l];
        rank[l] += 4.0;
      }
    }
    std::copy(w, w + 4, w_);
    std::copy(t, t + 4, t_);
    for (; j < len; ++j) add_one(seen_ + j, v[j]);
    seen_ += len;
  }

  inequality result() const
  {
    const double weighted = (w_[0] + w_[1]) + (w_[2] + w_[3]);
    const double total = (t_[0] + t_[1]) + (t_[2] + t_[3]);
    // A top group of every value holds the total itself (top_share_sorted's k = n).
    const double top_share = !top_valid_     ? std::numeric_limits<double>::quiet_NaN()
                             : top_from_ == 0 ? total / total
                                              : top_ / total;
    if (seen_ == 1) return {0.0, top_share};
    const double g0 = 2.0 * weighted / total - static_cast<double>(seen_ + 1);
    return {g0 / static_cast<double>(seen_), top_share};
  }

 private:
  void add_one(std::size_t i, double v)
  {
    w_[i % 4] += static_cast<double>(i + 1) * v;
    t_[i % 4] += v;
  }

  double w_[4] = {0.0, 0.0, 0.0, 0.0};
  double t_[4] = {0.0, 0.0, 0.0, 0.0};
  double top_ = 0.0;
  bool top_valid_;
  std::size_t top_from_;
  std::size_t seen_ = 0;
};

}  // namespace

power_sample draw_power_sample(const economy& world, int count, std::uint32_t seed)
{
  // Few members per draw: shuffle a table of every member's value id (2
  // bytes each while the ids fit) instead of positions that would each need
  // a lookup. Many members per draw: draw the positions, which takes memory
  // for the draws only, and look up each one's value id.
  const bool narrow = world.power.size() <= (std::size_t{1} << 16);
  const std::uint64_t table_bytes = world.members * (narrow ? 2 : 4);
  if (count >= 0 && table_bytes <= table_bytes_per_draw * static_cast<std::uint64_t>(count)) {
    power_sample sample{big_buffer<std::uint32_t>(static_cast<std::size_t>(count))};
    if (narrow)
      draw_through_table<std::uint16_t>(world, count, seed, sample.ids.data());
    else
      draw_through_table<std::uint32_t>(world, count, seed, sample.ids.data());
    return sample;
  }
  if (count < 0) throw std::invalid_argument("draw_power_sample(): count must be >= 0, got " + std::to_string(count));
  // The positions are drawn into the sample itself, each then replaced by
  // the value id of the member there: most from a table of the buckets of
  // positions that lie inside one level of one firm (a table small enough
  // for the cache), the others (noted while the table is read, without a
  // branch) by value_at.
  power_sample sample{big_buffer<std::uint32_t>(static_cast<std::size_t>(count))};
  std::uint32_t* ids = sample.ids.data();
  draw_positions(world.members, count, seed, ids);
  int shift = 0;
  while ((world.members >> shift) > bucket_table_entries) ++shift;
  const value_buckets buckets = bucket_value_ids(world, shift);
  // Room for every draw, of which a few in five are used: heap memory, not
  // a huge-page block that later buffers would find mostly untouched.
  const std::unique_ptr<std::uint32_t[]> others(new std::uint32_t[sample.ids.size() + 1]);
  const std::size_t missed = read_buckets(buckets, ids, sample.ids.size(), ids, others.get());
  constexpr std::size_t ahead = 16;
  for (std::size_t i = 0; i < missed; ++i) {
    if (i + ahead < missed) prefetch_value_at(world, ids[others[i + ahead]]);
    std::uint32_t& id = ids[others[i]];
    id = value_at(world, id);
  }
  return sample;
}

inequality power_inequality(const economy& world, const power_sample& sample, double top_fraction)
{
  // The sample in ascending order is each power value as often as it was
  // drawn, the values taken in ascending order.
  const std::size_t m = world.power.size();
  // Four interleaved histograms: runs of one id (most members sit on the
  // bottom levels) would otherwise wait on the same counter.
  std::vector<std::uint32_t> drawn(4 * m, 0);
  const std::size_t n = sample.ids.size();
  const std::uint32_t* ids = sample.ids.data();
  std::size_t l = 0;
  for (; l + 4 <= n; l += 4) {
    for (std::size_t q = 0; q < 4; ++q) ++drawn[q * m + ids[l + q]];
  }
  for (; l < n; ++l) ++drawn[ids[l]];
  // The ids in ascending order of their values. Each id travels with its
  // value, so that a comparison reads no other memory; std::sort makes the
  // same comparisons, with the same outcomes, as over the ids alone, so
  // equal values keep the order they would have had (their sums below add
  // in that order).
  struct valued_id {
    double value;
    std::uint32_t id;
  };
  std::vector<valued_id> order(m);
  for (std::size_t j = 0; j < m; ++j) order[j] = {world.power[j], static_cast<std::uint32_t>(j)};
  std::sort(order.begin(), order.end(), [](const valued_id& x, const valued_id& y) { return x.value < y.value; });
  std::vector<double> values(m);
  std::vector<arma::uword> counts(m);
  for (std::size_t j = 0; j < m; ++j) {
    const std::uint32_t id = order[j].id;
    values[j] = order[j].value;
    counts[j] = arma::uword{drawn[id]} + drawn[m + id] + drawn[2 * m + id] + drawn[3 * m + id];
  }
  // Gini's sums W = sum of i * v_i and S = sum of v_i over the sorted
  // sample, a run of c equal values at ranks a + 1 ... a + c at a time:
  // v (c a + c (c + 1) / 2) and v c, the integer factors exact in doubles.
  double weighted = 0.0, total = 0.0, before = 0.0;
  for (std::size_t j = 0; j < m; ++j) {
    const double c = static_cast<double>(counts[j]);
    weighted += values[j] * (c * before + c * (c + 1.0) / 2.0);
    total += values[j] * c;
    before += c;
  }
  const double gini =
      n == 1 ? 0.0 : (2.0 * weighted / total - static_cast<double>(n + 1)) / static_cast<double>(n);
  return {gini, top_share_sorted_runs(values.data(), counts.data(), m, top_fraction, total)};
}

bounded_values pay_of_sample(const economy& world, const power_sample& sample, double e,
                             pay_exponent_rule rule, double sigma, mt_bulk& engine)
{
  std::vector<double> pay_of(world.power);
  if (rule == pay_exponent_rule::drawn || e != 1.0) {
    for (double& p : pay_of) p = std::pow(p, e);
  }
  const std::size_t n = sample.ids.size();
  bounded_values pay{big_buffer<double>(n)};
  // A block of noise factors at a time (an even number, so that no pair of
  // normals is split between blocks), applied as they come, and the block's
  // range taken while it is in the cache.
  constexpr std::size_t block = 512;
  double noise[block];
  for (std::size_t start = 0; start < n; start += block) {
    const std::size_t len = std::min(block, n - start);
    draw_lognormals(engine, noise_location, sigma, noise, len);
    double* out = pay.values.data() + start;
    for (std::size_t i = 0; i < len; ++i) out[i] = noise[i] * pay_of[sample.ids[start + i]];
    double smallest, largest;
    if (!value_range(out, len, smallest, largest)) {
      pay.has_nan = true;
    } else if (start == 0) {
      pay.smallest = smallest;
      pay.largest = largest;
    } else {
      pay.smallest = std::min(pay.smallest, smallest);
      pay.largest = std::max(pay.largest, largest);
    }
  }
  return pay;
}

namespace {

inequality nan_inequality()
{
  const double nan = std::numeric_limits<double>::quiet_NaN();
  return {nan, nan};
}

}  // namespace

// The sums are taken from the values in ascending order as the sort hands
// them over; the sorted values themselves are never written back.
inequality value_inequality(big_buffer<double> values, double top_fraction)
{
  double smallest = 0.0, largest = 0.0;
  if (values.size() != 0 && !value_range(values.data(), values.size(), smallest, largest))
    return nan_inequality();
  return value_inequality(bounded_values{std::move(values), smallest, largest, false}, top_fraction);
}

inequality value_inequality(bounded_values values, double top_fraction)
{
  sorted_sums sums(values.values.size(), top_fraction);
  if (values.has_nan ||
      !pass_sorted(values.values.data(), values.values.size(), values.smallest, values.largest, sums))
    return nan_inequality();
  return sums.result();
}

results_row run_repetition_fast(const repetition_inputs& in, const repetition_id& id,
                                pay_exponent_rule rule)
{
  const repetition_start start = start_repetition(in, id);
  const std::optional<repetition_seeds>& seeds = start.seeds;

  mt_bulk engine;
  mt_seed(engine, seed_for(seeds, loop_seed));
  const double alpha = drawn_value(in.model.alpha, mt_canonical(engine), in.pay_exponent);

  const int largest = in.model.largest_firm;
  const economy world = build_economy(
      start.a, start.b,
      rpld_sorted_runs(in.firm_count, 1, alpha, largest, largest, seed_for(seeds, sizes_seed)));

  power_sample sample = draw_power_sample(world, in.firm_count, seed_for(seeds, sample_seed));
  const inequality of_power = power_inequality(world, sample, in.top_fraction);

  const double e =
      pay_exponent_of(in, rule, rule == pay_exponent_rule::drawn ? mt_canonical(engine) : 0.0);
  const double sigma = sigma_of(in, seeds);
  bounded_values pay = pay_of_sample(world, sample, e, rule, sigma, engine);
  // The sample's memory goes back before the sort takes its own.
  sample = power_sample{};
  const inequality of_pay = value_inequality(std::move(pay), in.top_fraction);

  return {static_cast<double>(world.members) / static_cast<double>(in.firm_count),
          of_power.gini,
          of_pay.gini,
          e,
          of_power.top_share,
          of_pay.top_share,
          alpha};
}
