#include "kernels/power_law_runs.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>

#include <boost/math/special_functions/zeta.hpp>

#include "kernels/fast_random.hpp"
#include "kernels/survival_steps.hpp"
#include "kernels/vector_isa.hpp"
#include "stats/power_law_common.hpp"

using arma::uword;

namespace {

void add_run(std::vector<value_run>& runs, uword value, uword count) {
  if (!runs.empty() && runs.back().value == value)
    runs.back().count += count;
  else
    runs.push_back({value, count});
}

// Guide buckets: a power of two near a quarter of the draws keeps the guide
// small enough for the cache while most buckets hold at most a few table
// entries.
std::size_t guide_size(std::size_t draws) {
  std::size_t g = 16;
  while (g < draws / 4 && g < (std::size_t{1} << 15)) g *= 2;
  return g;
}

constexpr std::size_t per_block = mt_bulk::n / 2;  // one uniform per two outputs

// Calls take(block, len) for rpld's `draws` uniforms, a block of them at a
// time, in draw order: the same engine outputs as its std::mt19937 and the
// same arithmetic.  Drawing them again costs less than keeping millions of
// them in memory.  A whole block of outputs is converted at once, which the
// compiler can vectorise.
template <typename Take>
void for_each_block(std::size_t draws, double u_max, std::uint32_t seed, Take take) {
  mt_bulk engine;
  mt_seed(engine, seed);
  double block[per_block];
  for (std::size_t done = 0; done < draws;) {
    mt_refill(engine);
    const std::size_t len = std::min(draws - done, per_block);
    for (std::size_t i = 0; i < len; ++i)
      block[i] = u_max * canonical_of(engine.out[2 * i], engine.out[2 * i + 1]);
    take(static_cast<const double*>(block), len);
    done += len;
  }
}

// The same, one uniform at a time: take(u).
template <typename Take>
void for_each_uniform(std::size_t draws, double u_max, std::uint32_t seed, Take take) {
  for_each_block(draws, u_max, seed, [&take](const double* block, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) take(block[i]);
  });
}

// Draws that stop at one of the first `direct` table entries are counted by
// comparisons with those entries instead of walking the table.
constexpr std::size_t direct = 4;

// One block of the engine's outputs made into rpld's uniforms, u_max times
// canonical_of of each pair, and sorted out: below[c] += how many lie below
// limit[c] (c = 1 ... direct), and those not below limit[direct] (NaN
// included) are copied in order to rest, whose count is returned. Compiled
// in three forms, which give the same uniforms and counts.
QUARNEL_ALWAYS_INLINE void uniforms_of(const std::uint32_t* out, std::size_t len, double u_max, double* x) {
  for (std::size_t i = 0; i < len; ++i) x[i] = u_max * canonical_of(out[2 * i], out[2 * i + 1]);
}

QUARNEL_ALWAYS_INLINE std::size_t sort_out_in(const std::uint32_t* out, std::size_t len, double u_max,
                                              const double* limit, std::size_t* below, double* rest) {
  double x[per_block];
  uniforms_of(out, len, u_max, x);
  for (std::size_t c = 1; c <= direct; ++c) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < len; ++i) n += x[i] < limit[c] ? 1 : 0;
    below[c] += n;
  }
  std::size_t others = 0;
  for (std::size_t i = 0; i < len; ++i) {
    rest[others] = x[i];
    others += x[i] < limit[direct] ? 0 : 1;
  }
  return others;
}

