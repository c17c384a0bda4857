#include "kernels/fast_random.hpp"

#include "kernels/vector_isa.hpp"

namespace {

constexpr int m = 397;
constexpr std::uint32_t matrix_a = 0x9908b0dfu;
constexpr std::uint32_t upper = 0x80000000u;
constexpr std::uint32_t lower = 0x7fffffffu;

inline std::uint32_t twist(std::uint32_t a, std::uint32_t b, std::uint32_t c)
{
  const std::uint32_t y = (a & upper) | (b & lower);
  return c ^ (y >> 1) ^ ((y & 1u) ? matrix_a : 0u);
}

}  // namespace

void mt_seed(mt_bulk& engine, std::uint32_t seed)
{
  engine.state[0] = seed;
  for (int i = 1; i < mt_bulk::n; ++i) {
    const std::uint32_t prev = engine.state[i - 1];
    engine.state[i] = 1812433253u * (prev ^ (prev >> 30)) + static_cast<std::uint32_t>(i);
  }
  engine.next = mt_bulk::n;
}

namespace {

QUARNEL_ALWAYS_INLINE void refill(mt_bulk& engine)
{
  std::uint32_t* s = engine.state;
  constexpr int n = mt_bulk::n;
  // Three loops so that no index wraps inside a loop: the compiler can then
  // vectorise them.
  for (int i = 0; i < n - m; ++i) s[i] = twist(s[i], s[i + 1], s[i + m]);
  for (int i = n - m; i < n - 1; ++i) s[i] = twist(s[i], s[i + 1], s[i + m - n]);
  s[n - 1] = twist(s[n - 1], s[0], s[m - 1]);

  for (int i = 0; i < n; ++i) {
    std::uint32_t y = s[i];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9d2c5680u;
    y ^= (y << 15) & 0xefc60000u;
    y ^= y >> 18;
    engine.out[i] = y;
  }
  engine.next = 0;
}

}  // namespace

void mt_refill(mt_bulk& engine) { in_active_form<refill>(engine); }
