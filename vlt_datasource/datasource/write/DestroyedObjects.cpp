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
#include <unordered_map>
#include <utility>

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
// owner it became a root. The children of all destroyed objects are read
// together; only the living ones cost more.
void DataSource::ChangeWriter::releaseLivingChildren(const std::vector<vlt::ObjectRef>& objects) {
  for (const vlt::LinkEntry& owned : repository.defaultDataModel().ownedObjects(objects)) {
    const vlt::ObjectRef& child = owned.target;
    const qm::zero::ModelElement loaded = model.findElement(child.objectIdentity(), qm::zero::InMemoryOnly);
    if (!loaded || loaded.isDestroyed()) continue;
    vlt::ObjectRef owner;
    vlt::PropertyRef through;
    child.getOwnership(owner, through);
    if (!through.isMultiValue()) {
      owner.setPropertyValue(through, vlt::ObjectRef());
      continue;
    }
    vlt::CollectionRef children;
    owner.getPropertyValue(through, children);
    const std::size_t at = children.indexOf(child);
    if (at != vlt::CollectionRef::npos) children.removeAt(at);
  }
}

namespace {

// Takes `destroyed` out of the loaded element's collection `incoming`, where
// the repository holds it at `index`; `privileged` is the data source's tag
// for reading what a host may not.
template <class Tag>
void removeFromLoadedCollection(qm::zero::ModelElement& loaded, const meta::Property& incoming, std::size_t index,
                                const qm::zero::ModelElement& destroyedElement, Tag privileged) {
  const meta::Property property = loaded.getMetaClass()->findProperty(incoming->getName());
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

// Per one-way property into the destroyed elements' classes, the links of
// all of them are found together (the repository's deletion cuts them where
// they are stored); the loaded elements that hold them let go of them.
void DataSource::ChangeWriter::removeIncomingUnidirectionalAssociations(
    const std::vector<qm::zero::ModelElement>& elements, const std::vector<vlt::ObjectRef>& objects) {
  if (!active) return;
  std::vector<std::pair<meta::Property, std::vector<vlt::ObjectRef>>> targets;
  std::unordered_map<meta::Property, std::size_t> slotOf;
  std::unordered_map<vlt::ObjectId, std::size_t> elementOf;
  for (std::size_t i = 0; i < elements.size(); ++i) {
    if (!objects[i]) continue;
    elementOf.emplace(objects[i].objectId(), i);
    for (meta::Class cls = elements[i].getMetaClass(); cls; cls = cls->getSuperclass()) {
      const auto incoming = classMapper.incomingProperties().find(cls);
      if (incoming == classMapper.incomingProperties().end()) continue;
      for (const meta::Property& property : incoming->second) {
        const auto slot = slotOf.emplace(property, targets.size());
        if (slot.second) targets.emplace_back(property, std::vector<vlt::ObjectRef>());
        targets[slot.first->second].second.push_back(objects[i]);
      }
    }
  }
  for (const auto& [property, into] : targets) {
    const vlt::ClassRef owningClass = classMapper.getVltClass(meta::Class::downcast(property->getOwningType()), true);
    const vlt::PropertyRef propRef = owningClass.findProperty(ustring_to_utf8(property->getName()));
    if (!propRef) continue;
    for (const vlt::IncomingLink& link : repository.defaultDataModel().linksInto(propRef, into)) {
      const qm::zero::ModelElement& element = elements[elementOf.at(link.target)];
      qm::zero::ModelElement loaded = model.findElement(link.holder.objectIdentity(), qm::zero::InMemoryOnly);
      if (loaded && property->getUpper() == 1 && holds(loaded.get(property, privilegedTag), element))
        loaded.set(property, qm::zero::Value::createEmptyValue(property), privilegedTag);
      else if (loaded && property->getUpper() > 1)
        removeFromLoadedCollection(loaded, property, link.index, element, privilegedTag);
      if (debugLog.isEnabled(severity::detail))
        debugLog.log(severity::detail, "Destroying incoming link to ", boost::uuids::to_string(element.getUUID()),
                     property->getUpper() > 1 ? " from collection prop of " : " from ",
                     boost::uuids::to_string(link.holder.objectIdentity()), ", object is ", whereItIs(loaded));
    }
  }
}

}  // namespace vlt_datasource
