#pragma once
// DataModelRepository: the connection to one repository (a SQLite file), its
// metamodel, its objects and its transactions.

#include <vlt/Errors.hpp>
#include <vlt/Metamodel.hpp>
#include <vlt/Object.hpp>
#include <vlt/ObjectConstructor.hpp>
#include <vlt/ObjectQuery.hpp>
#include <vlt/Types.hpp>
#include <vlt/Uri.hpp>

#include <boost/function.hpp>
#include <boost/uuid/uuid.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace vlt {

/// One repository connection. Default-constructed closed; `open` connects it.
///
/// Transactions: begin/commit/rollback are explicit; outside a transaction
/// every write call commits on its own, and performDictionaryFunction groups
/// a batch into one implicit transaction. Metamodel changes (createClass,
/// appendPropertyToClass, createEnumeration) are part of the transaction: a
/// rollback forgets them in memory too.
///
/// Not synchronised: use one repository (and its handles) from one thread at
/// a time. Several repositories, in one or several processes, may use one
/// file; a writer waits for another's write transaction at most the lock
/// timeout, then gets LockedError.
class VLT_API DataModelRepository {
 public:
  /// Options of `open`. The layout is fixed (byte offsets in the comments);
  /// the defaults are what the connectors pass.
  struct ServiceOptions {
    /// [0] How many generations of a SQLite repository are kept: with N > 1,
    /// opening an existing file first saves a copy of it as "<file>.gen1"
    /// (the older copies move to .gen2 ... .gen<N-1>, the oldest is dropped).
    /// 1 keeps only the current file. Outside 1 to 1000 is a UsageError.
    std::int32_t maxGenerations = 1;
    /// [4] Open without writing: every write call throws UsageError.
    std::uint8_t readOnly = 0;
    /// [5] Reserved; passed as 1, no effect yet.
    std::uint8_t reserved5 = 1;
    /// [8] How long (seconds) a write waits for another connection's lock
    /// before LockedError; 0 does not wait. Outside 0 to 86400 (one day) is a
    /// UsageError.
    std::int32_t lockTimeoutSeconds = 1;
    /// [12], [13] Reserved; passed as 1, no effect yet.
    std::uint8_t reserved12 = 1;
    std::uint8_t reserved13 = 1;
    /// [16] SQLite journal: 0 keeps the file's mode (a rollback journal for
    /// a new file), 1 rollback journal, 2 write-ahead log (WAL). Others are a
    /// UsageError.
    std::int32_t journalMode = 0;
    /// [20] Reserved; passed as 0.
    std::int32_t reserved20 = 0;
    /// [24], [25] Reserved; passed as 1 and 0.
    std::uint8_t reserved24 = 1;
    std::uint8_t reserved25 = 0;
    /// [26] Create a new SQLite file when none exists (the SQLite connector
    /// sets 1). With 0 a missing file is an OpenError. A file that exists and
    /// is empty is always made a repository.
    std::uint8_t createIfMissing = 0;
    /// [32] The SQLite page cache of the connection, in KiB: 0 gives the
    /// repository's default (defaultPageCacheKiB, well above SQLite's own
    /// 2 MiB, which a write of a million objects outgrows); the cache fills
    /// as pages are read, so a large bound costs only what is used. Outside
    /// 0 to 2^31 - 1 is a UsageError. PostgreSQL ignores it.
    std::int64_t pageCacheKiB = 0;
  };

  /// The SQLite page cache a connection gets when ServiceOptions::pageCacheKiB
  /// is 0: 64 MiB.
  static constexpr std::int64_t defaultPageCacheKiB = 64 * 1024;

  /// Kinds of association (the eleventh argument of appendPropertyToClass).
  /// Only `byReference` exists: links are stored by object id.
  enum AssociationByOption : int { byReference = 0 };

  /// Receives each SQL statement as it starts to run (text without bound
  /// values), with the context given to setTraceCallback.
  using TraceCallback = void (*)(void* context, const char* statement);

  DataModelRepository();
  ~DataModelRepository();  ///< closes; never throws
  DataModelRepository(const DataModelRepository&) = delete;
  DataModelRepository& operator=(const DataModelRepository&) = delete;
  DataModelRepository(DataModelRepository&&) noexcept;
  DataModelRepository& operator=(DataModelRepository&&) noexcept;

