// Objects, the values of their class tables, and the links that come in.

#include "ObjectStore.hpp"

#include <algorithm>
#include <cstring>
#include <tuple>
#include <unordered_map>

namespace vlt::detail {
namespace {

// Purposes of the statements made per class (StatementCache::keyed).
enum ClassStatement { rowById, rowFromClassTables, rowByUuid, deleteRow, placedRowById };
// Purposes of the statements made per property, beside PropertyStatement's.
enum LinkStatement { linksIntoColumn = 200, linksIntoCollection };

// The single values of the lineage of `cls` ("NULL" where a table or
// column is missing: no value) and the class tables that exist, with their
// aliases c0, c1, ...
// With `withTargets`, each single reference's target class and uuid follow
// the values (its vlt_object row left-joined as t<n>): making a handle of the
// target then asks nothing more.
struct LineageSelect {
  std::string columns;
  std::vector<std::string> tables;  ///< "vlt_c<id> c<n>"
  std::string targets;              ///< the targets' joins, after the tables'
};

LineageSelect lineageSelect(const ClassInfo* cls, ValueTables& tables, bool withTargets) {
  LineageSelect out;
  std::string targetColumns;
  int targets = 0;
  for (const ClassInfo* c : cls->lineage) {
    if (c->rowColumns == 0) continue;
    const ValueTables::ClassTable table = tables.classTable(c);
    const std::string alias = "c" + std::to_string(out.tables.size());
    for (const PropertyInfo* q : c->properties) {
      if (!q->inClassTable()) continue;
      const bool stored = table.exists && table.columns[static_cast<std::size_t>(q->rowColumn)];
      const std::string column = stored ? alias + "." + q->column : std::string("NULL");
      out.columns += (out.columns.empty() ? "" : ", ") + column;
      if (!withTargets || q->valueType != ValueType::object) continue;
      if (!stored) {
        targetColumns += ", NULL, NULL";
        continue;
      }
      const std::string t = "t" + std::to_string(targets++);
      targetColumns += ", " + t + ".class_id, " + t + ".uuid";
      out.targets += " LEFT JOIN vlt_object " + t + " ON " + t + ".id = " + column;
    }
    if (table.exists) out.tables.push_back(c->table + " " + alias);
  }
  out.columns += targetColumns;
  return out;
}

// The object's id, class and uuid with the lineage's values, each class
// table left-joined to the object (a missing row reads as absent values).
// With `placed`, the object's place (placeColumns) comes after its identity.
std::string rowQuery(const ClassInfo* cls, const char* where, ValueTables& tables, bool placed, bool withTargets) {
  const LineageSelect select = lineageSelect(cls, tables, withTargets);
  std::string text = "SELECT o.id, o.class_id, o.uuid";
  if (placed) text += ", o.owner_id, w.class_id, w.uuid, o.owner_property_id, o.ordinal";
  if (!select.columns.empty()) text += ", " + select.columns;
  text += " FROM vlt_object o";
  if (placed) text += " LEFT JOIN vlt_object w ON w.id = o.owner_id";
  for (std::size_t k = 0; k < select.tables.size(); ++k) {
    text += " LEFT JOIN " + select.tables[k] + " ON c" + std::to_string(k) + ".id = o.id";
  }
  return text + select.targets + " WHERE " + where;
}

// The same values read from the class tables alone, driven by the first
// class table that exists: one table less to visit, and a row only when the
// object has a row in that table (the usual case: an object's own class has
// values). Without a row, rowQuery answers.
std::string classTablesQuery(const ClassInfo* cls, ValueTables& tables, bool withTargets) {
  const LineageSelect select = lineageSelect(cls, tables, withTargets);
  // Without any class table there is nothing to read: a statement that finds
  // no row sends the read to rowQuery.
  if (select.tables.empty()) return "SELECT " + select.columns + " FROM vlt_object WHERE 1 = 0 AND id = ?1";
  std::string text = "SELECT " + select.columns + " FROM " + select.tables.front();
  for (std::size_t k = 1; k < select.tables.size(); ++k) {
    text += " LEFT JOIN " + select.tables[k] + " ON c" + std::to_string(k) + ".id = c0.id";
  }
  return text + select.targets + " WHERE c0.id = ?1";
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
// Columns of an object's place: owner id, class and uuid, owning property,
// ordinal.
constexpr int placeColumns = 5;

}  // namespace

// ---------------------------------------------------------------- objects

ObjectRef ObjectStore::byId(ObjectId id) {
  database_.checkOpen();
  sql::StatementUse s(statements_.fixed("SELECT id, class_id, uuid FROM vlt_object WHERE id = ?1"));
  s->bindInt64(1, id);
  if (!s->step()) return ObjectRef();
  return access_.objectAt(*s, 0, nullptr);
}

std::vector<ObjectRef> ObjectStore::byIds(const std::vector<ObjectId>& ids) {
  database_.checkOpen();
  // One statement text for every chunk: a short last one repeats its last id.
  static const std::string select =
      "SELECT id, class_id, uuid FROM vlt_object WHERE id IN (" + inListPlaceholders(1) + ")";
  std::vector<ObjectRef> out(ids.size());
  std::unordered_map<ObjectId, ObjectRef> found;
  for (std::size_t first = 0; first < ids.size(); first += inListSize) {
    const std::size_t last = std::min(first + inListSize, ids.size());
    if (seenAll(ids, first, last, out)) continue;
    found.clear();
    {
      sql::StatementUse s(statements_.fixed(select.c_str()));
      for (std::size_t i = 0; i < inListSize; ++i) s->bindInt64(static_cast<int>(i + 1), ids[std::min(first + i, last - 1)]);
      while (s->step()) {
        ObjectRef object = access_.objectAt(*s, 0, nullptr);
        if (const ClassInfo* cls = HandleAccess::classOf(object)) access_.noteSeen(object.objectId(), cls);
        found.emplace(object.objectId(), std::move(object));
      }
    }
    for (std::size_t k = first; k < last; ++k) {
      const auto at = found.find(ids[k]);
      if (at != found.end()) out[k] = at->second;
    }
  }
  return out;
}

// Objects seen existing in this transaction need no statement; their
// uuids are read when first asked for. Id 0 is no object.
bool ObjectStore::seenAll(const std::vector<ObjectId>& ids, std::size_t first, std::size_t last,
                          std::vector<ObjectRef>& out) {
  for (std::size_t k = first; k < last; ++k)
    if (ids[k] != 0 && access_.seenClass(ids[k]) == nullptr) return false;
  for (std::size_t k = first; k < last; ++k)
    if (ids[k] != 0) out[k] = handles_.objectRef(access_.seenClass(ids[k]), ids[k]);
  return true;
}

ObjectRef ObjectStore::find(const boost::uuids::uuid& uuid, const ClassInfo* cls, bool withRow) {
  schema_.checkUsable(cls);
  const bool keep = withRow && transaction_.active() && hasRowColumns(cls);
  if (keep) tables_.refresh();
  // Where statements are round trips, the object's place comes with the
  // lookup too inside a transaction: what looks an object up usually asks
  // for its owner next.
  const bool placed = bundled() && transaction_.active();
  sql::Statement& statement =
      keep ? statements_.keyed(cls, rowByUuid, rowVersion(cls, tables_),
                               [&] { return rowQuery(cls, "o.uuid = ?1", tables_, placed, placed); })
      : placed ? statements_.fixed("SELECT o.id, o.class_id, o.uuid, o.owner_id, w.class_id, w.uuid, "
                                   "o.owner_property_id, o.ordinal FROM vlt_object o "
                                   "LEFT JOIN vlt_object w ON w.id = o.owner_id WHERE o.uuid = ?1")
               : statements_.fixed("SELECT o.id, o.class_id, o.uuid FROM vlt_object o WHERE o.uuid = ?1");
  sql::StatementUse s(statement);
  s->bindBlob(1, uuid.data, 16);
  if (!s->step()) return ObjectRef();
  const auto id = static_cast<ObjectId>(s->columnInt64(0));
  const ClassInfo* actual = schema_.classById(s->columnInt64(1));
  if (actual == nullptr || !actual->conformsTo(cls)) return ObjectRef();
  access_.noteSeen(id, actual);
  if (placed) notePlace(*s, id);
  // Inside a transaction the row of the asked class comes with the lookup:
  // reading its values next costs no further statement.
  if (keep) {
    row_.id = id;
    row_.layout = cls;
    row_.serial = transaction_.writeSerial();
    fillRow(*s, placed ? rowHeader + placeColumns : rowHeader, placed);
  }
  return handles_.objectRef(actual, id, uuid);
}

// Asked in key order, the chunks walk the index from one end to the other,
// each of its pages read once: in the order given (at random, as uuids
// are) every lookup of a large repository would read a page back.
// `read(statement, key, value)` reads a row of `select` (which ends with the
// IN list of a chunk's keys); false drops it.
template <class Key, class T, class Read>
std::vector<T> ObjectStore::inKeyOrder(const std::vector<Key>& keys, const std::string& select, Read read) {
  std::vector<std::uint32_t> order(keys.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b]; });
  // One statement text for every chunk: a short last one repeats its last key.
  std::vector<T> out(keys.size());
  // A chunk's rows, sorted by key: a few hundred, searched in place (a
  // hash map allocated a node per row).
  std::vector<std::pair<Key, T>> found;
  const auto byKey = [](const std::pair<Key, T>& a, const std::pair<Key, T>& b) { return a.first < b.first; };
  const auto belowKey = [](const std::pair<Key, T>& row, const Key& key) { return row.first < key; };
  for (std::size_t first = 0; first < order.size(); first += inListSize) {
    const std::size_t last = std::min(first + inListSize, order.size());
    found.clear();
    {
      sql::StatementUse s(statements_.fixed(select.c_str()));
      for (std::size_t i = 0; i < inListSize; ++i)
        bindListValue(*s, static_cast<int>(i + 1), keys[order[std::min(first + i, last - 1)]]);
      Key key{};
      T value{};
      while (s->step())
        if (read(*s, key, value)) found.emplace_back(key, std::move(value));
    }
    std::sort(found.begin(), found.end(), byKey);
    for (std::size_t k = first; k < last; ++k) {
      const Key& wanted = keys[order[k]];
      const auto at = std::lower_bound(found.begin(), found.end(), wanted, belowKey);
      if (at != found.end() && at->first == wanted) out[order[k]] = at->second;
    }
  }
  return out;
}

