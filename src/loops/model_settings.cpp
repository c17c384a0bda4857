#include "loops/model_settings.hpp"

#include <cmath>
#include <stdexcept>

double drawn_value(const drawn_setting& s, double u, const arma::Col<double>& table)
{
  switch (s.kind) {
    case drawn_setting::range: return std::fma(s.high - s.low, u, s.low);
    case drawn_setting::fixed: return s.low;
    case drawn_setting::table: {
      if (table.n_elem == 0) throw std::invalid_argument("exponent=table needs a non-empty table");
      const double n = static_cast<double>(table.n_elem);
      const double row = std::floor(n * u);  // u in [0, 1]: row in [0, n]
      return table[row >= n || !(row >= 0.0) ? table.n_elem - 1 : static_cast<arma::uword>(row)];
    }
  }
  return s.low;
}
