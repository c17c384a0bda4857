#include "kernels/normal_bulk.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kernels/fast_math.hpp"
#include "kernels/vector_isa.hpp"

namespace {

// 2 u - 1 for the uniform u that mt_canonical makes of the outputs lo, hi.
inline double centred(std::uint32_t lo, std::uint32_t hi) { return 2.0 * canonical_of(lo, hi) - 1.0; }

inline bool accepted(double r2) { return !(r2 > 1.0 || r2 == 0.0); }

inline double multiplier(double r2) { return std::sqrt(-2 * log_of_normal(r2) / r2); }

constexpr int outputs_per_attempt = 4;
constexpr int most_attempts = mt_bulk::n / outputs_per_attempt;


// The attempts a block makes, kept in order up to the `wanted`-th accepted
// one: accepted attempts go to x, y, r2 from slot `pairs` (which counts
// them; the slot after the last holds any value), and the number of
// attempts read is returned.
QUARNEL_ALWAYS_INLINE int keep_accepted_scalar(const double* ax, const double* ay, const double* ar2,
                                               int attempts, std::size_t wanted, double* x, double* y,
                                               double* r2, int& pairs)
{
  int used = 0;
  while (used < attempts && static_cast<std::size_t>(pairs) < wanted) {
    x[pairs] = ax[used];
    y[pairs] = ay[used];
    r2[pairs] = ar2[used];
    pairs += accepted(ar2[used]) ? 1 : 0;
    ++used;
  }
  return used;
}

// keep_accepted_scalar eight attempts at a time, the accepted ones packed by
// the AVX-512 compress. Writes up to 8 slots past the last accepted one.
QUARNEL_AVX512_TARGET int keep_accepted_avx512(const double* ax, const double* ay, const double* ar2,
                                               int attempts, std::size_t wanted, double* x, double* y,
                                               double* r2, int& pairs)
{
#if QUARNEL_HAS_AVX512
  const __m512d one = _mm512_set1_pd(1.0), zero = _mm512_setzero_pd();
  for (int a = 0; a < attempts; a += 8) {
    const int left = attempts - a;
    const __mmask8 in = static_cast<__mmask8>(left >= 8 ? 0xffu : (1u << left) - 1u);
    const __m512d r = _mm512_maskz_loadu_pd(in, ar2 + a);
    // accepted(): neither r2 > 1 nor r2 == 0 (unordered counts as accepted, as there).
    unsigned ok = _mm512_mask_cmp_pd_mask(in, r, one, _CMP_NGT_UQ) & _mm512_cmp_pd_mask(r, zero, _CMP_NEQ_UQ);
    const std::size_t need = wanted - static_cast<std::size_t>(pairs);
    int used = left >= 8 ? 8 : left;
    if (static_cast<std::size_t>(__builtin_popcount(ok)) >= need) {
      // Only the first `need` accepted ones; reading stops after the last.
      unsigned keep = 0;
      for (std::size_t c = 0; c < need; ++c) {
        keep |= ok & (0u - ok);
        ok &= ok - 1;
      }
      ok = keep;
      used = 32 - __builtin_clz(keep);
    }
    const __mmask8 k = static_cast<__mmask8>(ok);
    _mm512_storeu_pd(x + pairs, _mm512_maskz_compress_pd(k, _mm512_maskz_loadu_pd(in, ax + a)));
    _mm512_storeu_pd(y + pairs, _mm512_maskz_compress_pd(k, _mm512_maskz_loadu_pd(in, ay + a)));
    _mm512_storeu_pd(r2 + pairs, _mm512_maskz_compress_pd(k, r));
    pairs += __builtin_popcount(ok);
    if (static_cast<std::size_t>(pairs) == wanted) return a + used;
  }
  return attempts;
#else
  return keep_accepted_scalar(ax, ay, ar2, attempts, wanted, x, y, r2, pairs);
#endif
}

// Keep: keep_accepted_scalar or keep_accepted_avx512.
template <auto Keep>
QUARNEL_ALWAYS_INLINE void normals(mt_bulk& engine, double* z, std::size_t n)
{
  // 8 slots more than there are attempts: the compress stores 8 at a time.
  double x[most_attempts + 8], y[most_attempts + 8], r2[most_attempts + 8];
  double mult[most_attempts];
  std::size_t made = 0;
  while (made < n) {
    if (engine.next == mt_bulk::n) mt_refill(engine);
    const int attempts = (mt_bulk::n - engine.next) / outputs_per_attempt;
    int pairs = 0;
    if (attempts == 0) {
      // Fewer than four outputs left in the block: this attempt reads across
      // the refill, one output at a time.
      x[0] = 2.0 * mt_canonical(engine) - 1.0;
      y[0] = 2.0 * mt_canonical(engine) - 1.0;
      r2[0] = x[0] * x[0] + y[0] * y[0];
      pairs = accepted(r2[0]) ? 1 : 0;
    } else {
      // Every attempt of the block at once, then the accepted ones moved to
      // the front, up to the last one needed (later outputs stay unread).
      const std::uint32_t* o = engine.out + engine.next;
      double ax[most_attempts], ay[most_attempts], ar2[most_attempts];
      for (int a = 0; a < attempts; ++a) {
        ax[a] = centred(o[4 * a], o[4 * a + 1]);
        ay[a] = centred(o[4 * a + 2], o[4 * a + 3]);
        ar2[a] = ax[a] * ax[a] + ay[a] * ay[a];
      }
      const std::size_t wanted = (n - made + 1) / 2;
      const int used = Keep(ax, ay, ar2, attempts, wanted, x, y, r2, pairs);
      engine.next += outputs_per_attempt * used;
    }
    for (int p = 0; p < pairs; ++p) mult[p] = multiplier(r2[p]);
    for (int p = 0; p < pairs; ++p) {
      z[made++] = y[p] * mult[p];
      if (made == n) break;
      z[made++] = x[p] * mult[p];
    }
  }
}

// The polar method's variates z, each turned into exp(scale * z + location).
// The polar method never accepts an r2 below 2^-106 (2u - 1 is 0 or at
// least 2^-53 in size), so |z| <= sqrt(2 * 106 * ln 2) < 12.2, and for
// |scale| <= 57 and |location| <= 8 the exponent stays within exp_in_range's
// domain.
template <auto Keep>
QUARNEL_ALWAYS_INLINE void lognormals(mt_bulk& engine, double location, double scale, double* out,
                                      std::size_t n)
{
  normals<Keep>(engine, out, n);
  for (std::size_t i = 0; i < n; ++i) out[i] = scale * out[i] + location;
  if (std::abs(scale) <= 57.0 && std::abs(location) <= 8.0) {
    for (std::size_t i = 0; i < n; ++i) out[i] = exp_in_range(out[i]);
  } else {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::exp(out[i]);
  }
}

}  // namespace

void draw_normals(mt_bulk& engine, double* z, std::size_t n)
{
  in_active_form<normals<keep_accepted_scalar>, normals<keep_accepted_avx512>>(engine, z, n);
}

void draw_lognormals(mt_bulk& engine, double location, double scale, double* out, std::size_t n)
{
  in_active_form<lognormals<keep_accepted_scalar>, lognormals<keep_accepted_avx512>>(engine, location, scale,
                                                                                      out, n);
}