namespace {
bool readUuid(sql::Statement& statement, int column, boost::uuids::uuid& uuid) {
  const std::string_view bytes = statement.columnBlob(column);
  if (bytes.size() != uuid.size()) return false;
  std::memcpy(uuid.data, bytes.data(), uuid.size());
  return true;
}
}  // namespace

std::vector<ObjectRef> ObjectStore::findAll(const std::vector<boost::uuids::uuid>& uuids, const ClassInfo* cls) {
  schema_.checkUsable(cls);
  static const std::string select =
      "SELECT o.id, o.class_id, o.uuid FROM vlt_object o WHERE o.uuid IN (" + inListPlaceholders(1) + ")";
  using Uuid = boost::uuids::uuid;
  return inKeyOrder<Uuid, ObjectRef>(uuids, select, [&](sql::Statement& s, Uuid& uuid, ObjectRef& object) {
    const auto id = static_cast<ObjectId>(s.columnInt64(0));
    const ClassInfo* actual = schema_.classById(s.columnInt64(1));
    if (actual == nullptr || !actual->conformsTo(cls) || !readUuid(s, 2, uuid)) return false;
    access_.noteSeen(id, actual);
    object = handles_.objectRef(actual, id, uuid);
    return true;
  });
}

// SQLite's uuid index holds the ids: without the class, the objects' rows
// are not read (in uuid order they would be read all over the table). A
// server's does not, so it reads the rows anyway: there the classes come
// along, and objectsById, which usually follows, need not ask again.
std::vector<ObjectId> ObjectStore::findIds(const std::vector<boost::uuids::uuid>& uuids) {
  using Uuid = boost::uuids::uuid;
  database_.checkOpen();
  if (!bundled() || !transaction_.active()) {
    static const std::string select =
        "SELECT id, uuid FROM vlt_object WHERE uuid IN (" + inListPlaceholders(1) + ")";
    return inKeyOrder<Uuid, ObjectId>(uuids, select, [](sql::Statement& s, Uuid& uuid, ObjectId& id) {
      id = static_cast<ObjectId>(s.columnInt64(0));
      return readUuid(s, 1, uuid);
    });
  }
  static const std::string select =
      "SELECT id, uuid, class_id FROM vlt_object WHERE uuid IN (" + inListPlaceholders(1) + ")";
  return inKeyOrder<Uuid, ObjectId>(uuids, select, [&](sql::Statement& s, Uuid& uuid, ObjectId& id) {
    id = static_cast<ObjectId>(s.columnInt64(0));
    if (const ClassInfo* cls = schema_.classById(s.columnInt64(2))) access_.noteFound(id, cls);
    return readUuid(s, 1, uuid);
  });
}

