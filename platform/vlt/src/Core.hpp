#pragma once
// The repository core: what one open repository is made of. It assembles the
// parts, each in a file of its own, and hands them to the public handles.
// Each part is given, when it is made, the parts it uses: only parts above it
// in this table, so that they depend on each other one way (and are made, and
// declared below, in this order).
//
// | part             | owns                                                                 |
// |------------------|----------------------------------------------------------------------|
// | Database         | the engine's connection (backend/) until close, filespec, read-only  |
// | HandleAccess     | making the public handles and reading what is inside them            |
// | StatementCache   | prepared statements                                                  |
// | TransactionState | the transaction's state machine, WriteScope                          |
// | Schema           | the metamodel cache, table and column names                          |
// | ValueTables      | which value tables and columns exist; making them when first written |
// | ObjectIds        | object id reservation                                                |
// | ObjectAccess     | checking handles against properties, objects seen existing, binding  |
// |                  | (WrittenLinks: the links to objects not known to exist, checked at   |
// |                  | the commit)                                                          |
// | ObjectStore      | objects, class-table values (the row kept), incoming links           |
// | Containment      | composite ownership                                                  |
// | CollectionStore  | collections; one value or all of any property, whatever holds it     |
// | ObjectRemoval    | deleting objects with what they own, and the links to them           |
// | ObjectFactory    | object construction from bound sources                               |
//
// Handles hold a shared pointer to the core: the core (and the metamodel
// infos in it) lives while any handle does; the connection only until close.
// Not synchronised.

#include "CollectionStore.hpp"
#include "Containment.hpp"
#include "Database.hpp"
#include "HandleAccess.hpp"
#include "ObjectAccess.hpp"
#include "ObjectFactory.hpp"
#include "ObjectIds.hpp"
#include "ObjectRemoval.hpp"
#include "ObjectStore.hpp"
#include "Schema.hpp"
#include "StatementCache.hpp"
#include "TransactionState.hpp"
#include "ValueTables.hpp"
#include "backend/Backend.hpp"

#include <vlt/Collections.hpp>
#include <vlt/Errors.hpp>
#include <vlt/Metamodel.hpp>
#include <vlt/Object.hpp>
#include <vlt/Repository.hpp>

#include <memory>
#include <string>

namespace vlt::detail {

class Core : public std::enable_shared_from_this<Core> {
 public:
  struct OpenOptions {
    sql::OpenRequest request;
    std::u16string filespecUtf16;
    std::string baseMetamodelPath;
    int maxGenerations = 1;
    sql::JournalMode journalMode = sql::JournalMode::keep;
    std::int64_t pageCacheKiB = DataModelRepository::defaultPageCacheKiB;
    bool postgresql = false;  ///< request.location is a libpq URI
  };

  /// Opens (or creates) a repository; see DataModelRepository::open.
  static std::shared_ptr<Core> open(const OpenOptions& options);
  ~Core();
  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  /// Rolls back what is open and closes the connection; the metamodel stays
  /// readable.
  void close() noexcept;
  bool isOpen() const noexcept { return database_.isOpen(); }
  const std::string& filespec() const noexcept { return database_.filespec(); }
  const std::u16string& filespecUtf16() const noexcept { return filespecUtf16_; }
  /// The open connection; throws UsageError when closed.
  sql::Connection& connection() const { return database_.connection(); }
  void checkOpen() const { database_.checkOpen(); }
  /// Whether the trace callback is running.
  bool tracing() const noexcept { return database_.tracing(); }
  [[noreturn]] void usage(const std::string& message) const { database_.usage(message); }
  /// The class of a handle a caller passed, checked to be this repository's.
  const ClassInfo* ownClass(const ClassRef& cls) const {
    if (!cls.isNull() && HandleAccess::core(cls) != this) {
      usage("the class \"" + cls.qualifiedName() + "\" belongs to another repository");
    }
    return HandleAccess::info(cls);
  }

  // The parts, for the handles.
  HandleAccess& handles() noexcept { return handles_; }
  StatementCache& statements() noexcept { return statements_; }
  TransactionState& transaction() noexcept { return transaction_; }
  Schema& schema() noexcept { return schema_; }
  ValueTables& tables() noexcept { return tables_; }
  ObjectIds& ids() noexcept { return ids_; }
  ObjectAccess& access() noexcept { return access_; }
  ObjectStore& objects() noexcept { return objects_; }
  Containment& containment() noexcept { return containment_; }
  CollectionStore& collections() noexcept { return collections_; }
  ObjectRemoval& removal() noexcept { return removal_; }
  ObjectFactory& factory() noexcept { return factory_; }

  /// The core a handle holds; throws UsageError (`whenNull`) for none.
  static Core& of(const CorePtr& core, const char* whenNull = "a null handle was used") {
    if (!core) throw UsageError(whenNull);
    if (core->database_.tracing()) core->database_.refuseFromTrace();
    return *core;
  }

 private:
  Core(std::unique_ptr<sql::Connection> connection, const OpenOptions& options);
  void initialize(const OpenOptions& options, sql::DatabaseState state);
  void checkRepository();

  // In the order of the table above: each is made from those before it.
  Database database_;
  HandleAccess handles_;
  StatementCache statements_;
  TransactionState transaction_;
  Schema schema_;
  ValueTables tables_;
  ObjectIds ids_;
  ObjectAccess access_;
  ObjectStore objects_;
  Containment containment_;
  CollectionStore collections_;
  ObjectRemoval removal_;
  ObjectFactory factory_;
  std::u16string filespecUtf16_;
};

}  // namespace vlt::detail
