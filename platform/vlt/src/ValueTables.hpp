#pragma once
// The tables that hold values: one per class for its single values, one per
// collection property. A table is made when the first value is written to
// it, not when its class or property is created: in SQLite every CREATE or
// ALTER TABLE costs time in proportion to the whole schema (an ALTER reparses
// all of it), so a metamodel of thousands of classes made up front would take
// quadratic time. A class's table is made with every column it has then;
// columns added later are added when a value is first written to them.
//
// Reads skip what does not exist: a missing table or column holds no value.
// What this connection knows is refreshed when the database's schema changed
// (another connection made a table), checked at most once per transaction and
// only when a missing table matters. Not synchronised.

#include "Database.hpp"
#include "TransactionState.hpp"

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace vlt::detail {

struct ClassInfo;
struct PropertyInfo;

class ValueTables final : public TransactionParticipant {
 public:
  ValueTables(Database& database, TransactionState& transaction) : database_(database), transaction_(transaction) {}

  /// A class table as this connection knows it.
  struct ClassTable {
    bool exists = false;
    std::vector<bool> columns;  ///< by PropertyInfo::rowColumn: the column exists
    bool complete() const noexcept;
  };
  /// For reads: the class's table as it is now.
  const ClassTable& classTable(const ClassInfo* cls);
  /// For reads: whether the collection property's table exists.
  bool collectionTable(const PropertyInfo* property);
  /// For writes: makes the class's table and every column it lacks.
  void prepareClassTable(const ClassInfo* cls);
  /// For writes: makes the collection property's table.
  void prepareCollectionTable(const PropertyInfo* property);

  /// Changes whenever what is known changes: statements built from it are
  /// made again.
  std::uint64_t version() const noexcept { return version_; }
  /// Whether a table or column is known to be missing (another connection
  /// may make it: refresh() before relying on a statement built without it).
  bool anyMissing() const noexcept { return missing_ > 0; }
  /// Looks whether another connection changed the schema (at most once per
  /// transaction) and forgets what is missing when it did.
  void refresh();

  void transactionEnded(bool committed) noexcept override;
  void savepointRolledBack() noexcept override;

 private:
  struct Known {
    ClassTable table;
    bool madeHere = false;  ///< made or completed by the open transaction
  };
  struct KnownCollection {
    bool exists = false;
    bool madeHere = false;
  };
  ClassTable look(const ClassInfo* cls);
  void noteEngineSchema();
  void changed() noexcept;
  void recount() noexcept;
  void forgetMadeHere() noexcept;

  Database& database_;
  TransactionState& transaction_;
  std::unordered_map<const ClassInfo*, Known> classes_;
  std::unordered_map<const PropertyInfo*, KnownCollection> collections_;
  std::uint64_t version_ = 1;
  std::size_t missing_ = 0;  ///< known tables that are missing or lack columns
  std::int64_t engineSchema_ = -1;         ///< the engine's schema version when last looked at
  std::uint64_t checkedInTransaction_ = 0;  ///< TransactionState::number() of that look
};

}  // namespace vlt::detail