// Checked by id, the rows are read in id order, and the ids of what a
// caller loaded come in runs: each page of the table is read once, where a
// lookup by uuid reads them all over the table.
std::vector<const ClassInfo*> ObjectStore::confirm(const std::vector<ObjectId>& ids,
                                                   const std::vector<boost::uuids::uuid>& uuids) {
  database_.checkOpen();
  struct Stored {
    boost::uuids::uuid uuid{};
    const ClassInfo* cls = nullptr;
  };
  static const std::string select =
      "SELECT id, uuid, class_id FROM vlt_object WHERE id IN (" + inListPlaceholders(1) + ")";
  const std::vector<Stored> stored =
      inKeyOrder<ObjectId, Stored>(ids, select, [&](sql::Statement& s, ObjectId& id, Stored& row) {
        id = static_cast<ObjectId>(s.columnInt64(0));
        row.cls = schema_.classById(s.columnInt64(2));
        return row.cls != nullptr && readUuid(s, 1, row.uuid);
      });
  std::vector<const ClassInfo*> out(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i)
    if (stored[i].uuid == uuids[i]) out[i] = stored[i].cls;
  return out;
}

// The classes confirmed are noted as findIds notes those it finds.
std::vector<ObjectId> ObjectStore::confirmIds(const std::vector<ObjectId>& ids,
                                              const std::vector<boost::uuids::uuid>& uuids) {
  if (ids.size() != uuids.size()) database_.usage("confirmObjectIds needs a uuid for every id");
  const std::vector<const ClassInfo*> classes = confirm(ids, uuids);
  const bool note = bundled() && transaction_.active();
  std::vector<ObjectId> out(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (classes[i] == nullptr) continue;
    out[i] = ids[i];
    if (note) access_.noteFound(ids[i], classes[i]);
  }
  return out;
}

