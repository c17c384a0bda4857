#include "kernels/survival_steps.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kernels/vector_isa.hpp"

namespace {

// A batch of terms starting at x takes at most x / 256 of them, so that the
// binomial series of (1 + u)^-alpha runs with u = i / x below 2^-8; below
// 16 terms per batch (x < 4096) every step calls std::pow.
constexpr double series_u_max = 0x1p-8;
constexpr std::size_t min_series = 16;
constexpr std::size_t exact_batch = 64;

// The power of two at or below a positive normal d.
QUARNEL_ALWAYS_INLINE double binade_of(double d) {
  std::uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  b &= 0x7ff0000000000000u;
  std::memcpy(&d, &b, sizeof d);
  return d;
}

// 0 when d = s - t (rounded) is also what s - t* rounds to for every t*
// within t 2^-44 of t, else 1: the exact value s - t* is d + err + (t - t*),
// and it must lie strictly between the midpoints to d's neighbours. (A
// double rather than a bool, so that the test vectorises.)
QUARNEL_ALWAYS_INLINE double rejected(double s, double t, double d) {
  // err = (s - t) - d exactly: the two-sum of s and -t.
  const double t_part = d - s;
  const double s_part = d - t_part;
  const double err = (s - s_part) - (t + t_part);
  const double tol = t * 0x1p-44;
  // Below a power of two the gap to the lower neighbour is half as wide.
  const double binade = binade_of(d);
  const double half_up = binade * 0x1p-53;
  const double half_down = d == binade ? binade * 0x1p-54 : half_up;
  double r = err + tol < half_up ? 0.0 : 1.0;
  r = err - tol > -half_down ? r : 1.0;
  r = d > 0x1p-1000 ? r : 1.0;
  r = d < 0x1p1000 ? r : 1.0;
  return tol >= 0.0 ? r : 1.0;
}

// The first step in [j, n) that the test rejects, or n; step i takes
// chain[i] to chain[i + 1] with term[i]. Compiled in three forms (see
// vector_isa.hpp); all give the same answer.
QUARNEL_ALWAYS_INLINE std::size_t first_rejected_in(const double* chain, const double* term, std::size_t j,
                                                    std::size_t n) {
  constexpr std::size_t chunk = 32;
  for (std::size_t k = j; k < n; k += chunk) {
    const std::size_t end = std::min(n, k + chunk);
    unsigned any = 0;
    for (std::size_t i = k; i < end; ++i) any |= rejected(chain[i], term[i], chain[i + 1]) != 0.0 ? 1u : 0u;
    if (any != 0)
      for (std::size_t i = k; i < end; ++i)
        if (rejected(chain[i], term[i], chain[i + 1]) != 0.0) return i;
  }
  return n;
}

QUARNEL_AVX512_TARGET std::size_t first_rejected_avx512(const double* chain, const double* term, std::size_t j,
                                                        std::size_t n) {
  return first_rejected_in(chain, term, j, n);
}
QUARNEL_AVX2_TARGET std::size_t first_rejected_avx2(const double* chain, const double* term, std::size_t j,
                                                    std::size_t n) {
  return first_rejected_in(chain, term, j, n);
}
std::size_t first_rejected_baseline(const double* chain, const double* term, std::size_t j, std::size_t n) {
  return first_rejected_in(chain, term, j, n);
}

std::size_t first_rejected(const double* chain, const double* term, std::size_t j, std::size_t n) {
  switch (active_vectors()) {
    case vector_width::avx512:
      return first_rejected_avx512(chain, term, j, n);
    case vector_width::avx2:
      return first_rejected_avx2(chain, term, j, n);
    default:
      return first_rejected_baseline(chain, term, j, n);
  }
}

// out[i] = scale * (sum of a[k] (i / base)^k, k <= degree), i < n: Horner's
// rule, a group of terms at a time held in registers through every
// coefficient. Compiled in three forms, which give the same doubles (each
// product and sum rounded on its own, in the same order for every term).
QUARNEL_ALWAYS_INLINE void series_terms_in(const double* a, int degree, double inv_base, double scale,
                                           std::size_t n, double* out) {
  constexpr std::size_t group = 64;
  for (std::size_t i0 = 0; i0 < n; i0 += group) {
    double u[group], acc[group];
    for (std::size_t l = 0; l < group; ++l) {
      u[l] = static_cast<double>(static_cast<std::uint32_t>(i0 + l)) * inv_base;
      acc[l] = a[degree];
    }
    for (int k = degree - 1; k >= 0; --k)
      for (std::size_t l = 0; l < group; ++l) acc[l] = acc[l] * u[l] + a[k];
    const std::size_t len = std::min(group, n - i0);
    for (std::size_t l = 0; l < len; ++l) out[i0 + l] = scale * acc[l];
  }
}

QUARNEL_AVX512_TARGET void series_terms_avx512(const double* a, int degree, double inv_base, double scale,
                                               std::size_t n, double* out) {
  series_terms_in(a, degree, inv_base, scale, n, out);
}
QUARNEL_AVX2_TARGET void series_terms_avx2(const double* a, int degree, double inv_base, double scale,
                                           std::size_t n, double* out) {
  series_terms_in(a, degree, inv_base, scale, n, out);
}
void series_terms_baseline(const double* a, int degree, double inv_base, double scale, std::size_t n,
                           double* out) {
  series_terms_in(a, degree, inv_base, scale, n, out);
}

QUARNEL_ALWAYS_INLINE bool never_rises_in(const double* s, std::size_t n) {
  unsigned rises = 0;
  for (std::size_t j = 1; j < n; ++j) rises |= s[j] <= s[j - 1] ? 0u : 1u;
  return rises == 0;
}

QUARNEL_AVX512_TARGET bool never_rises_avx512(const double* s, std::size_t n) { return never_rises_in(s, n); }
QUARNEL_AVX2_TARGET bool never_rises_avx2(const double* s, std::size_t n) { return never_rises_in(s, n); }
bool never_rises_baseline(const double* s, std::size_t n) { return never_rises_in(s, n); }

}  // namespace

