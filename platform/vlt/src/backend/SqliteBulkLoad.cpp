// Bulk loading on SQLite: indexes dropped while a transaction fills an empty
// repository and made again from the rows, and the rows written behind by
// the connection's worker meanwhile.

#include "backend/SqliteConnection.hpp"

#include <vlt/Errors.hpp>

#include <algorithm>
#include <optional>
#include <string>
#include <thread>

namespace vlt::sql {

void SqliteConnection::settle() {
  writeBehind_->wait();
  std::optional<WriteFailure> failure = writeBehind_->takeFailure();
  if (!failure) return;
  abandon();
  fail(failure->code, failure->message, failure->sql);
}

void SqliteConnection::abandon() noexcept {
  sqlite3_exec(db(), "ROLLBACK", nullptr, nullptr, nullptr);
  deferred_.clear();
  deferring_ = false;
}

// Bulk loading: an index dropped by deferIndexes() is made again before the
// first statement that may read through it, and before the commit. A
// rollback takes the drops back itself. CREATE and ALTER read no rows: a table
// or column made in the middle of a load does not end it, and the
// (non-unique) indexes of a table made then wait with the others. False when
// `sql` is not to run now.
bool SqliteConnection::beforeExecute(const std::string& sql) {
  const std::string createIndex = "CREATE INDEX ";
  if (sql == "ROLLBACK" || sql.rfind("BEGIN", 0) == 0) {
    deferred_.clear();  // a new transaction: the engine dropped the last one, and the drops with it
    deferring_ = false;
  } else if (sql == "COMMIT") {
    deferring_ = true;  // all of them, whatever a savepoint's rollback did
    restoreIndexes();
  } else if (deferring_ && sql.rfind(createIndex, 0) == 0) {
    // "CREATE INDEX <name> ON <table> (...)", as the repository writes it
    const std::size_t on = sql.find(" ON ");
    const std::size_t table = on == std::string::npos ? on : on + 4;
    if (table == std::string::npos) return true;
    deferred_.push_back({sql.substr(table, sql.find_first_of(" (", table) - table),
                         std::string(sql).insert(createIndex.size(), "IF NOT EXISTS ")});
    return false;
  } else if (deferring_ && sql.rfind("SAVEPOINT ", 0) != 0 && sql.rfind("RELEASE ", 0) != 0 &&
             sql.rfind("CREATE ", 0) != 0 && sql.rfind("ALTER ", 0) != 0) {
    restoreIndexes();
  }
  return true;
}

bool SqliteConnection::deferIndexes(const std::vector<std::string>& keep, bool everyRowNew) {
  if (!everyRowNew || !inTransaction() || !deferred_.empty()) return deferring_;
  // Only what CREATE INDEX made: the indexes of PRIMARY KEY and UNIQUE
  // constraints (no text) cannot be dropped.
  struct Index {
    std::string table;
    std::string name;
    std::string create;
  };
  std::vector<Index> indexes;
  {
    auto s = prepare("SELECT name, sql FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL AND tbl_name = ?1");
    for (const std::string& table : tableNames()) {
      if (std::find(keep.begin(), keep.end(), table) != keep.end()) continue;
      s->bindText(1, table);
      while (s->step()) indexes.push_back({table, std::string(s->columnText(0)), std::string(s->columnText(1))});
      s->reset();
    }
  }
  // SQLite keeps the text as "CREATE [UNIQUE] INDEX <name> ...".
  const std::string keyword = "INDEX ";
  for (const auto& [table, name, create] : indexes) {
    const std::size_t at = create.find(keyword);
    if (at == std::string::npos) continue;
    std::string drop = "DROP INDEX \"" + name + "\"";
    const int rc = sqlite3_exec(db(), drop.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) fail(rc, describe(db(), rc), drop);
    deferred_.push_back({table, std::string(create).insert(at + keyword.size(), "IF NOT EXISTS ")});
  }
  deferring_ = !deferred_.empty();
  deferral_ += deferring_ ? 1 : 0;
  return deferring_;
}

// A statement that finds its rows by primary key, through a kept index, in a
// subquery or a table function runs as fast as before; one that would now
// read a whole table of deferred indexes has them made first. The plan names
// a table by its alias where it has one: an unknown name counts as one.
bool SqliteConnection::scansWithoutIndexes(const std::string& sql) {
  const std::string explain = "EXPLAIN QUERY PLAN " + sql;
  sqlite3_stmt* plan = nullptr;
  const int rc = sqlite3_prepare_v2(db(), explain.data(), static_cast<int>(explain.size()), &plan, nullptr);
  StatementHandle handle(plan);
  if (rc != SQLITE_OK) return true;  // its own step will tell what is wrong
  const std::string_view scan = "SCAN ";
  while (sqlite3_step(plan) == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(plan, 3));
    const std::string_view detail = text ? text : "";
    if (detail.rfind(scan, 0) != 0 || detail.find(" USING ") != std::string_view::npos ||
        detail.find("VIRTUAL TABLE") != std::string_view::npos || detail.find("CONSTANT ROW") != std::string_view::npos ||
        detail[scan.size()] == '(') {
      continue;
    }
    const std::string name(detail.substr(scan.size(), detail.find(' ', scan.size()) - scan.size()));
    const bool deferred = std::any_of(deferred_.begin(), deferred_.end(),
                                      [&](const DeferredIndex& index) { return index.table == name; });
    if (deferred || (name != "sqlite_master" && !tableExists(name))) return true;
  }
  return false;
}

