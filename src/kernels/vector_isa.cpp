#include "kernels/vector_isa.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

vector_width chosen_at_start()
{
  const char* limit = std::getenv("QUARNEL_VECTORS");
  vector_width most = vector_width::avx512;
  if (limit != nullptr && std::strcmp(limit, "baseline") == 0) most = vector_width::baseline;
  if (limit != nullptr && std::strcmp(limit, "avx2") == 0) most = vector_width::avx2;
  return std::min(most, cpu_vectors());
}

// Read on every block of work, so a relaxed atomic: a thread that sets a
// limit sees it at once.
std::atomic<vector_width> limit{vector_width::avx512};

}  // namespace

vector_width cpu_vectors()
{
#if QUARNEL_HAS_AVX512
  static const vector_width has = [] {
    __builtin_cpu_init();  // in case this runs before the constructors that set it up
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw"))
      return vector_width::avx512;
    return __builtin_cpu_supports("avx2") ? vector_width::avx2 : vector_width::baseline;
  }();
  return has;
#else
  return vector_width::baseline;
#endif
}

vector_width active_vectors()
{
  static const vector_width chosen = chosen_at_start();
  return std::min(chosen, limit.load(std::memory_order_relaxed));
}

void limit_vectors(vector_width most) { limit.store(most, std::memory_order_relaxed); }

const char* vector_name(vector_width width)
{
  switch (width) {
    case vector_width::avx512:
      return "AVX-512 (512-bit)";
    case vector_width::avx2:
      return "AVX2 (256-bit)";
    default:
      return "SSE2 (128-bit)";
  }
}
