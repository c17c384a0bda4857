#include "model/firm_model.hpp"

#include "model/hierarchy.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

using arma::Col;
using arma::Mat;
using arma::uword;

namespace {

constexpr uword limit_31 = uword(1) << 31;

// Members of a firm in its L levels, as hierarchy_func reports them.
uword members(const Col<uword>& counts)
{
  const uword levels = std::min<uword>(counts[19], 19);
  uword sum = 0;
  for (uword i = 0; i < levels; ++i)
    sum += counts[i];
  return sum;
}

void check(const Col<double>& base, const Col<uword>& size, const Col<double>& span)
{
  if (size.n_elem < base.n_elem)
    throw std::invalid_argument("model(): size has " + std::to_string(size.n_elem) +
                                " entries, fewer than the " + std::to_string(base.n_elem) +
                                " of base");
  uword total = 0;
  for (uword k = 0; k < size.n_elem; ++k) {
    if (size[k] >= limit_31)
      throw std::invalid_argument("model(): size[" + std::to_string(k) + "] = " +
                                  std::to_string(size[k]) + " is not below 2^31");
    total += size[k];  // both terms below 2^31: no wrap
    if (total >= limit_31)
      throw std::invalid_argument("model(): the sum of the sizes is not below 2^31");
  }
  // The rows of every firm must fit exactly, or the fill below would run past
  // the table; hierarchy_func guarantees this, so it is a guard, not a rule.
  for (uword k = 0; k < base.n_elem; ++k) {
    const uword got = members(hierarchy_func(static_cast<int>(size[k]), base[k], span));
    if (got != size[k])
      throw std::invalid_argument("model(): the level counts of firm " + std::to_string(k) +
                                  " add up to " + std::to_string(got) + ", not its size " +
                                  std::to_string(size[k]));
  }
}

}  // namespace

Mat<double> model(double a, double b, const Col<double>& base, const Col<uword>& size,
                  bool with_size, bool with_level, bool with_power)
{
  const Col<double> span = s_func(a, b);
  check(base, size, span);

  const uword n_rows = arma::accu(size);
  const uword n_cols = uword(with_size) + uword(with_level) + uword(with_power);
  Mat<double> table(n_rows, n_cols, arma::fill::none);
  double* size_col = with_size ? table.colptr(0) : nullptr;
  double* level_col = with_level ? table.colptr(uword(with_size)) : nullptr;
  double* power_col = with_power ? table.colptr(uword(with_size) + uword(with_level)) : nullptr;

  // One row counter serves all columns: every column gets exactly the firm's
  // size in rows, since the level counts add up to it.
  uword row = 0;
  for (uword k = 0; k < base.n_elem; ++k) {
    const uword n = size[k];
    if (n == 0)
      continue;
    const Col<uword> counts = hierarchy_func(static_cast<int>(n), base[k], span);
    const uword levels = std::min<uword>(counts[19], 19);

    if (size_col)
      std::fill_n(size_col + row, n, static_cast<double>(n));

    uword at = row;
    double below = 0.0;
    for (uword i = 0; i < levels; ++i) {
      const uword c = counts[i];
      const double cd = static_cast<double>(c);
      if (c > 0) {
        if (level_col)
          std::fill_n(level_col + at, c, static_cast<double>(i + 1));
        if (power_col)
          std::fill_n(power_col + at, c, (below / cd) + 1.0);
        at += c;
      }
      below += cd;
    }
    row += n;
  }

  // Firms beyond base's length have a size but no hierarchy: mark their rows.
  const double nan_value = std::numeric_limits<double>::quiet_NaN();
  for (uword j = 0; j < n_cols; ++j)
    std::fill(table.colptr(j) + row, table.colptr(j) + n_rows, nan_value);
  return table;
}
