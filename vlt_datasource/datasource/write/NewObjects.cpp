// New elements, created in the repository in one pass: ids reserved in one
// block so that new objects can refer to each other, ownership given at
// construction, one constructor per class whose value cells are refilled for
// every object, and the properties that cannot be given at construction
// written once every object exists.

#include <vlt_datasource/DataSource.hpp>

#include "datasource/Diagnostics.hpp"
#include "datasource/write/ObjectConstructorCache.hpp"
#include "serialization/ValueText.hpp"

#include <fl/i18n/Unicode.hpp>

#include <boost/uuid/uuid_io.hpp>


namespace vlt_datasource {

namespace meta = qm::zero::meta;
using fl::i18n::ustring_to_utf8;
using qm::zero::Value;

/// The cell of one property of kind `K`, holding `K::Cell`: optional for
/// every single value but arrays and links (a value the element does not
/// hold is stored absent, required or not).
template <class K>
class TypedValueLocation final : public ValueLocation {
 public:
  TypedValueLocation(const meta::Property& property, const PropertyStorage& storage) : type(property->getType()) {
    if constexpr (K::form == ValueForm::datatypeText)
      stringifier = std::make_unique<DatatypeSerializerStringifier>();
    else if constexpr (K::form == ValueForm::primitiveText)
      stringifier = std::make_unique<PrimitiveSerializerStringifier>(storage.serializer);
  }

  void bindAsSource(vlt::ObjectConstructor& constructor, const vlt::PropertyRef& property) override {
    constructor.setPropertyValueSource(property, value.get());
  }

  void assign(const Value& from, DataSource& dataSource, const vlt::ObjectRef& object) override {
    if constexpr (K::form == ValueForm::object) {
      *value = object;
    } else if constexpr (K::form == ValueForm::array) {
      *value = from.isEmpty() ? nullptr : from.get<matrix::qxArray_tag*>();
    } else if (from.size() != 1) {
      *value = boost::none;
    } else if constexpr (K::form == ValueForm::builtin) {
      *value = from.get<typename K::Framework>();
    } else if constexpr (K::form == ValueForm::enumeral) {
      *value = dataSource.vltEnumeralOf(type, from);
    } else {
      // Through the serializer, as every stored text: a value of another
      // kind fails there with CannotCastIncompatibleTypes.
      *value = stringifier->stringify(from);
    }
  }