bool never_rises(const double* s, std::size_t n) {
  switch (active_vectors()) {
    case vector_width::avx512:
      return never_rises_avx512(s, n);
    case vector_width::avx2:
      return never_rises_avx2(s, n);
    default:
      return never_rises_baseline(s, n);
  }
}

binomial_series series_for(double alpha) {
  // Coefficients of (1 + u)^-alpha = sum of a[k] u^k up to the degree whose
  // remainder stays below 2^-55 for 0 <= u <= series_u_max; degree 0 when
  // no degree up to max_degree does.
  binomial_series s;
  if (!(alpha > 0.0) || !(alpha <= 16.0)) return s;
  double* a = s.a;
  a[0] = 1.0;
  for (int k = 1; k <= max_degree + 1; ++k) {
    a[k] = a[k - 1] * (-alpha - static_cast<double>(k - 1)) / static_cast<double>(k);
    // Past k > alpha the terms shrink by more than half each step, so the
    // remainder is below twice the first term left out.
    if (static_cast<double>(k) > alpha && std::fabs(a[k]) * std::ldexp(1.0, -8 * k) < 0x1p-56) {
      s.degree = k - 1;
      return s;
    }
  }
  return s;
}

std::size_t approximate_terms(int xmin, double alpha, double h, arma::uword c, std::size_t n,
                              double* out) {
  return approximate_terms(series_for(alpha), xmin, alpha, h, c, n, out);
}

std::size_t approximate_terms(const binomial_series& series, int xmin, double alpha, double h, arma::uword c,
                              std::size_t n, double* out) {
  // xmin + c + n is far below 2^53, so every x is exact. With alpha up to 16
  // the terms of the series, taken by absolute value, sum to at most e^(1/8):
  // Horner's rule loses no more than a few units in the last place.
  const double base = static_cast<double>(xmin) + static_cast<double>(c);
  if (!(base >= 1.0) || !(h > 0.0) || !(h < 0x1p1000) || !(alpha > 0.0) || !(alpha <= 16.0)) return 0;
  n = std::min(n, static_cast<std::size_t>(std::min(base * series_u_max, double(max_terms))));
  if (n < min_series || series.degree == 0) return 0;
  const double* a = series.a;
  const int degree = series.degree;

  const double inv_base = 1.0 / base;
  const double scale = std::pow(base, -alpha) / h;
  switch (active_vectors()) {
    case vector_width::avx512:
      series_terms_avx512(a, degree, inv_base, scale, n, out);
      break;
    case vector_width::avx2:
      series_terms_avx2(a, degree, inv_base, scale, n, out);
      break;
    default:
      series_terms_baseline(a, degree, inv_base, scale, n, out);
  }
  return n;
}

double survival_steps::exact_step(double s, arma::uword c) {
  ++exact_;
  return s - std::pow(static_cast<double>(xmin_) + static_cast<double>(c), -alpha_) / h_;
}

void survival_steps::refill() {
  std::size_t n = c_ < m_ ? static_cast<std::size_t>(std::min<arma::uword>(batch, m_ - c_)) : batch;
  const std::size_t got = approximate_terms(series_, xmin_, alpha_, h_, c_, n, term_);
  chain_[0] = chain_[have_];
  if (got == 0) {
    // Every step calls std::pow: a short batch, so that a caller that stops
    // early has not paid for many steps ahead.
    n = std::min(n, exact_batch);
    for (std::size_t i = 0; i < n; ++i) chain_[i + 1] = exact_step(chain_[i], c_ + i);
  } else {
    n = got;
    // Run the chain on the approximate terms and test every step; redo the
    // first step that fails exactly, and run and test again after it.
    for (std::size_t j = 0;;) {
      for (std::size_t i = j; i < n; ++i) chain_[i + 1] = chain_[i] - term_[i];
      j = first_rejected(chain_, term_, j, n);
      if (j == n) break;
      chain_[j + 1] = exact_step(chain_[j], c_ + j);
      ++j;
    }
  }
  c_ += n;
  have_ = n;
  used_ = 0;
}
