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

#include <cstdint>
#include <functional>
#include <unordered_map>
#include <unordered_set>
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
  /// The links a deletion cut in the objects it left, with their properties.
  using CutLinks = std::vector<std::pair<const PropertyInfo*, IncomingLink>>;

  /// Which objects owned by a deleted one without being named stay, as roots.
  using Keeps = std::function<bool(const ObjectRef&)>;

  /// Deletes the objects and what they own; null handles and objects that
  /// do not exist are skipped. With `cut`, appends the links it cut there;
  /// with `keeps`, first asks it about each object owned by a named one
  /// without being named.
  void deleteObjects(const std::vector<ObjectRef>& objects, CutLinks* cut, const Keeps& keeps);
  void deleteAll();

 private:
  /// What one deletion takes: the objects in vlt_doomed, how many of each
  /// class, and, decided before any row goes, which tables it empties.
  struct Doomed {
    std::vector<std::pair<const ClassInfo*, std::int64_t>> classes;
    std::int64_t total = 0;
    /// Classes whose table (and collections) no surviving object has a row in.
    std::unordered_set<const ClassInfo*> emptied;
    std::int64_t survivors = -1;  ///< objects left, when few enough to keep aside; else -1
    std::vector<const ClassInfo*> keptClasses;  ///< with survivors to keep aside

    bool empties(const ClassInfo* cls) const { return emptied.count(cls) != 0; }
  };

  Doomed gather(const std::vector<ObjectId>& roots);
  bool releaseKept(const Keeps& keeps);
  void decideWholeTables(Doomed& doomed);
  bool takesEveryObjectOf(const Doomed& doomed, const ClassInfo* cls,
                          std::unordered_map<const ClassInfo*, bool>& known);
  void deleteRows(const Doomed& doomed);
  void deleteObjectRows(const Doomed& doomed);
  void cutLinks(const Doomed& doomed, CutLinks* cut);
  void collectCut(const PropertyInfo* q, CutLinks& cut);
  void deleteSubtrees(const std::vector<ObjectId>& roots, CutLinks* cut = nullptr, const Keeps& keeps = {});

  Database& database_;
  StatementCache& statements_;
  TransactionState& transaction_;
  Schema& schema_;
  ValueTables& tables_;
  ObjectAccess& access_;
};

}  // namespace vlt::detail
