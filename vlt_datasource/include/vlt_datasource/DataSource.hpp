#pragma once
// vlt_datasource::DataSource: the persistent back end of a qm::zero model in a
// vlt repository (a SQLite file or a PostgreSQL database).
//
//   qm::zero::Model model = qm::zero::Model::create();
//   auto* ds = vlt_datasource::DataSource::create(u"/data/library.vlt?family=books", model,
//                                                 DataSource::SyncAllToModel,
//                                                 DataSource::SyncAllToDataSource,
//                                                 DataSource::Asynchronous);
//   ds->waitForInitialSyncCompletion();   // rethrows a failure of the opening
//   ...                                   // change the model in transactions
//   model->resetDataSource();             // disconnects and destroys it
//
// The model owns the data source; the factories return a borrowed pointer that
// stays valid until the model resets its data source or dies.

#include <vlt_datasource/export.hpp>

#include <foundation/memory/LargeTable.hpp>
#include <qm/zero/ChangeReport.hpp>
#include <qm/zero/datasource/DataSource.hpp>
#include <qm/zero/services/Hashers.hpp>
#include <vlt/Repository.hpp>
#include <vlt/Uri.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace qm::zero::meta {
class PropertySerializer;
}  // namespace qm::zero::meta

namespace vlt {
class ObjectConstructor;
class ObjectQuery;
}  // namespace vlt

namespace vlt_datasource {

class InstanceLoaders;
class ObjectConstructorCache;
class Qm0Listener;
class TransactionHooks;
class TypeProvider;
template <class T>
class TypedValueLocation;

/// A data source of one model. Active data sources (`create`) map the model's
/// transactions onto repository transactions; passive ones (`createPassive`)
/// apply the change reports their model listener receives instead.
///
/// Threads: every operation runs on the model's thread, except the opening in
/// asynchronous timing, which runs on a worker thread of the data source's
/// own. Every operation of the data source, and the model's transactions and
/// fetches, join the worker first; getConnectionString, isActive and the
/// waits are safe beside it. Until the worker has finished (waitForIdle), the
/// host must not read or change the model's elements otherwise. Destroying
/// the data source (or the model) abandons an opening still running: a wait
/// for a server ends at once, a load at its next element.
class VLT_DATASOURCE_API DataSource : public qm::zero::datasource::ActiveDataSource {
 public:
  /// What a connection string configures besides its location.
  struct ConnectionOptions {
    /// Generations of a SQLite file kept on opening ("maxGenerations"; 1
    /// keeps none, at most 1000).
    std::int32_t maxGenerations = 1;
    /// How long, in seconds, a write waits for another connection's lock
    /// ("lockTimeout"; 0 to 86400).
    std::int32_t lockTimeoutSeconds = 1;
    /// The model family of a new repository: a new SQLite file starts as a
    /// copy of the family's template ("family").
    std::u16string family;
    /// Every SQL statement is written to standard output ("trace").
    bool trace = false;
    /// Loaded elements are reflective rather than built by their class
    /// ("reflective").
    bool reflective = false;
    /// Stored classes and package versions go through a type-evolution
    /// provider ("evolve").
    bool evolve = false;
    /// A SQLite file uses a write-ahead log ("wal").
    bool wal = false;
    /// The SQLite page cache, in MiB ("pageCacheMiB"); 0 gives the
    /// repository's default (vlt::DataModelRepository::defaultPageCacheKiB).
    std::int32_t pageCacheMiB = 0;
    /// Families an existing repository must contain ("requiredFamily",
    /// "+"-separated).
    std::unordered_set<std::u16string> requiredFamilies;
  };

  /// The library's own: the prepared query that loads the objects of one
  /// class.
  class InstanceLoader;
  /// The library's own: one read of the repository into the model
  /// (datasource/read/Loader.hpp).
  class Loader;
  /// The library's own: the mapping of the framework's metamodel onto the
  /// repository's, and the package-version records (datasource/ClassMapper.hpp).
  class ClassMapper;

