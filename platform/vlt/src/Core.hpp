#pragma once
// The repository core: what one open repository is made of. It owns the
// connection and the parts that serve the public handles, each in a file of
// its own:
//
// | part             | owns                                                        |
// |------------------|-------------------------------------------------------------|
// | sql::Connection  | the database engine's connection (backend/)                 |
// | StatementCache   | prepared statements                                         |
// | TransactionState | the transaction's state machine, WriteScope                 |
// | Schema           | the metamodel cache, table and column names                 |
// | ValueTables      | which value tables and columns exist; making them when first written |
// | ObjectIds        | object id reservation                                       |
// | ObjectStore      | objects, single values, deletion, incoming links            |
// | Containment      | composite ownership                                         |
// | CollectionStore  | collections (link tables and composite collections)         |
// | ObjectFactory    | object construction from bound sources                      |
//
// Handles hold a shared pointer to the core: the core (and the metamodel
// infos in it) lives while any handle does; the connection only until close.
// Not synchronised.

#include "CollectionStore.hpp"
#include "Containment.hpp"
#include "ObjectFactory.hpp"
#include "ObjectIds.hpp"
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
  bool isOpen() const noexcept { return connection_ != nullptr; }
  bool readOnly() const noexcept { return readOnly_; }
  const std::string& filespec() const noexcept { return filespec_; }
  const std::u16string& filespecUtf16() const noexcept { return filespecUtf16_; }

  /// The open connection; throws UsageError when closed.
  sql::Connection& connection() const {
    checkOpen();
    return *connection_;
  }
  StatementCache& statements() noexcept { return statements_; }
  TransactionState& transaction() noexcept { return transaction_; }
  Schema& schema() noexcept { return schema_; }
  ValueTables& tables() noexcept { return tables_; }
  ObjectIds& ids() noexcept { return ids_; }
  ObjectStore& objects() noexcept { return objects_; }
  Containment& containment() noexcept { return containment_; }
  CollectionStore& collections() noexcept { return collections_; }
  ObjectFactory& factory() noexcept { return factory_; }

  /// The core a handle holds; throws UsageError (`whenNull`) for none.
  static Core& of(const CorePtr& core, const char* whenNull = "a null handle was used") {
    if (!core) throw UsageError(whenNull);
    if (core->connection_ && core->connection_->tracing()) core->refuseFromTrace();
    return *core;
  }

  void checkOpen() const {
    if (!connection_) throw UsageError("the repository is closed", filespec_);
    if (connection_->tracing()) refuseFromTrace();
  }
  [[noreturn]] void refuseFromTrace() const;
  /// Whether the trace callback is running.
  bool tracing() const noexcept { return connection_ && connection_->tracing(); }
  [[noreturn]] void usage(const std::string& message) const;
  [[noreturn]] void notFound(ObjectId id) const;

  // Handles on this core, and what is inside handles.
  ClassRef classRef(const ClassInfo* c) { return ClassRef(shared_from_this(), c); }
  PropertyRef propertyRef(const PropertyInfo* p) { return PropertyRef(shared_from_this(), p); }
  EnumerationRef enumerationRef(const EnumerationInfo* e) { return EnumerationRef(shared_from_this(), e); }
  EnumeralRef enumeralRef(const EnumerationInfo* e, std::size_t index) {
    return EnumeralRef(shared_from_this(), e, index, e->literals[index].value);
  }
  ObjectRef objectRef(const ClassInfo* cls, ObjectId id) { return ObjectRef(shared_from_this(), cls, id); }
  ObjectRef objectRef(const ClassInfo* cls, ObjectId id, const boost::uuids::uuid& uuid) {
    return ObjectRef(shared_from_this(), cls, id, uuid);
  }
  static const ClassInfo* info(const ClassRef& c) noexcept { return c.info_; }
  static const PropertyInfo* info(const PropertyRef& p) noexcept { return p.info_; }
  static const EnumerationInfo* info(const EnumerationRef& e) noexcept { return e.info_; }
  static const EnumerationInfo* enumerationOf(const EnumeralRef& e) noexcept { return e.enumeration_; }
  static Core* core(const ClassRef& c) noexcept { return c.core_.get(); }
  static Core* core(const PropertyRef& p) noexcept { return p.core_.get(); }
  static Core* core(const ObjectRef& o) noexcept { return o.core_.get(); }
  static const ClassInfo* classOf(const ObjectRef& o) noexcept { return o.class_; }
  static void rememberIdentity(const ObjectRef& o, const boost::uuids::uuid& uuid) noexcept {
    o.uuid_ = uuid;
    o.uuidKnown_ = true;
  }
  static void setCollection(CollectionRefBase& c, const ObjectRef& owner, const PropertyRef& property) {
    c.owner_ = owner;
    c.property_ = property;
  }

 private:
  Core(std::unique_ptr<sql::Connection> connection, const OpenOptions& options);
  void initialize(const OpenOptions& options, sql::DatabaseState state);
  void checkRepository();

  std::unique_ptr<sql::Connection> connection_;
  std::string filespec_;
  std::u16string filespecUtf16_;
  bool readOnly_ = false;
  StatementCache statements_;
  TransactionState transaction_;
  Schema schema_;
  ValueTables tables_;
  ObjectIds ids_;
  ObjectStore objects_;
  Containment containment_;
  CollectionStore collections_;
  ObjectFactory factory_;
};

}  // namespace vlt::detail
