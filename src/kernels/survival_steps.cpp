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

std::size_t first_rejected(const double* chain, const double* term, std::size_t j, std::size_t n) {
  return in_active_form<first_rejected_in>(chain, term, j, n);
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

// units[i] = the whole number D nearest term[i] * per_unit (ties to even),
// and whole[i] = 1 when 0 <= term[i] * per_unit < 2^51 and every number
// within 2^-44 of it lies strictly within half a unit of D, else 0. The
// product is exact (per_unit is a power of two); 2^52 + x rounds x to a
// whole number whose bits are those of the double's low bits. Compiled in
// three forms, which give the same numbers.
QUARNEL_ALWAYS_INLINE void whole_units_in(const double* term, std::size_t n, double per_unit,
                                          std::int64_t* units, unsigned char* whole) {
  for (std::size_t i = 0; i < n; ++i) {
    const double x = term[i] * per_unit;
    const double shifted = x + 0x1p52;
    std::uint64_t bits;
    std::memcpy(&bits, &shifted, sizeof bits);
    // Unsigned, so that a term that is not whole (then whole[i] = 0) cannot
    // overflow: its count is never used.
    units[i] = static_cast<std::int64_t>(bits - std::uint64_t{0x4330000000000000});
    // Exact: x and the whole number lie within a unit of each other. A sum
    // that reaches 1/2 exactly rounds to at least 1/2.
    const double reach = std::fabs(x - (shifted - 0x1p52)) + x * 0x1p-44;
    whole[i] = x >= 0.0 && x < 0x1p51 && reach < 0.5 ? 1 : 0;
  }
}

void whole_units(const double* term, std::size_t n, double per_unit, std::int64_t* units, unsigned char* whole) {
  in_active_form<whole_units_in>(term, n, per_unit, units, whole);
}

// out[i] = from - (units[0] + ... + units[i]) * unit for i < n, and the
// whole sum returned: exact while the sums stay below 2^53 (the caller
// checks the last). The AVX-512 form sums eight at a time within a
// register; the others one after another. The sums are whole numbers, so
// every order gives the same ones.
QUARNEL_ALWAYS_INLINE std::int64_t running_units_in(const std::int64_t* units, std::size_t n, double from,
                                                    double unit, double* out) {
  std::int64_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    sum += units[i];
    out[i] = from - static_cast<double>(sum) * unit;
  }
  return sum;
}

QUARNEL_AVX512_TARGET std::int64_t running_units_avx512(const std::int64_t* units, std::size_t n, double from,
                                                        double unit, double* out) {
#if QUARNEL_HAS_AVX512
  const __m512i by1 = _mm512_set_epi64(6, 5, 4, 3, 2, 1, 0, 0);
  const __m512i by2 = _mm512_set_epi64(5, 4, 3, 2, 1, 0, 0, 0);
  const __m512i by4 = _mm512_set_epi64(3, 2, 1, 0, 0, 0, 0, 0);
  const __m512i top = _mm512_set1_epi64(7);
  const __m512d start = _mm512_set1_pd(from), size = _mm512_set1_pd(unit);
  __m512i carry = _mm512_setzero_si512();
  for (std::size_t i = 0; i < n; i += 8) {
    const std::size_t left = n - i;
    const __mmask8 in = static_cast<__mmask8>(left >= 8 ? 0xffu : (1u << left) - 1u);
    __m512i x = _mm512_maskz_loadu_epi64(in, units + i);
    // (The zero-masked permutes: GCC 12 warns about the plain ones.)
    x = _mm512_add_epi64(x, _mm512_maskz_permutexvar_epi64(0xfe, by1, x));
    x = _mm512_add_epi64(x, _mm512_maskz_permutexvar_epi64(0xfc, by2, x));
    x = _mm512_add_epi64(x, _mm512_maskz_permutexvar_epi64(0xf0, by4, x));
    x = _mm512_add_epi64(x, carry);
    carry = _mm512_maskz_permutexvar_epi64(0xff, top, x);
    const __m512d value = _mm512_sub_pd(start, _mm512_mul_pd(_mm512_cvtepi64_pd(x), size));
    _mm512_mask_storeu_pd(out + i, in, value);
  }
  std::int64_t lanes[8];
  _mm512_storeu_si512(lanes, carry);
  return lanes[0];
#else
  return running_units_in(units, n, from, unit, out);
#endif
}

std::int64_t running_units(const std::int64_t* units, std::size_t n, double from, double unit, double* out) {
  return in_active_form<running_units_in, running_units_avx512>(units, n, from, unit, out);
}

QUARNEL_ALWAYS_INLINE bool never_rises_in(const double* s, std::size_t n) {
  unsigned rises = 0;
  for (std::size_t j = 1; j < n; ++j) rises |= s[j] <= s[j - 1] ? 0u : 1u;
  return rises == 0;
}

}  // namespace

bool never_rises(const double* s, std::size_t n) { return in_active_form<never_rises_in>(s, n); }

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
  in_active_form<series_terms_in>(a, degree, inv_base, scale, n, out);
  return n;
}

double survival_steps::exact_step(double s, arma::uword c) {
  ++exact_;
  return s - std::pow(static_cast<double>(xmin_) + static_cast<double>(c), -alpha_) / h_;
}

std::size_t survival_steps::steps_in_units(std::size_t n) {
  // Inside the binade [2^E, 2^(E+1)) every double is a whole number M of
  // units 2^(E-52), with 2^52 <= M < 2^53. While the result stays in it, the
  // step s - t rounds to M - D units, D the whole number nearest t in units;
  // D is the same for every term within 2^-44 of t when t lies that far from
  // a half unit, and then the library's term gives that result too. So the
  // chain is M less a running sum of whole numbers, which an integer adds in
  // one cycle where the subtraction of doubles takes several.
  const double start = chain_[0];
  if (!(start >= 0x1p-900) || !(start < 0x1p900)) return 0;
  const double binade = binade_of(start);
  const double unit = binade * 0x1p-52;
  const double per_unit = 0x1p52 / binade;  // a power of two: scaling by it is exact
  whole_units(term_, n, per_unit, units_, whole_);
  // The lowest M a step may leave: one unit above the binade's bottom, so
  // that every exact difference before rounding stays inside it too.
  constexpr std::int64_t lowest = (std::int64_t{1} << 52) + 1;
  for (std::size_t j = 0; j < n;) {
    const double from = chain_[j];
    const auto m = static_cast<std::int64_t>(from * per_unit);  // exact: a whole number below 2^53
    // The steps up to the next one whose term is not whole.
    const void* stop = std::memchr(whole_ + j, 0, n - j);
    const std::size_t i = stop == nullptr ? n : static_cast<std::size_t>(static_cast<const unsigned char*>(stop) - whole_);
    const std::int64_t sum = running_units(units_ + j, i - j, from, unit, chain_ + j + 1);
    // Left the binade (the sum may then be past 2^53 and the doubles wrong):
    // these steps are taken again in doubles.
    if (m - sum < lowest) return j;
    if (i == n) return n;
    chain_[i + 1] = exact_step(chain_[i], c_ + i);
    // Its result starts the next stretch, whose count of units must be a
    // whole number inside the binade (and never a NaN converted).
    if (!(chain_[i + 1] >= binade + unit)) return i + 1;
    j = i + 1;
  }
  return n;
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
    // As long as the chain stays inside one binade, in whole units of its
    // last place; from where it leaves it, in doubles: run the chain on the
    // approximate terms and test every step; redo the first step that fails
    // exactly, and run and test again after it.
    for (std::size_t j = steps_in_units(n); j < n;) {
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