// The AVX-512 form: eight uniforms at a time, counted by mask and packed by
// the compress (which writes up to 8 slots past the last one kept).
QUARNEL_AVX512_TARGET std::size_t sort_out_avx512(const std::uint32_t* out, std::size_t len, double u_max,
                                                  const double* limit, std::size_t* below, double* rest) {
#if QUARNEL_HAS_AVX512
  double x[per_block];
  uniforms_of(out, len, u_max, x);
  static_assert(direct == 4, "the counts below are written out for four limits");
  const __m512d lim1 = _mm512_set1_pd(limit[1]), lim2 = _mm512_set1_pd(limit[2]);
  const __m512d lim3 = _mm512_set1_pd(limit[3]), lim4 = _mm512_set1_pd(limit[4]);
  // Four counters of their own (an array of them the compiler turns into
  // vector shuffles).
  unsigned count1 = 0, count2 = 0, count3 = 0, count4 = 0;
  std::size_t others = 0;
  for (std::size_t i = 0; i < len; i += 8) {
    const std::size_t left = len - i;
    const __mmask8 in = static_cast<__mmask8>(left >= 8 ? 0xffu : (1u << left) - 1u);
    const __m512d v = _mm512_maskz_loadu_pd(in, x + i);
    count1 += static_cast<unsigned>(__builtin_popcount(_mm512_mask_cmp_pd_mask(in, v, lim1, _CMP_LT_OQ)));
    count2 += static_cast<unsigned>(__builtin_popcount(_mm512_mask_cmp_pd_mask(in, v, lim2, _CMP_LT_OQ)));
    count3 += static_cast<unsigned>(__builtin_popcount(_mm512_mask_cmp_pd_mask(in, v, lim3, _CMP_LT_OQ)));
    count4 += static_cast<unsigned>(__builtin_popcount(_mm512_mask_cmp_pd_mask(in, v, lim4, _CMP_LT_OQ)));
    const __mmask8 other = _mm512_mask_cmp_pd_mask(in, v, lim4, _CMP_NLT_UQ);
    _mm512_storeu_pd(rest + others, _mm512_maskz_compress_pd(other, v));
    others += static_cast<std::size_t>(__builtin_popcount(other));
  }
  below[1] += count1;
  below[2] += count2;
  below[3] += count3;
  below[4] += count4;
  return others;
#else
  return sort_out_in(out, len, u_max, limit, below, rest);
#endif
}

// The largest of those uniforms (0 when there are none).  Each uniform is a
// non-decreasing function of its outputs read as the integer hi * 2^32 + lo,
// so the largest integer gives the largest uniform, and integers are cheaper
// to compare than to convert.
double largest_uniform(std::size_t draws, double u_max, std::uint32_t seed) {
  mt_bulk engine;
  mt_seed(engine, seed);
  std::uint64_t best = 0;
  for (std::size_t done = 0; done < draws;) {
    mt_refill(engine);
    const std::size_t len = std::min(draws - done, per_block);
    for (std::size_t i = 0; i < len; ++i) {
      const std::uint64_t key = (std::uint64_t{engine.out[2 * i + 1]} << 32) | engine.out[2 * i];
      best = key > best ? key : best;
    }
    done += len;
  }
  return u_max * canonical_of(static_cast<std::uint32_t>(best), static_cast<std::uint32_t>(best >> 32));
}

struct table_part {
  std::vector<double> cumulative;  // entries 0 ... end; entry 0 is never read
  std::vector<std::uint32_t> guide;
  bool ascending;
  bool complete;    // no walk reads past entry end (false: stopped at the limit)
  double survival;  // the recurrence's state at entry end
};

