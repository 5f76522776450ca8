#include <foundation/memory/LargeTable.hpp>

#include <sys/mman.h>

#include <cstdint>

namespace foundation::memory {

namespace {

constexpr std::size_t hugePage = std::size_t{2} << 20;

std::size_t mappedBytes(std::size_t bytes) noexcept { return (bytes + hugePage - 1) & ~(hugePage - 1); }

}  // namespace

void* allocateLarge(std::size_t bytes) {
  if (bytes < largeBlockBytes) return ::operator new(bytes);
  const std::size_t length = mappedBytes(bytes);
  // One huge page more than needed, so that an aligned start lies inside;
  // the slack on either side goes back at once.
  void* const mapped = ::mmap(nullptr, length + hugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = (start + hugePage - 1) & ~(std::uintptr_t{hugePage} - 1);
  if (aligned > start) ::munmap(mapped, aligned - start);
  const std::uintptr_t end = start + length + hugePage;
  if (end > aligned + length) ::munmap(reinterpret_cast<void*>(aligned + length), end - aligned - length);
  // Advice only: a kernel without transparent huge pages keeps small ones.
  ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

void freeLarge(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (bytes < largeBlockBytes) {
    ::operator delete(block);
    return;
  }
  ::munmap(block, mappedBytes(bytes));
}

}  // namespace foundation::memory
