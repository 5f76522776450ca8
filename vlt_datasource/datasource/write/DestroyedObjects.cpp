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
using fl::i18n::utf8_to_ustring;

namespace {
const char* whereItIs(const qm::zero::ModelElement& element) { return element ? " in memory" : " not loaded"; }

bool holds(const qm::zero::Value& value, const qm::zero::ModelElement& target) {
  return value.size() == 1 && value.getElement() == target;
}
}  // namespace

// The report lists an owned element before its owner; the repository
// takes them all at once, in statements per table rather than per object,
// and says which links it cut in the objects it left.
//
// A child that is alive in memory while its stored owner is destroyed was
// taken out of the owner first; where it went is written already (modified
// elements come before destroyed ones), so if it is still stored under the
// owner it became a root, and the deletion keeps it as one. The deletion
// shows each object it would take without the report naming it: a report
// names every element destroyed in memory, so only such children, and
// children memory never loaded, are shown.
void DataSource::ChangeWriter::destroyObjects(const std::vector<qm::zero::ModelElement>& elements,
                                              const std::vector<vlt::ObjectRef>& objects) {
  const auto livesOn = [this](const vlt::ObjectRef& child) {
    const qm::zero::ModelElement loaded = model.findElement(child.objectIdentity(), qm::zero::InMemoryOnly);
    return loaded && !loaded.isDestroyed();
  };
  const std::vector<vlt::CutLink> cut = repository.defaultDataModel().deleteObjectsCuttingLinks(objects, livesOn);
  if (active) cutLinksInLoadedElements(elements, objects, cut);
  if (!debugLog.isEnabled(severity::detail)) return;
  for (std::size_t i = 0; i < elements.size(); ++i) {
    debugLog.log(severity::detail, "destroyed object ", boost::uuids::to_string(elements[i].getUUID()),
                 objects[i] ? " in VLT" : " not found in VLT");
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

// The stored links were cut by the deletion; the loaded elements that hold
// them through one-way properties let go of them too (two-way links memory
// cut at both ends when it destroyed the elements).
void DataSource::ChangeWriter::cutLinksInLoadedElements(const std::vector<qm::zero::ModelElement>& elements,
                                                        const std::vector<vlt::ObjectRef>& objects,
                                                        const std::vector<vlt::CutLink>& cut) {
  if (cut.empty()) return;
  std::unordered_map<vlt::ObjectId, std::size_t> elementOf;
  for (std::size_t i = 0; i < elements.size(); ++i)
    if (objects[i]) elementOf.emplace(objects[i].objectId(), i);
  for (const vlt::CutLink& link : cut) {
    const auto destroyed = elementOf.find(link.link.target);
    if (destroyed == elementOf.end()) continue;  // owned by a destroyed element, never loaded
    const qm::zero::ModelElement& element = elements[destroyed->second];
    qm::zero::ModelElement loaded = model.findElement(link.link.holder.objectIdentity(), qm::zero::InMemoryOnly);
    const meta::Property property =
        loaded ? loaded.getMetaClass()->findProperty(utf8_to_ustring(link.property.name())) : meta::Property();
    if (property && !property->hasOpposite() && !property->isComposite() && !property->isNotStored()) {
      if (property->getUpper() == 1 && holds(loaded.get(property, privilegedTag), element))
        loaded.set(property, qm::zero::Value::createEmptyValue(property), privilegedTag);
      else if (property->getUpper() > 1)
        removeFromLoadedCollection(loaded, property, link.link.index, element, privilegedTag);
    }
    if (debugLog.isEnabled(severity::detail))
      debugLog.log(severity::detail, "Destroying incoming link to ", boost::uuids::to_string(element.getUUID()),
                   link.property.isMultiValue() ? " from collection prop of " : " from ",
                   boost::uuids::to_string(link.link.holder.objectIdentity()), ", object is ", whereItIs(loaded));
  }
}

}  // namespace vlt_datasource
