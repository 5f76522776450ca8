// DataSource::ChangeWriter: a change report of the model written into the
// repository in one dictionary function: new elements first (complete, so
// that everything else may refer to them), then modified ones, then destroyed
// ones, whose incoming links are cut once every new link of the report exists.

#include "datasource/write/ChangeWriter.hpp"

#include "datasource/ClassMapper.hpp"
#include "datasource/Diagnostics.hpp"
#include "datasource/Opening.hpp"
#include "datasource/write/ObjectConstructorCache.hpp"
#include "external/Metamodel.hpp"
#include "external/Model.hpp"

#include <foundation/core/except/Exception.hpp>
#include <fl/i18n/Unicode.hpp>

#include <boost/optional/optional.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <cstring>
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

// Made inside the dictionary function: should a write fail, nothing it
// remembered outlives it.
void DataSource::ChangeWriter::writeReport(DataSource& dataSource, const ChangeReport& report, bool memoryAtReport) {
  // The first report after an asynchronous connect waits for the opening.
  dataSource.opening->join();
  dataSource.repository.performDictionaryFunction([&] {
    ChangeWriter writer = of(dataSource);
    writer.replayEdits = memoryAtReport;
    writer.write(report);
  });
}

DataSource::ChangeWriter DataSource::ChangeWriter::of(DataSource& dataSource) {
  if (!dataSource.constructorCache) dataSource.constructorCache = std::make_unique<ObjectConstructorCache>();
  return ChangeWriter(dataSource.repository, *dataSource.classMapper, *dataSource.constructorCache,
                      *dataSource.modelImpl, dataSource.isActiveFlag ? &dataSource : nullptr);
}

DataSource::ChangeWriter::ChangeWriter(vlt::DataModelRepository& repositoryOfWrite, ClassMapper& mapper,
                                       ObjectConstructorCache& constructorCache, qm::zero::Model::Impl& modelOfWrite,
                                       DataSource* activeSource)
    : repository(repositoryOfWrite),
      classMapper(mapper),
      constructors(constructorCache),
      model(modelOfWrite),
      active(activeSource) {}

void DataSource::ChangeWriter::write(const ChangeReport& report) {
  if (report.allElementsDestroyed()) {
    debugLog.log(severity::detail, "All Elements Destroyed");
    repository.defaultDataModel().deleteAllObjects();
    // The versions of the families stay recorded: the classes stay too.
    classMapper.restoreVltPackageVersions();
    return;
  }

  newObjects.reserve(report.getCreatedElements().size());
  for (const qm::zero::ModelElement& element : report.getCreatedElements())
    if (isModelElement(element)) insertNewObject(element);
  addObjects();

  modifyObjects(report);

  {
    // Links cut in loaded elements are the data source's doing, not the
    // host's: the framework must not report them back.
    boost::optional<ModificationGuard> guard;
    if (active) guard.emplace(active->startDataSourceModification());
    // The destroyed elements' stored children that live on in memory (taken
    // out before their owner was destroyed, which the report does not say)
    // stay. The deletion cuts the links into what it deletes, and an active
    // data source cuts them in loaded elements too: deleting an owner
    // deletes what it owns, whose links loaded elements hold as well.
    std::vector<qm::zero::ModelElement> destroyed;
    for (const qm::zero::ModelElement& element : report.getDestroyedElements())
      if (isModelElement(element)) destroyed.push_back(element);
    destroyObjects(destroyed);
  }

  if (debugLog.isEnabled(severity::detail))
    for (const qm::zero::ModelElement& element : report.getEphemeralElements())
      if (isModelElement(element))
        debugLog.log(severity::detail, "ephemeral: '", boost::uuids::to_string(element.getUUID()), "'");

  if (!newObjects.empty()) classMapper.checkAndStoreVltPackageVersions();
}

void DataSource::ChangeWriter::modifyObjects(const ChangeReport& report) {
  const std::vector<qm::zero::ModelElement>& modified = report.getModifiedElements();
  forStoredObjects(
      modified, [&](std::size_t i, const vlt::ObjectRef& object) { modifyObject(report, i, object); },
      [&](std::size_t i) { modifyObject(report, i, storedObjectOf(modified[i])); });
}

