#pragma once
// Object construction from caller storage bound once (ObjectConstructor).

#include "Database.hpp"
#include "HandleAccess.hpp"
#include "ObjectAccess.hpp"
#include "ObjectIds.hpp"
#include "ObjectStore.hpp"
#include "Schema.hpp"
#include "StatementCache.hpp"
#include "TransactionState.hpp"
#include "ValueTables.hpp"

#include <vlt/Object.hpp>

#include <foundation/memory/LargeTable.hpp>

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>

#include <cstdint>
#include <memory>
#include <vector>

namespace vlt::detail {

/// A value source bound to an ObjectConstructor: `reader` gives a pointer to
/// the canonical value at `address` (null for absent), converting through
/// its scratch argument when needed.
struct BoundSource {
  const PropertyInfo* property;
  ValueType type;
  const void* address;
  const void* (*reader)(const void* address, void* scratch);
};

/// What one ObjectConstructor prepared: one INSERT per class of the lineage
/// that has bound sources, remade when the metamodel changes.
struct ConstructorPlan {
  struct ClassInsert {
    std::unique_ptr<sql::Statement> statement;
    std::vector<std::size_t> sources;  ///< indexes into the bound sources, in parameter order
    const ClassInfo* cls = nullptr;
  };
  std::uint64_t generation = ~std::uint64_t{0};
  std::vector<ClassInsert> inserts;

  ConstructorPlan();
  ~ConstructorPlan();
};

/// Where a new object is owned (composite membership), when it is.
struct Membership {
  const PropertyInfo* property = nullptr;
  ObjectId owner = 0;
  std::int32_t ordinal = 0;
};

/// The uuids of the objects written while indexes are deferred, for the
/// uniqueness the uuid index checks otherwise: open addressing over a table
/// of a power of two slots, the nil uuid (never an object's) marking a free
/// one.
class UuidSet {
 public:
  /// False when `uuid` is in the set already.
  bool insert(const boost::uuids::uuid& uuid);
  void clear() noexcept;

 private:
  void grow();

  std::vector<boost::uuids::uuid, foundation::memory::LargeTableAllocator<boost::uuids::uuid>> slots_;
  std::size_t size_ = 0;
};

/// Not synchronised.
///
/// A transaction that creates many objects in a repository that held none
/// (an import) has the back end defer the indexes of the object and value
/// tables (see sql::Connection::deferIndexes): made once from the rows at
/// the end, they cost a fraction of what they cost row by row. Until then
/// this checks the uuids' uniqueness. A server defers only the indexes of
/// the tables the transaction made (none unique), in any transaction that
/// creates that many objects: nothing is left to check.
///
/// Also keeps the server's planner statistics in step with bulk writes: a
/// planner that has none (right after a large import) picks plans that scan
/// whole tables per lookup. After a commit that at least doubled the objects
/// this connection has created since it last did so (10,000 at the least),
/// the back end refreshes them.
class ObjectFactory final : public TransactionParticipant {
 public:
  ObjectFactory(Database& database, HandleAccess& handles, StatementCache& statements, TransactionState& transaction,
                Schema& schema, ValueTables& tables, ObjectIds& ids, ObjectAccess& access, ObjectStore& objects)
      : database_(database),
        handles_(handles),
        statements_(statements),
        transaction_(transaction),
        schema_(schema),
        tables_(tables),
        ids_(ids),
        access_(access),
        objects_(objects) {}

  void transactionEnded(bool committed) noexcept override;
  void savepointRolledBack() noexcept override { uuidsStale_ = bulkLoad_; }

  /// Creates one object of `cls` with id `id` (0: a fresh one) and uuid
  /// `uuid` (nil: a random one) from `sources`. Nothing of the object remains
  /// when it fails.
  ObjectRef construct(const ClassInfo* cls, ConstructorPlan& plan, const std::vector<BoundSource>& sources,
                      ObjectId id, const boost::uuids::uuid& uuid, const Membership& membership);

 private:
  std::uint64_t planVersion() const noexcept;
  void prepare(const ClassInfo* cls, ConstructorPlan& plan, const std::vector<BoundSource>& sources);
  void insertObjectRow(ObjectId id, const boost::uuids::uuid& uuid, const ClassInfo* cls, const Membership& membership);
  void insertClassRows(ObjectId id, ConstructorPlan& plan, const std::vector<BoundSource>& sources);
  void startBulkLoad();
  void stopBulkLoad() noexcept;
  bool checkingUuids();

  Database& database_;
  HandleAccess& handles_;
  StatementCache& statements_;
  TransactionState& transaction_;
  Schema& schema_;
  ValueTables& tables_;
  ObjectIds& ids_;
  ObjectAccess& access_;
  ObjectStore& objects_;
  boost::uuids::random_generator uuidGenerator_;
  std::uint64_t createdInTransaction_ = 0;
  bool bulkLoad_ = false;     ///< indexes were deferred in this transaction
  bool uuidsStale_ = false;   ///< a savepoint's rollback took objects in uuids_ back
  UuidSet uuids_;             ///< while bulkLoad_: every object's uuid
  std::uint64_t created_ = 0;           ///< committed, by this connection
  std::uint64_t createdAtRefresh_ = 0;  ///< created_ when statistics were last refreshed
};

}  // namespace vlt::detail
