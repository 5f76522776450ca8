// Deleting objects, and the links to them.
//
// A deletion takes whole subtrees at once, set-wise: the ids of every object
// to delete are gathered once into a temporary table (the roots, then what
// they own, through the owner index), and each table that can hold them or
// a link to them is then changed by one statement that reads that table
// through an index. Deleting a subtree of n objects thus runs a number of
// statements bounded by the schema (class tables, collection tables,
// reference columns), not by n, and reads no table whole.

#include "ObjectRemoval.hpp"

#include "StatementCache.hpp"

#include <algorithm>
#include <set>

namespace vlt::detail {

namespace {

// Purposes of the statements kept per class or property; apart from those of
// ObjectStore and PropertyStatement, which key the same elements.
enum RemovalStatement { removeRows = 100, removeEntries, cutColumn, renumberEntries, cutEntries };

// The roots of a deletion as a list of inListSize ids (see StatementCache):
// objects that do not exist (any more) are skipped, and so are ids listed
// twice or owned by another root.
const char* addRootsText() {
  static const std::string text = "INSERT INTO vlt_doomed (id) SELECT id FROM vlt_object WHERE id IN (" +
                                  inListPlaceholders(1) + ") ON CONFLICT DO NOTHING";
  return text.c_str();
}

}  // namespace

void ObjectRemoval::deleteObject(const ObjectRef& object) {
  database_.checkOpen();
  if (object.isNull()) database_.usage("a null object cannot be deleted");
  WriteScope scope(transaction_);
  access_.requireObject(object.objectId());
  deleteSubtrees({object.objectId()});
  scope.commit();
}

void ObjectRemoval::deleteObjects(const std::vector<ObjectRef>& objects) {
  database_.checkOpen();
  std::vector<ObjectId> ids;
  ids.reserve(objects.size());
  for (const ObjectRef& object : objects) {
    if (!object.isNull()) ids.push_back(object.objectId());
  }
  if (ids.empty()) return;
  WriteScope scope(transaction_);
  deleteSubtrees(ids);
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

// The objects `roots` and everything they own, into vlt_doomed (emptied
// first: a failed deletion may have left ids there); their classes.
std::vector<const ClassInfo*> ObjectRemoval::gather(const std::vector<ObjectId>& roots) {
  sql::Connection& c = database_.connection();
  // Temporary: the connection's own, gone with it. Made again after a
  // rollback took it back.
  c.execute(sql::fillIn("CREATE TEMP TABLE IF NOT EXISTS vlt_doomed (id {int} PRIMARY KEY)",
                        {{"int", c.dialect().integerType}}));
  statements_.fixed("DELETE FROM vlt_doomed").run();
  for (std::size_t first = 0; first < roots.size(); first += inListSize) {
    sql::StatementUse s(statements_.fixed(addRootsText()));
    for (std::size_t k = 0; k < inListSize; ++k) {
      s->bindInt64(static_cast<int>(k) + 1, roots[std::min(first + k, roots.size() - 1)]);
    }
    s->run();
  }
  statements_
      .fixed("WITH RECURSIVE sub(id) AS (SELECT o.id FROM vlt_object o JOIN vlt_doomed d ON o.owner_id = d.id "
             "UNION SELECT o.id FROM vlt_object o JOIN sub ON o.owner_id = sub.id) "
             "INSERT INTO vlt_doomed (id) SELECT id FROM sub WHERE id IS NOT NULL ON CONFLICT DO NOTHING")
      .run();
  std::vector<const ClassInfo*> classes;
  sql::StatementUse s(statements_.fixed(
      "SELECT DISTINCT o.class_id FROM vlt_object o WHERE o.id IN (SELECT id FROM vlt_doomed)"));
  while (s->step()) {
    const ClassInfo* cls = schema_.classById(s->columnInt64(0));
    if (cls == nullptr) {
      throw StorageError("an object to delete has the unknown class " + std::to_string(s->columnInt64(0)),
                         database_.filespec());
    }
    classes.push_back(cls);
  }
  return classes;
}

// The rows of the doomed objects: in their class tables, in the collections
// they hold, in the object table.
void ObjectRemoval::deleteRows(const std::vector<const ClassInfo*>& classes) {
  std::set<const ClassInfo*> tables;
  for (const ClassInfo* cls : classes) tables.insert(cls->lineage.begin(), cls->lineage.end());
  for (const ClassInfo* c : tables) {
    for (const PropertyInfo* q : c->properties) {
      if (!q->inOwnTable() || !tables_.collectionTable(q)) continue;
      statements_
          .keyed(q, removeEntries, 0,
                 [&] {
                   return sql::fillIn("DELETE FROM {values} WHERE object_id IN (SELECT id FROM vlt_doomed)",
                                      {{"values", q->table}});
                 })
          .run();
    }
    if (c->rowColumns == 0 || !tables_.classTable(c).exists) continue;
    statements_
        .keyed(c, removeRows, 0,
               [&] { return sql::fillIn("DELETE FROM {table} WHERE id IN (SELECT id FROM vlt_doomed)", {{"table", c->table}}); })
        .run();
  }
  statements_.fixed("DELETE FROM vlt_object WHERE id IN (SELECT id FROM vlt_doomed)").run();
}

// Links that other objects hold to the doomed ones: single references
// become absent; collection entries are removed, the later entries of each
// collection moving down by the number removed before them.
void ObjectRemoval::cutLinks(const std::vector<const ClassInfo*>& classes) {
  for (const auto& holder : schema_.allProperties()) {
    const PropertyInfo* q = holder.get();
    if (q->retired || q->valueType != ValueType::object || q->composite) continue;
    if (std::none_of(classes.begin(), classes.end(), [q](const ClassInfo* c) { return c->conformsTo(q->typeClass); })) {
      continue;
    }
    if (q->inClassTable()) {
      const ValueTables::ClassTable& table = tables_.classTable(q->owner);
      if (!table.exists || !table.columns[static_cast<std::size_t>(q->rowColumn)]) continue;
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

void ObjectRemoval::deleteSubtrees(const std::vector<ObjectId>& roots) {
  transaction_.noteRemoval();
  const std::vector<const ClassInfo*> classes = gather(roots);
  if (classes.empty()) return;
  deleteRows(classes);
  cutLinks(classes);
  statements_.fixed("DELETE FROM vlt_doomed").run();
}

}  // namespace vlt::detail
