// Objects, single values and deletion.

#include "ObjectStore.hpp"

#include "Core.hpp"

#include <boost/container_hash/hash.hpp>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <unordered_map>

namespace vlt::detail {
namespace {

// Purposes of the statements made per class (StatementCache::keyed).
enum ClassStatement { rowById, rowFromClassTables, rowByUuid, deleteRow };

const char* typeLabel(ValueType type) {
  if (type == ValueType::enumeral) return "enumeral";
  if (type == ValueType::object) return "object";
  return builtinTypeName(type);
}

// The single values of the lineage of `cls` ("NULL" where a table or
// column is missing: no value) and the class tables that exist, with their
// aliases c0, c1, ...
struct LineageSelect {
  std::string columns;
  std::vector<std::string> tables;  ///< "vlt_c<id> c<n>"
};

LineageSelect lineageSelect(const ClassInfo* cls, ValueTables& tables) {
  LineageSelect out;
  for (const ClassInfo* c : cls->lineage) {
    if (c->rowColumns == 0) continue;
    const ValueTables::ClassTable table = tables.classTable(c);
    const std::string alias = "c" + std::to_string(out.tables.size());
    for (const PropertyInfo* q : c->properties) {
      if (!q->inClassTable()) continue;
      out.columns += out.columns.empty() ? "" : ", ";
      out.columns += table.exists && table.columns[static_cast<std::size_t>(q->rowColumn)] ? alias + "." + q->column
                                                                                           : std::string("NULL");
    }
    if (table.exists) out.tables.push_back(c->table + " " + alias);
  }
  return out;
}

// The object's id, class and uuid with the lineage's values, each class
// table left-joined to the object (a missing row reads as absent values).
std::string rowQuery(const ClassInfo* cls, const char* where, ValueTables& tables) {
  const LineageSelect select = lineageSelect(cls, tables);
  std::string text = "SELECT o.id, o.class_id, o.uuid";
  if (!select.columns.empty()) text += ", " + select.columns;
  text += " FROM vlt_object o";
  for (std::size_t k = 0; k < select.tables.size(); ++k) {
    text += " LEFT JOIN " + select.tables[k] + " ON c" + std::to_string(k) + ".id = o.id";
  }
  return text + " WHERE " + where;
}

// The same values read from the class tables alone, driven by the first
// class table that exists: one table less to visit, and a row only when the
// object has a row in that table (the usual case: an object's own class has
// values). Without a row, rowQuery answers.
std::string classTablesQuery(const ClassInfo* cls, ValueTables& tables) {
  const LineageSelect select = lineageSelect(cls, tables);
  // Without any class table there is nothing to read: a statement that finds
  // no row sends the read to rowQuery.
  if (select.tables.empty()) return "SELECT " + select.columns + " FROM vlt_object WHERE 1 = 0 AND id = ?1";
  std::string text = "SELECT " + select.columns + " FROM " + select.tables.front();
  for (std::size_t k = 1; k < select.tables.size(); ++k) {
    text += " LEFT JOIN " + select.tables[k] + " ON c" + std::to_string(k) + ".id = c0.id";
  }
  return text + " WHERE c0.id = ?1";
}

// Statements built from the lineage's tables are made again when the layout
// or what is known of the tables changes.
std::uint64_t rowVersion(const ClassInfo* cls, const ValueTables& tables) {
  return (cls->layoutVersion << 32) ^ tables.version();
}

bool hasRowColumns(const ClassInfo* cls) {
  return std::any_of(cls->lineage.begin(), cls->lineage.end(), [](const ClassInfo* c) { return c->rowColumns > 0; });
}

// Columns of a row query before the first value.
constexpr int rowHeader = 3;

}  // namespace

// ---------------------------------------------------------------- objects

ObjectRef ObjectStore::objectAt(sql::Statement& s, int column, const ClassInfo* fallback) {
  const auto id = static_cast<ObjectId>(s.columnInt64(column));
  if (s.columnIsNull(column + 1)) return core_.objectRef(fallback, id);
  const ClassInfo* cls = core_.schema().classById(s.columnInt64(column + 1));
  boost::uuids::uuid uuid{};
  const std::string_view bytes = s.columnBlob(column + 2);
  if (bytes.size() == 16) std::memcpy(uuid.data, bytes.data(), 16);
  return core_.objectRef(cls ? cls : fallback, id, uuid);
}

const ClassInfo* ObjectStore::runtimeClass(ObjectId id) {
  core_.checkOpen();
  std::int64_t classId = 0;
  {
    sql::StatementUse s(core_.statements().fixed("SELECT class_id FROM vlt_object WHERE id = ?1"));
    s->bindInt64(1, id);
    if (!s->step()) return nullptr;
    classId = s->columnInt64(0);
  }
  const ClassInfo* cls = core_.schema().classById(classId);
  if (cls == nullptr) {
    throw StorageError("the object " + std::to_string(id) + " has an unknown class", core_.filespec());
  }
  return cls;
}

ObjectRef ObjectStore::byId(ObjectId id) {
  core_.checkOpen();
  sql::StatementUse s(core_.statements().fixed("SELECT id, class_id, uuid FROM vlt_object WHERE id = ?1"));
  s->bindInt64(1, id);
  if (!s->step()) return ObjectRef();
  return objectAt(*s, 0, nullptr);
}

// Two ways per set, the newer first: a window of objects looked up together
// and then written (a few hundred) seldom has three in one set, where with
// one way one in twenty evicted another and was looked up again.
void ObjectStore::noteSeen(ObjectId id, const ClassInfo* cls) noexcept {
  const TransactionState& transaction = core_.transaction();
  if (!transaction.active()) return;
  Seen* set = &seen_[(id & (seen_.size() / 2 - 1)) * 2];
  if (set[0].id != id) set[1] = set[0];
  set[0] = {id, cls, transaction.removalSerial()};
}

const ClassInfo* ObjectStore::seenClass(ObjectId id) const noexcept {
  const TransactionState& transaction = core_.transaction();
  const Seen* set = &seen_[(id & (seen_.size() / 2 - 1)) * 2];
  const Seen& seen = set[0].id == id ? set[0] : set[1];
  return seen.id == id && seen.serial == transaction.removalSerial() && transaction.active() ? seen.cls : nullptr;
}

const ClassInfo* ObjectStore::requireObject(ObjectId id) {
  if (const ClassInfo* seen = seenClass(id)) return seen;
  const ClassInfo* cls = runtimeClass(id);
  if (cls == nullptr) core_.notFound(id);
  return cls;
}

// A handle may carry a class the stored object does not have (getObjectRef,
// or a reference typed by a superclass); a write through it would land in
// another class's table.
const ClassInfo* ObjectStore::requireConforming(ObjectId id, const PropertyInfo* property) {
  const ClassInfo* actual = requireObject(id);
  if (!actual->conformsTo(property->owner)) {
    core_.usage("the object " + std::to_string(id) + " is of class \"" + actual->qualifiedName +
                "\", which has no property \"" + property->name + "\" of class \"" + property->owner->qualifiedName +
                "\"");
  }
  return actual;
}

ObjectRef ObjectStore::find(const boost::uuids::uuid& uuid, const ClassInfo* cls, bool withRow) {
  core_.schema().checkUsable(cls);
  const bool keep = withRow && core_.transaction().active() && hasRowColumns(cls);
  ValueTables& tables = core_.tables();
  if (keep) tables.refresh();
  sql::Statement& statement =
      keep ? core_.statements().keyed(cls, rowByUuid, rowVersion(cls, tables),
                                       [&] { return rowQuery(cls, "o.uuid = ?1", tables); })
           : core_.statements().fixed("SELECT o.id, o.class_id FROM vlt_object o WHERE o.uuid = ?1");
  sql::StatementUse s(statement);
  s->bindBlob(1, uuid.data, 16);
  if (!s->step()) return ObjectRef();
  const auto id = static_cast<ObjectId>(s->columnInt64(0));
  const ClassInfo* actual = core_.schema().classById(s->columnInt64(1));
  if (actual == nullptr || !actual->conformsTo(cls)) return ObjectRef();
  noteSeen(id, actual);
  // Inside a transaction the row of the asked class comes with the lookup:
  // reading its values next costs no further statement.
  if (keep) {
    row_.id = id;
    row_.layout = cls;
    row_.serial = core_.transaction().writeSerial();
    fillRow(*s, rowHeader);
  }
  return core_.objectRef(actual, id, uuid);
}

std::vector<ObjectRef> ObjectStore::findAll(const std::vector<boost::uuids::uuid>& uuids, const ClassInfo* cls) {
  core_.schema().checkUsable(cls);
  // One statement text for every chunk: a short last one repeats its last uuid.
  constexpr std::size_t chunk = inListSize;
  static const std::string sql =
      "SELECT o.id, o.class_id, o.uuid FROM vlt_object o WHERE o.uuid IN (" + inListPlaceholders(1) + ")";
  std::vector<ObjectRef> out(uuids.size());
  std::unordered_map<boost::uuids::uuid, ObjectRef, boost::hash<boost::uuids::uuid>> found;
  for (std::size_t first = 0; first < uuids.size(); first += chunk) {
    const std::size_t last = std::min(first + chunk, uuids.size());
    found.clear();
    {
      sql::StatementUse s(core_.statements().fixed(sql.c_str()));
      for (std::size_t i = 0; i < chunk; ++i) {
        const boost::uuids::uuid& uuid = uuids[std::min(first + i, last - 1)];
        s->bindBlob(static_cast<int>(i + 1), uuid.data, 16);
      }
      while (s->step()) {
        const auto id = static_cast<ObjectId>(s->columnInt64(0));
        const ClassInfo* actual = core_.schema().classById(s->columnInt64(1));
        if (actual == nullptr || !actual->conformsTo(cls)) continue;
        const std::string_view bytes = s->columnBlob(2);
        boost::uuids::uuid uuid;
        if (bytes.size() != uuid.size()) continue;
        std::memcpy(uuid.data, bytes.data(), uuid.size());
        noteSeen(id, actual);
        found.emplace(uuid, core_.objectRef(actual, id, uuid));
      }
    }
    for (std::size_t i = first; i < last; ++i) {
      const auto at = found.find(uuids[i]);
      if (at != found.end()) out[i] = at->second;
    }
  }
  return out;
}

std::vector<ObjectRef> ObjectStore::objectsOf(const ClassInfo* cls, bool withSubclasses, std::size_t* count) {
  core_.schema().checkUsable(cls);
  std::vector<const ClassInfo*> classes{cls};
  for (std::size_t i = 0; withSubclasses && i < classes.size(); ++i) {
    for (const ClassInfo* sub : classes[i]->subclasses) {
      if (std::find(classes.begin(), classes.end(), sub) == classes.end()) classes.push_back(sub);
    }
  }
  std::string list;
  for (const ClassInfo* c : classes) list += (list.empty() ? "" : ", ") + std::to_string(c->id);
  std::vector<ObjectRef> out;
  if (count != nullptr) {
    auto s = core_.connection().prepare("SELECT count(*) FROM vlt_object WHERE class_id IN (" + list + ")");
    *count = s->step() ? static_cast<std::size_t>(s->columnInt64(0)) : 0;
    return out;
  }
  auto s = core_.connection().prepare("SELECT id, class_id, uuid FROM vlt_object WHERE class_id IN (" + list +
                                      ") ORDER BY id");
  while (s->step()) out.push_back(objectAt(*s, 0, cls));
  return out;
}

std::vector<ObjectRef> ObjectStore::roots() {
  core_.checkOpen();
  std::vector<ObjectRef> out;
  sql::StatementUse s(core_.statements().fixed(
      "SELECT id, class_id, uuid FROM vlt_object WHERE owner_id IS NULL ORDER BY id"));
  while (s->step()) out.push_back(objectAt(*s, 0, nullptr));
  return out;
}

const boost::uuids::uuid& ObjectStore::identity(const ObjectRef& object) {
  core_.checkOpen();
  if (object.isNull()) core_.usage("the identity of a null object was asked for");
  sql::StatementUse s(core_.statements().fixed("SELECT uuid FROM vlt_object WHERE id = ?1"));
  s->bindInt64(1, object.objectId());
  if (!s->step()) core_.notFound(object.objectId());
  const std::string_view bytes = s->columnBlob(0);
  if (bytes.size() != 16) throw StorageError("a stored uuid does not have 16 bytes", core_.filespec());
  boost::uuids::uuid uuid{};
  std::memcpy(uuid.data, bytes.data(), 16);
  Core::rememberIdentity(object, uuid);
  return object.objectIdentity();
}

// ---------------------------------------------------------------- single values

const PropertyInfo* ObjectStore::checkAccess(const ObjectRef& object, const PropertyRef& propertyRef,
                                             ValueType type) const {
  const PropertyInfo* property = Core::info(propertyRef);
  core_.schema().checkUsable(property);
  if (Core::core(propertyRef) != &core_) {
    core_.usage("the property \"" + property->name + "\" belongs to another repository");
  }
  if (object.isNull()) core_.usage("a null object handle was used");
  const ClassInfo* cls = Core::classOf(object);
  if (cls == nullptr) core_.usage("the object handle carries no class");
  if (cls->retired) core_.usage("the class \"" + cls->qualifiedName + "\" was rolled back");
  if (!cls->conformsTo(property->owner)) {
    core_.usage("the property \"" + property->name + "\" of class \"" + property->owner->qualifiedName +
                "\" does not belong to the class \"" + cls->qualifiedName + "\" of object " +
                std::to_string(object.objectId()));
  }
  if (property->valueType != type) {
    core_.usage(std::string("the property \"") + property->name + "\" holds " + typeLabel(property->valueType) +
                " values, not " + typeLabel(type));
  }
  return property;
}

void ObjectStore::bind(sql::Statement& statement, int index, const PropertyInfo* property, const void* value) {
  if (value == nullptr) return statement.bindNull(index);
  property->traits->bind(statement, index, value, ValueSite{core_, property});
}

// The row cells follow the lineage of `row_.layout`: each class's columns in
// property order, starting at the sum of the column counts before it.
int ObjectStore::cellOf(const PropertyInfo* property) const {
  int offset = 0;
  for (const ClassInfo* c : row_.layout->lineage) {
    if (c == property->owner) return offset + property->rowColumn;
    offset += c->rowColumns;
  }
  return -1;
}

void ObjectStore::fillRow(sql::Statement& statement, int firstCell) {
  std::size_t total = 0;
  for (const ClassInfo* c : row_.layout->lineage) total += static_cast<std::size_t>(c->rowColumns);
  row_.cells.resize(total);
  int column = firstCell;
  std::size_t cell = 0;
  for (const ClassInfo* c : row_.layout->lineage) {
    for (const PropertyInfo* q : c->properties) {
      if (q->inClassTable()) capture(statement, column++, q->traits->form, row_.cells[cell++]);
    }
  }
}

const ObjectStore::Row& ObjectStore::row(const ObjectRef& object, const PropertyInfo* property) {
  const std::uint64_t serial = core_.transaction().active() ? core_.transaction().writeSerial() : 0;
  if (serial != 0 && row_.serial == serial && row_.id == object.objectId() &&
      row_.layout->conformsTo(property->owner)) {
    return row_;
  }
  const ClassInfo* layout = Core::classOf(object);
  ValueTables& tables = core_.tables();
  tables.refresh();
  row_.serial = 0;
  if (hasRowColumns(layout)) {
    sql::StatementUse s(core_.statements().keyed(layout, rowFromClassTables, rowVersion(layout, tables),
                                                 [&] { return classTablesQuery(layout, tables); }));
    s->bindInt64(1, object.objectId());
    if (s->step()) {
      row_.id = object.objectId();
      row_.layout = layout;
      fillRow(*s, 0);
      row_.serial = serial;
      return row_;
    }
  }
  sql::StatementUse s(core_.statements().keyed(layout, rowById, rowVersion(layout, tables),
                                               [&] { return rowQuery(layout, "o.id = ?1", tables); }));
  s->bindInt64(1, object.objectId());
  if (!s->step()) core_.notFound(object.objectId());
  row_.id = object.objectId();
  row_.layout = layout;
  fillRow(*s, rowHeader);
  row_.serial = serial;
  return row_;
}

bool ObjectStore::knownToExist(ObjectId id) const noexcept {
  return row_.serial != 0 && row_.id == id && row_.serial == core_.transaction().writeSerial() &&
         core_.transaction().active();
}

bool ObjectStore::readSingle(const ObjectRef& object, const PropertyRef& propertyRef, ValueType type, void* out) {
  core_.checkOpen();
  const PropertyInfo* property = checkAccess(object, propertyRef, type);
  const ObjectId id = object.objectId();
  if (property->composite) {
    const std::vector<ObjectRef> kids = core_.containment().children(id, property);
    if (kids.empty()) return false;
    *static_cast<ObjectRef*>(out) = kids.front();
    return true;
  }
  if (property->multi) {
    // The first entry of a collection.
    if (!core_.tables().collectionTable(property)) {
      requireObject(id);
      return false;
    }
    const bool links = type == ValueType::object;
    sql::StatementUse s(core_.statements().forProperty(*property, links ? PropertyStatement::linkAt
                                                                        : PropertyStatement::valueAt));
    s->bindInt64(1, id);
    s->bindInt64(2, 0);
    if (!s->step()) {
      s->reset();
      requireObject(id);
      return false;
    }
    if (links) {
      *static_cast<ObjectRef*>(out) = objectAt(*s, 0, property->typeClass);
      return true;
    }
    Cell cell;
    capture(*s, 0, property->traits->form, cell);
    if (cell.null) return false;
    property->traits->read(cell, out, ValueSite{core_, property});
    return true;
  }
  const Cell& cell = row(object, property).cells[static_cast<std::size_t>(cellOf(property))];
  if (cell.null) return false;
  property->traits->read(cell, out, ValueSite{core_, property});
  return true;
}

void ObjectStore::readSingleAsVector(const ObjectRef& object, const PropertyInfo* property, void* vector) {
  const Cell& cell = row(object, property).cells[static_cast<std::size_t>(cellOf(property))];
  if (!cell.null) property->traits->append(cell, vector, ValueSite{core_, property});
}

void ObjectStore::writeSingle(const ObjectRef& object, const PropertyRef& propertyRef, ValueType type, const void* in) {
  core_.checkOpen();
  const PropertyInfo* property = checkAccess(object, propertyRef, type);
  const ObjectId id = object.objectId();
  const auto* child = property->composite ? static_cast<const ObjectRef*>(in) : nullptr;
  // A plain column write is one statement: atomic without a savepoint.
  WriteScope scope(core_, property->composite || property->multi);
  if (property->composite || property->multi) requireConforming(id, property);
  if (property->composite) {
    for (const ObjectRef& kid : core_.containment().children(id, property)) core_.containment().detach(kid.objectId());
    if (child != nullptr && !child->isNull()) core_.containment().attach(id, property, {child->objectId()});
  } else if (property->multi) {
    // A single value written into a collection replaces it by zero or one entry.
    core_.collections().replaceAll(id, property, in);
  } else {
    requireConforming(id, property);
    core_.tables().prepareClassTable(property->owner);
    sql::StatementUse s(core_.statements().forProperty(*property, PropertyStatement::upsert));
    s->bindInt64(1, id);
    bind(*s, 2, property, in);
    s->run();
  }
  scope.commit();
}

// ---------------------------------------------------------------- deletion

// Links that other objects hold to `id`: single references become absent,
// collection entries are removed (later ones move down).
void ObjectStore::cutLinksTo(ObjectId id, const ClassInfo* cls) {
  for (const auto& holder : core_.schema().allProperties()) {
    const PropertyInfo* q = holder.get();
    if (q->retired || q->valueType != ValueType::object || q->composite || !cls->conformsTo(q->typeClass)) continue;
    if (q->inClassTable()) {
      const ValueTables::ClassTable& table = core_.tables().classTable(q->owner);
      if (!table.exists || !table.columns[static_cast<std::size_t>(q->rowColumn)]) continue;
      sql::StatementUse s(core_.statements().forProperty(*q, PropertyStatement::nullify));
      s->bindInt64(1, id);
      s->step();
      continue;
    }
    if (!core_.tables().collectionTable(q)) continue;
    std::vector<std::pair<ObjectId, std::int64_t>> entries;
    {
      sql::StatementUse s(core_.statements().forProperty(*q, PropertyStatement::incoming));
      s->bindInt64(1, id);
      while (s->step()) entries.emplace_back(static_cast<ObjectId>(s->columnInt64(0)), s->columnInt64(3));
    }
    for (const auto& [owner, ordinal] : entries) core_.collections().removeEntry(owner, q, ordinal);
  }
}

void ObjectStore::deleteRows(ObjectId id, const ClassInfo* cls) {
  core_.transaction().noteRemoval();
  for (const ClassInfo* c : cls->lineage) {
    if (c->rowColumns == 0 || !core_.tables().classTable(c).exists) continue;
    sql::StatementUse s(core_.statements().keyed(c, deleteRow, 0, [&] {
      return sql::fillIn("DELETE FROM {table} WHERE id = ?1", {{"table", c->table}});
    }));
    s->bindInt64(1, id);
    s->step();
  }
  sql::StatementUse s(core_.statements().fixed("DELETE FROM vlt_object WHERE id = ?1"));
  s->bindInt64(1, id);
  s->step();
}

void ObjectStore::deleteOne(ObjectId id, const ClassInfo* cls) {
  for (const ClassInfo* c : cls->lineage) {
    for (const PropertyInfo* q : c->properties) {
      if (!q->inOwnTable() || !core_.tables().collectionTable(q)) continue;
      sql::StatementUse d(core_.statements().forProperty(*q, PropertyStatement::deleteAll));
      d->bindInt64(1, id);
      d->step();
    }
  }
  cutLinksTo(id, cls);
  deleteRows(id, cls);
}

// Deletes the object and its composite subtree, and keeps referential
// integrity: no link to a deleted object survives.
void ObjectStore::deleteObject(const ObjectRef& object) {
  core_.checkOpen();
  if (object.isNull()) core_.usage("a null object cannot be deleted");
  WriteScope scope(core_);
  requireObject(object.objectId());
  std::vector<std::pair<ObjectId, std::int64_t>> doomed;
  {
    sql::StatementUse s(core_.statements().fixed(
        "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION SELECT o.id FROM vlt_object o JOIN sub ON o.owner_id = sub.id) "
        "SELECT sub.id, o.class_id FROM sub JOIN vlt_object o ON o.id = sub.id"));
    s->bindInt64(1, object.objectId());
    while (s->step()) doomed.emplace_back(static_cast<ObjectId>(s->columnInt64(0)), s->columnInt64(1));
  }
  for (const auto& [id, classId] : doomed) {
    const ClassInfo* cls = core_.schema().classById(classId);
    if (cls == nullptr) {
      throw StorageError("the object " + std::to_string(id) + " has an unknown class", core_.filespec());
    }
    deleteOne(id, cls);
  }
  scope.commit();
}

void ObjectStore::deleteAll() {
  WriteScope scope(core_);
  core_.transaction().noteRemoval();
  sql::Connection& c = core_.connection();
  ValueTables& tables = core_.tables();
  for (const ClassInfo* cls : core_.schema().classes()) {
    if (cls->rowColumns > 0 && tables.classTable(cls).exists) c.execute("DELETE FROM " + cls->table);
  }
  for (const auto& q : core_.schema().allProperties()) {
    if (!q->retired && q->inOwnTable() && tables.collectionTable(q.get())) c.execute("DELETE FROM " + q->table);
  }
  c.execute("DELETE FROM vlt_object");
  scope.commit();
}

// Entries of one collection come in descending ordinal order, and all are
// collected before the first call: the callback may remove each at its index.
void ObjectStore::processIncoming(const ObjectRef& object,
                                  const std::function<void(CollectionRef&, std::size_t)>& callback) {
  core_.checkOpen();
  if (object.isNull()) core_.usage("a null object has no incoming links");
  const ClassInfo* cls = requireObject(object.objectId());
  std::vector<std::tuple<ObjectRef, const PropertyInfo*, std::size_t>> entries;
  for (const auto& holder : core_.schema().allProperties()) {
    const PropertyInfo* q = holder.get();
    if (q->retired || !q->inOwnTable() || q->valueType != ValueType::object || !q->opposite.empty() ||
        !cls->conformsTo(q->typeClass) || !core_.tables().collectionTable(q)) {
      continue;
    }
    sql::StatementUse s(core_.statements().forProperty(*q, PropertyStatement::incoming));
    s->bindInt64(1, object.objectId());
    while (s->step()) entries.emplace_back(objectAt(*s, 0, q->owner), q, static_cast<std::size_t>(s->columnInt64(3)));
  }
  for (auto& [owner, property, index] : entries) {
    CollectionRef collection;
    Core::setCollection(collection, owner, core_.propertyRef(property));
    callback(collection, index);
  }
}

}  // namespace vlt::detail