  /// Creates an active data source for `model` from `connectionString`, hands
  /// it to the model (Model::Impl::setDataSource, replacing any other) and
  /// connects it: with `Synchronous` timing the repository is open and in step
  /// with the model when this returns, with `Asynchronous` the opening runs on
  /// a worker thread (see waitForInitialSyncCompletion).
  ///
  /// Throws m2t_vlt:messages:CannotOpenVLTRepository when the string does not
  /// parse, names what no connector serves, or holds what would make its path
  /// name another file (a NUL, "%00" in a file: URI, an unpaired surrogate), and
  /// m2t_vlt:datasource:CannotAttachInsideTransaction inside a transaction
  /// (nothing is then attached). A failure of a synchronous opening passes on
  /// unchanged after the model has destroyed the data source again.
  static DataSource* create(const std::u16string& connectionString, const qm::zero::Model& model,
                            ToModelSync toModel, ToDataSourceSync toDataSource, SyncTiming timing);
  /// The same from a parsed connection string.
  static DataSource* create(const vlt::Uri& uri, const qm::zero::Model& model, ToModelSync toModel,
                            ToDataSourceSync toDataSource, SyncTiming timing);
  /// As create, for a passive data source.
  static DataSource* createPassive(const std::u16string& connectionString, const qm::zero::Model& model,
                                   ToModelSync toModel, ToDataSourceSync toDataSource, SyncTiming timing);

  /// Disconnects (joining a running worker) and releases everything.
  ~DataSource() override;

  bool isActive() const noexcept { return isActiveFlag; }
  /// The open repository's file specification (a path, or a PostgreSQL URI
  /// with its password masked); an empty string when it is not open.
  const std::u16string& getConnectionString() const;

  /// Waits until the asynchronous opening has ended, then rethrows its
  /// failure, if any (every call rethrows it again). Returns at once when no
  /// worker was started (synchronous timing). A passive data source then
  /// writes the change reports that could not be written when its model
  /// committed them (another host held the lock, the disk was full), and
  /// throws the repository's failure when one still cannot be written: it
  /// stays waiting for the next report or call.
  void waitForIdle();
  /// The same: waits until the initial synchronisation has ended.
  void waitForInitialSyncCompletion();

  // The framework's data-source operations.
  qm::zero::ModelElement fetchElement(const boost::uuids::uuid& uuid) override;
  std::vector<qm::zero::ModelElement> fetchAllElements() override;
  qm::zero::ModelElement findElement(const qm::zero::meta::Class& cls, const qm::zero::ElementId& id) override;
  std::unique_ptr<qm::zero::query::ReflectiveQuery> createQuery() override;
  void loadCollectionContents(qm::zero::ReferenceCollection& collection) override;
  bool hasCollectionContents(const qm::zero::ModelElement& element, const qm::zero::meta::Property& property) override;
  void loadElementSubtree(const qm::zero::ModelElement& element) override;
  qm::zero::datasource::TransactionId beginTransaction(const qm::zero::datasource::TransactionId& id) override;
  void snapshot(const qm::zero::ShallowChangeReport<qm::zero::ModelElement>& report) override;
  void precommit() override;
  void commit() override;
  void rollback() override;
  void rollbackShallowTransaction() override;
  /// Joins the worker of an asynchronous opening (see Threads above).
  void awaitBackgroundWork() override;

 private:
  friend class Qm0Listener;
  template <class T>
  friend class TypedValueLocation;
  // The library's tests reach the metamodel mapping before anything public
  // does (it is reached through writes).
  friend struct DataSourceTestAccess;

  static DataSource* doCreate(const vlt::Uri& uri, const qm::zero::Model& model, ToModelSync toModel,
                              ToDataSourceSync toDataSource, SyncTiming timing, bool active);
  DataSource(const qm::zero::Model& model, bool active);

