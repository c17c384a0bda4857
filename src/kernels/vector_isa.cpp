#include "kernels/vector_isa.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

bool chosen_at_start()
{
  const char* forced = std::getenv("QUARNEL_VECTORS");
  if (forced != nullptr && std::strcmp(forced, "baseline") == 0) return false;
  return cpu_has_wide_vectors();
}

// Read on every block of work, so a relaxed atomic: a thread that forces
// the baseline sees its own choice at once.
std::atomic<bool> baseline_forced{false};

}  // namespace

bool cpu_has_wide_vectors()
{
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool has = [] {
    __builtin_cpu_init();  // in case this runs before the constructors that set it up
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
#else
  return false;
#endif
}

bool wide_vectors()
{
  static const bool chosen = chosen_at_start();
  return chosen && !baseline_forced.load(std::memory_order_relaxed);
}

void force_baseline_vectors(bool baseline) { baseline_forced.store(baseline, std::memory_order_relaxed); }
