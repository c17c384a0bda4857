#include "kernels/normal_bulk.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kernels/fast_math.hpp"

namespace {

// static_cast<double>(v), written with bit operations the compiler can
// vectorise: 2^52 + v as a double, less 2^52. Exact for every 32-bit v.
inline double to_double(std::uint32_t v)
{
  const std::uint64_t b = 0x4330000000000000u | v;
  double d;
  std::memcpy(&d, &b, sizeof d);
  return d - 0x1p52;
}

// 2 u - 1 for the uniform u that mt_canonical makes of the outputs lo, hi.
inline double centred(std::uint32_t lo, std::uint32_t hi)
{
  const double u = (to_double(lo) + to_double(hi) * 4294967296.0) / 18446744073709551616.0;
  // A u that rounded up to 1 becomes the largest double below 1.
  return 2.0 * std::min(u, 0x1.fffffffffffffp-1) - 1.0;
}

inline bool accepted(double r2) { return !(r2 > 1.0 || r2 == 0.0); }

inline double multiplier(double r2) { return std::sqrt(-2 * log_of_normal(r2) / r2); }

constexpr int outputs_per_attempt = 4;
constexpr int most_attempts = mt_bulk::n / outputs_per_attempt;

}  // namespace

void draw_normals(mt_bulk& engine, double* z, std::size_t n)
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
