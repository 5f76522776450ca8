// Deleting objects, and the links to them.
//
// A deletion takes whole subtrees at once, set-wise: the ids of every object
// to delete are gathered once, with their classes, into a temporary table
// (the roots, then what they own, through the owner index), and each table
// that can hold them or a link to them is then changed by one statement that
// reads that table through an index. Deleting a subtree of n objects thus
// runs a number of statements bounded by the schema (class tables,
// collection tables, reference columns), not by n. A large deletion that
// leaves a table without a row empties it whole instead, and one that
// leaves few objects keeps those aside while it empties the object table.

#include "ObjectRemoval.hpp"

#include "StatementCache.hpp"

#include <algorithm>
#include <set>

namespace vlt::detail {

namespace {

// Purposes of the statements kept per class or property; apart from those of
// ObjectStore and PropertyStatement, which key the same elements.
enum RemovalStatement {
  removeRows = 100,
  removeEntries,
  cutColumn,
  renumberEntries,
  cutEntries,
  emptyRows,
  emptyEntries,
  reportColumn,
  reportEntries,
  findIdentifiedRows,
  addIdentifiedIds
};

// Below this many objects a deletion takes their rows without asking first
// whether it empties whole tables: the questions would cost more than they
// save (on a server, a round trip each).
constexpr std::int64_t wholeTablesFrom = 256;

// The roots of a deletion as a list of inListSize ids (see StatementCache):
// objects that do not exist (any more) are skipped, and so are ids listed
// twice.
const char* addRootsText() {
  static const std::string text =
      "INSERT INTO vlt_doomed (id, class_id) SELECT id, class_id FROM vlt_object WHERE id IN (" +
      inListPlaceholders(1) + ") ON CONFLICT DO NOTHING";
  return text.c_str();
}

// `select` of the objects of `cls` or a subclass among those an IN list of
// their `key` ("id", "uuid") names; `tail` follows.
std::string identifiedText(const ClassInfo& cls, const char* select, const char* key, const char* tail) {
  // The unary plus keeps the planners off the class index: they would read
  // every object of the classes to keep those of the list.
  return std::string(select) + " FROM vlt_object WHERE " + key + " IN (" + inListPlaceholders(1) +
         ") AND +class_id IN (" + classIdList(&cls) + ")" + tail;
}

// inListSize rows (id, class_id) into vlt_doomed; `padded`: the last
// list, whose last row repeats.
const char* addRowsText(bool padded) {
  static const auto text = [](bool withConflicts) {
    std::string values;
    for (std::size_t k = 0; k < inListSize; ++k)
      values += (k == 0 ? "(?" : ", (?") + std::to_string(2 * k + 1) + ", ?" + std::to_string(2 * k + 2) + ")";
    return "INSERT INTO vlt_doomed (id, class_id) VALUES " + values + (withConflicts ? " ON CONFLICT DO NOTHING" : "");
  };
  static const std::string plain = text(false), padding = text(true);
  return padded ? padding.c_str() : plain.c_str();
}

const char* idsText() {
  static const std::string text = "SELECT id FROM vlt_object WHERE uuid IN (" + inListPlaceholders(1) + ")";
  return text.c_str();
}

// Runs `statement()` with each inListSize of `values` bound from ?1 (a
// short last list repeats its last value), then `each` with it.
template <class T, class Statement, class Each>
void forEachList(const std::vector<T>& values, Statement statement, Each each) {
  for (std::size_t first = 0; first < values.size(); first += inListSize) {
    sql::StatementUse s(statement());
    for (std::size_t k = 0; k < inListSize; ++k) {
      bindListValue(*s, static_cast<int>(k) + 1, values[std::min(first + k, values.size() - 1)]);
    }
    each(*s);
  }
}

void run(sql::Statement& s) { s.run(); }

boost::uuids::uuid uuidAt(sql::Statement& s, int column) {
  const std::string_view bytes = s.columnBlob(column);
  boost::uuids::uuid uuid{};
  if (bytes.size() == uuid.size()) std::copy(bytes.begin(), bytes.end(), uuid.begin());
  return uuid;
}

const char* targetsText() {
  static const std::string text = "SELECT id, uuid FROM vlt_object WHERE id IN (" + inListPlaceholders(1) + ")";
  return text.c_str();
}

}  // namespace

void ObjectRemoval::deleteObject(const ObjectRef& object) {
  database_.checkOpen();
  if (object.isNull()) database_.usage("a null object cannot be deleted");
  WriteScope scope(transaction_);
  access_.requireObject(object.objectId());
  startGathering();
  addRoots({object.objectId()});
  deleteSubtrees();
  scope.commit();
}

void ObjectRemoval::deleteObjects(const std::vector<ObjectRef>& objects, CutLinks* cut, const Keeps& keeps) {
  database_.checkOpen();
  std::vector<ObjectId> ids;
  ids.reserve(objects.size());
  for (const ObjectRef& object : objects) {
    if (!object.isNull()) ids.push_back(object.objectId());
  }
  if (ids.empty()) return;
  WriteScope scope(transaction_);
  startGathering();
  addRoots(ids);
  deleteSubtrees(cut, keeps);
  scope.commit();
}

void ObjectRemoval::deleteIdentified(const std::vector<Identified>& groups, CutLinks* cut, const Keeps& keeps,
                                     std::vector<boost::uuids::uuid>* found) {
  database_.checkOpen();
  for (const Identified& group : groups) schema_.checkUsable(group.cls);
  if (std::all_of(groups.begin(), groups.end(), [](const Identified& g) { return g.uuids->empty(); })) return;
  WriteScope scope(transaction_);
  startGathering();
  if (database_.connection().dialect().statementsAreRoundTrips) {
    std::vector<std::pair<ObjectId, std::int64_t>> roots;
    for (const Identified& group : groups) findIdentified(group, roots);
    addFound(roots);
  } else {
    for (const Identified& group : groups) addIdentified(group);
  }
  if (found != nullptr) {
    sql::StatementUse s(statements_.fixed("SELECT o.uuid FROM vlt_doomed d JOIN vlt_object o ON o.id = d.id"));
    while (s->step()) found->push_back(uuidAt(*s, 0));
  }
  deleteSubtrees(cut, keeps);
  scope.commit();
}

void ObjectRemoval::deleteAll() {
  WriteScope scope(transaction_);
  transaction_.noteRemoval();
  sql::Connection& c = database_.connection();
  for (const ClassInfo* cls : schema_.classes()) {
    if (cls->rowColumns > 0 && tables_.classTable(cls).exists) c.execute("DELETE FROM " + cls->table);
  }
  for (const auto& q : schema_.allProperties()) {
    if (!q->retired && q->inOwnTable() && tables_.collectionTable(q.get())) c.execute("DELETE FROM " + q->table);
  }
  c.execute("DELETE FROM vlt_object");
  scope.commit();
}

// An empty vlt_doomed for a deletion's roots (a failed deletion may have
// left ids there), each row with the object's class.
void ObjectRemoval::startGathering() {
  sql::Connection& c = database_.connection();
  // Temporary: the connection's own, gone with it. Made again after a
  // rollback took it back.
  c.execute(sql::fillIn("CREATE TEMP TABLE IF NOT EXISTS vlt_doomed "
                        "(id {int} PRIMARY KEY, class_id {int} NOT NULL, stage {int} NOT NULL DEFAULT 0)",
                        {{"int", c.dialect().integerType}}));
  statements_.fixed("DELETE FROM vlt_doomed").run();
}

void ObjectRemoval::addRoots(const std::vector<ObjectId>& roots) {
  // In id order every insert appends to the table's tree.
  std::vector<ObjectId> sorted(roots);
  std::sort(sorted.begin(), sorted.end());
  forEachList(sorted, [&]() -> sql::Statement& { return statements_.fixed(addRootsText()); }, run);
}

// SQLite's uuid index holds the ids: found there, they are added in id
// order, each row of the object table read once, where the uuids' order
// would read it all over.
void ObjectRemoval::addIdentified(const Identified& group) {
  std::vector<std::pair<ObjectId, std::int64_t>> confirmed;
  std::vector<boost::uuids::uuid> uuids = confirmHinted(group, confirmed);
  std::sort(uuids.begin(), uuids.end());
  std::vector<ObjectId> ids;
  ids.reserve(confirmed.size());
  for (const auto& [id, cls] : confirmed) ids.push_back(id);
  forEachList(uuids, [&]() -> sql::Statement& { return statements_.fixed(idsText()); }, [&](sql::Statement& s) {
    while (s.step()) ids.push_back(static_cast<ObjectId>(s.columnInt64(0)));
  });
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  const auto add = [&]() -> sql::Statement& {
    return statements_.keyed(group.cls, addIdentifiedIds, schema_.generation(), [&] {
      return identifiedText(*group.cls, "INSERT INTO vlt_doomed (id, class_id) SELECT id, class_id", "id",
                            " ON CONFLICT DO NOTHING");
    });
  };
  forEachList(ids, add, run);
}

// On a server the objects are found first, a statement per few hundred
// uuids, and then added in id order: inserted in the uuids' order, and
// checked for conflicts row by row, the rows of vlt_doomed cost four times
// as much.
void ObjectRemoval::findIdentified(const Identified& group, std::vector<std::pair<ObjectId, std::int64_t>>& out) {
  std::vector<boost::uuids::uuid> uuids = confirmHinted(group, out);
  std::sort(uuids.begin(), uuids.end());
  const auto find = [&]() -> sql::Statement& {
    return statements_.keyed(group.cls, findIdentifiedRows, schema_.generation(),
                             [&] { return identifiedText(*group.cls, "SELECT id, class_id", "uuid", ""); });
  };
  forEachList(uuids, find, [&](sql::Statement& s) {
    while (s.step()) out.emplace_back(static_cast<ObjectId>(s.columnInt64(0)), s.columnInt64(1));
  });
}

// A hint counts only when its object carries the uuid and is of the
// group's class: the caller may remember an object that went, or whose id
// another took. Checked a few thousand at a time, in id order.
std::vector<boost::uuids::uuid> ObjectRemoval::confirmHinted(const Identified& group,
                                                              std::vector<std::pair<ObjectId, std::int64_t>>& out) {
  const std::vector<boost::uuids::uuid>& uuids = *group.uuids;
  if (group.hints->empty()) return uuids;
  std::vector<std::pair<ObjectId, std::uint32_t>> hinted;  // the hint, the uuid's place
  std::vector<boost::uuids::uuid> rest;
  for (std::uint32_t i = 0; i < uuids.size(); ++i) {
    if ((*group.hints)[i] != 0) hinted.emplace_back((*group.hints)[i], i);
    else rest.push_back(uuids[i]);
  }
  std::sort(hinted.begin(), hinted.end());
  constexpr std::size_t chunk = 4096;
  std::vector<ObjectId> ids;
  std::vector<boost::uuids::uuid> expected;
  for (std::size_t first = 0; first < hinted.size(); first += chunk) {
    ids.clear();
    expected.clear();
    for (std::size_t k = first; k < std::min(first + chunk, hinted.size()); ++k) {
      ids.push_back(hinted[k].first);
      expected.push_back(uuids[hinted[k].second]);
    }
    const std::vector<const ClassInfo*> classes = objects_.confirm(ids, expected);
    for (std::size_t k = 0; k < ids.size(); ++k) {
      if (classes[k] != nullptr && classes[k]->conformsTo(group.cls)) out.emplace_back(ids[k], classes[k]->id);
      else rest.push_back(expected[k]);
    }
  }
  return rest;
}

void ObjectRemoval::addFound(std::vector<std::pair<ObjectId, std::int64_t>>& roots) {
  std::sort(roots.begin(), roots.end());
  roots.erase(std::unique(roots.begin(), roots.end()), roots.end());
  for (std::size_t first = 0; first < roots.size(); first += inListSize) {
    const bool padded = roots.size() - first < inListSize;
    sql::StatementUse s(statements_.fixed(addRowsText(padded)));
    for (std::size_t k = 0; k < inListSize; ++k) {
      const auto& [id, cls] = roots[std::min(first + k, roots.size() - 1)];
      s->bindInt64(static_cast<int>(2 * k + 1), id);
      s->bindInt64(static_cast<int>(2 * k + 2), cls);
    }
    s->run();
  }
}

ObjectRemoval::Doomed ObjectRemoval::gatherOwned() {
  // What the roots own and were not named with them (a caller that names
  // every object of the subtrees, as one deleting what memory destroyed
  // does, is done here), then what that owns, each object reached once:
  // ownership is a tree. Added in id order.
  statements_
      .fixed("INSERT INTO vlt_doomed (id, class_id, stage) SELECT o.id, o.class_id, 1 FROM vlt_doomed d "
             "JOIN vlt_object o ON o.owner_id = d.id WHERE NOT EXISTS (SELECT 1 FROM vlt_doomed x WHERE x.id = o.id) "
             "ORDER BY o.id")
      .run();
  statements_
      .fixed("WITH RECURSIVE sub(id, class_id) AS (SELECT o.id, o.class_id FROM vlt_doomed d "
             "JOIN vlt_object o ON o.owner_id = d.id WHERE d.stage = 1 "
             "UNION ALL SELECT o.id, o.class_id FROM sub JOIN vlt_object o ON o.owner_id = sub.id) "
             "INSERT INTO vlt_doomed (id, class_id, stage) SELECT id, class_id, 2 FROM sub ORDER BY id "
             "ON CONFLICT DO NOTHING")
      .run();
  Doomed doomed;
  sql::StatementUse s(statements_.fixed("SELECT class_id, count(*) FROM vlt_doomed GROUP BY class_id"));
  while (s->step()) {
    const ClassInfo* cls = schema_.classById(s->columnInt64(0));
    if (cls == nullptr) {
      throw StorageError("an object to delete has the unknown class " + std::to_string(s->columnInt64(0)),
                         database_.filespec());
    }
    doomed.classes.emplace_back(cls, s->columnInt64(1));
    doomed.total += s->columnInt64(1);
  }
  return doomed;
}

// Whether the deletion takes every object of `cls`: counted through the
// class index up to one more than it takes, so the question costs what the
// deletion does, whatever the number of objects that stay.
bool ObjectRemoval::takesEveryObjectOf(const Doomed& doomed, const ClassInfo* cls,
                                       std::unordered_map<const ClassInfo*, bool>& known) {
  const auto memo = known.find(cls);
  if (memo != known.end()) return memo->second;
  std::int64_t taken = 0;
  for (const auto& [doomedClass, count] : doomed.classes) {
    if (doomedClass == cls) taken = count;
  }
  sql::StatementUse s(
      statements_.fixed("SELECT count(*) FROM (SELECT 1 FROM vlt_object WHERE class_id = ?1 LIMIT ?2) AS first"));
  s->bindInt64(1, cls->id);
  s->bindInt64(2, taken + 1);
  const bool every = s->step() && s->columnInt64(0) == taken;
  known.emplace(cls, every);
  return every;
}

// A large deletion that leaves a table without a row empties it whole, and
// one that leaves few objects keeps those aside and empties the object
// table: taking each row out of each index costs many times more (on
// SQLite, emptying a table drops its pages). Decided before any row goes.
void ObjectRemoval::decideWholeTables(Doomed& doomed) {
  if (doomed.total < wholeTablesFrom) return;
  std::set<const ClassInfo*> holders;
  for (const auto& [cls, count] : doomed.classes) holders.insert(cls->lineage.begin(), cls->lineage.end());
  for (const auto& q : schema_.allProperties()) {
    if (!q->retired && q->valueType == ValueType::object && !q->composite) holders.insert(q->owner);
  }
  std::unordered_map<const ClassInfo*, bool> every;
  const std::vector<ClassInfo*> all = schema_.classes();
  for (const ClassInfo* holder : holders) {
    if (std::all_of(all.begin(), all.end(), [&](const ClassInfo* k) {
          return k->retired || !k->conformsTo(holder) || takesEveryObjectOf(doomed, k, every);
        }))
      doomed.emptied.insert(holder);
  }
  const std::int64_t few = doomed.total / 4;
  sql::StatementUse s(statements_.fixed("SELECT count(*) FROM (SELECT 1 FROM vlt_object LIMIT ?1) AS objects"));
  s->bindInt64(1, doomed.total + few + 1);
  if (!s->step() || s->columnInt64(0) - doomed.total > few) return;
  doomed.survivors = s->columnInt64(0) - doomed.total;
  if (doomed.survivors == 0) return;
  for (const ClassInfo* k : all) {
    if (!k->retired && !takesEveryObjectOf(doomed, k, every)) doomed.keptClasses.push_back(k);
  }
}

// The rows of the doomed objects in their class tables and in the
// collections they hold; their rows in the object table go last
// (deleteObjectRows), once the links cut to them are named.
void ObjectRemoval::deleteRows(const Doomed& doomed) {
  std::set<const ClassInfo*> tables;
  for (const auto& [cls, count] : doomed.classes) tables.insert(cls->lineage.begin(), cls->lineage.end());
  for (const ClassInfo* c : tables) {
    const bool whole = doomed.empties(c);
    for (const PropertyInfo* q : c->properties) {
      if (!q->inOwnTable() || !tables_.collectionTable(q)) continue;
      statements_
          .keyed(q, whole ? emptyEntries : removeEntries, 0,
                 [&] {
                   return sql::fillIn(whole ? "DELETE FROM {values}"
                                            : "DELETE FROM {values} WHERE object_id IN (SELECT id FROM vlt_doomed)",
                                      {{"values", q->table}});
                 })
          .run();
    }
    if (c->rowColumns == 0 || !tables_.classTable(c).exists) continue;
    statements_
        .keyed(c, whole ? emptyRows : removeRows, 0,
               [&] {
                 return sql::fillIn(whole ? "DELETE FROM {table}" : "DELETE FROM {table} WHERE id IN (SELECT id FROM vlt_doomed)",
                                    {{"table", c->table}});
               })
        .run();
  }
}

void ObjectRemoval::deleteObjectRows(const Doomed& doomed) {
  if (doomed.survivors < 0) {
    statements_.fixed("DELETE FROM vlt_object WHERE id IN (SELECT id FROM vlt_doomed)").run();
    return;
  }
  // The survivors are found through the class index, among the classes
  // the deletion does not take whole. While they are out no other write can
  // meet them (writers take the repository's write lock), and readers see
  // them before or after, never missing.
  if (!doomed.keptClasses.empty())
    database_.connection().execute("CREATE TEMP TABLE IF NOT EXISTS vlt_kept AS SELECT * FROM vlt_object WHERE 1 = 0");
  for (const ClassInfo* k : doomed.keptClasses) {
    sql::StatementUse s(statements_.fixed("INSERT INTO vlt_kept SELECT o.* FROM vlt_object o WHERE o.class_id = ?1 "
                                          "AND NOT EXISTS (SELECT 1 FROM vlt_doomed d WHERE d.id = o.id)"));
    s->bindInt64(1, k->id);
    s->run();
  }
  statements_.fixed("DELETE FROM vlt_object").run();
  if (doomed.keptClasses.empty()) return;
  statements_.fixed("INSERT INTO vlt_object SELECT * FROM vlt_kept").run();
  statements_.fixed("DELETE FROM vlt_kept").run();
}

// Links that other objects hold to the doomed ones: single references
// become absent; collection entries are removed, the later entries of each
// collection moving down by the number removed before them. A table that the
// deletion emptied holds none.
void ObjectRemoval::cutLinks(const Doomed& doomed, CutLinks* cut) {
  for (const auto& holder : schema_.allProperties()) {
    const PropertyInfo* q = holder.get();
    if (q->retired || q->valueType != ValueType::object || q->composite || doomed.empties(q->owner)) continue;
    if (std::none_of(doomed.classes.begin(), doomed.classes.end(),
                     [q](const auto& c) { return c.first->conformsTo(q->typeClass); })) {
      continue;
    }
    if (q->inClassTable()) {
      const ValueTables::ClassTable& table = tables_.classTable(q->owner);
      if (!table.exists || !table.columns[static_cast<std::size_t>(q->rowColumn)]) continue;
      if (cut) collectCut(q, *cut);
      statements_
          .keyed(q, cutColumn, 0,
                 [&] {
                   return sql::fillIn("UPDATE {class} SET {column} = NULL WHERE {column} IN (SELECT id FROM vlt_doomed)",
                                      {{"class", q->owner->table}, {"column", q->column}});
                 })
          .run();
      continue;
    }
    if (!tables_.collectionTable(q)) continue;
    if (cut) collectCut(q, *cut);
    // Renumbered first, while the doomed entries still tell how many go
    // before each survivor; those entries keep their ordinals meanwhile.
    statements_
        .keyed(q, renumberEntries, 0,
               [&] {
                 return sql::fillIn(
                     "UPDATE {values} SET ordinal = ordinal - (SELECT count(*) FROM {values} d "
                     "WHERE d.object_id = {values}.object_id AND d.ordinal < {values}.ordinal "
                     "AND d.value IN (SELECT id FROM vlt_doomed)) "
                     "WHERE object_id IN (SELECT object_id FROM {values} WHERE value IN (SELECT id FROM vlt_doomed)) "
                     "AND value NOT IN (SELECT id FROM vlt_doomed)",
                     {{"values", q->table}});
               })
        .run();
    statements_
        .keyed(q, cutEntries, 0,
               [&] {
                 return sql::fillIn("DELETE FROM {values} WHERE value IN (SELECT id FROM vlt_doomed)",
                                    {{"values", q->table}});
               })
        .run();
  }
}

// The links of `q` into doomed objects, once the doomed objects' own rows
// are gone: what holds them is left.
void ObjectRemoval::collectCut(const PropertyInfo* q, CutLinks& cut) {
  const bool column = q->inClassTable();
  sql::StatementUse s(statements_.keyed(q, column ? reportColumn : reportEntries, 0,
                                        [&] { return linksIntoText(*q, "(SELECT id FROM vlt_doomed)"); }));
  while (s->step()) {
    cut.push_back(Cut{q, IncomingLink{access_.objectAt(*s, 0, q->owner), static_cast<ObjectId>(s->columnInt64(3)),
                                      static_cast<std::size_t>(s->columnInt64(4))}});
  }
}

// The objects that named ones own without naming them which `keeps` keeps:
// made roots, as `keeps`'s caller has them. Whether any was.
bool ObjectRemoval::releaseKept(const Keeps& keeps) {
  std::vector<ObjectRef> owned;
  {
    sql::StatementUse s(statements_.fixed(
        "SELECT d.id, o.class_id, o.uuid FROM vlt_doomed d JOIN vlt_object o ON o.id = d.id WHERE d.stage = 1"));
    while (s->step()) owned.push_back(access_.objectAt(*s, 0, nullptr));
  }
  bool any = false;
  for (const ObjectRef& object : owned) {
    if (!keeps(object)) continue;
    sql::StatementUse s(statements_.fixed(
        "UPDATE vlt_object SET owner_id = NULL, owner_property_id = NULL, ordinal = 0 WHERE id = ?1"));
    s->bindInt64(1, object.objectId());
    s->run();
    any = true;
  }
  return any;
}

// The uuids of the cut links' targets, read before their rows in the
// object table go. Few: links that other objects hold.
void ObjectRemoval::nameCutTargets(CutLinks& cut) {
  std::vector<ObjectId> targets;
  for (const Cut& c : cut) targets.push_back(c.link.target);
  std::sort(targets.begin(), targets.end());
  targets.erase(std::unique(targets.begin(), targets.end()), targets.end());
  std::unordered_map<ObjectId, boost::uuids::uuid> uuids;
  forEachList(targets, [&]() -> sql::Statement& { return statements_.fixed(targetsText()); }, [&](sql::Statement& s) {
    while (s.step()) uuids.emplace(static_cast<ObjectId>(s.columnInt64(0)), uuidAt(s, 1));
  });
  for (Cut& c : cut) c.target = uuids[c.link.target];
}

void ObjectRemoval::deleteSubtrees(CutLinks* cut, const Keeps& keeps) {
  transaction_.noteRemoval();
  Doomed doomed = gatherOwned();
  // Rare: gathered again without what the kept ones own.
  if (keeps && releaseKept(keeps)) {
    statements_.fixed("DELETE FROM vlt_doomed WHERE stage > 0").run();
    doomed = gatherOwned();
  }
  if (doomed.classes.empty()) return;
  decideWholeTables(doomed);
  deleteRows(doomed);
  cutLinks(doomed, cut);
  if (cut != nullptr && !cut->empty()) nameCutTargets(*cut);
  deleteObjectRows(doomed);
  statements_.fixed("DELETE FROM vlt_doomed").run();
}

}  // namespace vlt::detail