// Builds the cumulative table by rpld's recurrence (the same doubles, with
// survival_steps standing in for its pow calls), but stops at the entry where rpld's walk
// stops for the largest uniform `top` (no uniform's walk reads past it), or
// at entry `limit`, whichever comes first.
//
// guide[b] is the first entry whose bucket is b or more, the bucket of a
// probability x being bucket(x); bucket is non-decreasing in x.  For a uniform
// u in bucket b every entry before guide[b] lies in a lower bucket, so it is
// below u, and entry guide[b + 1] (when some entry lies in a higher bucket)
// exceeds u: the first entry above u lies in [guide[b], guide[b + 1]].
//
// `enough`: the table may also stop at the first entry above it, short of
// the walk for `top` (it is then incomplete).
template <typename Bucket>
table_part build_table(int xmin, double alpha, double h, uword m, uword limit, double top,
                       std::size_t g, Bucket bucket, double enough) {
  table_part t;
  const uword last = std::min(m, limit);
  // Reserve what the table can need, so that it never moves while it grows;
  // pages that are never written cost nothing.
  t.cumulative.reserve(static_cast<std::size_t>(last + 1));
  t.cumulative.push_back(0.0);
  t.guide.assign(g + 2, 0);
  std::size_t next_bucket = 0;

  double survival = (h - std::pow(static_cast<double>(xmin), -alpha)) / h;
  t.cumulative.push_back(1.0 - survival);
  t.ascending = !std::isnan(t.cumulative[1]);
  survival_steps steps(xmin, alpha, h, m, 1, survival);
  for (;;) {
    const uword c = t.cumulative.size() - 1;
    const double here = t.cumulative[c];
    for (const std::size_t b = bucket(here); next_bucket <= b;)
      t.guide[next_bucket++] = static_cast<std::uint32_t>(c);
    t.complete = c == m || !(here <= top);
    if (t.complete || c == last || !(here <= enough)) break;
    survival = steps.next();
    t.cumulative.push_back(1.0 - survival);
    t.ascending = t.ascending && t.cumulative[c + 1] >= here;
  }
  t.survival = survival;
  const auto end = static_cast<std::uint32_t>(t.cumulative.size() - 1);
  while (next_bucket < t.guide.size()) t.guide[next_bucket++] = end;
  return t;
}

// Carries the recurrence on past the end of an incomplete table for the
// uniforms `tail` (ascending, none below the table's last entry) without
// storing it: entry[i] becomes the first entry above tail[i], or 0 when
// there is none up to entry m. Returns false, as soon as it sees one, if an
// entry falls below the one before it (the table is not ascending).
bool walk_tail(const table_part& t, int xmin, double alpha, double h, uword m,
               const std::vector<double>& tail, std::vector<uword>& entry) {
  entry.assign(tail.size(), 0);
  uword c = t.cumulative.size() - 1;
  double here = t.cumulative[c];
  survival_steps steps(xmin, alpha, h, m, c, t.survival);
  std::size_t i = 0;
  while (i < tail.size() && c < m) {
    // A batch of steps at a time; a batch never passes entry m.
    std::size_t count;
    const double* survival = steps.next_batch(count);
    // Most batches hold no uniform of the tail: when a batch ascends and the
    // next uniform lies at or above its last entry, it is passed at once.
    // Survivals that never rise give entries 1 - s that never fall (the
    // rounding keeps their order); any other batch is walked entry by entry.
    const double last = 1.0 - survival[count - 1];
    if (tail[i] >= last && 1.0 - survival[0] >= here && never_rises(survival, count)) {
      c += count;
      here = last;
      continue;
    }
    for (std::size_t j = 0; j < count; ++j) {
      const double next = 1.0 - survival[j];
      if (!(next >= here)) return false;
      ++c;
      here = next;
      while (i < tail.size() && tail[i] < here) entry[i++] = c;
      if (i == tail.size()) break;
    }
  }
  return true;
}

