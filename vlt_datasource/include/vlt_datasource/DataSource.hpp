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

#include <qm/zero/ChangeReport.hpp>
#include <qm/zero/datasource/DataSource.hpp>
#include <vlt/Repository.hpp>
#include <vlt/Uri.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace vlt_datasource {

class InstanceLoaders;
class ObjectConstructorCache;
class Qm0Listener;
class TransactionHooks;
class TypeProvider;

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

  // The library's own workers, public so that its other parts can name them
  // (datasource/: Opening.hpp, ClassMapper.hpp, read/Loader.hpp,
  // read/InstanceLoaders.hpp, write/ChangeWriter.hpp).
  class Opening;
  class ClassMapper;
  class Loader;
  class InstanceLoader;
  class ChangeWriter;

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
  /// The round trips to the repository's server and the statements it
  /// prepared so far (none on SQLite): what a host that measures its reads
  /// counts. Zero while the repository is not open.
  vlt::DataModelRepository::RoundTrips roundTrips() const;

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
  // The library's tests reach the metamodel mapping before anything public
  // does (it is reached through writes).
  friend struct DataSourceTestAccess;

  static DataSource* doCreate(const vlt::Uri& uri, const qm::zero::Model& model, ToModelSync toModel,
                              ToDataSourceSync toDataSource, SyncTiming timing, bool active);
  DataSource(const qm::zero::Model& model, bool active);

  void connect(const std::u16string& connectionString, const ConnectionOptions& options, ToModelSync toModel,
               ToDataSourceSync toDataSource, SyncTiming timing);
  void disconnect();

  /// Rolls back a repository transaction the data source began itself (a
  /// grouped read's, a passive write's) after a failure, and forgets what it
  /// recorded in it; never throws.
  void rollBackOwnTransaction() noexcept;
  /// Commits a repository transaction the data source began itself.
  void commitOwnTransaction();

  using ChangeReport = qm::zero::ShallowChangeReport<qm::zero::ModelElement>;
  /// A passive data source's write of a report its model committed: after
  /// the reports still waiting, each in a repository transaction of its own.
  /// A report that meets a passing failure (LockedError, StorageError) waits,
  /// with every later one, for the next report or waitForIdle; one that no
  /// retry can write is dropped. Each with a warning record; never throws.
  void writeCommittedReport(const ChangeReport& report) noexcept;

  // The model, reached without a counted handle: the data source is destroyed
  // from inside the model's own destruction, when no handle may be taken.
  qm::zero::Model::Impl* modelImpl;

  // The opening and its worker thread; every operation joins it first.
  std::unique_ptr<Opening> opening;
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
  // One constructor per repository class, its value cells bound once; made
  // by the first write.
  std::unique_ptr<ObjectConstructorCache> constructorCache;
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
