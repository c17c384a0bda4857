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


QUARNEL_ALWAYS_INLINE void normals(mt_bulk& engine, double* z, std::size_t n)
{
  double x[most_attempts], y[most_attempts], r2[most_attempts];
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
      int used = 0;
      while (used < attempts && static_cast<std::size_t>(pairs) < wanted) {
        x[pairs] = ax[used];
        y[pairs] = ay[used];
        r2[pairs] = ar2[used];
        pairs += accepted(ar2[used]) ? 1 : 0;
        ++used;
      }
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
QUARNEL_ALWAYS_INLINE void lognormals(mt_bulk& engine, double location, double scale, double* out,
                                      std::size_t n)
{
  normals(engine, out, n);
  for (std::size_t i = 0; i < n; ++i) out[i] = scale * out[i] + location;
  if (std::abs(scale) <= 57.0 && std::abs(location) <= 8.0) {
    for (std::size_t i = 0; i < n; ++i) out[i] = exp_in_range(out[i]);
  } else {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::exp(out[i]);
  }
}

QUARNEL_AVX512_TARGET void normals_avx512(mt_bulk& engine, double* z, std::size_t n) { normals(engine, z, n); }
QUARNEL_AVX2_TARGET void normals_avx2(mt_bulk& engine, double* z, std::size_t n) { normals(engine, z, n); }
void normals_baseline(mt_bulk& engine, double* z, std::size_t n) { normals(engine, z, n); }

QUARNEL_AVX512_TARGET void lognormals_avx512(mt_bulk& engine, double location, double scale, double* out,
                                             std::size_t n)
{
  lognormals(engine, location, scale, out, n);
}
QUARNEL_AVX2_TARGET void lognormals_avx2(mt_bulk& engine, double location, double scale, double* out,
                                         std::size_t n)
{
  lognormals(engine, location, scale, out, n);
}
void lognormals_baseline(mt_bulk& engine, double location, double scale, double* out, std::size_t n)
{
  lognormals(engine, location, scale, out, n);
}

}  // namespace

void draw_normals(mt_bulk& engine, double* z, std::size_t n)
{
  switch (active_vectors()) {
    case vector_width::avx512:
      return normals_avx512(engine, z, n);
    case vector_width::avx2:
      return normals_avx2(engine, z, n);
    default:
      return normals_baseline(engine, z, n);
  }
}

void draw_lognormals(mt_bulk& engine, double location, double scale, double* out, std::size_t n)
{
  switch (active_vectors()) {
    case vector_width::avx512:
      return lognormals_avx512(engine, location, scale, out, n);
    case vector_width::avx2:
      return lognormals_avx2(engine, location, scale, out, n);
    default:
      return lognormals_baseline(engine, location, scale, out, n);
  }
}
