#include "driver/tables.hpp"

#include <cmath>
#include <sstream>

namespace {

template <typename T>
void load_or_reset(T& table, const char* file, arma::uword cols_when_empty)
{
  if (!table.load(file, arma::auto_detect)) table.set_size(0, cols_when_empty);
}

std::string describe(const char* what, arma::uword row, double value)
{
  std::ostringstream out;
  out << what << " in line " << row + 1 << " (" << value << ")";
  return out.str();
}

}  // namespace

input_tables load_tables()
{
  input_tables t;
  load_or_reset(t.span, span_file, 0);
  load_or_reset(t.g, g_file, 1);
  load_or_reset(t.pay_exponent, pay_exponent_file, 1);
  return t;
}

std::string span_table_problem(const arma::Mat<double>& span)
{
  if (span.n_rows < 1) return "no rows (a level and a span on every line are expected)";
  if (span.n_cols < 2) return "fewer than two columns (a level and a span on every line are expected)";
  for (arma::uword r = 0; r < span.n_rows; ++r) {
    for (arma::uword c = 0; c < span.n_cols; ++c) {
      if (!std::isfinite(span(r, c))) return describe("a value that is not finite", r, span(r, c));
    }
    if (!(span(r, 1) > 0.0)) return describe("a span that is not positive", r, span(r, 1));
  }
  return "";
}

std::string g_table_problem(const arma::Col<double>& g)
{
  if (g.n_elem < 1) return "no values";
  for (arma::uword i = 0; i < g.n_elem; ++i) {
    if (!std::isfinite(g[i])) return describe("a value that is not finite", i, g[i]);
    if (!(g[i] >= 0.0 && g[i] < 1.0)) return describe("a value outside [0, 1)", i, g[i]);
  }
  return "";
}
