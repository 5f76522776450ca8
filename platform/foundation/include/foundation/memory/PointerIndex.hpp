#pragma once
// A map from addresses to their places in a container that holds the
// addresses itself (a list of elements, a log of saved elements), in one
// array (open addressing, linear probing). Made for tables that key millions
// of objects by their address (every element a large commit touched): a
// node-based map costs an allocation and about 40 bytes per entry, a slot
// holding the address 16. A slot here holds the place and a tag of the
// address's hash, 8 bytes; the address is read from the container, through
// `keyOf(place)`, only where the tags agree, which is about only for the
// address looked for.

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

  /// The place kept for `key`; npos when there is none.
  template <class KeyOf>
  std::uint32_t find(const void* key, const KeyOf& keyOf) const {
    return size_ == 0 ? npos : slots_[slotOf(key, keyOf).first].place;
  }

  /// Keeps `place` (not npos) for `key` unless it has a place already;
  /// returns the place kept and whether it was added. `keyOf` answers for
  /// the places kept before, not yet for `place`: the container may take
  /// the key after the index did (and takeBack() undoes the insert when it
  /// cannot).
  template <class KeyOf>
  std::pair<std::uint32_t, bool> insert(const void* key, std::uint32_t place, const KeyOf& keyOf) {
    // At most three quarters full: an insert then probes about eight slots,
    // a single cache line of them, the tags sparing nearly every key read;
    // two thirds would double the table for a third of the sizes.
    if ((size_ + 1) * 4 > slots_.size() * 3) grow(slots_.empty() ? 16 : slots_.size() * 2, keyOf);
    const auto [at, found] = slotOf(key, keyOf);
    if (found) return {slots_[at].place, false};
    slots_[at] = Slot{place, tagOf(hash(key))};
    ++size_;
    return {place, true};
  }

  /// Forgets `key`.
  template <class KeyOf>
  void erase(const void* key, const KeyOf& keyOf) {
    if (size_ == 0) return;
    const auto [at, found] = slotOf(key, keyOf);
    if (found) vacate(at, keyOf);
  }

  /// Forgets the place just inserted for `key`, which the container never
  /// took (so `keyOf` cannot answer for it).
  template <class KeyOf>
  void takeBack(const void* key, std::uint32_t place, const KeyOf& keyOf) {
    std::size_t at = home(hash(key));
    while (slots_[at].place != place) at = next(at);
    vacate(at, keyOf);
  }

  template <class KeyOf>
  void reserve(std::size_t count, const KeyOf& keyOf) {
    std::size_t slots = slots_.empty() ? 16 : slots_.size();
    while (count * 4 > slots * 3) slots *= 2;
    if (slots != slots_.size()) grow(slots, keyOf);
  }

 private:
  struct Slot {
    std::uint32_t place = npos;  ///< npos: an empty slot
    std::uint32_t tag = 0;
  };

  // Fibonacci hashing: addresses of one allocator differ in their middle
  // bits, which the multiplication spreads to the top ones taken for the
  // home slot; the low half, a function of the address's low half alone, is
  // the tag (distinct for addresses less than 4 GiB apart).
  static std::uint64_t hash(const void* key) noexcept {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key)) * 0x9E3779B97F4A7C15ull;
  }
  static std::uint32_t tagOf(std::uint64_t h) noexcept { return static_cast<std::uint32_t>(h); }
  std::size_t home(std::uint64_t h) const noexcept { return static_cast<std::size_t>(h >> shift_); }
  std::size_t next(std::size_t i) const noexcept { return (i + 1) & (slots_.size() - 1); }

  // The slot of `key` and true, or the empty slot that ends its run and
  // false.
  template <class KeyOf>
  std::pair<std::size_t, bool> slotOf(const void* key, const KeyOf& keyOf) const {
    const std::uint64_t h = hash(key);
    const std::uint32_t tag = tagOf(h);
    for (std::size_t i = home(h);; i = next(i)) {
      const Slot& s = slots_[i];
      if (s.place == npos) return {i, false};
      if (s.tag == tag && keyOf(s.place) == key) return {i, true};
    }
  }

  // Empties slot `hole`. The entries after it in its run move back, so that
  // no lookup stops early (no tombstones to clean up later).
  template <class KeyOf>
  void vacate(std::size_t hole, const KeyOf& keyOf) {
    for (std::size_t i = next(hole); slots_[i].place != npos; i = next(i)) {
      // An entry stays when its home lies after the hole, up to where it is.
      const std::size_t at = home(hash(keyOf(slots_[i].place)));
      const bool stays = hole < i ? (hole < at && at <= i) : (hole < at || at <= i);
      if (stays) continue;
      slots_[hole] = slots_[i];
      hole = i;
    }
    slots_[hole] = Slot{};
    --size_;
  }

  template <class KeyOf>
  void grow(std::size_t slots, const KeyOf& keyOf) {
    std::vector<Slot, LargeTableAllocator<Slot>> old = std::move(slots_);
    try {
      slots_.assign(slots, Slot{});
    } catch (...) {
      slots_ = std::move(old);
      throw;
    }
    shift_ = 64;
    for (std::size_t n = slots_.size(); n > 1; n >>= 1) --shift_;
    for (const Slot& s : old) {
      if (s.place == npos) continue;
      std::size_t i = home(hash(keyOf(s.place)));
      while (slots_[i].place != npos) i = next(i);
      slots_[i] = s;
    }
  }

  std::vector<Slot, LargeTableAllocator<Slot>> slots_;
  std::size_t size_ = 0;
  unsigned shift_ = 64;
};

}  // namespace foundation::memory
