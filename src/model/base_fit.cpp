#include "model/base_fit.hpp"

#include "model/hierarchy.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

using arma::Col;
using arma::uvec;
using arma::uword;

namespace {

constexpr uword n_linear = 2000;
constexpr uword n_geometric = 8000;
constexpr uword n_candidates = n_linear + n_geometric;
constexpr uword n_upper = 19;  // levels 2 .. 20 above the bottom
constexpr double two_pow_64 = 18446744073709551616.0;
constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// Truncates x to a 64-bit count; false where that conversion is undefined.
inline bool to_count(double x, std::uint64_t& out)
{
  if (!(x >= 0.0 && x < two_pow_64))
    return false;
  out = static_cast<std::uint64_t>(x);
  return true;
}

// Unlike hierarchy_func this divides the untruncated candidate, keeps all 19
// upper counts and adjusts nothing: it is the table's notion of firm size.
double total_of(double candidate, const double* span)
{
  std::uint64_t bottom = 0;
  if (!to_count(candidate, bottom))
    return nan_value;
  std::uint64_t sum = (bottom == 0) ? 1 : bottom;
  for (uword j = 0; j < n_upper; ++j) {
    std::uint64_t c = 0;
    if (!to_count(candidate / span[j], c))
      return nan_value;
    if (c > std::numeric_limits<std::uint64_t>::max() - sum)
      return nan_value;
    sum += c;
  }
  return static_cast<double>(sum);
}

// The largest size enters through its low 32 bits read as a signed number;
// done by hand so that no out-of-range narrowing is involved.
double top_of_range(const Col<uword>& size)
{
  const uword largest = size.is_empty() ? 0 : size.max();
  const std::uint32_t low = static_cast<std::uint32_t>(largest & 0xFFFFFFFFu);
  const std::int64_t as_signed =
      (low < 0x80000000u) ? std::int64_t(low) : std::int64_t(low) - (std::int64_t(1) << 32);
  return std::max(2000000.0, static_cast<double>(as_signed));
}

Col<double> candidates(double top)
{
  Col<double> cand(n_candidates);
  cand[0] = 0.02;
  for (uword i = 1; i < n_linear; ++i)
    cand[i] = cand[i - 1] + 0.05;
  const double q =
      std::exp((std::log(top) - std::log(cand[n_linear - 1])) / double(n_geometric));
  for (uword i = n_linear; i < n_candidates; ++i)
    cand[i] = cand[i - 1] * q;
  return cand;
}

}  // namespace

double implied_total(double candidate, const Col<double>& span)
{
  if (span.n_elem < n_upper)
    throw std::invalid_argument("implied_total(): span must have at least 19 entries, got " +
                                std::to_string(span.n_elem));
  return total_of(candidate, span.memptr());
}

Col<double> base_fit(double a, double b, const Col<uword>& size)
{
  const Col<double> cand = candidates(top_of_range(size));
  const Col<double> span = s_func(a, b);

  // Candidates whose total is unsound stay out of the table altogether.
  Col<double> totals(n_candidates);
  Col<double> bases(n_candidates);
  uword kept = 0;
  for (uword i = 0; i < n_candidates; ++i) {
    const double t = total_of(cand[i], span.memptr());
    if (std::isnan(t))
      continue;
    totals[kept] = t;
    bases[kept] = cand[i];
    ++kept;
  }
  totals.resize(kept);
  bases.resize(kept);

  const uvec unique = arma::find_unique(totals);
  const Col<double> u_totals = totals.elem(unique);
  const Col<double> u_bases = bases.elem(unique);
  const uvec at_least_one = arma::find(u_totals >= 1.0);
  const Col<double> x = u_totals.elem(at_least_one);
  const Col<double> y = u_bases.elem(at_least_one);

  // interp1 needs two distinct abscissae and would silently reorder unsorted
  // ones; totals grow with the candidate whenever the span is positive, so
  // this only catches tables that no sound answer can be read from.
  bool usable = x.n_elem >= 2;
  for (uword i = 1; usable && i < x.n_elem; ++i)
    usable = x[i - 1] < x[i];
  if (!usable)
    return Col<double>(size.n_elem, arma::fill::value(nan_value));

  const Col<double> query = arma::conv_to<Col<double>>::from(size);
  Col<double> result;
  arma::interp1(x, y, query, result, "linear", arma::datum::nan);
  return result;
}
