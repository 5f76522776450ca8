// New elements, created in the repository in one pass: ids reserved in one
// block so that new objects can refer to each other, ownership given at
// construction, one constructor per class whose value cells are refilled for
// every object, and the properties that cannot be given at construction
// written once every object exists.

#include "datasource/write/ChangeWriter.hpp"

#include "datasource/Diagnostics.hpp"
#include "datasource/write/ObjectConstructorCache.hpp"

#include <boost/uuid/uuid_io.hpp>

namespace vlt_datasource {

using qm::zero::Value;

// One probe of the map: insert refuses an element it holds already, whose
// class was mapped when it was first inserted.
void DataSource::ChangeWriter::insertNewObject(const qm::zero::ModelElement& element) {
  VLTNewObjectDesc desc;
  desc.element = element;
  desc.vltClass = vltClassOf(element.getMetaClass());
  newObjects.insert(std::move(desc));
}

// The owner is named by its record: ids are given once the tree of the new
// objects is known (see addObjects).
std::size_t DataSource::ChangeWriter::setNewObjectOwnership(std::uint32_t ownerIndex, const vlt::PropertyRef& property,
                                                            std::int32_t ordinal, const qm::zero::ModelElement& child) {
  const std::size_t at = newObjects.indexOf(child.getUUID());
  if (at == NewObjectMap::npos) return at;
  VLTNewObjectDesc& desc = newObjects[at];
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
std::vector<std::uint32_t> DataSource::ChangeWriter::creationOrder(
    NewObjectMap& map, const std::vector<std::vector<std::uint32_t>>& children) {
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

std::vector<std::vector<std::uint32_t>> DataSource::ChangeWriter::placeNewChildren() {
  std::vector<std::vector<std::uint32_t>> children(newObjects.size());
  for (std::uint32_t at = 0; at < newObjects.size(); ++at) {
    VLTNewObjectDesc& owner = newObjects[at];
    const ClassPlan& plan = constructors.planFor(owner.element.getMetaClass(), owner.vltClass);
    for (const auto& [property, propRef] : plan.composites) {
      if (!owner.element.isSet(property, privilegedTagWithResolve)) continue;
      const Value value = owner.element.get(property, privilegedTagWithResolve);
      const bool ordered = property->getUpper() >= 2 && property->isOrdered();
      bool anyExisting = false;
      std::int32_t ordinal = 0;
      for (std::size_t i = 0; i < value.size(); ++i) {
        const qm::zero::ModelElement child = value.getElement(i);
        const std::size_t record = setNewObjectOwnership(at, propRef, ordinal, child);
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

void logNewObjects(NewObjectMap& map, const std::vector<std::uint32_t>& order) {
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

void DataSource::ChangeWriter::constructNewObjects(const std::vector<std::uint32_t>& order) {
  const vlt::DataModelRef dataModel = repository.defaultDataModel();
  for (const std::uint32_t at : order) {
    VLTNewObjectDesc& desc = newObjects[at];
    if (!desc.vltClass) desc.vltClass = vltClassOf(desc.element.getMetaClass());
    ClassPlan& plan = constructors.planFor(desc.element.getMetaClass(), desc.vltClass);
    for (const ClassPlan::Slot& slot : plan.slots) {
      if (slot.later) {
        desc.nonCtorProperties.emplace_back(slot.property, slot.propRef);
      } else if (slot.reference) {
        const Value target = desc.element.get(slot.property, privilegedTagWithResolve);
        const vlt::ObjectRef targetObject =
            target.isEmpty() ? vlt::ObjectRef()
                             : findVltObject(target.getElement().getUUID(), slot.propRef.typeClass());
        if (!target.isEmpty() && !targetObject) {
          reportDroppedEntry(desc.element, slot.property, "a link to an element that is not stored");
        }
        slot.cell->assign(desc.element, target, *this, targetObject);
      } else {
        slot.cell->assign(desc.element, desc.element.get(slot.property, privilegedTag), *this, vlt::ObjectRef());
      }
    }
    plan.constructor->setObjectID(desc.objectId);
    plan.constructor->setObjectUUID(desc.element.getUUID());
    *plan.membership = {desc.owningProperty, desc.ownerId, desc.ordinal};
    plan.constructor->createObject(dataModel);
  }
}

void DataSource::ChangeWriter::addObjects() {
  NewObjectMap& map = newObjects;
  if (map.empty()) return;
  // Who owns whom among the new objects: a child is created in its place.
  const std::vector<std::uint32_t> order = creationOrder(map, placeNewChildren());
  vlt::ObjectId nextId = 0;
  repository.allocateObjectIds(map.size(), nextId);
  for (const std::uint32_t at : order) {
    map[at].objectId = nextId++;
    // Checked before it is used: a write that fails leaves it stale.
    map[at].element.setStoreHint(map[at].objectId, privilegedTag);
  }
  for (const std::uint32_t at : order)
    if (map[at].ownerIndex != VLTNewObjectDesc::noOwner) map[at].ownerId = map[map[at].ownerIndex].objectId;
  logNewObjects(map, order);
  constructNewObjects(order);

  // The records keep no handle of their objects (a million of them would be
  // 70 MiB more to write): one is made from the id where it is needed.
  for (const std::uint32_t at : order) {
    VLTNewObjectDesc& desc = map[at];
    if (desc.nonCtorProperties.empty()) continue;
    vlt::ObjectRef object = repository.getObjectRef(desc.objectId, desc.vltClass);
    for (const auto& [property, propRef] : desc.nonCtorProperties) {
      setVltPropertyValueForNewObject(desc.element, property, propRef, object);
      debugLog.log(severity::detail, "---> setting non ctor prop ", property->getName());
    }
  }
}

}  // namespace vlt_datasource