  void connect(const std::u16string& connectionString, const ConnectionOptions& options, ToModelSync toModel,
               ToDataSourceSync toDataSource, SyncTiming timing);
  void vltWorkThreadFunction(const std::u16string& connectionString, const ConnectionOptions& options,
                             ToModelSync toModel, ToDataSourceSync toDataSource, SyncTiming timing);
  void doOpenAndInitialSync(const std::u16string& connectionString, const ConnectionOptions& options,
                            ToModelSync toModel, ToDataSourceSync toDataSource, SyncTiming timing);
  /// The opening's steps: the repository opened and its versions checked
  /// (returns its ModelElement class), the stored elements loaded, the
  /// model's elements written.
  vlt::ClassRef openRepository(const std::u16string& connectionString, const ConnectionOptions& options);
  void loadStoredElements(ToModelSync toModel, const vlt::ClassRef& modelElementClass);
  void pushModelElements(const std::vector<qm::zero::ModelElement>& elements, const vlt::ClassRef& modelElementClass);
  void setWorkThreadState(std::uint32_t state);
  void waitWhile(bool (*busy)(std::uint32_t state));
  void throwWorkThreadException();
  /// Throws when the host has abandoned the opening the worker runs.
  void throwIfAbandoned() const;
  void disconnect();

  /// Registers with transactionHooks what each cache forgets when a
  /// repository transaction is rolled back (or fails to commit).
  void registerTransactionHooks();

  // Reading objects: each read operation makes a Loader (read/).
  /// Rolls back a repository transaction the data source began itself (a
  /// grouped read's, a passive write's) after a failure, and forgets what it
  /// recorded in it; never throws.
  void rollBackOwnTransaction() noexcept;
  /// Commits a repository transaction the data source began itself.
  void commitOwnTransaction();

  // Writing the model's changes.
  using ChangeReport = qm::zero::ShallowChangeReport<qm::zero::ModelElement>;

  /// One element to create in the repository, from its discovery to its
  /// creation: its reserved id, its place under a new owner, and the
  /// properties written once every new object exists.
  struct VLTNewObjectDesc {
    qm::zero::ModelElement element;
    vlt::ClassRef vltClass;
    std::int32_t objectId = 0;
    vlt::PropertyRef owningProperty;  // null: no new owner
    std::int32_t ownerId = 0;
    std::int32_t ordinal = 0;
    /// With their repository properties, in discovery order.
    std::vector<std::pair<qm::zero::meta::Property, vlt::PropertyRef>> nonCtorProperties;
    std::uint32_t ownerIndex = noOwner;  // the new owner's record
    static constexpr std::uint32_t noOwner = ~std::uint32_t(0);
  };
  /// The new objects of one write: records in the order they were inserted,
  /// found by uuid.
  class NewObjectMap {
   public:
    static constexpr std::size_t npos = ~std::size_t(0);
    void reserve(std::size_t count) {
      records_.reserve(count);
      if (count * 2 > slots_.size()) rehash(count * 2);
    }
    /// Adds `desc` under its element's uuid; false (nothing changed) when the
    /// uuid is there already.
    bool insert(VLTNewObjectDesc desc) {
      if ((records_.size() + 1) * 2 > slots_.size()) rehash((records_.size() + 1) * 2);
      Slot& slot = slots_[probe(desc.element.getUUID())];
      if (slot.record != 0) return false;
      slot = {desc.element.getUUID(), static_cast<std::uint32_t>(records_.size() + 1)};
      records_.push_back(std::move(desc));
      return true;
    }
    std::size_t indexOf(const boost::uuids::uuid& id) const {
      if (slots_.empty()) return npos;
      const std::uint32_t record = slots_[probe(id)].record;
      return record == 0 ? npos : record - 1;
    }
    const VLTNewObjectDesc* find(const boost::uuids::uuid& id) const {
      const std::size_t at = indexOf(id);
      return at == npos ? nullptr : &records_[at];
    }
    VLTNewObjectDesc& operator[](std::size_t index) { return records_[index]; }
    std::size_t size() const noexcept { return records_.size(); }
    bool empty() const noexcept { return records_.empty(); }