// Counts the draws of an ascending table `t` per entry as rpld's walk
// stops for them (at the first entry above the draw) into `count`, and
// collects those past its last entry in `past`.
template <class Bucket>
void count_draws(const table_part& t, std::size_t n, double u_max, std::uint32_t seed, Bucket bucket,
                 std::vector<std::uint32_t>& count, std::vector<double>& past) {
  const double* cum = t.cumulative.data();
  const std::size_t end = t.cumulative.size() - 1;
  // Plain pointers, which the compiler keeps in registers (it reloads a
  // vector's through a captured reference after every store).
  const std::uint32_t* guide = t.guide.data();
  std::uint32_t* counts = count.data();
  // Most draws stop at one of the first few entries (three in four at
  // alpha 2.5 at the first): those are counted by comparisons, which
  // vectorise and wait on no counter, and only the draws at or above
  // entry `direct` walk the table. The limits are table entries, so the
  // counts are those of the walk.
  double limit[direct + 1];
  for (std::size_t c = 1; c <= direct; ++c) limit[c] = cum[std::min(c, end)];
  std::size_t below[direct + 1] = {};  // draws below limit[c]
  double rest[per_block + 8];  // the AVX-512 form writes up to 8 slots past the last
  mt_bulk engine;
  mt_seed(engine, seed);
  for (std::size_t done = 0; done < n;) {
    mt_refill(engine);
    const std::size_t len = std::min(n - done, per_block);
    const std::size_t others =
        in_active_form<sort_out_in, sort_out_avx512>(engine.out, len, u_max, limit, below, rest);
    for (std::size_t r = 0; r < others; ++r) {
      const double u = rest[r];
      const std::size_t b = bucket(u);
      std::size_t c = guide[b];
      const std::size_t hi = guide[b + 1];
      if (hi - c > 8)
        c = static_cast<std::size_t>(std::upper_bound(cum + c, cum + hi, u) - cum);
      else
        while (c < hi && !(cum[c] > u)) ++c;
      if (cum[c] > u)
        ++counts[c];
      else
        past.push_back(u);
    }
    done += len;
  }
  for (std::size_t c = 1; c <= std::min(direct, end); ++c) counts[c] += below[c] - below[c - 1];
}

// The runs of a table whose order a normaliser lost to rounding broke:
// exactly what rpld does over the whole table, sort and walk.
template <class Bucket>
std::vector<value_run> sorted_walk_runs(std::size_t n, double u_max, std::uint32_t seed, int xmin,
                                        double alpha, double h, uword m, std::size_t g, Bucket bucket,
                                        double xmin_half, double expo, uword clamp_to) {
  const uword first = static_cast<uword>(xmin);
  std::vector<value_run> runs;
  const double largest = largest_uniform(n, u_max, seed);
  const table_part whole = build_table(xmin, alpha, h, m, m, largest, g, bucket, largest);
  const double* cum = whole.cumulative.data();
  std::vector<double> v;
  v.reserve(n);
  for_each_uniform(n, u_max, seed, [&v](double x) { v.push_back(x); });
  std::sort(v.begin(), v.end());
  std::vector<uword> value(v.size(), 0);
  uword c = 1;
  for (std::size_t i = 0; i < v.size(); ++i) {
    while (c < m && cum[c] <= v[i]) ++c;
    if (cum[c] > v[i]) value[i] = first + c - 1;
  }
  for (std::size_t i = v.size(); i > 0 && value[i - 1] == 0; --i)
    value[i - 1] = continuous_value(xmin_half, expo, v[i - 1], clamp_to);
  for (uword x : value) add_run(runs, x, 1);
  return runs;
}

