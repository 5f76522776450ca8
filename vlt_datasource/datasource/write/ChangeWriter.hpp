#pragma once
// DataSource::ChangeWriter: one write of the model's changes into the
// repository, a change report's or the elements a data source pushes when it
// opens on a model that holds some.

#include <vlt_datasource/DataSource.hpp>

#include "datasource/write/NewObjectMap.hpp"
#include "external/Metamodel.hpp"
#include "external/Model.hpp"
#include "external/Repository.hpp"

#include <boost/container_hash/hash.hpp>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vlt_datasource {

/// Writes one change report (or a batch of new elements) into a data
/// source's repository: new elements first, complete, then the changed
/// properties of modified ones, then destroyed ones. Owns what holds for
/// that one write only: the new objects, and the repository classes and
/// enumerations it looked up (a rollback between two writes may take them
/// away). Borrows the data source's repository, class mapper, constructor
/// cache and model, which outlive it. Made inside the repository
/// transaction (or dictionary function) of the write, on the model's thread.
class DataSource::ChangeWriter {
 public:
  /// Writes `report` into `dataSource`'s repository, in one dictionary
  /// function; the first report after an asynchronous connect waits for the
  /// opening first.
  /// `memoryAtReport`: memory holds what `report` ends with, so that its
  /// edits of ordered collections may be replayed on the stored ones. A
  /// report written later, when memory may hold later changes, writes those
  /// collections whole: replayed on what an earlier write of memory's value
  /// left, its edits would be applied twice.
  static void writeReport(DataSource& dataSource, const ChangeReport& report, bool memoryAtReport = true);
  /// A writer of `dataSource`, whose constructor cache is made when it has
  /// none yet.
  static ChangeWriter of(DataSource& dataSource);

  /// `activeSource` is the data source when it is an active one: its
  /// writes cut the links that loaded elements hold into destroyed ones,
  /// under its modification guard. Null for a passive one.
  ChangeWriter(vlt::DataModelRepository& repositoryOfWrite, ClassMapper& mapper,
               ObjectConstructorCache& constructorCache, qm::zero::Model::Impl& modelOfWrite, DataSource* activeSource);
  ChangeWriter(const ChangeWriter&) = delete;
  ChangeWriter& operator=(const ChangeWriter&) = delete;

  /// Writes every change of `report`.
  void write(const ChangeReport& report);
  /// Elements to create, then their creation: a write of new elements
  /// alone. An element inserted twice is created once.
  void reserveNewObjects(std::size_t count) { newObjects.reserve(count); }
  void insertNewObject(const qm::zero::ModelElement& element);
  void addObjects();

  // getVltClass and getVltEnumeratedType, remembered for this write: the
  // metamodel cannot change under a write but through them.
  vlt::ClassRef vltClassOf(const qm::zero::meta::Class& cls);
  vlt::EnumerationRef vltEnumerationOf(const qm::zero::meta::Type& enumType);
  /// The property of `cls` named like `property` (null when it has none).
  const vlt::PropertyRef& vltPropertyOf(const vlt::ClassRef& cls, const qm::zero::meta::Property& property);
  /// The enumeral of `value` (an integer or a literal of an enumeration) in
  /// the repository enumeration of `type`; null when it has none. Throws
  /// CannotCastIncompatibleTypes for a value of another type.
  vlt::EnumeralRef vltEnumeralOf(const qm::zero::meta::Type& type, const qm::zero::Value& value);

  // A passive data source's writes (PassiveWrites.cpp).
  /// Writes `report` in a repository transaction of `dataSource`'s own,
  /// rolled back (with what it recorded) when the write fails.
  static void writeInOwnTransaction(DataSource& dataSource, const ChangeReport& report, bool memoryAtReport);
  /// Writes `dataSource`'s reports still waiting, oldest first; false, with
  /// the failure, when one of them still cannot be written. A report that
  /// no retry can write is dropped with a warning record.
  static bool writeUnwrittenReports(DataSource& dataSource, std::exception_ptr& failure) noexcept;

 private:
  // The report, and the objects it names (ChangeWriter.cpp).
  /// Looks the modified elements' objects up, then writes each.
  void modifyObjects(const ChangeReport& report);
  /// Calls `each(i, object)` for each element `elements[i]` of a class that
  /// maps, class by class in the order of their objects' ids (object null
  /// where none of its class is stored), `unmapped(i)` for one of a class
  /// that does not.
  void forStoredObjects(const std::vector<qm::zero::ModelElement>& elements,
                        const std::function<void(std::size_t, const vlt::ObjectRef&)>& each,
                        const std::function<void(std::size_t)>& unmapped);
  /// The model elements of `elements` by repository class; `unmapped(i)`
  /// for one whose class does not map.
  std::map<vlt::ClassRef, std::vector<std::uint32_t>> byClass(const std::vector<qm::zero::ModelElement>& elements,
                                                              const std::function<void(std::size_t)>& unmapped);
  /// An element (its index in its list) keyed by its uuid or by the id of
  /// its stored object, written over the uuid once known (0: none is
  /// stored): a report may name millions of elements, and one array of them
  /// serves the lookup and the writes.
  struct KeyedElement {
    boost::uuids::uuid key;
    std::uint32_t element;
    vlt::ObjectId id() const noexcept;
    void setId(vlt::ObjectId id) noexcept;
  };
  using KeyedElements = std::vector<KeyedElement>;
  /// The elements `elements[i]` for each i of `indexes` with the ids of
  /// their objects, in the order of those ids.
  KeyedElements lookUpStoredElements(const std::vector<qm::zero::ModelElement>& elements,
                                     const std::vector<std::uint32_t>& indexes);
  /// Of [first, last), keyed by their store hints in id order, those whose
  /// objects still carry their uuids first; the others follow, keyed by
  /// their uuids. Returns the end of the first.
  KeyedElements::iterator confirmHints(const std::vector<qm::zero::ModelElement>& elements,
                                       KeyedElements::iterator first, KeyedElements::iterator last);
  /// The stored object of `element` (null when none).
  vlt::ObjectRef storedObjectOf(const qm::zero::ModelElement& element);
  /// The object `id` of `cls`: a new object of this write, else looked up.
  vlt::ObjectRef findVltObject(const boost::uuids::uuid& id, const vlt::ClassRef& cls);
  /// The repository object of `target` (null when none): a new object of
  /// this write through `newObjectsOfWrite`, else looked up by uuid.
  vlt::ObjectRef vltTargetOf(const qm::zero::ModelElement& target, const NewObjectMap* newObjectsOfWrite);

