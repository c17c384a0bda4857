// Asking the kernel for huge pages behind a large buffer.
//
// prefer_huge_pages(p, bytes) advises Linux to back the whole 2 MB pages
// inside [p, p + bytes) with transparent huge pages when they are first
// touched: one page fault and one TLB entry per 2 MB instead of per 4 KB.
// The pipeline's multi-megabyte buffers are touched at random (the shuffle's
// table, the radix sort's buckets), and a worker's first repetition faults
// all of them in. Call it before the buffer is first written. It changes no
// value, ignores failure, and does nothing on other systems or where the
// kernel's huge pages are switched off.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

inline void prefer_huge_pages(void* p, std::size_t bytes)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t huge = std::uintptr_t{1} << 21;
  const auto begin = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t first = (begin + huge - 1) & ~(huge - 1);
  const std::uintptr_t last = (begin + bytes) & ~(huge - 1);
  if (p != nullptr && last > first) {
    (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
#else
  (void)p;
  (void)bytes;
#endif
}
