// Storage for large arrays of vector values.
//
// Blocks of 4 MiB and more are aligned to 2 MiB and the kernel is asked to
// back them with huge pages: filling a fresh 100 MB index then costs a few
// dozen page faults instead of tens of thousands, and scans miss the TLB less.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

namespace tarsim {

template <class T>
struct LargePageAllocator {
  using value_type = T;
  static constexpr std::size_t kHugePage = std::size_t{1} << 21;
  static constexpr std::size_t kThreshold = std::size_t{1} << 22;

  LargePageAllocator() = default;
  template <class U>
  LargePageAllocator(const LargePageAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kThreshold) return std::allocator<T>().allocate(n);
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* block = std::aligned_alloc(kHugePage, rounded);
    if (block == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    madvise(block, rounded, MADV_HUGEPAGE);  // advice only; failure changes nothing
#endif
    return static_cast<T*>(block);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) < kThreshold) {
      std::allocator<T>().deallocate(p, n);
    } else {
      std::free(p);
    }
  }
  template <class U>
  bool operator==(const LargePageAllocator<U>&) const noexcept {
    return true;
  }
};

using ValueStorage = std::vector<double, LargePageAllocator<double>>;

// Storage for the records: large blocks as for the vectors, smaller ones
// aligned to a cache line, so that a record of eight values is one line when
// a walk reads records in any order.
template <class T>
struct LineAllocator {
  using value_type = T;
  static constexpr std::align_val_t kLine{64};
  LineAllocator() = default;
  template <class U>
  LineAllocator(const LineAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    if (n * sizeof(T) >= LargePageAllocator<T>::kThreshold) {
      return LargePageAllocator<T>().allocate(n);
    }
    return static_cast<T*>(::operator new(n * sizeof(T), kLine));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) >= LargePageAllocator<T>::kThreshold) {
      LargePageAllocator<T>().deallocate(p, n);
    } else {
      ::operator delete(p, kLine);
    }
  }
  template <class U>
  bool operator==(const LineAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace tarsim
