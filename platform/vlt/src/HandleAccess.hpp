#pragma once
// Making the public handles of one repository, and reading what is inside
// them. The handles keep their members private and trust this class alone:
// the parts make and read handles through it without knowing the core that
// assembles them.

#include "MetamodelInfo.hpp"

#include <vlt/Collections.hpp>
#include <vlt/Metamodel.hpp>
#include <vlt/Object.hpp>

#include <memory>

namespace vlt::detail {

/// Handles keep the core alive: what they are made with is its shared owner.
class HandleAccess {
 public:
  /// `self` is the core, `owner` the same object as its shared owners know it.
  HandleAccess(Core& self, std::enable_shared_from_this<Core>& owner) noexcept : self_(self), owner_(owner) {}
  HandleAccess(const HandleAccess&) = delete;
  HandleAccess& operator=(const HandleAccess&) = delete;

  ClassRef classRef(const ClassInfo* c) const { return ClassRef(owner_.shared_from_this(), c); }
  PropertyRef propertyRef(const PropertyInfo* p) const { return PropertyRef(owner_.shared_from_this(), p); }
  EnumerationRef enumerationRef(const EnumerationInfo* e) const {
    return EnumerationRef(owner_.shared_from_this(), e);
  }
  EnumeralRef enumeralRef(const EnumerationInfo* e, std::size_t index) const {
    return EnumeralRef(owner_.shared_from_this(), e, index, e->literals[index].value);
  }
  ObjectRef objectRef(const ClassInfo* cls, ObjectId id) const {
    return ObjectRef(owner_.shared_from_this(), cls, id);
  }
  ObjectRef objectRef(const ClassInfo* cls, ObjectId id, const boost::uuids::uuid& uuid) const {
    return ObjectRef(owner_.shared_from_this(), cls, id, uuid);
  }
  /// Whether the handle was made by this repository.
  bool ours(const PropertyRef& p) const noexcept { return p.core_.get() == &self_; }
  bool ours(const ObjectRef& o) const noexcept { return o.core_.get() == &self_; }

  static const ClassInfo* info(const ClassRef& c) noexcept { return c.info_; }
  static const PropertyInfo* info(const PropertyRef& p) noexcept { return p.info_; }
  static const EnumerationInfo* info(const EnumerationRef& e) noexcept { return e.info_; }
  static const EnumerationInfo* enumerationOf(const EnumeralRef& e) noexcept { return e.enumeration_; }
  static Core* core(const ClassRef& c) noexcept { return c.core_.get(); }
  static Core* core(const PropertyRef& p) noexcept { return p.core_.get(); }
  static Core* core(const ObjectRef& o) noexcept { return o.core_.get(); }
  static const ClassInfo* classOf(const ObjectRef& o) noexcept { return o.class_; }
  /// The uuid the handle carries, or null when it was made without one.
  static const boost::uuids::uuid* knownIdentity(const ObjectRef& o) noexcept {
    return o.uuidKnown_ ? &o.uuid_ : nullptr;
  }
  static void rememberIdentity(const ObjectRef& o, const boost::uuids::uuid& uuid) noexcept {
    o.uuid_ = uuid;
    o.uuidKnown_ = true;
  }
  static void setCollection(CollectionRefBase& c, const ObjectRef& owner, const PropertyRef& property) {
    c.owner_ = owner;
    c.property_ = property;
  }

 private:
  Core& self_;
  std::enable_shared_from_this<Core>& owner_;
};

}  // namespace vlt::detail
