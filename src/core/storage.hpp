// Storage for large arrays of vector values.
//
// Blocks of 4 MiB and more are mappings of their own, aligned to 2 MiB, and
// the kernel is asked to back them with huge pages: filling a fresh 100 MB index then costs a few
// dozen page faults instead of tens of thousands, and scans miss the TLB less.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
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
    if (n > (static_cast<std::size_t>(-1) - 2 * kHugePage) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kThreshold) return std::allocator<T>().allocate(n);
    // A mapping of its own, so that the block's pages go back to the system
    // when it is freed: the heap keeps freed blocks below its own mapping
    // threshold (which rises to tens of MB), and arrays that grow by moving
    // would leave every block they outgrew resident. Over-mapped by one huge
    // page, and cut to an aligned run of them.
    const std::size_t rounded = round_up(bytes);
    void* raw = mmap(nullptr, rounded + kHugePage, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto at = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t start = (at + kHugePage - 1) / kHugePage * kHugePage;
    if (start > at) munmap(raw, start - at);
    if (at + kHugePage > start) {
      munmap(reinterpret_cast<void*>(start + rounded), at + kHugePage - start);
    }
#ifdef MADV_HUGEPAGE
    madvise(reinterpret_cast<void*>(start), rounded, MADV_HUGEPAGE);  // advice only
#endif
    return reinterpret_cast<T*>(start);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) < kThreshold) {
      std::allocator<T>().deallocate(p, n);
    } else {
      munmap(p, round_up(n * sizeof(T)));
    }
  }
  static std::size_t round_up(std::size_t bytes) {
    return (bytes + kHugePage - 1) / kHugePage * kHugePage;
  }
  template <class U>
  bool operator==(const LargePageAllocator<U>&) const noexcept {
    return true;
  }
};

using ValueStorage = std::vector<double, LargePageAllocator<double>>;

// Blocks of 64 KiB and more as mappings of their own (from 4 MiB on as
// LargePageAllocator makes them), so that a freed block's pages go back to
// the system at once, for arrays that are often moved to a new block.
template <class T>
struct MappedAllocator {
  using value_type = T;
  static constexpr std::size_t kThreshold = std::size_t{1} << 16;
  static constexpr std::size_t kPage = std::size_t{1} << 12;

  MappedAllocator() = default;
  template <class U>
  MappedAllocator(const MappedAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T) - kPage) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kThreshold) return std::allocator<T>().allocate(n);
    if (bytes >= LargePageAllocator<T>::kThreshold) return LargePageAllocator<T>().allocate(n);
    void* block = mmap(nullptr, round_up(bytes), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    return static_cast<T*>(block);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kThreshold) {
      std::allocator<T>().deallocate(p, n);
    } else if (bytes >= LargePageAllocator<T>::kThreshold) {
      LargePageAllocator<T>().deallocate(p, n);
    } else {
      munmap(p, round_up(bytes));
    }
  }
  static std::size_t round_up(std::size_t bytes) { return (bytes + kPage - 1) / kPage * kPage; }
  template <class U>
  bool operator==(const MappedAllocator<U>&) const noexcept {
    return true;
  }
};

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
