#pragma once
// Memory for large tables probed at random: hash tables over millions of
// elements, where every lookup lands on another page.

#include <foundation/export.hpp>

#include <cstddef>
#include <new>

namespace foundation::memory {

/// Bytes from which a block is mapped apart and backed by huge pages.
inline constexpr std::size_t largeBlockBytes = std::size_t{8} << 20;

/// A block of at least `bytes` bytes. From largeBlockBytes on it is mapped on
/// its own, aligned to 2 MiB and advised to the kernel as huge-page memory:
/// a random probe of a table of tens of megabytes then costs one cache miss
/// instead of a cache miss and a page-table walk (4 KiB pages give a TLB
/// reach of a few megabytes). Below that, or where the kernel offers no
/// huge pages, it is ordinary memory. Throws std::bad_alloc.
FOUNDATION_API void* allocateLarge(std::size_t bytes);
/// Gives back a block of allocateLarge(bytes).
FOUNDATION_API void freeLarge(void* block, std::size_t bytes) noexcept;

/// An allocator for the storage of such tables (std::vector<T,
/// LargeTableAllocator<T>>). Stateless: all instances are equal.
template <class T>
struct LargeTableAllocator {
  using value_type = T;
  LargeTableAllocator() noexcept = default;
  template <class U>
  LargeTableAllocator(const LargeTableAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(allocateLarge(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { freeLarge(p, n * sizeof(T)); }
  template <class U>
  friend bool operator==(const LargeTableAllocator&, const LargeTableAllocator<U>&) noexcept {
    return true;
  }
  template <class U>
  friend bool operator!=(const LargeTableAllocator&, const LargeTableAllocator<U>&) noexcept {
    return false;
  }
};

}  // namespace foundation::memory
