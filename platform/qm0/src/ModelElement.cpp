// Model elements: reflective access, and the rules that keep references
// consistent (opposite ends, composite owners). What edits and destruction
// share of those rules is in ElementLinks; destruction in
// ElementDestruction.cpp.

#include <qm/zero/Messages.hpp>
#include <qm/zero/ModelElement.hpp>
#include <qm/zero/ReferenceCollection.hpp>

#include "MetaInternal.hpp"
#include "ElementLinks.hpp"
#include "ModelState.hpp"
#include "UniqueEntries.hpp"

#include <foundation/core/except/Exception.hpp>

#include <boost/uuid/uuid_io.hpp>

#include <boost/container/small_vector.hpp>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <unordered_set>

namespace qm::zero {

using detail::ElementImpl;
using detail::ModelState;
using foundation::core::except::throwException;
using PropertyImpl = meta::Property::Impl;
using detail::forEachTarget;
using detail::indexOf;
using detail::loadEnd;
using detail::loadsEnds;
using detail::rawErase;
using detail::recordEntryChange;
using detail::targetAt;
using detail::targetOf;
using detail::unlink;


namespace {

std::string uuidText(const boost::uuids::uuid& u) { return boost::uuids::to_string(u); }

ElementImpl* asElement(const ModelElement& handle) {
  if (!handle) throw std::invalid_argument("qm0: null element");
  if (handle.get()->isMetaObject()) throw std::logic_error("qm0: metamodel objects have no reflective properties");
  return static_cast<ElementImpl*>(handle.get());
}

const PropertyImpl* propertyOf(const ElementImpl* e, const meta::Property& property) {
  if (!property) throw std::invalid_argument("qm0: null property");
  const meta::StructuredType::Impl* owning = property->getOwningTypeImpl();
  for (const meta::Class::Impl* c = e->cls.operator->(); c != nullptr; c = c->getSuperclassImpl())
    if (static_cast<const meta::StructuredType::Impl*>(c) == owning) return property.operator->();
  throwException(qm0::messages::PropertyNotOfClass(property->getQualifiedName(), e->cls->getQualifiedName()));
}

ModelState& liveModel(const ElementImpl* e) {
  if (e->state == ElementImpl::State::Destroyed)
    throwException(qm0::messages::ElementDestroyed(uuidText(e->getUUID())));
  return e->model->state();
}

// The element behind a handle used through the public (resolving) forms: a
// proxy is loaded first.
ElementImpl* resolved(const ModelElement& handle) {
  ElementImpl* e = asElement(handle);
  if (e->state == ElementImpl::State::Proxy) e->model->state().resolve(e);
  return e;
}

// How much a reflective call may ask the data source to load.
enum class Access { Privileged, Resolve, Public };

ElementImpl* accessed(const ModelElement& handle, Access access) {
  return access == Access::Privileged ? asElement(handle) : resolved(handle);
}

// A public edit of a deferred collection sees its whole contents first.
void loadForEdit(ElementImpl* e, const PropertyImpl* p) {
  if (e->state != ElementImpl::State::Destroyed && e->isUnloaded(p->getSlotIndex()))
    e->model->state().loadCollection(e, p);
}

// The model of `e` when a change of it is allowed now.
ModelState& changeableModel(const ElementImpl* e) {
  ModelState& m = liveModel(e);
  m.checkChange();
  return m;
}

[[noreturn]] void cannotCast(const std::u16string& typeName) {
  throwException(qm0::messages::CannotCastIncompatibleTypes(typeName));
}

[[noreturn]] void upperBoundExceeded(const PropertyImpl* p) {
  throwException(qm0::messages::UpperBoundExceeded(p->getQualifiedName(), std::to_string(p->getUpper())));
}

// Refuses one more entry in `p` of `e` when the collection is full.
void checkRoom(const ElementImpl* e, const PropertyImpl* p) {
  if (p->getUpper() != meta::unbounded && e->slots[p->getSlotIndex()].size() >= p->getUpper())
    upperBoundExceeded(p);
}

// A unique collection of values holds each value once. Memory refuses a
// duplicate when it is made, rather than the data source's store at commit,
// when the host can no longer tell which call made it.
bool holdsUniqueValues(const PropertyImpl* p) { return p->isMultiValued() && p->isUnique() && !p->isReference(); }

[[noreturn]] void duplicateEntry(const PropertyImpl* p) {
  throwException(qm0::messages::DuplicateEntry(p->getQualifiedName()));
}

// Checks that `value` may be stored in `p` of `e` and returns its targets
// when `p` is a reference.
std::vector<ElementImpl*> checkValue(const ElementImpl* e, const PropertyImpl* p, const Value& value) {
  std::vector<ElementImpl*> targets;
  if (value.isEmpty()) return targets;
  if (value.size() > p->getUpper()) {
    if (p->isMultiValued()) upperBoundExceeded(p);
    cannotCast(value.getType() ? value.getType()->getQualifiedName() : u"");
  }
  if (p->isReference()) {
    auto* expected = static_cast<const meta::Class::Impl*>(p->getTypeImpl());
    targets.reserve(value.size());
    for (const Entry& entry : value.getEntries()) {
      const ModelElement* el = std::get_if<ModelElement>(&entry);
      if (el == nullptr || !*el || el->get()->isMetaObject())
        cannotCast(value.getType() ? value.getType()->getQualifiedName() : u"");
      auto* t = static_cast<ElementImpl*>(el->get());
      if (!t->cls->conformsTo(expected)) cannotCast(t->cls->getQualifiedName());
      if (t->state == ElementImpl::State::Destroyed)
        throwException(qm0::messages::ElementDestroyed(uuidText(t->getUUID())));
      if (t->model != e->model) throw std::invalid_argument("qm0: elements of different models cannot refer to each other");
      targets.push_back(t);
    }
    return targets;
  }
  const meta::Type& vt = value.getType();
  if (!vt || !p->getTypeImpl()->isAssignableFrom(vt.operator->()) ||
      value.getMeta().getEntryType() != detail::entryTypeOf(p->getTypeImpl()))
    cannotCast(vt ? vt->getQualifiedName() : u"");
  return targets;
}

// --- One side of a reference -----------------------------------------------

constexpr std::size_t npos = std::numeric_limits<std::size_t>::max();

ElementImpl* singleTarget(const ElementImpl* e, const PropertyImpl* p) {
  const detail::Slot& slot = e->slots[p->getSlotIndex()];
  return slot.empty() ? nullptr : targetAt(slot, 0);
}

// Whether `t` is in the collection `p` of `e`. The other end answers without
// a search where it can: an owned element knows its owner, a single-valued
// opposite end its one target; of two collections, the smaller one is
// searched (a popular element's collection of referrers has thousands of
// entries, and each of them asks when it links). Memory keeps the two ends
// of a link in step whatever is loaded: a proxy's collection, or a deferred
// one not loaded yet, holds what links put there, at both ends. They
// disagree only inside a link (between its two inserts: the caller asks
// before the first) and inside a destruction (whose elements are no longer
// live).
bool holds(const ElementImpl* e, const PropertyImpl* p, const ElementImpl* t) {
  if (p->isComposite()) return t->owner == e && t->owningProperty == p;
  const PropertyImpl* q = p->getOppositeImpl();
  if (q != nullptr && !q->isMultiValued()) return singleTarget(t, q) == e;
  const detail::Slot& mine = e->slots[p->getSlotIndex()];
  if (q != nullptr && mine.size() > 8 && e->state != ElementImpl::State::Destroyed &&
      t->state != ElementImpl::State::Destroyed) {
    const detail::Slot& theirs = t->slots[q->getSlotIndex()];
    if (theirs.size() < mine.size()) return indexOf(theirs, e) != npos;
  }
  return indexOf(mine, t) != npos;
}

// Calls `f` with each element `e` owns. Every link of a composite property
// asks, so the attributes are looked at without counted handles.
template <class F>
void forEachOwned(const ElementImpl* e, F&& f) {
  for (const meta::Class::Impl* c = e->cls.operator->(); c != nullptr; c = c->getSuperclassImpl()) {
    const meta::ElementMap<meta::Property> attributes = c->getOwnedAttributes();
    for (auto at = attributes.begin(); at != attributes.end(); ++at)
      if (const PropertyImpl* p = at.impl(); p->isComposite()) forEachTarget(e, p, f);
  }
}

void rawInsert(ModelState& m, ElementImpl* e, const PropertyImpl* p, ElementImpl* t, std::size_t index) {
  const std::uint32_t i = p->getSlotIndex();
  detail::Slot& slot = e->slots[i];
  ModelElement handle(e);
  if (!p->isMultiValued()) {
    m.saveSlot(e, i);
    slot.assign(Entries{Entry(ModelElement(t))});
    m.record([&](ReportBuilder& b) { b.modified(handle.get(), p); });
    return;
  }
  index = std::min(index, slot.size());
  const Entry entry{ModelElement(t)};
  m.logEdit(e, i, detail::SlotChange::Kind::Inserted, index);
  slot.insert(index, entry);
  recordEntryChange(m, e, p, OCDChange::Insert, index, &entry);
}

// --- Reading the other end first -------------------------------------------
//
// A change reported to a data source must see each end it edits whole: an
// opposite end that is a proxy, or a deferred collection not loaded yet, holds
// in memory only what loads put there. Edited as it is, the end would be
// written from that part (losing what is stored beyond it), reported with
// indexes the stored collection does not have, or keep a link the store cut.
// So a reported change first loads every end it is about to edit, before it
// changes anything: a load may ask the data source for a snapshot, which must
// not see a change half made. A data source's own changes (loads, the
// modification guard) are not reported and edit the ends as they are.

// The ends that unlink(e, p, t) edits besides `p` of `e`.
void loadEndsOfUnlink(ModelState& m, ElementImpl* e, const PropertyImpl* p, ElementImpl* t) {
  if (!loadsEnds(m)) return;
  if (const PropertyImpl* q = p->getOppositeImpl()) loadEnd(m, t, q);
  else if (p->isComposite() && t->state == ElementImpl::State::Proxy) m.resolve(t);
  (void)e;
}

// The ends that link(e, p, t) edits besides `p` of `e`: `t`'s opposite end,
// the opposite end of the target `e.p` gives up, the collection `t` leaves
// for a composite `p`, and those that `e` and its opposite's old target
// leave.
void loadEndsOfLink(ModelState& m, ElementImpl* e, const PropertyImpl* p, ElementImpl* t) {
  if (!loadsEnds(m)) return;
  const PropertyImpl* q = p->getOppositeImpl();
  if (q != nullptr) loadEnd(m, t, q);
  else if (p->isComposite() && t->state == ElementImpl::State::Proxy) m.resolve(t);
  if (!p->isMultiValued())
    if (ElementImpl* current = singleTarget(e, p); current != nullptr && current != t && q != nullptr)
      loadEnd(m, current, q);
  if (p->isComposite() && t->owner != nullptr) loadEnd(m, t->owner, t->owningProperty);
  if (q == nullptr) return;
  if (!q->isMultiValued())
    if (ElementImpl* other = singleTarget(t, q); other != nullptr && other != e) loadEnd(m, other, p);
  if (q->isComposite() && e->owner != nullptr) loadEnd(m, e->owner, e->owningProperty);
}

// --- Both sides --------------------------------------------------------------

// Whether `candidate` is `e` or one of its owners. Walks up from `e` and down
// through what `candidate` owns by turns, so that the answer costs the
// smaller of e's depth and candidate's subtree: putting a new element under
// the deepest one of a long chain is as cheap as moving a deep subtree under
// a root.
bool ownsOrIs(const ElementImpl* candidate, const ElementImpl* e) {
  const ElementImpl* up = e;
  boost::container::small_vector<const ElementImpl*, 16> down{candidate};
  for (;;) {
    if (up == nullptr || down.empty()) return false;
    if (up == candidate) return true;
    up = up->owner;
    // The whole chain above `e` was looked at: the subtree need not be.
    if (up == nullptr) return false;
    const ElementImpl* d = down.back();
    down.pop_back();
    if (d == e) return true;
    forEachOwned(d, [&](const ElementImpl* owned) { down.push_back(owned); });
  }
}

// Refuses making `t` a new target of `e.p` when that would make an element
// own itself or overfill a bounded collection: the opposite end of `t`, and
// `e.p` itself unless the caller makes room there first. Called before
// anything changes, so that a refused link changes nothing.
void checkLink(const ElementImpl* e, const PropertyImpl* p, const ElementImpl* t, bool roomHereToo = true) {
  const PropertyImpl* q = p->getOppositeImpl();
  if ((p->isComposite() && ownsOrIs(t, e)) || (q != nullptr && q->isComposite() && ownsOrIs(e, t)))
    throw std::invalid_argument("qm0: an element cannot own itself or one of its owners");
  if (roomHereToo && p->isMultiValued()) checkRoom(e, p);
  if (q != nullptr && q->isMultiValued() && !holds(t, q, e)) checkRoom(t, q);
}

// Makes `t` a target of `e.p` (at `index` in a collection) and `e` a target
// of the opposite end; owners follow composite ends.
void link(ModelState& m, ElementImpl* e, const PropertyImpl* p, ElementImpl* t, std::size_t index) {
  const PropertyImpl* q = p->getOppositeImpl();
  if (p->isMultiValued() ? holds(e, p, t) : singleTarget(e, p) == t) return;
  checkLink(e, p, t);
  // Whether a collection at the other end holds `e` already, asked while the
  // ends agree (see holds()). What happens before the insert at that end
  // leaves it alone: `e` gives up another target, and a composite `p`
  // (whose other end is not a collection) is not asked.
  const bool heldThere = q != nullptr && q->isMultiValued() && !p->isComposite() &&
                         (q->isComposite() || p->isMultiValued() ? holds(t, q, e)
                                                                 : indexOf(t->slots[q->getSlotIndex()], e) != npos);
  ModelElement keepE(e), keepT(t);
  if (!p->isMultiValued()) {
    if (ElementImpl* current = singleTarget(e, p)) unlink(m, e, p, current);
  }
  if (p->isComposite() && t->owner != nullptr) unlink(m, t->owner, t->owningProperty, t);
  rawInsert(m, e, p, t, index);
  if (p->isComposite()) m.setOwner(t, e, p);
  if (q == nullptr) return;
  if (!q->isMultiValued()) {
    ElementImpl* other = singleTarget(t, q);
    if (other == e) return;
    if (other != nullptr) unlink(m, t, q, other);
  } else if (p->isComposite() ? holds(t, q, e) : heldThere) {
    // With a single-valued `p`, holds() would answer from `e.p`, just set
    // to `t`: the other end is searched instead.
    return;
  }
  if (q->isComposite() && e->owner != nullptr) unlink(m, e->owner, e->owningProperty, e);
  rawInsert(m, t, q, e, std::numeric_limits<std::size_t>::max());
  if (q->isComposite()) m.setOwner(e, t, q);
}

void setReferences(ModelState& m, ElementImpl* e, const PropertyImpl* p, const std::vector<ElementImpl*>& targets) {
  if (loadsEnds(m)) {
    // The targets given up are known only from the whole collection.
    if (p->getOppositeImpl() != nullptr) loadEnd(m, e, p);
    for (std::size_t i = 0; i < e->slots[p->getSlotIndex()].size(); ++i) {
      ElementImpl* old = targetAt(e->slots[p->getSlotIndex()], i);
      if (std::find(targets.begin(), targets.end(), old) == targets.end()) loadEndsOfUnlink(m, e, p, old);
    }
    for (ElementImpl* t : targets) loadEndsOfLink(m, e, p, t);
  }
  if (!p->isMultiValued()) {
    if (targets.empty()) {
      if (ElementImpl* current = singleTarget(e, p)) unlink(m, e, p, current);
    } else {
      link(m, e, p, targets.front(), 0);
    }
    return;
  }
  std::vector<const ElementImpl*> wantedSet(targets.begin(), targets.end());
  std::sort(wantedSet.begin(), wantedSet.end());
  if (std::adjacent_find(wantedSet.begin(), wantedSet.end()) != wantedSet.end())
    throw std::invalid_argument("qm0: an element is twice in one reference collection");
  // Every new target is checked before anything changes: taking the old
  // targets out never makes room at a new target's end.
  for (ElementImpl* t : targets)
    if (!holds(e, p, t)) checkLink(e, p, t, false);  // e.p's own size was checked with the value
  const std::uint32_t i = p->getSlotIndex();
  Entries wanted;
  wanted.reserve(targets.size());
  for (ElementImpl* t : targets) wanted.emplace_back(ModelElement(t));
  // An empty collection filled with targets that no other end or owner
  // holds (what a data source's loading does for every collection): the
  // targets go in at once instead of one link at a time.
  const bool composite = p->isComposite();
  if (e->slots[i].empty() && p->getOppositeImpl() == nullptr &&
      (!composite || std::none_of(targets.begin(), targets.end(), [](const ElementImpl* t) { return t->owner; }))) {
    if (targets.empty()) return;
    m.saveSlot(e, i);
    e->slots[i].assign(std::move(wanted));
    if (composite)
      for (ElementImpl* t : targets) m.setOwner(t, e, p);
    // A whole value set: no ordered changes of the property are reported.
    m.record([&](ReportBuilder& b) { b.modified(e, p); });
    return;
  }
  const Entries before = e->slots[i].entries();
  for (const Entry& entry : before) {
    ElementImpl* t = targetOf(entry);
    if (!std::binary_search(wantedSet.begin(), wantedSet.end(), t)) unlink(m, e, p, t);
  }
  for (ElementImpl* t : targets) link(m, e, p, t, std::numeric_limits<std::size_t>::max());
  if (!e->slots[i].equals(wanted)) {
    m.saveSlot(e, i);
    e->slots[i].assign(std::move(wanted));
  }
  if (!e->slots[i].equals(before)) {
    ModelElement handle(e);
    m.record([&](ReportBuilder& b) { b.modified(handle.get(), p); });
  }
}

// Stored entries own their arrays: the caller may free what it passed in.
bool needsOwnCopy(const Entry& entry) {
  const ArrayEntry* a = std::get_if<ArrayEntry>(&entry);
  return a != nullptr && !a->isOwned();
}
Entry stored(const Entry& entry) {
  if (const ArrayEntry* a = std::get_if<ArrayEntry>(&entry); a != nullptr && !a->isOwned()) return a->ownedCopy();
  return entry;
}

void checkMultiValued(const PropertyImpl* p) {
  if (!p->isMultiValued()) throw std::logic_error("qm0: the property is not multi-valued");
}

const Entry& singleEntry(const PropertyImpl* p, const Value& entry) {
  if (entry.size() != 1) cannotCast(entry.getType() ? entry.getType()->getQualifiedName() : u"");
  (void)p;
  return entry.getEntries().front();
}

}  // namespace

namespace detail {

namespace {

// `value` is a `const Value&` or a `Value&&`; a value given to keep gives
// its entries to the slot instead of a copy of them.
template <class V>
void setValueAs(ElementImpl* e, const PropertyImpl* p, V&& value) {
  ModelState& m = changeableModel(e);
  ChangeScope scope(m);
  std::vector<ElementImpl*> targets = checkValue(e, p, value);
  // A deferred collection that memory never loaded: the targets it gives up
  // must leave their opposite ends too, so they are read first; and the
  // change is reported even when memory held as little as the new value.
  const bool wasUnloaded = e->isUnloaded(p->getSlotIndex());
  if (wasUnloaded && p->getOppositeImpl() != nullptr && loadsEnds(m)) m.loadCollection(e, p);
  m.markLoaded(e, p);  // the whole value is known now
  if (p->isReference()) {
    setReferences(m, e, p, targets);
    if (wasUnloaded) m.record([&](ReportBuilder& b) { b.modified(e, p); });
    return;
  }
  const std::uint32_t i = p->getSlotIndex();
  if (e->slots[i].equals(value.getEntries())) return;
  if (holdsUniqueValues(p) && detail::hasRepeatedEntry(value.getEntries())) duplicateEntry(p);
  m.saveSlot(e, i);
  if (std::any_of(value.getEntries().begin(), value.getEntries().end(), needsOwnCopy)) {
    Entries own;
    own.reserve(value.size());
    for (const Entry& entry : value.getEntries()) own.push_back(stored(entry));
    e->slots[i].assign(std::move(own));
  } else if constexpr (std::is_rvalue_reference_v<V&&>) {
    e->slots[i].assign(std::move(value.getEntries()));
  } else {
    e->slots[i].assign(value.getEntries());
  }
  m.record([&](ReportBuilder& b) { b.modified(e, p); });
}

}  // namespace

void setValue(ElementImpl* e, const PropertyImpl* p, const Value& value) { setValueAs(e, p, value); }
void setValue(ElementImpl* e, const PropertyImpl* p, Value&& value) { setValueAs(e, p, std::move(value)); }

void linkElement(ElementImpl* e, const PropertyImpl* p, ElementImpl* target, std::size_t index) {
  ModelState& m = changeableModel(e);
  ChangeScope scope(m);
  Value v{ModelElement(target)};
  checkValue(e, p, v);
  loadEndsOfLink(m, e, p, target);
  link(m, e, p, target, index);
}

}  // namespace detail

namespace {
Value read(const ModelElement& handle, const meta::Property& property, Access access) {
  ElementImpl* e = accessed(handle, access);
  const PropertyImpl* p = propertyOf(e, property);
  meta::Type type = p->getType();
  EntryType et = entryTypeOf(type);
  if (e->state == ElementImpl::State::Destroyed) return Value(ValueMeta(std::move(type), ValueMeta::NoFlags, et), {});
  if (access == Access::Public) loadForEdit(e, p);
  const detail::Slot& slot = e->slots[p->getSlotIndex()];
  ValueMeta meta(std::move(type), slot.empty() ? ValueMeta::NoFlags : ValueMeta::Present, et);
  if (p->isReference() && p->isMultiValued()) return Value(std::move(meta), slot.entries(), handle, property);
  return Value(std::move(meta), slot.entries());
}
bool readIsSet(const ModelElement& handle, const meta::Property& property, Access access) {
  ElementImpl* e = accessed(handle, access);
  const PropertyImpl* p = propertyOf(e, property);
  if (e->state == ElementImpl::State::Destroyed) return false;
  const bool filled = !e->slots[p->getSlotIndex()].empty();
  // An unloaded collection: the data source knows whether it has contents.
  if (!filled && access == Access::Public && e->isUnloaded(p->getSlotIndex()))
    if (datasource::DataSource* ds = e->model->getDataSource()) return ds->hasCollectionContents(handle, property);
  return filled;
}
void write(const ModelElement& handle, const meta::Property& property, const Value& value, Access access) {
  ElementImpl* e = accessed(handle, access);
  detail::setValue(e, propertyOf(e, property), value);
}
}  // namespace

Value ModelElement::get(const meta::Property& property) const { return read(*this, property, Access::Public); }
Value ModelElement::get(const meta::Property& property, PrivilegedTag) const {
  return read(*this, property, Access::Privileged);
}
Value ModelElement::get(const meta::Property& property, PrivilegedWithResolveTag) const {
  return read(*this, property, Access::Resolve);
}
bool ModelElement::isSet(const meta::Property& property) const { return readIsSet(*this, property, Access::Public); }
bool ModelElement::isSet(const meta::Property& property, PrivilegedTag) const {
  return readIsSet(*this, property, Access::Privileged);
}
bool ModelElement::isSet(const meta::Property& property, PrivilegedWithResolveTag) const {
  return readIsSet(*this, property, Access::Resolve);
}
void ModelElement::set(const meta::Property& property, const Value& value) {
  write(*this, property, value, Access::Public);
}
namespace detail {
void setBuiltValue(const ModelElement& element, const meta::Property& property, Value&& value) {
  ElementImpl* e = accessed(element, Access::Public);
  setValue(e, propertyOf(e, property), std::move(value));
}
}  // namespace detail
void ModelElement::set(const meta::Property& property, const Value& value, PrivilegedTag) {
  write(*this, property, value, Access::Privileged);
}
void ModelElement::set(const meta::Property& property, const Value& value, PrivilegedWithResolveTag) {
  write(*this, property, value, Access::Privileged);
}

void ModelElement::set(const meta::Property& property, const ModelElement& target) {
  ElementImpl* e = resolved(*this);
  const PropertyImpl* p = propertyOf(e, property);
  loadForEdit(e, p);
  if (!p->isReference()) cannotCast(target ? target.getMetaClass()->getQualifiedName() : u"");
  if (!target) {
    if (p->isMultiValued()) throw std::invalid_argument("qm0: a null element cannot be added to a collection");
    detail::setValue(e, p, Value::createEmptyValue(property));
    return;
  }
  detail::linkElement(e, p, asElement(target), std::numeric_limits<std::size_t>::max());
}

void ModelElement::unset(const meta::Property& property) { set(property, Value::createEmptyValue(property)); }

void ModelElement::insert(const meta::Property& property, std::size_t index, const Value& entry) {
  ElementImpl* e = resolved(*this);
  const PropertyImpl* p = propertyOf(e, property);
  loadForEdit(e, p);
  checkMultiValued(p);
  ModelState& m = changeableModel(e);
  detail::ChangeScope scope(m);
  const Entry& en = singleEntry(p, entry);
  std::vector<ElementImpl*> targets = checkValue(e, p, entry);
  detail::Slot& slot = e->slots[p->getSlotIndex()];
  if (index > slot.size()) throw std::out_of_range("qm0: insert index past the end");
  if (p->isReference()) {
    loadEndsOfLink(m, e, p, targets.front());
    link(m, e, p, targets.front(), index);
    return;
  }
  if (holdsUniqueValues(p) &&
      slot.withEntries([&](const Entries& all) { return detail::holdsEqualEntry(all, en, all.size()); }))
    duplicateEntry(p);
  checkRoom(e, p);
  m.logEdit(e, p->getSlotIndex(), detail::SlotChange::Kind::Inserted, index);
  slot.insert(index, stored(en));
  recordEntryChange(m, e, p, OCDChange::Insert, index, &en);
}

void ModelElement::append(const meta::Property& property, const Value& entry) {
  ElementImpl* e = resolved(*this);
  const PropertyImpl* p = propertyOf(e, property);
  loadForEdit(e, p);  // the end is the end of the whole collection
  insert(property, e->slots[p->getSlotIndex()].size(), entry);
}

void ModelElement::removeAt(const meta::Property& property, std::size_t index) {
  ElementImpl* e = resolved(*this);
  const PropertyImpl* p = propertyOf(e, property);
  loadForEdit(e, p);
  checkMultiValued(p);
  ModelState& m = changeableModel(e);
  detail::ChangeScope scope(m);
  detail::Slot& slot = e->slots[p->getSlotIndex()];
  if (index >= slot.size()) throw std::out_of_range("qm0: remove index past the end");
  if (p->isReference()) {
    loadEndsOfUnlink(m, e, p, targetAt(slot, index));
    unlink(m, e, p, targetAt(slot, index));
    return;
  }
  m.logEdit(e, p->getSlotIndex(), detail::SlotChange::Kind::Erased, index);
  slot.erase(index);
  recordEntryChange(m, e, p, OCDChange::Remove, index, nullptr);
}

void ModelElement::replace(const meta::Property& property, std::size_t index, const Value& entry) {
  ElementImpl* e = resolved(*this);
  const PropertyImpl* p = propertyOf(e, property);
  loadForEdit(e, p);
  checkMultiValued(p);
  ModelState& m = changeableModel(e);
  detail::ChangeScope scope(m);
  const Entry& en = singleEntry(p, entry);
  std::vector<ElementImpl*> targets = checkValue(e, p, entry);
  detail::Slot& slot = e->slots[p->getSlotIndex()];
  if (index >= slot.size()) throw std::out_of_range("qm0: replace index past the end");
  if (slot.equalsAt(index, en)) return;
  if (p->isReference()) {
    if (holds(e, p, targets.front()))
      throw std::invalid_argument("qm0: an element is twice in one reference collection");
    checkLink(e, p, targets.front(), false);  // the old target makes room here
    loadEndsOfUnlink(m, e, p, targetAt(slot, index));
    loadEndsOfLink(m, e, p, targets.front());
    unlink(m, e, p, targetAt(slot, index));
    link(m, e, p, targets.front(), index);
    return;
  }
  if (holdsUniqueValues(p) &&
      slot.withEntries([&](const Entries& all) { return detail::holdsEqualEntry(all, en, index); }))
    duplicateEntry(p);
  m.logEdit(e, p->getSlotIndex(), detail::SlotChange::Kind::Replaced, index);
  slot.replace(index, stored(en));
  recordEntryChange(m, e, p, OCDChange::Replace, index, &en);
}

bool ModelElement::remove(const meta::Property& property, const ModelElement& target) {
  ElementImpl* e = resolved(*this);
  const PropertyImpl* p = propertyOf(e, property);
  loadForEdit(e, p);
  if (!p->isReference()) cannotCast(p->getType()->getQualifiedName());
  ModelState& m = changeableModel(e);
  detail::ChangeScope scope(m);
  ElementImpl* t = asElement(target);
  if (holds(e, p, t)) loadEndsOfUnlink(m, e, p, t);
  return unlink(m, e, p, t);
}

ModelElement ModelElement::getOwner() const {
  if (!impl_ || impl_->isMetaObject()) return ModelElement();
  return ModelElement(static_cast<ElementImpl*>(impl_)->owner);
}

meta::Property ModelElement::getOwningProperty() const {
  if (!impl_ || impl_->isMetaObject()) return meta::Property();
  return meta::Property(static_cast<ElementImpl*>(impl_)->owningProperty);
}

namespace {
// An explicit stack, as for destruction: containment may be deeper than the
// call stack.
std::vector<ModelElement> contentsInMemory(const ElementImpl* root) {
  std::vector<ModelElement> out;
  if (root->state == ElementImpl::State::Destroyed) return out;
  std::vector<const ElementImpl*> stack{root};
  while (!stack.empty()) {
    const ElementImpl* e = stack.back();
    stack.pop_back();
    if (e != root) out.emplace_back(e);
    const std::size_t first = stack.size();
    for (const meta::Property& p : e->cls->getAllAttributes())
      if (p->isComposite())
        forEachTarget(e, p.operator->(), [&](const ElementImpl* t) { stack.push_back(t); });
    std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(first), stack.end());
  }
  return out;
}
}  // namespace

std::vector<ModelElement> ModelElement::getAllContents() const {
  ElementImpl* e = asElement(*this);
  // One request for the whole subtree, rather than a proxy resolution or a
  // collection load per element the walk would meet.
  if (e->state != ElementImpl::State::Destroyed)
    if (datasource::DataSource* ds = e->model->getDataSource()) ds->loadElementSubtree(*this);
  return contentsInMemory(e);
}

std::vector<ModelElement> ModelElement::getAllContents(PrivilegedTag) const {
  return contentsInMemory(asElement(*this));
}

void ModelElement::destroy() {
  ElementImpl* e = resolved(*this);
  ModelState& m = changeableModel(e);
  detail::ChangeScope scope(m);
  detail::loadEndsOfDestroy(m, e);
  detail::destroyElement(m, e);
}

}  // namespace qm::zero
