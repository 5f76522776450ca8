// A change report of the model, written into the repository in one
// dictionary function: new elements first (complete, so that everything else
// may refer to them), then modified ones, then destroyed ones, whose incoming
// links are cut once every new link of the report exists.

#include <vlt_datasource/DataSource.hpp>

#include "datasource/ClassMapper.hpp"
#include "datasource/Diagnostics.hpp"
#include "datasource/write/ObjectConstructorCache.hpp"
#include "datasource/write/WriteMemo.hpp"
#include "external/Metamodel.hpp"
#include "external/Model.hpp"

#include <foundation/core/except/Exception.hpp>
#include <fl/i18n/Unicode.hpp>

#include <boost/optional/optional.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <map>
#include <vector>

namespace vlt_datasource {

namespace meta = qm::zero::meta;

namespace {
bool isModelElement(const qm::zero::ModelElement& element) {
  static const meta::Class root = qm::zero::ModelElement::metaClass();
  const meta::Class cls = element.getMetaClass();
  return cls && cls->conformsTo(root);
}
}  // namespace

void DataSource::processQM0ChangeReport(const ChangeReport& report) {
  // The first report after an asynchronous connect waits for the opening.
  joinWorkThread();
  repository.performDictionaryFunction([&] {
    WriteMemoScope memo(classMemo, enumerationMemo);
    applyChangeReport(report);
  });
}

void DataSource::applyChangeReport(const ChangeReport& report) {
  if (report.allElementsDestroyed()) {
    debugLog.log(severity::detail, "All Elements Destroyed");
    repository.defaultDataModel().deleteAllObjects();
    // The versions of the families stay recorded: the classes stay too.
    classMapper->restoreVltPackageVersions();
    return;
  }

  NewObjectMap newObjects;
  newObjects.reserve(report.getCreatedElements().size());
  for (const qm::zero::ModelElement& element : report.getCreatedElements())
    if (isModelElement(element)) insertElementIntoIntoNewObjectMap(element, newObjects);
  addObjects(newObjects);

  modifyObjects(report);

  {
    // Links cut in loaded elements are the data source's doing, not the
    // host's: the framework must not report them back.
    boost::optional<ModificationGuard> guard;
    if (isActiveFlag) guard.emplace(startDataSourceModification());
    // Before any object is deleted, every destroyed element gives up the
    // stored children that live on in memory (taken out before their owner
    // was destroyed, which the report does not say), and an active data
    // source cuts the links into it: deleting an owner deletes what it owns,
    // whose links loaded elements hold as well.
    for (const qm::zero::ModelElement& element : report.getDestroyedElements()) {
      if (!isModelElement(element)) continue;
      vlt::ObjectRef object = getVltObject(element);
      if (!object) continue;
      releaseLivingChildren(element, object);
      removeIncomingUnidirectionalAssociations(element, object);
    }
    for (const qm::zero::ModelElement& element : report.getDestroyedElements())
      if (isModelElement(element)) destroyObject(element);
  }

  if (debugLog.isEnabled(severity::detail))
    for (const qm::zero::ModelElement& element : report.getEphemeralElements())
      if (isModelElement(element))
        debugLog.log(severity::detail, "ephemeral: '", boost::uuids::to_string(element.getUUID()), "'");

  if (!newObjects.empty()) classMapper->checkAndStoreVltPackageVersions();
}

// The modified elements in windows, the objects of each window looked up
// together before any of them is written: a statement per few hundred
// elements instead of one each (on a server, a round trip each) while the
// writes go out without waiting. Writing to an object neither makes nor
// deletes one, so what a window's lookup found holds for the whole window.
void DataSource::modifyObjects(const ChangeReport& report) {
  constexpr std::size_t window = 512;
  const std::vector<qm::zero::ModelElement>& modified = report.getModifiedElements();
  std::vector<vlt::ObjectRef> objects;
  std::vector<char> looked;
  std::vector<boost::uuids::uuid> uuids;
  std::map<vlt::ClassRef, std::vector<std::size_t>> byClass;
  for (std::size_t first = 0; first < modified.size(); first += window) {
    const std::size_t last = std::min(first + window, modified.size());
    objects.assign(last - first, vlt::ObjectRef());
    looked.assign(last - first, 0);
    byClass.clear();
    for (std::size_t i = first; i < last; ++i) {
      if (!isModelElement(modified[i])) continue;
      // A class that cannot be mapped is left to modifyObject's own lookup.
      if (const vlt::ClassRef cls = vltClassOf(modified[i].getMetaClass())) byClass[cls].push_back(i);
    }
    for (const auto& [cls, indexes] : byClass) {
      uuids.clear();
      for (const std::size_t i : indexes) uuids.push_back(modified[i].getUUID());
      std::vector<vlt::ObjectRef> found = repository.defaultDataModel().lookUpObjects(uuids, cls);
      for (std::size_t k = 0; k < indexes.size(); ++k) {
        objects[indexes[k] - first] = std::move(found[k]);
        looked[indexes[k] - first] = 1;
      }
    }
    for (std::size_t i = first; i < last; ++i) {
      if (!isModelElement(modified[i])) continue;
      lookedUpObject = looked[i - first] ? &objects[i - first] : nullptr;
      try {
        modifyObject(report, modified[i]);
      } catch (...) {
        lookedUpObject = nullptr;
        throw;
      }
      lookedUpObject = nullptr;
    }
  }
}

vlt::ObjectRef DataSource::getVltObject(const qm::zero::ModelElement& element) {
  return repository.defaultDataModel().lookUpObject(element.getUUID(),
                                                    classMapper->getVltClass(element.getMetaClass(), true));
}

vlt::ObjectRef DataSource::findVltObject(const boost::uuids::uuid& id, const NewObjectMap& map,
                                         const vlt::ClassRef& cls) {
  if (const VLTNewObjectDesc* found = map.find(id)) return repository.getObjectRef(found->objectId, cls);
  return repository.defaultDataModel().lookUpObject(id, cls);
}

vlt::ObjectRef DataSource::vltTargetOf(const qm::zero::ModelElement& target, const NewObjectMap* newObjects) {
  if (newObjects) {
    const VLTNewObjectDesc* found = newObjects->find(target.getUUID());
    // Its id is given before any new object is made.
    if (found) return repository.getObjectRef(found->objectId, found->vltClass);
  }
  return repository.defaultDataModel().lookUpObject(target.getUUID(), vltClassOf(target.getMetaClass()));
}

vlt::ClassRef DataSource::vltClassOf(const meta::Class& cls) {
  vlt::ClassRef& known = classMemo[cls.get()];
  if (!known) known = classMapper->getVltClass(cls, true);
  return known;
}

vlt::EnumerationRef DataSource::vltEnumerationOf(const meta::Type& enumType) {
  vlt::EnumerationRef& known = enumerationMemo[enumType.get()];
  if (!known) known = classMapper->getVltEnumeratedType(meta::Enum::downcast(enumType));
  return known;
}

vlt::EnumeralRef DataSource::vltEnumeralOf(const meta::Type& type, const qm::zero::Value& value) {
  const meta::Type& valueType = value.getType();
  if (valueType != meta::StandardTypes::integerMeta() && !meta::Enum::downcast(valueType))
    foundation::core::except::throwException(
        qm0::messages::CannotCastIncompatibleTypes(valueType ? valueType->getQualifiedName() : std::u16string()));
  return vltEnumerationOf(type).findEnumeral(value.isEmpty() ? 0 : value.get<std::int32_t>());
}

}  // namespace vlt_datasource
