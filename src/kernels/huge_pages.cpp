#include "kernels/huge_pages.hpp"

#include <cstdint>

#if QUARNEL_HUGE_BLOCKS
#include <sys/mman.h>
#endif

namespace {

#if QUARNEL_HUGE_BLOCKS

constexpr std::size_t huge = std::size_t{1} << 21;
constexpr std::size_t max_kept = 8;
constexpr std::size_t max_kept_bytes = std::size_t{64} << 20;
constexpr std::size_t fresh_unit = std::size_t{8} << 20;

void unmap(huge_block b) noexcept { (void)munmap(b.data, b.size); }

// A fresh mapping of `bytes` (a multiple of 2 MB) on a 2 MB boundary: map
// 2 MB more, then cut off what lies before the boundary and after the end.
huge_block map_block(std::size_t bytes)
{
  void* raw = mmap(nullptr, bytes + huge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto first = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t start = (first + huge - 1) & ~(huge - 1);
  if (start > first) (void)munmap(raw, start - first);
  const std::uintptr_t tail = start + bytes;
  if (first + bytes + huge > tail) (void)munmap(reinterpret_cast<void*>(tail), first + bytes + huge - tail);
#if defined(MADV_HUGEPAGE)
  (void)madvise(reinterpret_cast<void*>(start), bytes, MADV_HUGEPAGE);  // advice only
#endif
  return {reinterpret_cast<void*>(start), bytes};
}

// The blocks a thread has freed, the least recently freed first.
struct kept_blocks {
  huge_block block[max_kept + 1];
  std::size_t count = 0;
  std::size_t bytes = 0;

  kept_blocks() = default;
  kept_blocks(const kept_blocks&) = delete;
  kept_blocks& operator=(const kept_blocks&) = delete;
  ~kept_blocks()
  {
    for (std::size_t i = 0; i < count; ++i) unmap(block[i]);
  }

  huge_block take(std::size_t i) noexcept
  {
    const huge_block b = block[i];
    for (std::size_t j = i + 1; j < count; ++j) block[j - 1] = block[j];
    --count;
    bytes -= b.size;
    return b;
  }
};

thread_local kept_blocks kept;

#endif

}  // namespace

#if QUARNEL_HUGE_BLOCKS

huge_block acquire_huge_block(std::size_t bytes)
{
  // The smallest kept block that is large enough: its pages are already
  // there, and the larger ones stay for larger requests.
  std::size_t best = kept.count;
  for (std::size_t i = 0; i < kept.count; ++i) {
    if (kept.block[i].size >= bytes && (best == kept.count || kept.block[i].size < kept.block[best].size))
      best = i;
  }
  if (best < kept.count) return kept.take(best);
  // A new block is mapped in whole multiples of 8 MB (the pages it does not
  // touch cost nothing), so that a block freed by a smaller buffer can take
  // a larger one later instead of new pages.
  const huge_block fresh = map_block((bytes + fresh_unit - 1) / fresh_unit * fresh_unit);
  // Pages already used cost far less than fresh ones, which the kernel must
  // clear first: the kept blocks that fit, largest first, are moved (page
  // tables and all, by mremap) to the front of the new block.
  auto* front = static_cast<char*>(fresh.data);
  std::size_t filled = 0;
  for (;;) {
    std::size_t pick = kept.count;
    for (std::size_t i = 0; i < kept.count; ++i) {
      if (kept.block[i].size <= fresh.size - filled &&
          (pick == kept.count || kept.block[i].size > kept.block[pick].size))
        pick = i;
    }
    if (pick == kept.count || filled >= bytes) break;
    const huge_block moving = kept.take(pick);
    if (mremap(moving.data, moving.size, moving.size, MREMAP_MAYMOVE | MREMAP_FIXED, front + filled) ==
        MAP_FAILED) {
      release_huge_block(moving);  // still where it was: kept as it was
      break;
    }
    filled += moving.size;
  }
  return fresh;
}

void release_huge_block(huge_block b) noexcept
{
  kept.block[kept.count++] = b;
  kept.bytes += b.size;
  while (kept.count > max_kept || kept.bytes > max_kept_bytes) unmap(kept.take(0));
}

std::size_t kept_huge_blocks() { return kept.count; }
std::size_t kept_huge_bytes() { return kept.bytes; }

#else

// Not used: big_buffer takes its memory from malloc here.
huge_block acquire_huge_block(std::size_t bytes)
{
  void* p = std::malloc(bytes);
  if (p == nullptr) throw std::bad_alloc();
  return {p, bytes};
}
void release_huge_block(huge_block b) noexcept { std::free(b.data); }
std::size_t kept_huge_blocks() { return 0; }
std::size_t kept_huge_bytes() { return 0; }

#endif