  // New objects (NewObjects.cpp).
  /// The new children of each record, each record of a new child placed
  /// under its new owner (addObjects' first step).
  std::vector<std::vector<std::uint32_t>> placeNewChildren();
  /// Makes the new objects in `order`, each with the values its constructor
  /// takes; the other properties wait in their records.
  void constructNewObjects(const std::vector<std::uint32_t>& order);
  /// The records of `map` in the order their objects are made; `children`
  /// lists the new children of each record.
  static std::vector<std::uint32_t> creationOrder(NewObjectMap& map,
                                                  const std::vector<std::vector<std::uint32_t>>& children);
  /// The record of `child` (NewObjectMap::npos when it is not new), now owned
  /// by the record `ownerIndex`.
  std::size_t setNewObjectOwnership(std::uint32_t ownerIndex, const vlt::PropertyRef& property, std::int32_t ordinal,
                                    const qm::zero::ModelElement& child);

  // Property writes (PropertyWrites.cpp).
  /// Writes the changed properties of the `k`th modified element of
  /// `report` into `object`, looked up with its neighbours' (null: none is
  /// stored).
  void modifyObject(const ChangeReport& report, std::size_t k, vlt::ObjectRef object);
  /// `changes`: the ordered changes the report holds of the property.
  void setVltPropertyValue(const qm::zero::ModelElement& element, const qm::zero::meta::Property& property,
                           vlt::ObjectRef& object, const qm::zero::OCDChangeList& changes);
  /// What a new object receives after every new object exists.
  void setVltPropertyValueForNewObject(const qm::zero::ModelElement& element,
                                       const qm::zero::meta::Property& property, const vlt::PropertyRef& propRef,
                                       vlt::ObjectRef& object);
  /// Writes `value` (null: absent) as the whole value of `property`: the
  /// common part of the two above.
  void writeWholeValue(const qm::zero::ModelElement& element, const qm::zero::meta::Property& property,
                       const qm::zero::Value* value, const vlt::PropertyRef& propRef, vlt::ObjectRef& object,
                       const NewObjectMap* newObjectsOfWrite);
  void writeEnumerals(const qm::zero::ModelElement& element, const qm::zero::meta::Property& property,
                      const qm::zero::Value* value, const vlt::PropertyRef& propRef, vlt::ObjectRef& object);
  void writeLinks(const qm::zero::ModelElement& element, const qm::zero::meta::Property& property,
                  const qm::zero::Value* value, const vlt::PropertyRef& propRef, vlt::ObjectRef& object,
                  const NewObjectMap* newObjectsOfWrite);
  bool replayOrderedChanges(const qm::zero::ModelElement& element, const qm::zero::meta::Property& property,
                            const vlt::PropertyRef& propRef, vlt::ObjectRef& object,
                            const qm::zero::OCDChangeList& changes);

  // Destroyed objects (DestroyedObjects.cpp).
  /// Deletes the stored objects of `elements` with what they own, together,
  /// but for the children that live on in memory; an active data source
  /// then cuts the one-way links that loaded elements held to them.
  void destroyObjects(const std::vector<qm::zero::ModelElement>& elements);
  /// Cuts in loaded elements the links `cut` in the repository (from
  /// deleting the stored objects of `elements`).
  void cutLinksInLoadedElements(const std::vector<qm::zero::ModelElement>& elements,
                                const std::vector<vlt::CutLink>& cut);

  vlt::DataModelRepository& repository;
  ClassMapper& classMapper;
  ObjectConstructorCache& constructors;
  qm::zero::Model::Impl& model;
  DataSource* const active;
  bool replayEdits = true;  ///< whether memory holds what the report ends with

  NewObjectMap newObjects;
  std::unordered_map<const void*, vlt::ClassRef> classMemo;
  std::unordered_map<const void*, vlt::EnumerationRef> enumerationMemo;
  std::unordered_map<std::pair<std::int64_t, const void*>, vlt::PropertyRef,
                     boost::hash<std::pair<std::int64_t, const void*>>>
      propertyMemo;
};

/// The warning that an entry the repository cannot hold (a link to an
/// element it does not hold, a literal its enumeration lacks) is left out of
/// what `element` stores for `property`.
void reportDroppedEntry(const qm::zero::ModelElement& element, const qm::zero::meta::Property& property,
                        const char* what);

}  // namespace vlt_datasource