std::vector<value_run> exact_runs(std::size_t n, double u_max, std::uint32_t seed, int xmin,
                                  double alpha, uword m, double xmin_half, double expo,
                                  uword clamp_to) {
  // Hurwitz zeta(alpha, xmin) from the Riemann zeta, as rpld forms it.
  double h = boost::math::zeta(alpha);
  for (int k = 1; k < xmin; ++k) h -= std::pow(static_cast<double>(k), -alpha);

  // No uniform reaches u_max (each is u_max times a canonical below 1): no
  // walk reads past the first entry above it. The table stops sooner, at the
  // first entry above all but about one in n of the uniforms' range, which
  // the largest uniform usually lies below; the walks past it are settled by
  // walk_tail. (Finding the largest uniform first took a pass of the twister
  // of its own.)
  const double top = n == 0 ? 0.0 : u_max;
  const double enough = top - top / static_cast<double>(n == 0 ? 1 : n);

  const std::size_t g = guide_size(n);
  const double scale = top > 0.0 ? static_cast<double>(g) / top : 0.0;
  const double g_double = static_cast<double>(g);
  // Non-decreasing in x; negative and zero go to bucket 0, `top` and above
  // to bucket g.  The product is compared before it is converted, so an
  // infinite scale cannot reach the conversion.
  const auto bucket = [top, scale, g, g_double](double x) -> std::size_t {
    if (!(x > 0.0)) return 0;
    if (!(x < top)) return g;
    const double y = x * scale;
    return y < g_double ? static_cast<std::size_t>(y) : g - 1;
  };
  const uword first = static_cast<uword>(xmin);
  std::vector<value_run> runs;

  // The table is stored only as far as its first `head` entries, which take
  // all but a few hundred of a million draws even at the smallest alpha; the
  // walks that go further are settled in order by carrying the recurrence on.
  constexpr uword head = uword{1} << 16;
  const table_part t = build_table(xmin, alpha, h, m, head, top, g, bucket, enough);
  if (t.ascending) {
    // In an ascending table, rpld's walk stops for u at the first entry above
    // u, or at the last entry when none is: count the draws per entry that way.
    const std::size_t end = t.cumulative.size() - 1;
    std::vector<std::uint32_t> count(end + 1, 0);
    std::vector<double> past;  // the draws past entry end
    count_draws(t, n, u_max, seed, bucket, count, past);
    std::sort(past.begin(), past.end());
    std::vector<uword> entry(past.size(), 0);  // 0: beyond the whole table
    if (t.complete || walk_tail(t, xmin, alpha, h, m, past, entry)) {
      for (std::size_t c = 1; c <= end; ++c)
        if (count[c] != 0) add_run(runs, first + c - 1, count[c]);
      for (std::size_t i = 0; i < past.size(); ++i)
        if (entry[i] != 0) add_run(runs, first + entry[i] - 1, 1);
      // Beyond the table rpld approximates each uniform, in ascending order
      // of the uniforms.
      for (std::size_t i = 0; i < past.size(); ++i)
        if (entry[i] == 0) add_run(runs, continuous_value(xmin_half, expo, past[i], clamp_to), 1);
      return runs;
    }
  }

  // Only a normaliser lost to rounding (zero or negative) breaks the order
  // of the table.
  return sorted_walk_runs(n, u_max, seed, xmin, alpha, h, m, g, bucket, xmin_half, expo, clamp_to);
}

std::vector<value_run> continuous_runs(std::size_t n, double u_max, std::uint32_t seed,
                                       double xmin_half, double expo, uword clamp_to) {
  // rpld sorts the approximated values; counting the small ones gives the same
  // multiset in order, and only the few large ones need a sort.
  constexpr uword small = uword{1} << 16;
  std::vector<std::uint32_t> count(small, 0);
  std::vector<uword> large;
  for_each_uniform(n, u_max, seed, [&](double x) {
    const uword v = continuous_value(xmin_half, expo, x, clamp_to);
    if (v < small)
      ++count[v];
    else
      large.push_back(v);
  });
  std::vector<value_run> runs;
  for (uword v = 0; v < small; ++v)
    if (count[v] != 0) add_run(runs, v, count[v]);
  std::sort(large.begin(), large.end());
  for (const uword v : large) add_run(runs, v, 1);
  return runs;
}

}  // namespace

std::vector<value_run> rpld_sorted_runs(int draws, int xmin, double alpha, int table_size,
                                        int xmax, std::uint32_t seed) {
  check_power_law_arguments("rpld_sorted_runs", draws, xmin, alpha);
  const std::size_t n = static_cast<std::size_t>(draws);

  const bool truncated = xmax > xmin;
  double u_max = 1.0;
  if (truncated)
    u_max = 1.0 - std::pow((static_cast<double>(xmax) - 0.5) / (static_cast<double>(xmin) - 0.5),
                           1.0 - alpha);

  const double xmin_half = static_cast<double>(xmin) - 0.5;
  const double expo = -1.0 / (alpha - 1.0);
  const uword clamp_to = truncated ? static_cast<uword>(xmax) : std::numeric_limits<uword>::max();

  if (table_size < 1) return continuous_runs(n, u_max, seed, xmin_half, expo, clamp_to);
  return exact_runs(n, u_max, seed, xmin, alpha, static_cast<uword>(table_size), xmin_half, expo,
                    clamp_to);
}
