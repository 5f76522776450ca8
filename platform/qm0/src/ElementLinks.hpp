#pragma once
// The parts of keeping both ends of a reference in step that an element's
// edits (ModelElement.cpp) and its destruction (ElementDestruction.cpp)
// share.

#include "ModelState.hpp"

#include <cstddef>
#include <cstdint>
#include <variant>

namespace qm::zero::detail {

inline ElementImpl* targetOf(const Entry& entry) {
  return static_cast<ElementImpl*>(std::get<ModelElement>(entry).get());
}
inline ElementImpl* targetAt(const Slot& slot, std::size_t index) {
  return static_cast<ElementImpl*>(slot.elementAt(index));
}

/// Calls `f` with each target of the reference `p` of `e`, in order.
template <class F>
void forEachTarget(const ElementImpl* e, const meta::Property::Impl* p, F&& f) {
  const Slot& slot = e->slots[p->getSlotIndex()];
  for (std::size_t i = 0; i < slot.size(); ++i) f(targetAt(slot, i));
}

/// The place of `t` in `slot`; the largest size_t when it is not there.
std::size_t indexOf(const Slot& slot, const ElementImpl* t);
/// Records a change of one entry of `p` of `e`: an ordered collection keeps
/// the change itself (kind, index, new entry; none for a removal), any
/// other only that the property changed.
void recordEntryChange(ModelState& m, ElementImpl* e, const meta::Property::Impl* p, std::uint32_t kind,
                       std::size_t index, const Entry* entry);
/// Whether a change edits whole ends only: a reported change of a model
/// with a data source loads each end it is about to edit first.
bool loadsEnds(const ModelState& m);
/// Makes `p` of `t` whole in memory: `t` loaded if a proxy, the collection
/// loaded if deferred.
void loadEnd(ModelState& m, ElementImpl* t, const meta::Property::Impl* p);
/// Takes `t` out of `p` of `e` alone, with the change logged and reported;
/// false when it was not there.
bool rawErase(ModelState& m, ElementImpl* e, const meta::Property::Impl* p, const ElementImpl* t);
/// Takes `t` out of `p` of `e`, and `e` out of the opposite end and its
/// owner; false when `t` was not there.
bool unlink(ModelState& m, ElementImpl* e, const meta::Property::Impl* p, ElementImpl* t);
/// Loads what destroying `root` edits: its subtree whole, and the other
/// ends of the subtree's two-way links.
void loadEndsOfDestroy(ModelState& m, ElementImpl* root);

}  // namespace qm::zero::detail
