// Both ends of a reference, the parts that an element's edits and its
// destruction share: an entry taken out of one end, a link cut at both, an
// end made whole in memory before a reported change edits it.

#include "ElementLinks.hpp"

#include <limits>

namespace qm::zero::detail {

using PropertyImpl = meta::Property::Impl;

namespace {

Value entryValue(const PropertyImpl* p, const Entry& entry) {
  meta::Type type = p->getType();
  EntryType et = entryTypeOf(type);
  return Value(ValueMeta(std::move(type), ValueMeta::Present, et), Entries{entry});
}

}  // namespace

void recordEntryChange(ModelState& m, ElementImpl* e, const PropertyImpl* p, std::uint32_t kind, std::size_t index,
                       const Entry* entry) {
  ModelElement handle(e);
  if (p->isMultiValued() && p->isOrdered()) {
    m.record([&](ReportBuilder& b) { b.ordered(handle, p, kind, index, entry ? entryValue(p, *entry) : Value()); });
  } else {
    m.record([&](ReportBuilder& b) { b.modified(handle.get(), p); });
  }
}

std::size_t indexOf(const Slot& slot, const ElementImpl* t) {
  for (std::size_t i = 0; i < slot.size(); ++i)
    if (slot.elementAt(i) == t) return i;
  return std::numeric_limits<std::size_t>::max();
}

bool rawErase(ModelState& m, ElementImpl* e, const PropertyImpl* p, const ElementImpl* t) {
  const std::uint32_t i = p->getSlotIndex();
  std::size_t index = indexOf(e->slots[i], t);
  if (index == std::numeric_limits<std::size_t>::max()) return false;
  m.logEdit(e, i, SlotChange::Kind::Erased, index);
  e->slots[i].erase(index);
  recordEntryChange(m, e, p, OCDChange::Remove, index, nullptr);
  return true;
}

bool loadsEnds(const ModelState& m) { return m.reporting() && m.dataSource != nullptr; }

void loadEnd(ModelState& m, ElementImpl* t, const PropertyImpl* p) {
  if (t->state == ElementImpl::State::Proxy) m.resolve(t);
  if (t->state != ElementImpl::State::Destroyed && t->isUnloaded(p->getSlotIndex())) m.loadCollection(t, p);
}

bool unlink(ModelState& m, ElementImpl* e, const PropertyImpl* p, ElementImpl* t) {
  ModelElement keep(t);
  if (!rawErase(m, e, p, t)) return false;
  if (p->isComposite() && t->owner == e && t->owningProperty == p) m.setOwner(t, nullptr, nullptr);
  if (const PropertyImpl* q = p->getOppositeImpl()) {
    rawErase(m, t, q, e);
    if (q->isComposite() && e->owner == t && e->owningProperty == q) m.setOwner(e, nullptr, nullptr);
  }
  return true;
}

}  // namespace qm::zero::detail