std::vector<ObjectRef> ObjectStore::objectsOf(const ClassInfo* cls, bool withSubclasses, std::size_t* count) {
  schema_.checkUsable(cls);
  const std::string list = classIdList(cls, withSubclasses);
  std::vector<ObjectRef> out;
  if (count != nullptr) {
    auto s = database_.connection().prepare("SELECT count(*) FROM vlt_object WHERE class_id IN (" + list + ")");
    *count = s->step() ? static_cast<std::size_t>(s->columnInt64(0)) : 0;
    return out;
  }
  auto s = database_.connection().prepare("SELECT id, class_id, uuid FROM vlt_object WHERE class_id IN (" + list +
                                          ") ORDER BY id");
  while (s->step()) out.push_back(access_.objectAt(*s, 0, cls));
  return out;
}

std::vector<ObjectRef> ObjectStore::roots() {
  database_.checkOpen();
  std::vector<ObjectRef> out;
  sql::StatementUse s(
      statements_.fixed("SELECT id, class_id, uuid FROM vlt_object WHERE owner_id IS NULL ORDER BY id"));
  while (s->step()) out.push_back(access_.objectAt(*s, 0, nullptr));
  return out;
}

const boost::uuids::uuid& ObjectStore::identity(const ObjectRef& object) {
  database_.checkOpen();
  if (object.isNull()) database_.usage("the identity of a null object was asked for");
  sql::StatementUse s(statements_.fixed("SELECT uuid FROM vlt_object WHERE id = ?1"));
  s->bindInt64(1, object.objectId());
  if (!s->step()) access_.notFound(object.objectId());
  const std::string_view bytes = s->columnBlob(0);
  if (bytes.size() != 16) throw StorageError("a stored uuid does not have 16 bytes", database_.filespec());
  boost::uuids::uuid uuid{};
  std::memcpy(uuid.data, bytes.data(), 16);
  HandleAccess::rememberIdentity(object, uuid);
  return object.objectIdentity();
}

