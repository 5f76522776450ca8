#pragma once
// A model's elements by uuid.

#include <qm/zero/ModelElement.hpp>

#include <foundation/memory/LargeTable.hpp>

#include <boost/uuid/uuid.hpp>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qm::zero::detail {

/// Elements by uuid, each held by a handle: an open-addressing table
/// (linear probing, at most three quarters full) of buckets of a handle and
/// the hash of its element's uuid. A lookup compares hashes in consecutive
/// buckets and reads an element only when they match, and growing rehashes
/// without reading elements at all: at millions of elements every element
/// read is a cache miss, and a node per element (std::unordered_map) would
/// cost about 60 bytes where a bucket costs 16 to 43. Iteration order is
/// unspecified.
class ElementTable {
 public:
  ElementTable() = default;
  ElementTable(const ElementTable&) = delete;
  ElementTable& operator=(const ElementTable&) = delete;

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  /// The element held for `uuid`; null when none.
  ModelElement::Impl* find(const boost::uuids::uuid& uuid) const noexcept;
  bool contains(const boost::uuids::uuid& uuid) const noexcept { return find(uuid) != nullptr; }
  /// Starts loading the bucket where a lookup of `uuid` begins, for a
  /// lookup a little later.
  void prefetch(const boost::uuids::uuid& uuid) const noexcept {
    if (!buckets_.empty()) __builtin_prefetch(&buckets_[home(hashOf(uuid))]);
  }
  /// Holds `element` under its uuid; false (and nothing changes) when the
  /// table already holds an element for that uuid.
  bool insert(ModelElement::Impl* element);
  /// Lets go of `element` if it is the one held for its uuid; false when it
  /// is not held.
  bool erase(const ModelElement::Impl* element) noexcept;
  /// Calls `f(ModelElement::Impl*)` for every element held; `f` must not
  /// change the table.
  template <class F>
  void forEach(F&& f) const {
    for (const Bucket& b : buckets_)
      if (b.element) f(b.element.get());
  }
  /// Lets go of every element.
  void clear() noexcept;

 private:
  struct Bucket {
    std::uint64_t hash = 0;
    ModelElement element;  // null when free
  };
  static std::uint64_t hashOf(const boost::uuids::uuid& uuid) noexcept;
  std::size_t home(std::uint64_t hash) const noexcept { return static_cast<std::size_t>(hash) & (buckets_.size() - 1); }
  // Where the element with `uuid` and `hash` is, or the free bucket that ends its run.
  std::size_t probe(const boost::uuids::uuid& uuid, std::uint64_t hash) const noexcept;
  void grow();

  using Buckets = std::vector<Bucket, foundation::memory::LargeTableAllocator<Bucket>>;
  Buckets buckets_;  // a power of two of them, or none
  std::size_t size_ = 0;
};

}  // namespace qm::zero::detail