 private:
  std::unique_ptr<typename K::Cell> value = std::make_unique<typename K::Cell>();
  meta::Type type;
  std::unique_ptr<Stringifier> stringifier;
};

namespace {

std::unique_ptr<ValueLocation> makeCell(const meta::Property& property, const PropertyStorage& storage) {
  return visitKind(storage.kind, [&](auto kind) -> std::unique_ptr<ValueLocation> {
    using K = decltype(kind);
    if constexpr (K::form == ValueForm::none)
      return nullptr;
    else
      return std::make_unique<TypedValueLocation<K>>(property, storage);
  });
}

}  // namespace

ObjectConstructorCache::ObjectConstructorCache() = default;
ObjectConstructorCache::~ObjectConstructorCache() = default;

const PropertyStorage& ObjectConstructorCache::storage(const meta::Property& property) {
  const auto found = storages.find(property);
  if (found != storages.end()) return found->second;
  return storages.emplace(property, storageOf(property)).first->second;
}

ValueLocation* ObjectConstructorCache::cellFor(const meta::Property& property) {
  if (withoutCell.count(property) != 0) return nullptr;
  const auto found = cells.find(property);
  if (found != cells.end()) return found->second.get();
  std::unique_ptr<ValueLocation> cell = makeCell(property, storage(property));
  if (!cell) {
    withoutCell.insert(property);
    return nullptr;
  }
  return cells.emplace(property, std::move(cell)).first->second.get();
}

ClassPlan& ObjectConstructorCache::planFor(const meta::Class& cls, const vlt::ClassRef& vltClass) {
  std::unique_ptr<ClassPlan>& known = plans[cls.get()];
  if (known) return *known;

  auto plan = std::make_unique<ClassPlan>();
  plan->vltClass = vltClass;
  plan->constructor = std::make_unique<vlt::ObjectConstructor>(vltClass);
  plan->membership = std::make_unique<ClassPlan::Membership>();
  for (meta::Class c = cls; c; c = c->getSuperclass()) {
    for (const auto& [name, property] : c->getOwnedAttributes()) {
      if (property->isNotStored()) continue;
      const bool reference = storage(property).kind == ValueKind::reference;
      const bool composite = reference && property->isComposite();
      if (composite) {
        plan->composites.emplace_back(property, vltClass.findProperty(ustring_to_utf8(name)));
        continue;  // its content is its children's membership
      }
      if (property->getUpper() != 1) {
        plan->slots.push_back({property, nullptr, vltClass.findProperty(ustring_to_utf8(name)), reference, true});
        continue;
      }
      ValueLocation* cell = cellFor(property);
      const vlt::PropertyRef propRef = cell ? vltClass.findProperty(ustring_to_utf8(name)) : vlt::PropertyRef();
      if (!propRef) continue;
      cell->bindAsSource(*plan->constructor, propRef);
      plan->slots.push_back({property, cell, propRef, reference, false});
    }
  }
  ClassPlan::Membership& membership = *plan->membership;
  plan->constructor->setCompositionMembershipSource(&membership.property, &membership.ownerId, &membership.ordinal);
  known = std::move(plan);
  return *known;
}

// One probe of the map: insert refuses an element it holds already, whose
// class was mapped when it was first inserted.
void DataSource::insertElementIntoIntoNewObjectMap(const qm::zero::ModelElement& element, NewObjectMap& map) {
  VLTNewObjectDesc desc;
  desc.element = element;
  desc.vltClass = vltClassOf(element.getMetaClass());
  map.insert(std::move(desc));
}

// The owner is named by its record: ids are given once the tree of the new
// objects is known (see addObjects).
std::size_t DataSource::setNewObjectOwnership(std::uint32_t ownerIndex, const vlt::PropertyRef& property,
                                              std::int32_t ordinal, const qm::zero::ModelElement& child,
                                              NewObjectMap& map) {
  const std::size_t at = map.indexOf(child.getUUID());
  if (at == NewObjectMap::npos) return at;
  VLTNewObjectDesc& desc = map[at];
  desc.owningProperty = property;
  desc.ownerIndex = ownerIndex;
  desc.ordinal = ordinal;
  return at;
}

// The records in creation order: each tree of new objects depth first, an
// owner before its children, children in the order of their collections,
// trees in the order their roots were inserted. Objects made in this order
// are written where their owners' rows were just written, which keeps a
// large write's database pages in the cache.
std::vector<std::uint32_t> DataSource::creationOrder(NewObjectMap& map,
                                                    const std::vector<std::vector<std::uint32_t>>& children) {
  const std::size_t count = map.size();
  std::vector<std::uint32_t> order;
  order.reserve(count);
  std::vector<bool> placed(count, false);
  std::vector<std::uint32_t> stack;
  const auto walk = [&](std::uint32_t root) {
    stack.push_back(root);
    while (!stack.empty()) {
      const std::uint32_t at = stack.back();
      stack.pop_back();
      if (placed[at]) continue;
      placed[at] = true;
      order.push_back(at);
      const std::vector<std::uint32_t>& kids = children[at];
      for (auto kid = kids.rbegin(); kid != kids.rend(); ++kid)
        if (map[*kid].ownerIndex == at) stack.push_back(*kid);  // the last owner named wins
    }
  };
  for (std::uint32_t at = 0; at < count; ++at)
    if (map[at].ownerIndex == VLTNewObjectDesc::noOwner) walk(at);
  // An ownership cycle cannot come from a model; should one come anyway,
  // its objects are still made.
  for (std::uint32_t at = 0; at < count; ++at)
    if (!placed[at]) walk(at);
  return order;
}

std::vector<std::vector<std::uint32_t>> DataSource::placeNewChildren(NewObjectMap& map) {
  ObjectConstructorCache& cache = constructors();
  std::vector<std::vector<std::uint32_t>> children(map.size());
  for (std::uint32_t at = 0; at < map.size(); ++at) {
    VLTNewObjectDesc& owner = map[at];
    const ClassPlan& plan = cache.planFor(owner.element.getMetaClass(), owner.vltClass);
    for (const auto& [property, propRef] : plan.composites) {
      if (!owner.element.isSet(property, privilegedTagWithResolve)) continue;
      const Value value = owner.element.get(property, privilegedTagWithResolve);
      const bool ordered = property->getUpper() >= 2 && property->isOrdered();
      bool anyExisting = false;
      std::int32_t ordinal = 0;
      for (std::size_t i = 0; i < value.size(); ++i) {
        const qm::zero::ModelElement child = value.getElement(i);
        const std::size_t record = setNewObjectOwnership(at, propRef, ordinal, child, map);
        if (record != NewObjectMap::npos)
          children[at].push_back(static_cast<std::uint32_t>(record));
        else
          anyExisting = true;
        if (ordered) ++ordinal;
      }
      // Children that exist already join by a write of the whole value.
      if (anyExisting) owner.nonCtorProperties.emplace_back(property, propRef);
    }
  }
  return children;
}

namespace {

// A template, as a function outside the class cannot name its map type.
template <class NewObjects>
void logNewObjects(NewObjects& map, const std::vector<std::uint32_t>& order) {
  if (!debugLog.isEnabled(severity::detail)) return;
  debugLog.log(severity::detail, "Objects to be added to VLT:");
  for (const std::uint32_t at : order) {
    const auto& desc = map[at];
    debugLog.log(severity::detail, "   ", boost::uuids::to_string(desc.element.getUUID()), " (", desc.objectId, ")");
    if (!desc.owningProperty) continue;
    debugLog.log(severity::detail, "   , owned by ", desc.ownerId, ".", desc.owningProperty.name());
    if (desc.owningProperty.isMultiValue() && desc.owningProperty.isOrdered())
      debugLog.log(severity::detail, "   , ordinal=", desc.ordinal);
  }
}

}  // namespace

void DataSource::constructNewObjects(NewObjectMap& map, const std::vector<std::uint32_t>& order) {
  const vlt::DataModelRef dataModel = repository.defaultDataModel();
  ObjectConstructorCache& cache = constructors();
  for (const std::uint32_t at : order) {
    VLTNewObjectDesc& desc = map[at];
    if (!desc.vltClass) desc.vltClass = vltClassOf(desc.element.getMetaClass());
    ClassPlan& plan = cache.planFor(desc.element.getMetaClass(), desc.vltClass);
    for (const ClassPlan::Slot& slot : plan.slots) {
      if (slot.later) {
        desc.nonCtorProperties.emplace_back(slot.property, slot.propRef);
      } else if (slot.reference) {
        const Value target = desc.element.get(slot.property, privilegedTagWithResolve);
        const vlt::ObjectRef targetObject =
            target.isEmpty() ? vlt::ObjectRef()
                             : findVltObject(target.getElement().getUUID(), map, slot.propRef.typeClass());
        slot.cell->assign(target, *this, targetObject);
      } else {
        slot.cell->assign(desc.element.get(slot.property, privilegedTag), *this, vlt::ObjectRef());
      }
    }
    plan.constructor->setObjectID(desc.objectId);
    plan.constructor->setObjectUUID(desc.element.getUUID());
    *plan.membership = {desc.owningProperty, desc.ownerId, desc.ordinal};
    plan.constructor->createObject(dataModel);
  }
}

void DataSource::addObjects(NewObjectMap& map) {
  if (map.empty()) return;
  // Who owns whom among the new objects: a child is created in its place.
  const std::vector<std::uint32_t> order = creationOrder(map, placeNewChildren(map));
  vlt::ObjectId nextId = 0;
  repository.allocateObjectIds(map.size(), nextId);
  for (const std::uint32_t at : order) map[at].objectId = nextId++;
  for (const std::uint32_t at : order)
    if (map[at].ownerIndex != VLTNewObjectDesc::noOwner) map[at].ownerId = map[map[at].ownerIndex].objectId;
  logNewObjects(map, order);
  constructNewObjects(map, order);

  // The records keep no handle of their objects (a million of them would be
  // 70 MiB more to write): one is made from the id where it is needed.
  for (const std::uint32_t at : order) {
    VLTNewObjectDesc& desc = map[at];
    if (desc.nonCtorProperties.empty()) continue;
    vlt::ObjectRef object = repository.getObjectRef(desc.objectId, desc.vltClass);
    for (const auto& [property, propRef] : desc.nonCtorProperties) {
      setVltPropertyValueForNewObject(desc.element, property, propRef, object, map);
      debugLog.log(severity::detail, "---> setting non ctor prop ", property->getName());
    }
  }
}

}  // namespace vlt_datasource
