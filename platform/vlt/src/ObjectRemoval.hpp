#pragma once
// Deleting objects: an object with its composite subtree, or every object.
// Nothing that links to a deleted object survives, so deletion reaches into
// the class tables, the collections and the containment of other objects.

#include "Database.hpp"
#include "ObjectAccess.hpp"
#include "Schema.hpp"
#include "StatementCache.hpp"
#include "TransactionState.hpp"
#include "ValueTables.hpp"

#include <vlt/Object.hpp>

#include <vector>

namespace vlt::detail {

/// Not synchronised.
class ObjectRemoval {
 public:
  ObjectRemoval(Database& database, StatementCache& statements, TransactionState& transaction, Schema& schema,
                ValueTables& tables, ObjectAccess& access)
      : database_(database),
        statements_(statements),
        transaction_(transaction),
        schema_(schema),
        tables_(tables),
        access_(access) {}

  /// Deletes the object and what it owns; UsageError when it does not exist.
  void deleteObject(const ObjectRef& object);
  /// Deletes the objects and what they own; null handles and objects that
  /// do not exist are skipped.
  void deleteObjects(const std::vector<ObjectRef>& objects);
  void deleteAll();

 private:
  std::vector<const ClassInfo*> gather(const std::vector<ObjectId>& roots);
  void deleteRows(const std::vector<const ClassInfo*>& classes);
  void cutLinks(const std::vector<const ClassInfo*>& classes);
  void deleteSubtrees(const std::vector<ObjectId>& roots);

  Database& database_;
  StatementCache& statements_;
  TransactionState& transaction_;
  Schema& schema_;
  ValueTables& tables_;
  ObjectAccess& access_;
};

}  // namespace vlt::detail
