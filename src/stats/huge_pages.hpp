// Large scratch arrays backed by huge pages.
//
// big_buffer<T>(n) owns n uninitialised elements of a trivially copyable T.
// From 2 MB up it starts on a 2 MB boundary inside a block with whole 2 MB
// pages to spare, and on Linux those pages are advised MADV_HUGEPAGE before
// anything touches them, so the kernel backs
// it with transparent huge pages: one page fault and one TLB entry per 2 MB
// instead of per 4 KB. The pipeline's multi-megabyte buffers are touched at
// random (the shuffle's table, the radix sort's buckets), and a worker's
// first repetition faults all of them in; freed, they return to the heap and
// are reused without faults. Elsewhere, or where the kernel's huge pages are
// switched off, it is a plain array. Throws std::bad_alloc when the memory
// cannot be had.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

template <typename T>
class big_buffer {
  static_assert(std::is_trivially_copyable<T>::value, "big_buffer holds plain values");

 public:
  big_buffer() = default;

  explicit big_buffer(std::size_t n) : n_(n)
  {
    if (n == 0) return;
    if (n > (static_cast<std::size_t>(-1) - 2 * huge) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < huge) {
      raw_ = std::malloc(bytes);
      if (raw_ == nullptr) throw std::bad_alloc();
      data_ = static_cast<T*>(raw_);
      return;
    }
    // Whole 2 MB pages from a 2 MB boundary inside an ordinary allocation
    // with room to spare: the heap reuses such blocks from one repetition to
    // the next as it does any other (an aligned allocation would leave
    // pieces behind that it cannot).
    const std::size_t whole = (bytes + huge - 1) / huge * huge;
    raw_ = std::malloc(whole + huge);
    if (raw_ == nullptr) throw std::bad_alloc();
    const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(raw_) + huge - 1) & ~(huge - 1);
    data_ = reinterpret_cast<T*>(start);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    (void)madvise(reinterpret_cast<void*>(start), whole, MADV_HUGEPAGE);  // advice only
#endif
  }

  big_buffer(const big_buffer&) = delete;
  big_buffer& operator=(const big_buffer&) = delete;
  big_buffer(big_buffer&& other) noexcept
      : raw_(std::exchange(other.raw_, nullptr)),
        data_(std::exchange(other.data_, nullptr)),
        n_(std::exchange(other.n_, 0))
  {
  }
  big_buffer& operator=(big_buffer&& other) noexcept
  {
    if (this != &other) {
      std::free(raw_);
      raw_ = std::exchange(other.raw_, nullptr);
      data_ = std::exchange(other.data_, nullptr);
      n_ = std::exchange(other.n_, 0);
    }
    return *this;
  }
  ~big_buffer() { std::free(raw_); }

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
  void* raw_ = nullptr;  // what malloc returned
  T* data_ = nullptr;
  std::size_t n_ = 0;
};
