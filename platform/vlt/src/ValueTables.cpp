#include "ValueTables.hpp"

#include "MetamodelInfo.hpp"
#include "ValueTraits.hpp"

#include <algorithm>
#include <set>

namespace vlt::detail {

bool ValueTables::ClassTable::complete() const noexcept {
  return exists && std::all_of(columns.begin(), columns.end(), [](bool c) { return c; });
}

// What the catalog says about the class's table.
ValueTables::ClassTable ValueTables::look(const ClassInfo* cls) {
  noteEngineSchema();
  const std::vector<std::string> names = database_.connection().tableColumns(cls->table);
  ClassTable table;
  table.exists = !names.empty();
  table.columns.assign(static_cast<std::size_t>(cls->rowColumns), false);
  const std::set<std::string> present(names.begin(), names.end());
  for (const PropertyInfo* p : cls->properties) {
    if (p->inClassTable()) table.columns[static_cast<std::size_t>(p->rowColumn)] = present.count(p->column) != 0;
  }
  return table;
}

// The engine's schema version before the first look at the catalog: what
// changes after it is noticed by refresh(); taken later, the first refresh
// would forget every missing table it found.
void ValueTables::noteEngineSchema() {
  if (engineSchema_ >= 0) return;
  checkedInTransaction_ = transaction_.active() ? transaction_.number() : 0;
  engineSchema_ = database_.connection().schemaVersion();
}

// Another connection may have made tables since a missing one was noticed:
// look at the engine's schema version (at most once per transaction; on a
// server it costs no round trip inside one), and forget every missing table
// or column when it changed.
void ValueTables::refresh() {
  if (missing_ == 0) return;
  if (transaction_.active() && checkedInTransaction_ == transaction_.number()) return;
  checkedInTransaction_ = transaction_.active() ? transaction_.number() : 0;
  const std::int64_t now = database_.connection().schemaVersion();
  if (now == engineSchema_) return;
  engineSchema_ = now;
  for (auto it = classes_.begin(); it != classes_.end();) {
    it = it->second.table.complete() ? std::next(it) : classes_.erase(it);
  }
  for (auto it = collections_.begin(); it != collections_.end();) {
    it = it->second.exists ? std::next(it) : collections_.erase(it);
  }
  changed();
}

// Something known changed: statements are made again, and what is missing is
// counted again (rare: when tables are made, or forgotten).
void ValueTables::changed() noexcept {
  ++version_;
  recount();
}

// A table looked at for the first time changes no statement made before:
// whatever built one looked at every table it names first.
void ValueTables::recount() noexcept {
  missing_ = 0;
  for (const auto& entry : classes_) missing_ += entry.second.table.complete() ? 0 : 1;
  for (const auto& entry : collections_) missing_ += entry.second.exists ? 0 : 1;
}

const ValueTables::ClassTable& ValueTables::classTable(const ClassInfo* cls) {
  auto it = classes_.find(cls);
  if (it != classes_.end() && it->second.table.columns.size() != static_cast<std::size_t>(cls->rowColumns)) {
    it->second.table.columns.resize(static_cast<std::size_t>(cls->rowColumns), false);  // properties added since
    changed();
  }
  if (it != classes_.end() && !it->second.table.complete()) {
    refresh();
    it = classes_.find(cls);
  }
  if (it == classes_.end()) {
    it = classes_.emplace(cls, Known{look(cls), false}).first;
    recount();
  }
  return it->second.table;
}

bool ValueTables::collectionTable(const PropertyInfo* property) {
  auto it = collections_.find(property);
  if (it != collections_.end() && !it->second.exists) {
    refresh();
    it = collections_.find(property);
  }
  if (it == collections_.end()) {
    noteEngineSchema();
    const bool exists = !database_.connection().tableColumns(property->table).empty();
    it = collections_.emplace(property, KnownCollection{exists, false}).first;
    recount();
  }
  return it->second.exists;
}

void ValueTables::prepareClassTable(const ClassInfo* cls) {
  const ClassTable known = classTable(cls);  // a copy: the scope below may forget it
  if (known.complete()) return;
  sql::Connection& c = database_.connection();
  const sql::Dialect& d = c.dialect();
  WriteScope scope(transaction_);
  std::string columns;
  for (const PropertyInfo* p : cls->properties) {
    if (!p->inClassTable() || (known.exists && known.columns[static_cast<std::size_t>(p->rowColumn)])) continue;
    const std::string type = d.columnType(p->traits->form);
    if (known.exists) {
      c.execute(sql::fillIn("ALTER TABLE {table} ADD COLUMN {column} {type}",
                            {{"table", cls->table}, {"column", p->column}, {"type", type}}));
    } else {
      columns += ", " + p->column + " " + type;
    }
  }
  if (!known.exists) {
    c.execute(sql::fillIn("CREATE TABLE {table} (id {int} PRIMARY KEY{columns}){options}",
                          {{"table", cls->table},
                           {"int", d.integerType},
                           {"columns", columns},
                           {"options", d.classTableOptions}}));
  }
  for (const PropertyInfo* p : cls->properties) {
    const bool added = !known.exists || !known.columns[static_cast<std::size_t>(p->rowColumn)];
    if (p->inClassTable() && p->valueType == ValueType::object && added) {
      c.execute(sql::fillIn("CREATE INDEX {table}_{column} ON {table} ({column})",
                            {{"table", cls->table}, {"column", p->column}}));
    }
  }
  c.schemaChanged();
  scope.commit();
  Known& entry = classes_[cls];
  entry.table.exists = true;
  entry.table.columns.assign(static_cast<std::size_t>(cls->rowColumns), true);
  entry.madeHere = transaction_.active();
  changed();
}

void ValueTables::prepareCollectionTable(const PropertyInfo* p) {
  if (collectionTable(p)) return;
  sql::Connection& c = database_.connection();
  const sql::Dialect& d = c.dialect();
  WriteScope scope(transaction_);
  c.execute(sql::fillIn("CREATE TABLE {table} (object_id {int} NOT NULL, ordinal {int} NOT NULL, value {type})",
                        {{"table", p->table}, {"int", d.integerType}, {"type", d.columnType(p->traits->form)}}));
  // A collection of links is read with its targets' rows: the index holds
  // the target too, so that reading a collection never visits the table.
  const bool links = p->valueType == ValueType::object;
  c.execute(sql::fillIn(links ? "CREATE INDEX {table}_object ON {table} (object_id, ordinal, value)"
                              : "CREATE INDEX {table}_object ON {table} (object_id, ordinal)",
                        {{"table", p->table}}));
  if (links) {
    c.execute(sql::fillIn("CREATE INDEX {table}_value ON {table} (value)", {{"table", p->table}}));
  }
  c.schemaChanged();
  scope.commit();
  collections_[p] = KnownCollection{true, transaction_.active()};
  changed();
}

// What the open transaction made is gone when it (or the savepoint of the
// call that made it) rolls back: ask the catalog again.
void ValueTables::forgetMadeHere() noexcept {
  for (auto it = classes_.begin(); it != classes_.end();) it = it->second.madeHere ? classes_.erase(it) : std::next(it);
  for (auto it = collections_.begin(); it != collections_.end();) {
    it = it->second.madeHere ? collections_.erase(it) : std::next(it);
  }
  changed();
}

void ValueTables::transactionEnded(bool committed) noexcept {
  if (!committed) {
    forgetMadeHere();
    return;
  }
  for (auto& entry : classes_) entry.second.madeHere = false;
  for (auto& entry : collections_) entry.second.madeHere = false;
}

void ValueTables::savepointRolledBack() noexcept { forgetMadeHere(); }

}  // namespace vlt::detail