// Making an index is mostly sorting its keys. SQLite sorts on helper
// threads only the runs of keys beyond its sort memory, which is as large as
// the page cache: while the indexes are made, a cache of SQLite's default
// size splits the keys into runs that the other cores sort beside the scan
// of the table, and then merge. The pages the load left dirty in the cache
// go to the file a little before the commit rather than at it. On two cores
// the indexes of 1.5 and 3.6 million objects took about 1 and 2.7 s less
// (a larger sort memory gained less, none at 3.6 million with 8 MiB).
void SqliteConnection::restoreIndexes() {
  if (!deferring_) return;
  settle();
  constexpr std::int64_t sortMemoryKiB = 2048;
  const bool smaller = pageCacheKiB_ > sortMemoryKiB;
  const auto pragma = [this](const std::string& sql) { sqlite3_exec(db(), sql.c_str(), nullptr, nullptr, nullptr); };
  const unsigned helpers = std::clamp(std::thread::hardware_concurrency(), 2u, 9u) - 1;  // SQLite takes 8 at most
  pragma("PRAGMA threads = " + std::to_string(helpers));
  if (smaller) pragma("PRAGMA cache_size = -" + std::to_string(sortMemoryKiB));
  const auto restore = [&] {
    pragma("PRAGMA threads = 0");
    if (smaller) pragma("PRAGMA cache_size = -" + std::to_string(pageCacheKiB_));
  };
  try {
    for (const DeferredIndex& index : deferred_) {
      if (!tableExists(index.table)) continue;
      const int rc = sqlite3_exec(db(), index.create.c_str(), nullptr, nullptr, nullptr);
      if (rc != SQLITE_OK) fail(rc, describe(db(), rc), index.create);
    }
  } catch (...) {
    restore();
    throw;
  }
  restore();
  deferring_ = false;
}

// Before a statement that would scan: a statement of this connection still
// reading a table keeps its schema from changing (SQLITE_LOCKED), and then
// this one runs without the indexes. The commit makes them at the latest.
void SqliteConnection::restoreIndexesIfFree() {
  try {
    restoreIndexes();
  } catch (const RepositoryError& e) {
    if ((e.backendCode() & 0xff) != SQLITE_LOCKED) throw;
  }
}

StagedValue* SqliteStatement::staged(int index) {
  if (!connection_.writingBehind()) {
    if (anyStaged_) bindStaged();
    return nullptr;
  }
  if (index < 1 || index > parameters_) {
    // As SQLite words it; its own message would be read while the worker may write it.
    connection_.fail(SQLITE_RANGE,
                     describe(nullptr, SQLITE_RANGE) + " for the parameter number " + std::to_string(index), sql_);
  }
  if (staged_.size() < static_cast<std::size_t>(parameters_)) staged_.resize(static_cast<std::size_t>(parameters_));
  anyStaged_ = true;
  return &staged_[static_cast<std::size_t>(index) - 1];
}

// Hands the staged values to SQLite; the worker is not using the handle.
void SqliteStatement::bindStaged() {
  anyStaged_ = false;
  for (std::size_t i = 0; i < staged_.size(); ++i) {
    StagedValue& value = staged_[i];
    const int index = static_cast<int>(i + 1);
    check(bindStagedValue(handle(), index, value.kind, value.integer, value.bytes.data(), value.bytes.size()), index);
    value.kind = StagedValue::Kind::unset;
  }
}

// Outside a load the worker has nothing to do (every end of a load waits for
// it), and statements use SQLite at once.
void SqliteStatement::reset() noexcept {
  if (queued_) return;  // the worker resets it after the row
  if (connection_.writingBehind()) writeBehind_->wait();
  sqlite3_reset(handle());
}

void SqliteStatement::run() {
  if (!queueable_ || !connection_.writingBehind()) {
    step();
    reset();
    return;
  }
  connection_.queue(handle(), sql_, staged_);
  for (StagedValue& value : staged_) value.kind = StagedValue::Kind::unset;
  anyStaged_ = false;
  queued_ = true;
}

}  // namespace vlt::sql
