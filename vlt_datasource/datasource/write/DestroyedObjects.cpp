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

#include <boost/functional/hash.hpp>
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
void DataSource::ChangeWriter::destroyObjects(const std::vector<qm::zero::ModelElement>& elements) {
  // Named by uuid and class, with the ids the elements remember: the
  // deletion finds each one itself, once, where looking the objects up
  // here first cost a lookup more each.
  std::vector<vlt::IdentifiedObjects> groups;
  for (const auto& [cls, indexes] : byClass(elements, [&](std::size_t i) {
         // Of a class this data source does not map: found whatever its class.
         if (const vlt::ObjectRef object = storedObjectOf(elements[i]))
           groups.push_back({object.objectClass(), {elements[i].getUUID()}});
       })) {
    vlt::IdentifiedObjects& group = groups.emplace_back(vlt::IdentifiedObjects{cls, {}});
    group.identities.reserve(indexes.size());
    group.hints.reserve(indexes.size());
    for (const std::uint32_t i : indexes) {
      group.identities.push_back(elements[i].getUUID());
      group.hints.push_back(elements[i].getStoreHint());
    }
  }
  const auto livesOn = [this](const vlt::ObjectRef& child) {
    const qm::zero::ModelElement loaded = model.findElement(child.objectIdentity(), qm::zero::InMemoryOnly);
    return loaded && !loaded.isDestroyed();
  };
  const bool logging = debugLog.isEnabled(severity::detail);
  std::vector<boost::uuids::uuid> found;
  const std::vector<vlt::CutLink> cut =
      repository.defaultDataModel().deleteIdentifiedObjects(groups, livesOn, logging ? &found : nullptr);
  if (active) cutLinksInLoadedElements(elements, cut);
  if (!logging) return;
  std::sort(found.begin(), found.end());
  for (const qm::zero::ModelElement& element : elements) {
    const bool stored = std::binary_search(found.begin(), found.end(), element.getUUID());
    debugLog.log(severity::detail, "destroyed object ", boost::uuids::to_string(element.getUUID()),
                 stored ? " in VLT" : " not found in VLT");
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
                                                        const std::vector<vlt::CutLink>& cut) {
  if (cut.empty()) return;
  // Few links are cut; the elements may be millions.
  std::unordered_map<boost::uuids::uuid, const qm::zero::ModelElement*, boost::hash<boost::uuids::uuid>> elementOf;
  for (const vlt::CutLink& link : cut) elementOf.emplace(link.targetIdentity, nullptr);
  for (const qm::zero::ModelElement& element : elements) {
    const auto target = elementOf.find(element.getUUID());
    if (target != elementOf.end()) target->second = &element;
  }
  for (const vlt::CutLink& link : cut) {
    const qm::zero::ModelElement* destroyed = elementOf.at(link.targetIdentity);
    if (destroyed == nullptr) continue;  // owned by a destroyed element, never loaded
    const qm::zero::ModelElement& element = *destroyed;
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
