// Deleting objects, and the links to them.

#include "ObjectRemoval.hpp"

namespace vlt::detail {

// Deletes the object and its composite subtree, and keeps referential
// integrity: no link to a deleted object survives.
void ObjectRemoval::deleteObject(const ObjectRef& object) {
  database_.checkOpen();
  if (object.isNull()) database_.usage("a null object cannot be deleted");
  WriteScope scope(transaction_);
  access_.requireObject(object.objectId());
  std::vector<std::pair<ObjectId, std::int64_t>> doomed;
  {
    sql::StatementUse s(statements_.fixed(
        "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION SELECT o.id FROM vlt_object o JOIN sub ON o.owner_id = sub.id) "
        "SELECT sub.id, o.class_id FROM sub JOIN vlt_object o ON o.id = sub.id"));
    s->bindInt64(1, object.objectId());
    while (s->step()) doomed.emplace_back(static_cast<ObjectId>(s->columnInt64(0)), s->columnInt64(1));
  }
  for (const auto& [id, classId] : doomed) {
    const ClassInfo* cls = schema_.classById(classId);
    if (cls == nullptr) {
      throw StorageError("the object " + std::to_string(id) + " has an unknown class", database_.filespec());
    }
    deleteOne(id, cls);
  }
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

// Links that other objects hold to `id`: single references become absent,
// collection entries are removed (later ones move down).
void ObjectRemoval::cutLinksTo(ObjectId id, const ClassInfo* cls) {
  for (const auto& holder : schema_.allProperties()) {
    const PropertyInfo* q = holder.get();
    if (q->retired || q->valueType != ValueType::object || q->composite || !cls->conformsTo(q->typeClass)) continue;
    if (q->inClassTable()) {
      const ValueTables::ClassTable& table = tables_.classTable(q->owner);
      if (!table.exists || !table.columns[static_cast<std::size_t>(q->rowColumn)]) continue;
      sql::StatementUse s(statements_.forProperty(*q, PropertyStatement::nullify));
      s->bindInt64(1, id);
      s->step();
      continue;
    }
    if (!tables_.collectionTable(q)) continue;
    std::vector<std::pair<ObjectId, std::int64_t>> entries;
    {
      sql::StatementUse s(statements_.forProperty(*q, PropertyStatement::incoming));
      s->bindInt64(1, id);
      while (s->step()) entries.emplace_back(static_cast<ObjectId>(s->columnInt64(0)), s->columnInt64(3));
    }
    for (const auto& [owner, ordinal] : entries) collections_.removeEntry(owner, q, ordinal);
  }
}

void ObjectRemoval::deleteOne(ObjectId id, const ClassInfo* cls) {
  for (const ClassInfo* c : cls->lineage) {
    for (const PropertyInfo* q : c->properties) {
      if (!q->inOwnTable() || !tables_.collectionTable(q)) continue;
      sql::StatementUse d(statements_.forProperty(*q, PropertyStatement::deleteAll));
      d->bindInt64(1, id);
      d->step();
    }
  }
  cutLinksTo(id, cls);
  objects_.deleteRows(id, cls);
}

}  // namespace vlt::detail