// ---------------------------------------------------------------- class-table values

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

void ObjectStore::fillRow(sql::Statement& statement, int firstCell, bool withTargets) {
  std::size_t total = 0;
  for (const ClassInfo* c : row_.layout->lineage) total += static_cast<std::size_t>(c->rowColumns);
  row_.cells.resize(total);
  row_.targets.assign(total, Target());
  int column = firstCell;
  std::size_t cell = 0;
  for (const ClassInfo* c : row_.layout->lineage) {
    for (const PropertyInfo* q : c->properties) {
      if (q->inClassTable()) capture(statement, column++, q->traits->form, row_.cells[cell++]);
    }
  }
  if (!withTargets) return;
  // The targets' class and uuid follow the values (lineageSelect).
  cell = 0;
  for (const ClassInfo* c : row_.layout->lineage) {
    for (const PropertyInfo* q : c->properties) {
      if (!q->inClassTable()) continue;
      Target& target = row_.targets[cell++];
      if (q->valueType != ValueType::object) continue;
      const int at = column;
      column += 2;
      if (statement.columnIsNull(at)) continue;
      const std::string_view bytes = statement.columnBlob(at + 1);
      if (bytes.size() != 16) continue;
      target.cls = schema_.classById(statement.columnInt64(at));
      std::memcpy(target.uuid.data, bytes.data(), 16);
    }
  }
}

// The row by id with the object's place, which row() reads inside a
// transaction on a server.
sql::Statement& ObjectStore::placedRow(const ClassInfo* layout) {
  return statements_.keyed(layout, placedRowById, rowVersion(layout, tables_),
                           [&] { return rowQuery(layout, "o.id = ?1", tables_, true, true); });
}

// Its read goes out now, and row() reads its answer.
void ObjectStore::requestRow(const ObjectRef& object) {
  database_.checkOpen();
  if (!bundled() || !transaction_.active() || object.objectId() == 0) return;
  if (row_.serial == transaction_.writeSerial() && row_.id == object.objectId()) return;  // read already
  tables_.refresh();
  sql::Statement& s = placedRow(HandleAccess::classOf(object));
  s.bindInt64(1, object.objectId());
  s.sendAhead();
}

