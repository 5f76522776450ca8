#pragma once
// Deleting objects: an object with its composite subtree, or every object.
// Nothing that links to a deleted object survives, so deletion reaches into
// the class tables, the collections and the containment of other objects.

#include "CollectionStore.hpp"
#include "Database.hpp"
#include "ObjectAccess.hpp"
#include "ObjectStore.hpp"
#include "Schema.hpp"
#include "StatementCache.hpp"
#include "TransactionState.hpp"
#include "ValueTables.hpp"

#include <vlt/Object.hpp>

namespace vlt::detail {

/// Not synchronised.
class ObjectRemoval {
 public:
  ObjectRemoval(Database& database, StatementCache& statements, TransactionState& transaction, Schema& schema,
                ValueTables& tables, ObjectAccess& access, ObjectStore& objects, CollectionStore& collections)
      : database_(database),
        statements_(statements),
        transaction_(transaction),
        schema_(schema),
        tables_(tables),
        access_(access),
        objects_(objects),
        collections_(collections) {}

  void deleteObject(const ObjectRef& object);
  void deleteAll();

 private:
  void deleteOne(ObjectId id, const ClassInfo* cls);
  void cutLinksTo(ObjectId id, const ClassInfo* cls);

  Database& database_;
  StatementCache& statements_;
  TransactionState& transaction_;
  Schema& schema_;
  ValueTables& tables_;
  ObjectAccess& access_;
  ObjectStore& objects_;
  CollectionStore& collections_;
};

}  // namespace vlt::detail
