#pragma once
// A map from addresses to small numbers in one array (open addressing,
// linear probing). Made for tables that key millions of objects by their
// address (every element a large commit touched): a node-based map costs an
// allocation and about 40 bytes per entry, and a cache miss more per lookup.

#include <foundation/memory/LargeTable.hpp>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace foundation::memory {

class PointerIndex {
 public:
  static constexpr std::uint32_t npos = 0xFFFFFFFFu;

  std::size_t size() const noexcept { return size_; }

  /// The number kept for `key`; npos when there is none.
  std::uint32_t find(const void* key) const noexcept {
    if (size_ == 0) return npos;
    for (std::size_t i = home(key);; i = next(i)) {
      if (slots_[i].key == key) return slots_[i].value;
      if (slots_[i].key == nullptr) return npos;
    }
  }

  /// Keeps `value` for `key` unless it has a number already; returns the
  /// number kept and whether it was added.
  std::pair<std::uint32_t, bool> insert(const void* key, std::uint32_t value) {
    // At most two thirds full: probes stay short.
    if ((size_ + 1) * 3 > slots_.size() * 2) grow();
    std::size_t i = home(key);
    for (; slots_[i].key != nullptr; i = next(i))
      if (slots_[i].key == key) return {slots_[i].value, false};
    slots_[i] = Slot{key, value};
    ++size_;
    return {value, true};
  }

  /// Forgets `key`. The entries after it in its run move back, so that no
  /// lookup stops early (no tombstones to clean up later).
  void erase(const void* key) noexcept {
    if (size_ == 0) return;
    std::size_t hole = home(key);
    for (; slots_[hole].key != key; hole = next(hole))
      if (slots_[hole].key == nullptr) return;
    for (std::size_t i = next(hole); slots_[i].key != nullptr; i = next(i)) {
      // An entry stays when its home lies after the hole, up to where it is.
      const std::size_t at = home(slots_[i].key);
      const bool stays = hole < i ? (hole < at && at <= i) : (hole < at || at <= i);
      if (stays) continue;
      slots_[hole] = slots_[i];
      hole = i;
    }
    slots_[hole] = Slot{};
    --size_;
  }

  void reserve(std::size_t count) {
    while (count * 3 > slots_.size() * 2) grow();
  }

 private:
  struct Slot {
    const void* key = nullptr;
    std::uint32_t value = 0;
  };

  // Fibonacci hashing: addresses of one allocator differ in their middle
  // bits, which the multiplication spreads to the top ones taken.
  std::size_t home(const void* key) const noexcept {
    const auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key));
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  std::size_t next(std::size_t i) const noexcept { return (i + 1) & (slots_.size() - 1); }

  void grow() {
    std::vector<Slot, LargeTableAllocator<Slot>> old = std::move(slots_);
    slots_.assign(old.empty() ? 16 : old.size() * 2, Slot{});
    shift_ = 64;
    for (std::size_t n = slots_.size(); n > 1; n >>= 1) --shift_;
    for (const Slot& s : old) {
      if (s.key == nullptr) continue;
      std::size_t i = home(s.key);
      while (slots_[i].key != nullptr) i = next(i);
      slots_[i] = s;
    }
  }

  std::vector<Slot, LargeTableAllocator<Slot>> slots_;
  std::size_t size_ = 0;
  unsigned shift_ = 64;
};

}  // namespace foundation::memory