const ObjectStore::Row& ObjectStore::row(const ObjectRef& object, const PropertyInfo* property) {
  const std::uint64_t serial = transaction_.active() ? transaction_.writeSerial() : 0;
  if (serial != 0 && row_.serial == serial && row_.id == object.objectId() &&
      row_.layout->conformsTo(property->owner)) {
    return row_;
  }
  const ClassInfo* layout = HandleAccess::classOf(object);
  tables_.refresh();
  row_.serial = 0;
  const bool targets = bundled();
  if (serial != 0 && targets) {
    // Inside a transaction the object's place comes along, as with a
    // lookup: a reader of an owner chain asks for it next.
    sql::StatementUse s(placedRow(layout));
    s->bindInt64(1, object.objectId());
    if (!s->step()) access_.notFound(object.objectId());
    notePlace(*s, object.objectId());
    row_.id = object.objectId();
    row_.layout = layout;
    fillRow(*s, rowHeader + placeColumns, true);
    row_.serial = serial;
    return row_;
  }
  if (hasRowColumns(layout)) {
    sql::StatementUse s(statements_.keyed(layout, rowFromClassTables, rowVersion(layout, tables_),
                                          [&] { return classTablesQuery(layout, tables_, targets); }));
    s->bindInt64(1, object.objectId());
    if (s->step()) {
      row_.id = object.objectId();
      row_.layout = layout;
      fillRow(*s, 0, targets);
      row_.serial = serial;
      return row_;
    }
  }
  sql::StatementUse s(statements_.keyed(layout, rowById, rowVersion(layout, tables_),
                                        [&] { return rowQuery(layout, "o.id = ?1", tables_, false, targets); }));
  s->bindInt64(1, object.objectId());
  if (!s->step()) access_.notFound(object.objectId());
  row_.id = object.objectId();
  row_.layout = layout;
  fillRow(*s, rowHeader, targets);
  row_.serial = serial;
  return row_;
}

void ObjectStore::notePlace(sql::Statement& statement, ObjectId id) {
  constexpr int first = rowHeader;
  place_.id = id;
  place_.serial = transaction_.writeSerial();
  place_.owner = statement.columnIsNull(first) ? 0 : static_cast<ObjectId>(statement.columnInt64(first));
  if (place_.owner == 0) return;
  place_.ownerClass = statement.columnIsNull(first + 1) ? nullptr : schema_.classById(statement.columnInt64(first + 1));
  const std::string_view bytes = statement.columnBlob(first + 2);
  if (bytes.size() == 16) std::memcpy(place_.ownerUuid.data, bytes.data(), 16);
  place_.property = statement.columnInt64(first + 3);
  place_.ordinal = statement.columnInt64(first + 4);
}

const ObjectStore::Place* ObjectStore::knownPlace(ObjectId id) const noexcept {
  const bool current = place_.serial != 0 && place_.id == id && place_.serial == transaction_.writeSerial() &&
                       transaction_.active();
  // An owner whose class is unknown here (made by another connection) is
  // read by the caller's own statement.
  return current && (place_.owner == 0 || place_.ownerClass != nullptr) ? &place_ : nullptr;
}

bool ObjectStore::knownToExist(ObjectId id) const noexcept {
  return row_.serial != 0 && row_.id == id && row_.serial == transaction_.writeSerial() && transaction_.active();
}

bool ObjectStore::readValue(const ObjectRef& object, const PropertyInfo* property, void* out) {
  const Row& values = row(object, property);
  const auto at = static_cast<std::size_t>(cellOf(property));
  const Cell& cell = values.cells[at];
  if (cell.null) return false;
  const Target& target = values.targets[at];
  if (target.cls != nullptr) {
    // Read with the row: the handle carries the target's own class and uuid.
    const auto id = static_cast<ObjectId>(cell.integer);
    access_.noteSeen(id, target.cls);
    *static_cast<ObjectRef*>(out) = handles_.objectRef(target.cls, id, target.uuid);
    return true;
  }
  property->traits->read(cell, out, access_.site(property));
  return true;
}

void ObjectStore::readValueAsVector(const ObjectRef& object, const PropertyInfo* property, void* vector) {
  const Cell& cell = row(object, property).cells[static_cast<std::size_t>(cellOf(property))];
  if (!cell.null) property->traits->append(cell, vector, access_.site(property));
}

void ObjectStore::writeValue(ObjectId id, const PropertyInfo* property, const void* in) {
  access_.requireConforming(id, property);
  tables_.prepareClassTable(property->owner);
  sql::StatementUse s(statements_.forProperty(*property, PropertyStatement::upsert));
  s->bindInt64(1, id);
  access_.bindWritten(*s, 2, property, in);
  s->run();
}

// ---------------------------------------------------------------- rows and links