// The objects are looked up together (a statement per few hundred elements,
// in the uuid index's order), then read and handed on in the order of their
// ids, a window at a time, class by class: what is done with them (a write)
// then visits a class table's rows from one end to the other, each page
// once, where the report's order (none in particular) would read a page
// back nearly every time in a large repository. The reads tell the
// repository that the writes which follow need not ask for their objects
// again (on a server, a round trip per window, not per element). Writing to
// an object neither makes nor deletes one, so what the lookup found holds
// for every write, and writes of different objects go in any order.
void DataSource::ChangeWriter::forStoredObjects(const std::vector<qm::zero::ModelElement>& elements,
                                                const std::function<void(std::size_t, const vlt::ObjectRef&)>& each,
                                                const std::function<void(std::size_t)>& unmapped) {
  constexpr std::size_t window = 2048;
  std::vector<vlt::ObjectId> ids;
  for (const auto& [cls, indexes] : byClass(elements, unmapped)) {
    const std::vector<KeyedElement> stored = lookUpStoredElements(elements, indexes);
    for (std::size_t first = 0; first < stored.size(); first += window) {
      const std::size_t last = std::min(first + window, stored.size());
      ids.clear();
      for (std::size_t k = first; k < last; ++k) ids.push_back(stored[k].id());
      const std::vector<vlt::ObjectRef> objects = repository.defaultDataModel().objectsById(ids);
      for (std::size_t k = first; k < last; ++k) {
        // The uuid was found whatever the class: an object of another class
        // is not this element's.
        const vlt::ObjectRef& object = objects[k - first];
        const bool its = object && object.objectClass().conformsTo(cls);
        each(stored[k].element, its ? object : vlt::ObjectRef());
      }
    }
  }
}

// Elements of one class come in runs: what was found for one element's
// class serves the next ones.
std::map<vlt::ClassRef, std::vector<std::uint32_t>> DataSource::ChangeWriter::byClass(
    const std::vector<qm::zero::ModelElement>& elements, const std::function<void(std::size_t)>& unmapped) {
  std::map<vlt::ClassRef, std::vector<std::uint32_t>> out;
  const void* runClass = nullptr;
  std::vector<std::uint32_t>* run = nullptr;  // null: not a model element, or a class not mapped
  bool mappable = false;
  for (std::size_t i = 0; i < elements.size(); ++i) {
    const meta::Class cls = elements[i].getMetaClass();
    if (cls.get() != runClass) {
      runClass = cls.get();
      const bool inModel = isModelElement(elements[i]);
      const vlt::ClassRef vltClass = inModel ? vltClassOf(cls) : vlt::ClassRef();
      run = vltClass ? &out[vltClass] : nullptr;
      mappable = !inModel || vltClass;
    }
    if (run != nullptr) run->push_back(static_cast<std::uint32_t>(i));
    else if (!mappable) unmapped(i);
  }
  return out;
}

vlt::ObjectId DataSource::ChangeWriter::KeyedElement::id() const noexcept {
  vlt::ObjectId id;
  std::memcpy(&id, key.data, sizeof id);
  return id;
}

void DataSource::ChangeWriter::KeyedElement::setId(vlt::ObjectId id) noexcept {
  static_assert(sizeof(vlt::ObjectId) <= sizeof(boost::uuids::uuid), "an id fits in a uuid's bytes");
  std::memcpy(key.data, &id, sizeof id);
}

namespace {
constexpr std::ptrdiff_t lookupChunk = 4096;
}  // namespace

// Only the ids are kept (a handle is several times larger), in the bytes of
// the uuids they were found by: the commit of a million changed elements
// then holds 20 bytes per element of one class at a time, not that and 16
// more per element of every class. An element loaded or stored before
// carries the id its object had (its store hint): those are checked by id,
// which reads the objects' rows in id order, and only the others are looked
// up by uuid, which reads them all over the table. The classes are read
// with the objects, in id order (forStoredObjects).
DataSource::ChangeWriter::KeyedElements DataSource::ChangeWriter::lookUpStoredElements(
    const std::vector<qm::zero::ModelElement>& elements, const std::vector<std::uint32_t>& indexes) {
  // Sorted as copies side by side: through the elements, every comparison
  // would reach into memory far apart.
  KeyedElements keyed;
  keyed.reserve(indexes.size());
  for (const std::uint32_t i : indexes) {
    if (const vlt::ObjectId hint = elements[i].getStoreHint()) {
      keyed.push_back({{}, i});
      keyed.back().setId(hint);
    }
  }
  const std::size_t hinted = keyed.size();
  for (const std::uint32_t i : indexes)
    if (elements[i].getStoreHint() == 0) keyed.push_back({elements[i].getUUID(), i});
  const auto byId = [](const KeyedElement& a, const KeyedElement& b) { return a.id() < b.id(); };
  std::sort(keyed.begin(), keyed.begin() + static_cast<std::ptrdiff_t>(hinted), byId);
  const auto looked = confirmHints(elements, keyed.begin(), keyed.begin() + static_cast<std::ptrdiff_t>(hinted));
  std::sort(looked, keyed.end(), [](const KeyedElement& a, const KeyedElement& b) { return a.key < b.key; });
  std::vector<boost::uuids::uuid> uuids;
  for (auto first = looked; first != keyed.end();) {
    const auto last = first + std::min(lookupChunk, keyed.end() - first);
    uuids.clear();
    for (auto k = first; k != last; ++k) uuids.push_back(k->key);
    const std::vector<vlt::ObjectId> found = repository.defaultDataModel().lookUpObjectIds(uuids);
    for (auto k = first; k != last; ++k) k->setId(found[static_cast<std::size_t>(k - first)]);
    first = last;
  }
  std::sort(looked, keyed.end(), byId);
  std::inplace_merge(keyed.begin(), looked, keyed.end(), byId);
  return keyed;
}