  /// Opens the repository named by `connectionString`: a file: URI (its
  /// query parameters are ignored here; "%3F" in the path is a "?"), or a
  /// plain path, taken literally ("?" included: it is what a caller gets from
  /// Uri::getLocation of a file: URI). Only a regular file is a repository. A missing file (with
  /// createIfMissing) or an empty one becomes a new repository holding the
  /// metamodel of the base metamodel file `baseMetamodelPath` (an empty path:
  /// none); an existing repository is opened without reading that file.
  /// Throws UsageError when already open or for bad options, OpenError (and
  /// its subclasses) when the file cannot be used: the file is then left as it
  /// was, and a missing one is not created. Throws LockedError when another
  /// connection keeps it locked.
  void open(const std::u16string& connectionString, const std::u16string& baseMetamodelPath,
            const ServiceOptions& options);
  /// The same with UTF-8 text.
  void open(const std::string& connectionString, const std::string& baseMetamodelPath, const ServiceOptions& options);

  /// May be called from any thread: an open running on another thread ends
  /// soon, at its next wait for the server, with OpenError ("the opening was
  /// interrupted"); so does every open until close(). Meant for a host that
  /// abandons a connection it opens in the background.
  void interruptOpen() noexcept;

  bool isOpen() const noexcept;
  /// The repository's file specification: the file path, or a PostgreSQL URI
  /// without password. Empty when closed.
  const std::u16string& filespec() const noexcept;
  /// Closes: an open transaction is rolled back. Handles stay valid values
  /// but their data calls throw UsageError. Closing a closed one does
  /// nothing, and so does closing from the trace callback.
  void close() noexcept;

  MetamodelRef metamodel() const;
  DataModelRef defaultDataModel() const;

  /// Creates a class. Throws MetamodelError when the name is empty or taken,
  /// UsageError for a null or foreign superclass.
  ClassRef createClass(const std::string& qualifiedName, const std::set<ClassRef>& superclasses);

  /// Appends a property to `cls`.
  /// - `typeName`: a built-in type name (see ValueType), or the qualified
  ///   name of a class (object references) or of an enumeration.
  /// - `lower`/`upper`: multiplicity; an upper bound of 2 or more makes a
  ///   collection (0xFFFFFFFF: unbounded).
  /// - `composite`: the property owns its targets (class types only).
  /// - `ordered`: a collection keeps the order given (ignored for single
  ///   values). Unordered collections keep insertion order too.
  /// - `valueIsOptional`: the single value may be absent.
  /// - `documentation`, `oppositeName`, `annotation`: stored texts; a
  ///   non-empty `oppositeName` marks the association bidirectional.
  /// - `association`: byReference (0).
  /// - `propertyUuid`: stored; the nil uuid gets a random one.
  /// - `unique`: a collection refuses a value it holds already.
  /// Throws MetamodelError for a name already used by the class, a superclass
  /// or a subclass, an unknown type name, a composite non-class property, a
  /// lower bound above the upper one; UsageError for a null class.
  PropertyRef appendPropertyToClass(const ClassRef& cls, const std::string& name, const std::string& typeName,
                                    const std::string& documentation, std::uint32_t lower, std::uint32_t upper,
                                    bool composite, bool ordered, bool valueIsOptional,
                                    const std::string& oppositeName, AssociationByOption association,
                                    const std::string& annotation, const boost::uuids::uuid& propertyUuid,
                                    bool unique);

  /// Creates an enumeration with its literals in the order given. Throws
  /// MetamodelError for an empty or taken name, or two literals of one name.
  EnumerationRef createEnumeration(const std::string& qualifiedName,
                                   const std::vector<std::pair<std::string, int>>& literals);

  /// Transactions. beginTransaction throws UsageError when one is open;
  /// commit and rollback throw UsageError when none is.
  void beginTransaction();
  /// Begins a transaction for reads that may now and then write. On SQLite
  /// it takes the write lock with its first write, not at once, so that such
  /// transactions of several connections run side by side; that first write
  /// fails with LockedError at once when another connection is writing (the
  /// two would wait for each other): roll back and start again with
  /// beginTransaction. On PostgreSQL it takes the write lock at once, as
  /// beginTransaction does, but its BEGIN goes out with the transaction's
  /// first statement, saving a round trip: a lock not had within the lock
  /// timeout is thrown (LockedError) by that first call.
  void beginReadTransaction();
  /// Commits. When the commit fails, the transaction is rolled back (memory
  /// included) and the failure thrown.
  void commitTransaction();
  /// Rolls back: the writes and the metamodel changes of the transaction are
  /// forgotten, in the database and in memory. Never throws for a failing
  /// back end once the transaction is gone (it is rolled back anyway).
  void rollbackTransaction();
  /// Commits; when the commit fails the failure is thrown and the transaction
  /// stays open for the caller, whose rollbackTransaction then always
  /// succeeds (also when the back end already rolled it back by itself).
  void unsafeCommitPotentiallyFailingTransaction();
  bool inTransaction() const noexcept;