void ObjectStore::deleteRows(ObjectId id, const ClassInfo* cls) {
  transaction_.noteRemoval();
  for (const ClassInfo* c : cls->lineage) {
    if (c->rowColumns == 0 || !tables_.classTable(c).exists) continue;
    sql::StatementUse s(statements_.keyed(c, deleteRow, 0, [&] {
      return sql::fillIn("DELETE FROM {table} WHERE id = ?1", {{"table", c->table}});
    }));
    s->bindInt64(1, id);
    s->step();
  }
  sql::StatementUse s(statements_.fixed("DELETE FROM vlt_object WHERE id = ?1"));
  s->bindInt64(1, id);
  s->step();
}

// Entries of one collection come in descending ordinal order, and all are
// collected before the first call: the callback may remove each at its index.
void ObjectStore::processIncoming(const ObjectRef& object,
                                  const std::function<void(CollectionRef&, std::size_t)>& callback) {
  database_.checkOpen();
  if (object.isNull()) database_.usage("a null object has no incoming links");
  const ClassInfo* cls = access_.requireObject(object.objectId());
  std::vector<std::tuple<ObjectRef, const PropertyInfo*, std::size_t>> entries;
  for (const auto& holder : schema_.allProperties()) {
    const PropertyInfo* q = holder.get();
    if (q->retired || !q->inOwnTable() || q->valueType != ValueType::object || !q->opposite.empty() ||
        !cls->conformsTo(q->typeClass) || !tables_.collectionTable(q)) {
      continue;
    }
    sql::StatementUse s(statements_.forProperty(*q, PropertyStatement::incoming));
    s->bindInt64(1, object.objectId());
    while (s->step()) {
      entries.emplace_back(access_.objectAt(*s, 0, q->owner), q, static_cast<std::size_t>(s->columnInt64(3)));
    }
  }
  for (auto& [owner, property, index] : entries) {
    CollectionRef collection;
    HandleAccess::setCollection(collection, owner, handles_.propertyRef(property));
    callback(collection, index);
  }
}

// The holders of links to any of `targets`, an IN list of them per statement
// (a shorter list repeats its last id), through the index on the column or
// on the collection's values.
std::vector<IncomingLink> ObjectStore::linksInto(const PropertyRef& propertyRef, const std::vector<ObjectRef>& targets) {
  database_.checkOpen();
  const PropertyInfo* q = access_.checkProperty(propertyRef);
  if (q->valueType != ValueType::object || q->composite) {
    database_.usage("the property \"" + q->name + "\" is not a non-composite link property");
  }
  std::vector<ObjectId> ids;
  for (const ObjectRef& target : targets) {
    if (!target.isNull()) ids.push_back(target.objectId());
  }
  std::vector<IncomingLink> links;
  const bool column = q->inClassTable();
  if (column) {
    const ValueTables::ClassTable& table = tables_.classTable(q->owner);
    if (!table.exists || !table.columns[static_cast<std::size_t>(q->rowColumn)]) return links;
  } else if (!tables_.collectionTable(q)) {
    return links;
  }
  sql::Statement& s = statements_.keyed(q, column ? linksIntoColumn : linksIntoCollection, 0,
                                        [&] { return linksIntoText(*q, "(" + inListPlaceholders(1) + ")"); });
  for (std::size_t first = 0; first < ids.size(); first += inListSize) {
    sql::StatementUse use(s);
    for (std::size_t k = 0; k < inListSize; ++k) {
      s.bindInt64(static_cast<int>(k) + 1, ids[std::min(first + k, ids.size() - 1)]);
    }
    while (s.step()) {
      links.push_back(IncomingLink{access_.objectAt(s, 0, q->owner), static_cast<ObjectId>(s.columnInt64(3)),
                                   static_cast<std::size_t>(s.columnInt64(4))});
    }
  }
  std::sort(links.begin(), links.end(), [](const IncomingLink& a, const IncomingLink& b) {
    return a.holder.objectId() != b.holder.objectId() ? a.holder.objectId() < b.holder.objectId() : a.index > b.index;
  });
  return links;
}

}  // namespace vlt::detail
