// Model elements: the counted handle, an element's block of memory, making
// elements and proxies, and what a handle tells of its element's identity.

#include <qm/zero/ElementId.hpp>
#include <qm/zero/Messages.hpp>
#include <qm/zero/ModelElement.hpp>

#include "MetaInternal.hpp"
#include "ModelState.hpp"

#include <foundation/core/except/Exception.hpp>

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

namespace qm::zero {

using detail::ElementImpl;
using detail::ModelState;
using foundation::core::except::throwException;

// ---------------------------------------------------------------------------
// The handle.

void ModelElement::retain() const noexcept {
  if (impl_->countOwner_ != nullptr) impl_->countOwner_->refs_.fetch_add(1, std::memory_order_relaxed);
}

void ModelElement::release() noexcept {
  if (impl_->countOwner_ != nullptr && impl_->countOwner_->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1)
    delete impl_->countOwner_;
}

ModelElement& ModelElement::operator=(const ModelElement& other) noexcept {
  ModelElement copy(other);
  std::swap(impl_, copy.impl_);
  return *this;
}

meta::Class ModelElement::metaClass() { return meta::Class(meta::internal::builtins().root); }

// ---------------------------------------------------------------------------
// Element state.

namespace detail {

ElementImpl* ElementImpl::make(const meta::Class& c, const boost::uuids::uuid& uuid, Model::Impl* m) {
  const std::uint32_t count = c->getAttributeCount();
  void* block = ::operator new(sizeof(ElementImpl) + count * sizeof(Slot));
  auto* slots = reinterpret_cast<Slot*>(static_cast<unsigned char*>(block) + sizeof(ElementImpl));
  for (std::uint32_t i = 0; i < count; ++i) new (slots + i) Slot();
  return new (block) ElementImpl(c, uuid, m, std::launder(slots));
}

ElementImpl::ElementImpl(const meta::Class& c, const boost::uuids::uuid& uuid, Model::Impl* m, Slot* inBlock) noexcept
    : ModelElement::Impl(Kind::Element, c.get(), uuid, nullptr),
      cls(c),
      model(m),
      slots(inBlock),
      slotCount(c->getAttributeCount()) {}

ElementImpl::~ElementImpl() { dropSlots(); }

void ElementImpl::dropSlots() noexcept {
  if (slotsApart) {
    delete[] slots;
    return;
  }
  for (std::uint32_t i = 0; i < slotCount; ++i) slots[i].~Slot();
}

void ElementImpl::refineClass(const meta::Class& subclass) {
  cls = subclass;
  setMetaClassImpl(subclass.get());
  // Rare (a proxy loaded as a subclass, or that undone): the slots move to
  // a block of their own rather than fit the element's.
  const std::uint32_t count = subclass->getAttributeCount();
  auto resized = std::make_unique<Slot[]>(count);
  for (std::uint32_t i = 0; i < std::min(count, slotCount); ++i) resized[i] = std::move(slots[i]);
  dropSlots();
  slots = resized.release();
  slotCount = count;
  slotsApart = true;
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Making elements and proxies; identity.

ModelElement ModelElement::createReflective(const Model& model, const meta::Class& cls, const boost::uuids::uuid& uuid) {
  if (!model) throw std::invalid_argument("qm0: null model");
  if (!cls) throw std::invalid_argument("qm0: null class");
  if (cls->isAbstract()) throw std::invalid_argument("qm0: an abstract class has no instances");
  if (!cls->getPackageImpl()->isComplete()) throw std::invalid_argument("qm0: the class's package is not built yet");
  ModelState& m = model->state();
  // In a large model the uuid's bucket is a cache miss: it loads while the
  // element is made, and only then is the uuid checked.
  m.elements.prefetch(uuid);
  m.checkChange();
  detail::ChangeScope scope(m);
  ElementImpl* e = nullptr;
  ModelElement handle;
  // A uuid is never both a proxy's and an element's.
  if (ModelElement::Impl* proxy = m.proxies.find(uuid)) {
    // Loading the proxy: it becomes the element, so every handle to it stays valid.
    e = static_cast<ElementImpl*>(proxy);
    handle = ModelElement(proxy);
    if (!cls->conformsTo(e->cls.operator->()))
      throw std::invalid_argument("qm0: a proxy can only become an element of its class or a subclass");
    m.touch(e);
    m.leaveTable(e);
    if (e->cls != cls) {
      m.classRefined(e);
      e->refineClass(cls);
    }
  } else {
    e = ElementImpl::make(cls, uuid, model.get());
    handle = ModelElement(e);
    if (m.elements.contains(uuid)) throwException(qm0::messages::DuplicateElementId(boost::uuids::to_string(uuid)));
    m.born(e);  // a rollback removes it again
  }
  e->state = ElementImpl::State::Live;
  m.enterTable(e);
  if (m.dataSourceModification > 0) {
    // Loaded by a data source: deferred collections come later, on demand.
    for (const std::uint32_t slot : cls->getDeferredCollectionSlots()) {
      m.saveSlot(e, slot);  // a loaded proxy's flag goes back with a rollback
      e->slots[slot].setUnloaded(true);
    }
  }
  m.record([&](ReportBuilder& b) { b.created(handle); });
  return handle;
}

ModelElement ModelElement::createReflective(const Model& model, const meta::Class& cls) {
  static thread_local boost::uuids::random_generator generate;
  return createReflective(model, cls, generate());
}

ModelElement ModelElement::createProxy(const Model& model, const meta::Class& cls, const ProxyId& id) {
  if (id.getElementId().getType() != ElementId::UUID_TYPE)
    throw std::invalid_argument("qm0: a proxy needs a uuid element id");
  if (id.getUUID()) return createProxy(model, cls, *id.getUUID());
  const std::u16string& text = id.getElementId().getId();
  boost::uuids::uuid uuid;
  if (!ElementId::parseUUID(text, uuid)) {
    try {
      uuid = boost::uuids::string_generator()(std::string(text.begin(), text.end()));  // braces, no hyphens
    } catch (const std::runtime_error&) {
      throw std::invalid_argument("qm0: a proxy's id text is not a uuid");
    }
  }
  return createProxy(model, cls, uuid);
}

ModelElement ModelElement::createProxy(const Model& model, const meta::Class& cls, const boost::uuids::uuid& uuid) {
  if (!model) throw std::invalid_argument("qm0: null model");
  if (!cls) throw std::invalid_argument("qm0: null class");
  ModelState& m = model->state();
  if (ModelElement::Impl* e = m.elements.find(uuid)) return ModelElement(e);
  if (ModelElement::Impl* e = m.proxies.find(uuid)) return ModelElement(e);
  if (!cls->getPackageImpl()->isComplete()) throw std::invalid_argument("qm0: the class's package is not built yet");
  m.checkChange();
  auto* e = ElementImpl::make(cls, uuid, model.get());
  ModelElement handle(e);
  m.born(e);
  e->state = ElementImpl::State::Proxy;
  m.enterTable(e);
  return handle;
}

bool ModelElement::isProxy() const {
  return impl_ && !impl_->isMetaObject() && static_cast<ElementImpl*>(impl_)->state == ElementImpl::State::Proxy;
}

meta::Class ModelElement::getMetaClass() const { return impl_ ? impl_->getMetaClass() : meta::Class(); }

const boost::uuids::uuid& ModelElement::getUUID() const {
  if (!impl_) throw std::invalid_argument("qm0: null element");
  return impl_->getUUID();
}

Model ModelElement::getModel() const {
  if (!impl_ || impl_->isMetaObject()) return Model();
  auto* e = static_cast<ElementImpl*>(impl_);
  return e->state != ElementImpl::State::Destroyed ? Model(e->model) : Model();
}

bool ModelElement::isDestroyed() const {
  return impl_ && !impl_->isMetaObject() && static_cast<ElementImpl*>(impl_)->state == ElementImpl::State::Destroyed;
}

std::uint64_t ModelElement::getStoreHint() const noexcept {
  return impl_ && !impl_->isMetaObject() ? static_cast<ElementImpl*>(impl_)->storeHint : 0;
}

void ModelElement::setStoreHint(std::uint64_t hint, PrivilegedTag) noexcept {
  if (impl_ && !impl_->isMetaObject()) static_cast<ElementImpl*>(impl_)->storeHint = hint;
}

std::u16string ModelElement::toString() const {
  if (!impl_) return u"null";
  meta::Class c = impl_->getMetaClass();
  const std::string id = boost::uuids::to_string(impl_->getUUID());
  return (c ? c->getQualifiedName() : std::u16string()) + u" " + std::u16string(id.begin(), id.end());
}

}  // namespace qm::zero
