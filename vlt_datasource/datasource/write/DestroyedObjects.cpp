// Destroyed elements: their objects deleted, and the links that other
// objects hold to them through one-way references cut first, in the
// repository and in the elements that are loaded.

#include "datasource/write/ChangeWriter.hpp"

#include "datasource/ClassMapper.hpp"
#include "datasource/Diagnostics.hpp"
#include "datasource/write/ObjectConstructorCache.hpp"
#include "external/Model.hpp"
#include "external/RepositoryStatements.hpp"

#include <fl/i18n/Unicode.hpp>

#include <boost/uuid/uuid_io.hpp>

#include <algorithm>

namespace vlt_datasource {

namespace meta = qm::zero::meta;
using fl::i18n::ustring_to_utf8;

namespace {
const char* whereItIs(const qm::zero::ModelElement& element) { return element ? " in memory" : " not loaded"; }

bool holds(const qm::zero::Value& value, const qm::zero::ModelElement& target) {
  return value.size() == 1 && value.getElement() == target;
}
}  // namespace

// The caller has cut the elements' incoming links already (an active data
// source cuts those of every destroyed element first). The report lists an
// owned element before its owner; the repository takes them all at once, in
// statements per table rather than per object.
void DataSource::ChangeWriter::destroyObjects(const std::vector<qm::zero::ModelElement>& elements,
                                              const std::vector<vlt::ObjectRef>& objects) {
  repository.defaultDataModel().deleteObjects(objects);
  if (!debugLog.isEnabled(severity::detail)) return;
  for (std::size_t i = 0; i < elements.size(); ++i) {
    debugLog.log(severity::detail, "destroyed object ", boost::uuids::to_string(elements[i].getUUID()),
                 objects[i] ? " in VLT" : " not found in VLT");
  }
}

// A child that is alive in memory while its stored owner is destroyed was
// taken out of the owner first; where it went is written already (modified
// elements come before destroyed ones), so if it is still stored under the
// owner it became a root.
void DataSource::ChangeWriter::releaseLivingChildren(const qm::zero::ModelElement& element, vlt::ObjectRef& object) {
  const auto alive = [this](const vlt::ObjectRef& child) {
    const qm::zero::ModelElement loaded = model.findElement(child.objectIdentity(), qm::zero::InMemoryOnly);
    return loaded && !loaded.isDestroyed();
  };
  const ClassPlan& plan = constructors.planFor(element.getMetaClass(), object.objectClass());
  for (const auto& [property, propRef] : plan.composites) {
    if (!propRef) continue;
    if (!propRef.isMultiValue()) {
      vlt::ObjectRef child;
      object.getPropertyValue(propRef, child);
      if (child && alive(child)) object.setPropertyValue(propRef, vlt::ObjectRef());
      continue;
    }
    vlt::CollectionRef children;
    object.getPropertyValue(propRef, children);
    const std::vector<vlt::ObjectRef> stored = children.values();
    for (std::size_t i = stored.size(); i-- > 0;)
      if (alive(stored[i])) children.removeAt(i);
  }
}

namespace {

// The objects of `owningClass` (and its subclasses) whose single link
// `propRef` leads to `object`; collected before any is written, since the
// writes must not run under an open result.
std::vector<vlt::ObjectRef> referrersOf(const vlt::DataModelRepository& repository, const vlt::ClassRef& owningClass,
                                        const vlt::PropertyRef& propRef, vlt::ObjectRef& object) {
  vlt::ObjectQuery query(repository);
  vlt::ObjectRef referring;
  query.addSearchClass(owningClass, 0, vlt::SearchClassMatchMode::classAndSubclasses);
  query.addObjectConstraint(propRef, true, &object, 0);
  query.addResultObject(owningClass, &referring, 0);
  std::vector<vlt::ObjectRef> referrers;
  vlt::ObjectQuery::ResultIterator results = query.execute();
  while (results.getNextResult()) referrers.push_back(referring);
  results.clear();
  return referrers;
}

// Takes `destroyed` out of the loaded element's collection that `collection`
// stores, where the repository holds it at `index`; `privileged` is the data
// source's tag for reading what a host may not.
template <class Tag>
void removeFromLoadedCollection(qm::zero::ModelElement& loaded, const vlt::CollectionRef& collection,
                                std::size_t index, const qm::zero::ModelElement& destroyedElement, Tag privileged) {
  const meta::Property property =
      loaded.getMetaClass()->findProperty(fl::i18n::utf8_to_ustring(collection.owningProperty().name()));
  // A deferred collection that was never loaded holds nothing in memory:
  // its stored contents, read later, no longer hold the link.
  if (!property || !qm::zero::ReferenceCollection(loaded, property).isLoaded()) return;
  // Removed by position, never by a write of the whole value: the
  // collection may hold other elements destroyed in this report.
  const qm::zero::Value value = loaded.get(property, privileged);
  const qm::zero::Entries& entries = value.getEntries();
  const qm::zero::Entry destroyed(destroyedElement);
  std::size_t at = index;
  if (!property->isOrdered() || at >= entries.size() || entries[at] != destroyed)
    at = static_cast<std::size_t>(std::find(entries.begin(), entries.end(), destroyed) - entries.begin());
  if (at < entries.size()) loaded.removeAt(property, at);
}

}  // namespace

void DataSource::ChangeWriter::removeIncomingUnidirectionalAssociations(const qm::zero::ModelElement& element,
                                                                        vlt::ObjectRef& object) {
  if (!active) return;
  const boost::uuids::uuid& destroyedId = element.getUUID();
  bool multiValuedSeen = false;

  for (meta::Class cls = element.getMetaClass(); cls; cls = cls->getSuperclass()) {
    const auto incoming = classMapper.incomingProperties().find(cls);
    if (incoming == classMapper.incomingProperties().end()) continue;
    for (const meta::Property& property : incoming->second) {
      if (property->getUpper() > 1) {
        multiValuedSeen = true;
        continue;
      }
      const vlt::ClassRef owningClass =
          classMapper.getVltClass(meta::Class::downcast(property->getOwningType()), true);
      const vlt::PropertyRef propRef = owningClass.findProperty(ustring_to_utf8(property->getName()));
      if (!propRef) continue;
      for (vlt::ObjectRef& result : referrersOf(repository, owningClass, propRef, object)) {
        qm::zero::ModelElement loaded = model.findElement(result.objectIdentity(), qm::zero::InMemoryOnly);
        if (property->getUpper() == 1) {
          if (loaded && holds(loaded.get(property, privilegedTag), element))
            loaded.set(property, qm::zero::Value::createEmptyValue(property), privilegedTag);
          if (debugLog.isEnabled(severity::detail))
            debugLog.log(severity::detail, "Destroying incoming link to ", boost::uuids::to_string(destroyedId),
                         " from ", boost::uuids::to_string(result.objectIdentity()), ", object is ",
                         whereItIs(loaded));
          result.setPropertyValue(propRef, vlt::ObjectRef());
        }
      }
    }
  }
  if (!multiValuedSeen) return;

  object.processIncomingMultiValuedUnidirectionalAssociations([&](vlt::CollectionRef& collection, std::size_t index) {
    const vlt::ObjectRef& owner = collection.owningObject();
    qm::zero::ModelElement loaded = model.findElement(owner.objectIdentity(), qm::zero::InMemoryOnly);
    if (loaded) removeFromLoadedCollection(loaded, collection, index, element, privilegedTag);
    if (debugLog.isEnabled(severity::detail))
      debugLog.log(severity::detail, "Destroying incoming link to ", boost::uuids::to_string(destroyedId),
                   " from collection prop of ", boost::uuids::to_string(owner.objectIdentity()), ", object is ",
                   whereItIs(loaded));
    if (collection.owningProperty().isOrdered())
      collection.removeAt(index);
    else
      collection.remove(object);
  });
}

}  // namespace vlt_datasource