   private:
    // The index is open addressing, at most half full: a lookup is about one
    // cache line, where a map of nodes chased two or three pointers; a write
    // of a million new objects looks each of them up several times.
    struct Slot {
      boost::uuids::uuid uuid;
      std::uint32_t record;  ///< its index + 1; 0 for a free slot
    };
    std::size_t probe(const boost::uuids::uuid& id) const noexcept {
      const std::size_t mask = slots_.size() - 1;
      std::size_t i = qm::zero::services::hashers::QM0Hasher<boost::uuids::uuid>()(id) & mask;
      while (slots_[i].record != 0 && slots_[i].uuid != id) i = (i + 1) & mask;
      return i;
    }
    void rehash(std::size_t atLeast) {
      std::size_t capacity = 16;
      while (capacity < atLeast) capacity *= 2;
      Slots old(capacity, Slot{boost::uuids::uuid{}, 0});
      old.swap(slots_);
      for (const Slot& slot : old)
        if (slot.record != 0) slots_[probe(slot.uuid)] = slot;
    }
    using Slots = std::vector<Slot, foundation::memory::LargeTableAllocator<Slot>>;
    std::vector<VLTNewObjectDesc, foundation::memory::LargeTableAllocator<VLTNewObjectDesc>> records_;
    Slots slots_;
  };

  void processQM0ChangeReport(const ChangeReport& report);
  /// A passive data source's write of a report its model committed: after
  /// the reports still waiting, each in a repository transaction of its own.
  /// A report that meets a passing failure (LockedError, StorageError) waits,
  /// with every later one, for the next report or waitForIdle; one that no
  /// retry can write is dropped. Each with a warning record; never throws.
  void writeCommittedReport(const ChangeReport& report) noexcept;
  /// Writes the reports still waiting, oldest first; false, with the
  /// failure, when one of them still cannot be written.
  bool writeUnwrittenReports(std::exception_ptr& failure) noexcept;
  void writeReportInTransaction(const ChangeReport& report);
  /// The warning record of a report that met `failure`: `dropped` when it
  /// is not stored, else (null) the reports that wait.
  void reportUnwritten(const std::exception_ptr& failure, const ChangeReport* dropped) const;
  void applyChangeReport(const ChangeReport& report);
  void joinWorkThread();
  vlt::ObjectRef getVltObject(const qm::zero::ModelElement& element);
  vlt::ObjectRef findVltObject(const boost::uuids::uuid& id, const NewObjectMap& map, const vlt::ClassRef& cls);
  // getVltClass and getVltEnumeratedType, remembered for one write: the
  // metamodel cannot change under a write but through them.
  vlt::ClassRef vltClassOf(const qm::zero::meta::Class& cls);
  vlt::EnumerationRef vltEnumerationOf(const qm::zero::meta::Type& enumType);
  vlt::EnumeralRef vltEnumeralOf(const qm::zero::meta::Type& type, const qm::zero::Value& value);
  /// The repository object of `target` (null when none): a new object of
  /// this write through `newObjects`, else looked up by uuid.
  vlt::ObjectRef vltTargetOf(const qm::zero::ModelElement& target, const NewObjectMap* newObjects);

  // New objects.
  void insertElementIntoIntoNewObjectMap(const qm::zero::ModelElement& element, NewObjectMap& map);
  void addObjects(NewObjectMap& map);
  /// The new children of each record of `map`, each record of a new child
  /// placed under its new owner (addObjects' first step).
  std::vector<std::vector<std::uint32_t>> placeNewChildren(NewObjectMap& map);
  /// Makes the objects of `map` in `order`, each with the values its
  /// constructor takes; the other properties wait in their records.
  void constructNewObjects(NewObjectMap& map, const std::vector<std::uint32_t>& order);
  /// The records of `map` in the order their objects are made; `children`
  /// lists the new children of each record.
  static std::vector<std::uint32_t> creationOrder(NewObjectMap& map,
                                                  const std::vector<std::vector<std::uint32_t>>& children);
  /// The record of `child` (NewObjectMap::npos when it is not new), now owned
  /// by the record `ownerIndex`.
  std::size_t setNewObjectOwnership(std::uint32_t ownerIndex, const vlt::PropertyRef& property, std::int32_t ordinal,
                             const qm::zero::ModelElement& child, NewObjectMap& map);
  void setVltPropertyValueForNewObject(const qm::zero::ModelElement& element,
                                       const qm::zero::meta::Property& property, const vlt::PropertyRef& propRef,
                                       vlt::ObjectRef& object, const NewObjectMap& map);

