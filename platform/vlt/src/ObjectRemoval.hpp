#pragma once
// Deleting objects: an object with its composite subtree, or every object.
// Nothing that links to a deleted object survives, so deletion reaches into
// the class tables, the collections and the containment of other objects.

#include "Database.hpp"
#include "ObjectAccess.hpp"
#include "ObjectStore.hpp"
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
                ValueTables& tables, ObjectAccess& access, ObjectStore& objects)
      : database_(database),
        statements_(statements),
        transaction_(transaction),
        schema_(schema),
        tables_(tables),
        access_(access),
        objects_(objects) {}

  /// Deletes the object and what it owns; UsageError when it does not exist.
  void deleteObject(const ObjectRef& object);
  /// A link a deletion cut in an object it left, with its property and the
  /// uuid of the deleted target.
  struct Cut {
    const PropertyInfo* property;
    IncomingLink link;
    boost::uuids::uuid target{};
  };
  using CutLinks = std::vector<Cut>;

  /// Which objects owned by a deleted one without being named stay, as roots.
  using Keeps = std::function<bool(const ObjectRef&)>;

  /// Deletes the objects and what they own; null handles and objects that
  /// do not exist are skipped. With `cut`, appends the links it cut there;
  /// with `keeps`, first asks it about each object owned by a named one
  /// without being named.
  void deleteObjects(const std::vector<ObjectRef>& objects, CutLinks* cut, const Keeps& keeps);
  /// Objects named by uuid: those of `cls` or a subclass.
  struct Identified {
    const ClassInfo* cls;
    const std::vector<boost::uuids::uuid>* uuids;
    const std::vector<ObjectId>* hints;  ///< empty, or one per uuid (0: none)
  };
  /// The same for objects named by uuid (see
  /// DataModelRef::deleteIdentifiedObjects).
  void deleteIdentified(const std::vector<Identified>& groups, CutLinks* cut, const Keeps& keeps,
                        std::vector<boost::uuids::uuid>* found);
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

  void startGathering();
  void addRoots(const std::vector<ObjectId>& roots);
  void addIdentified(const Identified& group);
  /// The ids and class ids of the objects `group` names, appended to `out`.
  void findIdentified(const Identified& group, std::vector<std::pair<ObjectId, std::int64_t>>& out);
  /// Appends to `out` the ids and class ids of the objects `group` names
  /// with hints that hold; returns the uuids of the others.
  std::vector<boost::uuids::uuid> confirmHinted(const Identified& group,
                                                std::vector<std::pair<ObjectId, std::int64_t>>& out);
  /// Adds the objects (id, class id) found to vlt_doomed, in id order.
  void addFound(std::vector<std::pair<ObjectId, std::int64_t>>& roots);
  /// What the roots in vlt_doomed own, added; how many of each class.
  Doomed gatherOwned();
  bool releaseKept(const Keeps& keeps);
  void decideWholeTables(Doomed& doomed);
  bool takesEveryObjectOf(const Doomed& doomed, const ClassInfo* cls,
                          std::unordered_map<const ClassInfo*, bool>& known);
  void deleteRows(const Doomed& doomed);
  void deleteObjectRows(const Doomed& doomed);
  void cutLinks(const Doomed& doomed, CutLinks* cut);
  void collectCut(const PropertyInfo* q, CutLinks& cut);
  void nameCutTargets(CutLinks& cut);
  /// Deletes the roots gathered in vlt_doomed (see startGathering) and
  /// what they own.
  void deleteSubtrees(CutLinks* cut = nullptr, const Keeps& keeps = {});

  Database& database_;
  StatementCache& statements_;
  TransactionState& transaction_;
  Schema& schema_;
  ValueTables& tables_;
  ObjectAccess& access_;
  ObjectStore& objects_;
};

}  // namespace vlt::detail
