#pragma once
// The constructors of new objects: one vlt::ObjectConstructor per repository
// class, whose value sources are bound once to value cells that are refilled
// for every object. What a class's objects need is worked out once too: which
// properties fill a cell, which are written after creation, which own
// children.

#include <vlt_datasource/DataSource.hpp>

#include "datasource/ValueKinds.hpp"
#include "external/Model.hpp"
#include "external/RepositoryStatements.hpp"

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace vlt_datasource {

class Stringifier;

/// One property's value, held where a constructor reads it.
class ValueLocation {
 public:
  virtual ~ValueLocation() = default;
  virtual void bindAsSource(vlt::ObjectConstructor& constructor, const vlt::PropertyRef& property) = 0;
  /// Stores `value` (of the property's type) of `element`, an enumeration
  /// literal as `writer`'s enumeral of it (a literal the stored enumeration
  /// lacks is left out, with a warning); a reference cell stores `object`,
  /// the target already turned into a repository object.
  virtual void assign(const qm::zero::ModelElement& element, const qm::zero::Value& value,
                      DataSource::ChangeWriter& writer, const vlt::ObjectRef& object) = 0;
};

/// How a class's objects are made.
struct ClassPlan {
  struct Slot {
    qm::zero::meta::Property property;
    ValueLocation* cell = nullptr;  // null: not written at construction
    vlt::PropertyRef propRef;       // the repository property
    bool reference = false;         // the cell takes the target's object
    bool later = false;             // written after every new object exists
  };
  struct Membership {
    vlt::PropertyRef property;
    std::int32_t ownerId = 0;
    std::int32_t ordinal = 0;
  };

  vlt::ClassRef vltClass;
  std::unique_ptr<vlt::ObjectConstructor> constructor;
  std::unique_ptr<Membership> membership;  // bound by address: never moves
  /// The class's properties and its superclasses', most derived class first.
  std::vector<Slot> slots;
  /// The stored composite references: where new children are found.
  std::vector<std::pair<qm::zero::meta::Property, vlt::PropertyRef>> composites;
};

class ObjectConstructorCache {
 public:
  ObjectConstructorCache();
  ~ObjectConstructorCache();

  /// The plan of `cls`, whose repository class is `vltClass`, made the first
  /// time it is asked for.
  ClassPlan& planFor(const qm::zero::meta::Class& cls, const vlt::ClassRef& vltClass);
  /// Forgets every plan: a rollback may have taken away the repository class
  /// or properties a plan is bound to.
  void forgetPlans() noexcept { plans.clear(); }

  /// storageOf(property), remembered.
  const PropertyStorage& storage(const qm::zero::meta::Property& property);

 private:
  ValueLocation* cellFor(const qm::zero::meta::Property& property);

  std::unordered_map<const void*, std::unique_ptr<ClassPlan>> plans;  // by framework class
  std::unordered_map<qm::zero::meta::Property, std::unique_ptr<ValueLocation>> cells;
  std::unordered_set<qm::zero::meta::Property> withoutCell;
  std::unordered_map<qm::zero::meta::Property, PropertyStorage> storages;
};

}  // namespace vlt_datasource
