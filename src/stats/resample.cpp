#include "stats/resample.hpp"

#include <climits>
#include <random>
#include <stdexcept>
#include <string>

using arma::Col;
using arma::uword;

namespace {

// The length of x is handled as an int, so it must fit one.
int checked_length(const char* fn, const Col<double>& x, int k) {
  const std::string name(fn);
  if (x.n_elem > static_cast<uword>(INT_MAX))
    throw std::invalid_argument(name + "(): x must have fewer than 2^31 elements, got " +
                                std::to_string(x.n_elem));
  const int n = static_cast<int>(x.n_elem);
  if (k < 0) throw std::invalid_argument(name + "(): k must be >= 0, got " + std::to_string(k));
  if (k > n)
    throw std::invalid_argument(name + "(): k must be <= n = " + std::to_string(n) + ", got " +
                                std::to_string(k));
  return n;
}

// Partial shuffle: emit(t, position) receives the t-th chosen position.
template <typename Emit>
void draw_positions(int n, int k, std::uint32_t seed, Emit emit) {
  std::mt19937 engine(seed);
  Col<uword> position(static_cast<uword>(n));
  for (int i = 0; i < n; ++i) position[i] = static_cast<uword>(i);
  for (int t = 0; t < k; ++t) {
    const int m = n - t;  // positions not yet chosen, all in position[0 ... m - 1]
    const double u = std::generate_canonical<double, 53>(engine);
    uword j = static_cast<uword>(static_cast<double>(m) * u);
    if (j >= static_cast<uword>(m)) j = static_cast<uword>(m - 1);  // u rounded up to 1
    emit(t, position[j]);
    position[j] = position[m - 1];
  }
}

}  // namespace

Col<double> sample_no_replace(const Col<double>& x, int k) {
  std::random_device rd("default");
  return sample_no_replace(x, k, rd());
}

Col<double> sample_no_replace(const Col<double>& x, int k, std::uint32_t seed) {
  const int n = checked_length("sample_no_replace", x, k);
  Col<double> out(static_cast<uword>(k));
  draw_positions(n, k, seed, [&](int t, uword p) { out[t] = x[p]; });
  return out;
}

Col<uword> sample_index(const Col<double>& x, int k) {
  std::random_device rd("default");
  return sample_index(x, k, rd());
}

Col<uword> sample_index(const Col<double>& x, int k, std::uint32_t seed) {
  const int n = checked_length("sample_index", x, k);
  Col<uword> out(static_cast<uword>(k));
  draw_positions(n, k, seed, [&](int t, uword p) { out[t] = p; });
  return out;
}