  /// Runs `f` once, at once, and passes its exception on unchanged. Inside a
  /// transaction it just runs: the caller decides what stays. Outside one it
  /// runs in an implicit transaction (one commit for the whole batch) that is
  /// committed whether `f` returns or throws: what `f` wrote before it failed
  /// stays (each call it made is atomic, so a failing call leaves nothing
  /// half-written). Should that commit fail, nothing stays and `f`'s exception
  /// still passes. When `f` swallowed a failure after which the database
  /// dropped the transaction, nothing is committed and StorageError is thrown.
  void performDictionaryFunction(const boost::function<void()>& f);

  /// Reserves `count` object ids in a row and puts the first in `first`. The
  /// ids are for ObjectConstructor::setObjectID and getObjectRef; they are
  /// never handed out again (unless the transaction rolls back).
  void allocateObjectIds(std::size_t count, ObjectId& first);

  /// A handle on the object `id` of class `cls`, made without asking the
  /// database: valid before the object exists (pre-allocated ids). A link
  /// to it may be written first, but the transaction that writes it must
  /// make the object: a commit that would store a link to no object throws
  /// ObjectNotFoundError.
  ObjectRef getObjectRef(ObjectId id, const ClassRef& cls) const;

  /// Sets (or, with null, removes) the trace callback. It runs in the middle
  /// of the statement it reports: every call of the repository or its
  /// handles made from it throws UsageError, and what it throws is dropped.
  void setTraceCallback(TraceCallback callback, void* context = nullptr);

  /// What the connection has asked of a PostgreSQL server since it opened.
  struct RoundTrips {
    /// Waits for the server's answer: each statement run at once, each
    /// BEGIN, COMMIT and catalog read, each flush of queued writes (the
    /// writes queued before it go with it).
    std::uint64_t roundTrips = 0;
    /// Statements prepared on the server (a statement is prepared once per
    /// connection and kind of parameters, then reused).
    std::uint64_t preparations = 0;
  };
  /// The counts so far; both zero for a SQLite file. Throws UsageError when
  /// closed.
  RoundTrips roundTrips() const;

 private:
  friend class ObjectQuery;
  detail::CorePtr core_;
  // Shared, so that a move leaves both sides something to set.
  std::shared_ptr<std::atomic<bool>> interrupted_ = std::make_shared<std::atomic<bool>>(false);
};

static_assert(sizeof(DataModelRepository::ServiceOptions) == 40, "ServiceOptions is a 40-byte record");
static_assert(offsetof(DataModelRepository::ServiceOptions, maxGenerations) == 0, "field 0");
static_assert(offsetof(DataModelRepository::ServiceOptions, readOnly) == 4, "field 4");
static_assert(offsetof(DataModelRepository::ServiceOptions, reserved5) == 5, "field 5");
static_assert(offsetof(DataModelRepository::ServiceOptions, lockTimeoutSeconds) == 8, "field 8");
static_assert(offsetof(DataModelRepository::ServiceOptions, reserved12) == 12, "field 12");
static_assert(offsetof(DataModelRepository::ServiceOptions, reserved13) == 13, "field 13");
static_assert(offsetof(DataModelRepository::ServiceOptions, journalMode) == 16, "field 16");
static_assert(offsetof(DataModelRepository::ServiceOptions, reserved20) == 20, "field 20");
static_assert(offsetof(DataModelRepository::ServiceOptions, reserved24) == 24, "field 24");
static_assert(offsetof(DataModelRepository::ServiceOptions, reserved25) == 25, "field 25");
static_assert(offsetof(DataModelRepository::ServiceOptions, createIfMissing) == 26, "field 26");
static_assert(offsetof(DataModelRepository::ServiceOptions, pageCacheKiB) == 32, "field 32");

}  // namespace vlt
