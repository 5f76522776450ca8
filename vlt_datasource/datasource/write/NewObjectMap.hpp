#pragma once
// The new objects of one write, from their discovery in a change report to
// their creation: a record per element, found by uuid.

#include "external/Metamodel.hpp"
#include "external/Model.hpp"
#include "external/Repository.hpp"

#include <foundation/memory/LargeTable.hpp>

#include <boost/uuid/uuid.hpp>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace vlt_datasource {

/// One element to create in the repository, from its discovery to its
/// creation: its reserved id, its place under a new owner, and the
/// properties written once every new object exists.
struct VLTNewObjectDesc {
  qm::zero::ModelElement element;
  vlt::ClassRef vltClass;
  std::int32_t objectId = 0;
  vlt::PropertyRef owningProperty;  // null: no new owner
  std::int32_t ownerId = 0;
  std::int32_t ordinal = 0;
  /// With their repository properties, in discovery order.
  std::vector<std::pair<qm::zero::meta::Property, vlt::PropertyRef>> nonCtorProperties;
  std::uint32_t ownerIndex = noOwner;  // the new owner's record
  static constexpr std::uint32_t noOwner = ~std::uint32_t(0);
};

/// The new objects of one write: records in the order they were inserted,
/// found by uuid. Used by one thread.
class NewObjectMap {
 public:
  static constexpr std::size_t npos = ~std::size_t(0);
  void reserve(std::size_t count) {
    records_.reserve(count);
    if (count * 2 > slots_.size()) rehash(count * 2);
  }
  /// Adds `desc` under its element's uuid; false (nothing changed) when the
  /// uuid is there already.
  bool insert(VLTNewObjectDesc desc) {
    if ((records_.size() + 1) * 2 > slots_.size()) rehash((records_.size() + 1) * 2);
    Slot& slot = slots_[probe(desc.element.getUUID())];
    if (slot.record != 0) return false;
    slot = {desc.element.getUUID(), static_cast<std::uint32_t>(records_.size() + 1)};
    records_.push_back(std::move(desc));
    return true;
  }
  std::size_t indexOf(const boost::uuids::uuid& id) const {
    if (slots_.empty()) return npos;
    const std::uint32_t record = slots_[probe(id)].record;
    return record == 0 ? npos : record - 1;
  }
  const VLTNewObjectDesc* find(const boost::uuids::uuid& id) const {
    const std::size_t at = indexOf(id);
    return at == npos ? nullptr : &records_[at];
  }
  VLTNewObjectDesc& operator[](std::size_t index) { return records_[index]; }
  std::size_t size() const noexcept { return records_.size(); }
  bool empty() const noexcept { return records_.empty(); }

 private:
  // The index is open addressing, at most half full: a lookup is about one
  // cache line, where a map of nodes chased two or three pointers; a write
  // of a million new objects looks each of them up several times.
  struct Slot {
    boost::uuids::uuid uuid;
    std::uint32_t record;  ///< its index + 1; 0 for a free slot
  };
  std::size_t probe(const boost::uuids::uuid& id) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = qm::zero::services::hashers::QM0Hasher<boost::uuids::uuid>()(id) & mask;
    while (slots_[i].record != 0 && slots_[i].uuid != id) i = (i + 1) & mask;
    return i;
  }
  void rehash(std::size_t atLeast) {
    std::size_t capacity = 16;
    while (capacity < atLeast) capacity *= 2;
    Slots old(capacity, Slot{boost::uuids::uuid{}, 0});
    old.swap(slots_);
    for (const Slot& slot : old)
      if (slot.record != 0) slots_[probe(slot.uuid)] = slot;
  }
  using Slots = std::vector<Slot, foundation::memory::LargeTableAllocator<Slot>>;
  std::vector<VLTNewObjectDesc, foundation::memory::LargeTableAllocator<VLTNewObjectDesc>> records_;
  Slots slots_;
};

}  // namespace vlt_datasource