DataSource::ChangeWriter::KeyedElements::iterator DataSource::ChangeWriter::confirmHints(
    const std::vector<qm::zero::ModelElement>& elements, KeyedElements::iterator first, KeyedElements::iterator last) {
  std::vector<vlt::ObjectId> ids;
  std::vector<boost::uuids::uuid> uuids;
  KeyedElements missed;
  auto kept = first;
  while (first != last) {
    const auto end = first + std::min(lookupChunk, last - first);
    ids.clear();
    uuids.clear();
    for (auto k = first; k != end; ++k) {
      ids.push_back(k->id());
      uuids.push_back(elements[k->element].getUUID());
    }
    const std::vector<vlt::ObjectId> confirmed = repository.defaultDataModel().confirmObjectIds(ids, uuids);
    for (auto k = first; k != end; ++k) {
      const std::size_t at = static_cast<std::size_t>(k - first);
      if (confirmed[at] != 0) *kept++ = *k;
      else missed.push_back({uuids[at], k->element});
    }
    first = end;
  }
  std::copy(missed.begin(), missed.end(), kept);
  return kept;
}

// Through the memo, unlike a query's constraint (VLTQuery): a write looks up
// many objects of few classes.
vlt::ObjectRef DataSource::ChangeWriter::storedObjectOf(const qm::zero::ModelElement& element) {
  return repository.defaultDataModel().lookUpObject(element.getUUID(), vltClassOf(element.getMetaClass()));
}

vlt::ObjectRef DataSource::ChangeWriter::findVltObject(const boost::uuids::uuid& id, const vlt::ClassRef& cls) {
  if (const VLTNewObjectDesc* found = newObjects.find(id)) return repository.getObjectRef(found->objectId, cls);
  return repository.defaultDataModel().lookUpObject(id, cls);
}

vlt::ObjectRef DataSource::ChangeWriter::vltTargetOf(const qm::zero::ModelElement& target,
                                                     const NewObjectMap* newObjectsOfWrite) {
  if (newObjectsOfWrite) {
    const VLTNewObjectDesc* found = newObjectsOfWrite->find(target.getUUID());
    // Its id is given before any new object is made.
    if (found) return repository.getObjectRef(found->objectId, found->vltClass);
  }
  return storedObjectOf(target);
}

vlt::ClassRef DataSource::ChangeWriter::vltClassOf(const meta::Class& cls) {
  vlt::ClassRef& known = classMemo[cls.get()];
  if (!known) known = classMapper.getVltClass(cls, true);
  return known;
}

const vlt::PropertyRef& DataSource::ChangeWriter::vltPropertyOf(const vlt::ClassRef& cls,
                                                                const meta::Property& property) {
  const auto [at, added] = propertyMemo.try_emplace(std::make_pair(cls.id(), property.get()));
  if (added) at->second = cls.findProperty(fl::i18n::ustring_to_utf8(property->getName()));
  return at->second;
}

vlt::EnumerationRef DataSource::ChangeWriter::vltEnumerationOf(const meta::Type& enumType) {
  vlt::EnumerationRef& known = enumerationMemo[enumType.get()];
  if (!known) known = classMapper.getVltEnumeratedType(meta::Enum::downcast(enumType));
  return known;
}

vlt::EnumeralRef DataSource::ChangeWriter::vltEnumeralOf(const meta::Type& type, const qm::zero::Value& value) {
  const meta::Type& valueType = value.getType();
  if (valueType != meta::StandardTypes::integerMeta() && !meta::Enum::downcast(valueType))
    foundation::core::except::throwException(
        qm0::messages::CannotCastIncompatibleTypes(valueType ? valueType->getQualifiedName() : std::u16string()));
  return vltEnumerationOf(type).findEnumeral(value.isEmpty() ? 0 : value.get<std::int32_t>());
}

}  // namespace vlt_datasource