  // Modified objects.
  void modifyObjects(const ChangeReport& report);
  void modifyObject(const ChangeReport& report, const qm::zero::ModelElement& element);
  // The object of the element modifyObject is called for, looked up with
  // those of its neighbours in the report (modifyObjects); null otherwise.
  const vlt::ObjectRef* lookedUpObject = nullptr;
  void setVltPropertyValue(const qm::zero::ModelElement& element, const qm::zero::meta::Property& property,
                           vlt::ObjectRef& object, const ChangeReport& report);
  /// Writes `value` (null: absent) as the whole value of `property`: the
  /// common part of the two above.
  void writeWholeValue(const qm::zero::ModelElement& element, const qm::zero::meta::Property& property,
                       const qm::zero::Value* value, const vlt::PropertyRef& propRef, vlt::ObjectRef& object,
                       const NewObjectMap* newObjects);
  void writeEnumerals(const qm::zero::ModelElement& element, const qm::zero::meta::Property& property,
                      const qm::zero::Value* value, const vlt::PropertyRef& propRef, vlt::ObjectRef& object);
  void writeLinks(const qm::zero::ModelElement& element, const qm::zero::meta::Property& property,
                  const qm::zero::Value* value, const vlt::PropertyRef& propRef, vlt::ObjectRef& object,
                  const NewObjectMap* newObjects);
  ObjectConstructorCache& constructors();
  bool replayOrderedChanges(const qm::zero::ModelElement& element, const qm::zero::meta::Property& property,
                            const vlt::PropertyRef& propRef, vlt::ObjectRef& object, const ChangeReport& report);

  // Destroyed objects.
  void destroyObject(const qm::zero::ModelElement& element);
  void removeIncomingUnidirectionalAssociations(const qm::zero::ModelElement& element, vlt::ObjectRef& object);
  void releaseLivingChildren(const qm::zero::ModelElement& element, vlt::ObjectRef& object);

  // The model, reached without a counted handle: the data source is destroyed
  // from inside the model's own destruction, when no handle may be taken.
  qm::zero::Model::Impl* modelImpl;

  std::exception_ptr workThreadException;    // guarded by workThreadMutex
  mutable std::mutex workThreadMutex;
  std::condition_variable workThreadCondition;
  std::uint32_t workThreadState = 0;          // guarded by workThreadMutex; only grows
  bool workThreadStarted = false;             // set by connect before the worker starts
  std::thread workThread;
  std::atomic<bool> openAbandoned{false};  // set by disconnect while the worker runs
  vlt::DataModelRepository repository;
  std::unique_ptr<Qm0Listener> listener;
  // What the caches below forget when a repository transaction is rolled
  // back, and do when one commits.
  std::unique_ptr<TransactionHooks> transactionHooks;
  // Made when connecting; its statements are released at disconnect, what
  // it learnt of the repository lives as long as the data source.
  std::unique_ptr<ClassMapper> classMapper;
  // A passive data source's committed reports that could not be written
  // yet, oldest first.
  std::vector<std::shared_ptr<const ChangeReport>> unwrittenReports;
  bool isActiveFlag;
  // One constructor per repository class, its value cells bound once.
  std::unique_ptr<ObjectConstructorCache> constructorCache;
  std::unordered_map<const void*, vlt::ClassRef> classMemo;              // for one write
  std::unordered_map<const void*, vlt::EnumerationRef> enumerationMemo;  // for one write
  // The loaders of each framework class (one per repository class read as
  // it), until disconnect.
  std::unique_ptr<InstanceLoaders> instanceLoaders;
  // Unbounded loads read by level only where a statement is a round trip: on
  // SQLite a statement per owner reads the owner index in order and costs
  // less than a level's bookkeeping (the traversal of 1,557,007 elements took
  // 3 to 9 % longer by level there, and 65 % less time on PostgreSQL).
  bool loadsByLevel = false;
};

}  // namespace vlt_datasource
