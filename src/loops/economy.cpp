#include "loops/economy.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>

#include "loops/repetition.hpp"
#include "model/base_fit.hpp"
#include "model/hierarchy.hpp"

std::vector<arma::uword> distinct_sizes(const std::vector<value_run>& sizes)
{
  std::vector<arma::uword> distinct;
  distinct.reserve(sizes.size());
  for (const value_run& r : sizes) distinct.push_back(r.value);
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  return distinct;
}

namespace {

template <typename Entry>
void fill_ids(const economy& e, Entry* table)
{
  for (std::size_t r = 0; r < e.runs.size(); ++r) {
    const firm_run& run = e.runs[r];
    const std::uint64_t end = r + 1 < e.runs.size() ? e.runs[r + 1].start : e.members;
    if (run.size == 0 || end == run.start) continue;
    const firm_shape& s = e.shapes[run.shape];
    // The first firm level by level, then the filled stretch copied after
    // itself, doubling it each time: a run of many small firms takes a few
    // long copies rather than one per firm.
    Entry* first = table + run.start;
    std::uint64_t below = 0;
    for (std::uint32_t k = 0; k < s.levels; ++k) {
      std::fill(first + below, first + s.upto[k], static_cast<Entry>(s.first_value + k));
      below = s.upto[k];
    }
    const std::uint64_t length = end - run.start;
    for (std::uint64_t filled = run.size; filled < length;) {
      const std::uint64_t n = std::min(filled, length - filled);
      std::copy(first, first + n, first + filled);
      filled += n;
    }
  }
}

}  // namespace

void fill_value_ids(const economy& e, std::uint16_t* table)
{
  if (e.power.size() > (std::size_t{1} << 16))
    throw std::invalid_argument("fill_value_ids(): " + std::to_string(e.power.size()) +
                                " value ids do not fit 16 bits");
  fill_ids(e, table);
}

void fill_value_ids(const economy& e, std::uint32_t* table) { fill_ids(e, table); }

value_buckets bucket_value_ids(const economy& e, int shift)
{
  if (shift < 0 || shift >= 32) throw std::invalid_argument("bucket_value_ids(): shift must be 0 ... 31");
  value_buckets v;
  v.shift = shift;
  const std::uint64_t width = std::uint64_t{1} << shift;
  v.id.assign(static_cast<std::size_t>((e.members + width - 1) >> shift), value_buckets::mixed);
  std::uint32_t* id = v.id.data();
  for (std::size_t r = 0; r < e.runs.size(); ++r) {
    const firm_run& run = e.runs[r];
    // A level shorter than a bucket holds no whole bucket, and a firm shorter
    // than a bucket no level as long as one.
    if (run.size < width) continue;
    const std::uint64_t end = r + 1 < e.runs.size() ? e.runs[r + 1].start : e.members;
    const firm_shape& s = e.shapes[run.shape];
    for (std::uint64_t firm = run.start; firm + run.size <= end; firm += run.size) {
      std::uint64_t below = 0;
      for (std::uint32_t k = 0; k < s.levels; ++k) {
        const std::uint64_t lo = firm + below, hi = firm + s.upto[k];
        below = s.upto[k];
        if (hi - lo < width) continue;
        // The buckets wholly inside lo ... hi - 1.
        std::fill(id + ((lo + width - 1) >> shift), id + (hi >> shift), s.first_value + k);
      }
    }
  }
  return v;
}

economy build_economy(double a, double b, const std::vector<value_run>& sizes)
{
  // Distinct sizes, ascending; the base fit of a size does not depend on
  // which other sizes are asked for alongside it (the top of its range is the
  // largest size, which both sets share).
  const std::vector<arma::uword> distinct = distinct_sizes(sizes);
  const arma::Col<double> bases = base_fit(a, b, arma::Col<arma::uword>(distinct));
  const arma::Col<double> span = s_func(a, b);

  economy e;
  e.shapes.resize(distinct.size());
  for (std::size_t d = 0; d < distinct.size(); ++d) {
    const std::uint64_t size = distinct[d];
    if (size > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) {
      throw std::runtime_error("a firm of " + std::to_string(size) + " members is too large");
    }
    const arma::Col<arma::uword> counts = hierarchy_func(static_cast<int>(size), bases[d], span);
    firm_shape& s = e.shapes[d];
    s.levels = static_cast<std::uint32_t>(checked_levels(counts, size));
    s.first_value = static_cast<std::uint32_t>(e.power.size());
    double below = 0.0;
    std::uint64_t total = 0;
    for (std::uint32_t k = 0; k < s.levels; ++k) {
      const double c = static_cast<double>(counts[k]);
      e.power.push_back(below / c + 1.0);
      below += c;
      total += counts[k];
      s.upto[k] = static_cast<std::uint32_t>(total);
    }
    for (std::uint32_t k = s.levels; k < 20; ++k) s.upto[k] = 0xffffffffu;
  }

  e.runs.reserve(sizes.size());
  for (const value_run& r : sizes) {
    const auto d = std::lower_bound(distinct.begin(), distinct.end(), r.value) - distinct.begin();
    e.runs.push_back({e.members, r.value, static_cast<std::uint32_t>(d)});
    if (r.value != 0 && r.count > (std::numeric_limits<std::uint64_t>::max() - e.members) / r.value) {
      throw std::runtime_error("the number of members overflows");
    }
    e.members += r.value * r.count;
  }

  // Positions are handed around as 32-bit numbers, and a sample is drawn
  // from at most 2^31 - 1 members.
  if (e.members > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) {
    throw std::runtime_error("the economy has " + std::to_string(e.members) +
                             " members, more than a sample can be drawn from");
  }

  e.levels.resize(e.runs.size());
  for (std::size_t r = 0; r < e.runs.size(); ++r) {
    const firm_run& run = e.runs[r];
    const firm_shape& s = e.shapes[run.shape];
    run_levels& l = e.levels[r];
    l.start = static_cast<std::uint32_t>(run.start);
    l.end = static_cast<std::uint32_t>(r + 1 < e.runs.size() ? e.runs[r + 1].start : e.members);
    l.size = static_cast<std::uint32_t>(run.size);
    l.first_value = s.first_value;
    l.inverse = run.size > 1 ? ~std::uint64_t{0} / run.size + 1 : 0;
    std::copy(s.upto, s.upto + 20, l.upto);
  }

  // About 2^16 guide entries over the positions.
  e.shift = 0;
  while ((e.members >> e.shift) > (std::uint64_t{1} << 16)) ++e.shift;
  e.guide.resize(static_cast<std::size_t>(e.members >> e.shift) + 1);
  std::size_t r = 0;
  for (std::size_t g = 0; g < e.guide.size(); ++g) {
    const std::uint64_t p = static_cast<std::uint64_t>(g) << e.shift;
    while (r + 1 < e.runs.size() && e.runs[r + 1].start <= p) ++r;
    e.guide[g] = static_cast<std::uint32_t>(r);
  }
  return e;
}

