// Reproduces no function: the memory the other kernels and the fast
// repetition work in, in place of std::vector's.
//
// Large scratch arrays backed by huge pages, kept from one use to the next.
//
// big_buffer<T>(n) owns n uninitialised elements of a trivially copyable T.
// From 2 MB up its memory is a block of whole 2 MB pages on a 2 MB boundary,
// mapped by the buffer's own thread and advised MADV_HUGEPAGE before
// anything touches it, so the kernel backs it with transparent huge pages:
// one page fault and one TLB entry per 2 MB instead of per 4 KB. When the
// buffer goes, its block stays with the thread that frees it (up to 8 blocks
// and 64 MB, the least recently freed given back first), and the thread's
// next buffer that fits takes it over: a worker's repetitions reuse the same
// pages without a fault. A block is mapped in whole multiples of 8 MB (pages
// never touched cost nothing), so that one freed by a small buffer can serve
// a larger one later instead of fresh pages, which the kernel must clear;
// and when no kept block is large enough, the kept blocks that fit are moved
// (with their pages, by mremap) into the front of the new one. A thread's blocks are unmapped when it ends.
// Below 2 MB, on systems other than Linux, and in builds checked by
// AddressSanitizer (which then sees every buffer as a heap allocation) it is
// a plain malloc'd array. Throws std::bad_alloc when the memory cannot be had.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

// A block of whole 2 MB pages: at least `bytes` (a multiple of 2 MB), maybe
// more; `size` says how much. Throws std::bad_alloc.
struct huge_block {
  void* data;
  std::size_t size;
};
huge_block acquire_huge_block(std::size_t bytes);
void release_huge_block(huge_block block) noexcept;

// The blocks the calling thread keeps: how many, and their bytes in all.
std::size_t kept_huge_blocks();
std::size_t kept_huge_bytes();

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
#define QUARNEL_HUGE_BLOCKS 1
#else
#define QUARNEL_HUGE_BLOCKS 0
#endif

template <typename T>
class big_buffer {
  static_assert(std::is_trivially_copyable<T>::value, "big_buffer holds plain values");

 public:
  big_buffer() = default;

  explicit big_buffer(std::size_t n) : n_(n)
  {
    if (n == 0) return;
    if (n > (static_cast<std::size_t>(-1) - huge) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(T);
    if (QUARNEL_HUGE_BLOCKS && bytes >= huge) {
      const huge_block b = acquire_huge_block((bytes + huge - 1) / huge * huge);
      data_ = static_cast<T*>(b.data);
      block_size_ = b.size;
      return;
    }
    data_ = static_cast<T*>(std::malloc(bytes));
    if (data_ == nullptr) throw std::bad_alloc();
  }

  big_buffer(const big_buffer&) = delete;
  big_buffer& operator=(const big_buffer&) = delete;
  big_buffer(big_buffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        n_(std::exchange(other.n_, 0)),
        block_size_(std::exchange(other.block_size_, 0))
  {
  }
  big_buffer& operator=(big_buffer&& other) noexcept
  {
    if (this != &other) {
      give_back();
      data_ = std::exchange(other.data_, nullptr);
      n_ = std::exchange(other.n_, 0);
      block_size_ = std::exchange(other.block_size_, 0);
    }
    return *this;
  }
  ~big_buffer() { give_back(); }

  T* data() { return data_; }
  const T* data() const { return data_; }
  std::size_t size() const { return n_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + n_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + n_; }

 private:
  static constexpr std::size_t huge = std::size_t{1} << 21;

  void give_back() noexcept
  {
    if (block_size_ != 0)
      release_huge_block({data_, block_size_});
    else
      std::free(data_);
  }

  T* data_ = nullptr;
  std::size_t n_ = 0;
  std::size_t block_size_ = 0;  // 0: data_ came from malloc
};
