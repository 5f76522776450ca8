// The SQLite back end: with SqliteWriteBehind, the only files that include
// <sqlite3.h>.

#include "backend/Backend.hpp"
#include "backend/SqliteWriteBehind.hpp"

#include <vlt/Errors.hpp>

#include <fl/i18n/Unicode.hpp>
#include <foundation/filesystem/FileSystem.hpp>

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace vlt::sql {
namespace {

namespace fs = foundation::filesystem;

// Marks a SQLite file as a repository ("VLTR").
constexpr std::int64_t applicationId = 0x564C5452;

// GLOB knows * and ? as ours, and [...] classes: a "[" is written "[[]" to
// stand for itself ("]" is only special inside a class).
std::string globPattern(std::string_view wildcards) {
  std::string out;
  out.reserve(wildcards.size());
  for (char c : wildcards) {
    if (c == '[') {
      out += "[[]";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

const Dialect sqliteDialect{
    "INTEGER",
    "INTEGER",  // doubles are kept as ordered 64-bit integers (see orderedDouble in Backend.hpp)
    "TEXT",
    "BLOB",
    "id INTEGER PRIMARY KEY",
    "BEGIN IMMEDIATE",
    "BEGIN DEFERRED",
    "BEGIN DEFERRED",
    "INSERT INTO {table} (id, {column}) VALUES (?1, ?2) ON CONFLICT (id) DO UPDATE SET {column} = excluded.{column}",
    "{a} IS {b}",
    "{a} IS NOT {b}",
    "instr(CAST({a} AS BLOB), CAST({b} AS BLOB)) > 0",
    // substr of an empty blob is NULL: an empty prefix or suffix is tested apart.
    "({a} IS NOT NULL AND (length(CAST({b} AS BLOB)) = 0 OR "
    "substr(CAST({a} AS BLOB), 1, length(CAST({b} AS BLOB))) = CAST({b} AS BLOB)))",
    "({a} IS NOT NULL AND (length(CAST({b} AS BLOB)) = 0 OR "
    "substr(CAST({a} AS BLOB), -length(CAST({b} AS BLOB))) = CAST({b} AS BLOB)))",
    "{a} GLOB {b}",
    "LIMIT {count} OFFSET {offset}",
    "LIMIT -1 OFFSET {offset}",
    &globPattern,
};

struct DatabaseCloser {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const noexcept { sqlite3_finalize(statement); }
};
using DatabaseHandle = std::unique_ptr<sqlite3, DatabaseCloser>;
using StatementHandle = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

class SqliteConnection;

// While its connection writes rows behind (see SqliteWriteBehind.hpp) a
// statement keeps the values bound to it (staged_) instead of handing them
// to SQLite, whose handle the worker may be using: run() queues them with the
// statement, and anything else first waits for the worker and binds them.
class SqliteStatement final : public Statement {
 public:
  SqliteStatement(SqliteConnection& connection, std::shared_ptr<WriteBehind> writeBehind, StatementHandle statement,
                  std::string sql)
      : connection_(connection), writeBehind_(std::move(writeBehind)), statement_(std::move(statement)),
        sql_(std::move(sql)), parameters_(sqlite3_bind_parameter_count(statement_.get())),
        queueable_(sql_.rfind("INSERT ", 0) == 0 && sql_.find("SELECT") == std::string::npos &&
                   sql_.find("RETURNING") == std::string::npos) {}
  ~SqliteStatement() override { writeBehind_->wait(); }

  void bindNull(int index) override {
    if (StagedValue* value = staged(index)) {
      value->kind = StagedValue::Kind::null;
      return;
    }
    check(sqlite3_bind_null(handle(), index), index);
  }
  void bindInt64(int index, std::int64_t value) override {
    if (StagedValue* staged = this->staged(index)) {
      staged->kind = StagedValue::Kind::integer;
      staged->integer = value;
      return;
    }
    check(sqlite3_bind_int64(handle(), index, static_cast<sqlite3_int64>(value)), index);
  }
  void bindDouble(int index, double value) override { bindInt64(index, orderedDouble(value)); }
  void bindText(int index, std::string_view bytes) override {
    if (StagedValue* value = staged(index)) {
      value->kind = StagedValue::Kind::text;
      value->bytes.assign(bytes.data() ? bytes.data() : "", bytes.size());
      return;
    }
    // A null data pointer would bind NULL: an empty text must stay a text.
    check(sqlite3_bind_text64(handle(), index, bytes.data() ? bytes.data() : "", bytes.size(), SQLITE_TRANSIENT,
                              SQLITE_UTF8),
          index);
  }
  void bindBlob(int index, const void* data, std::size_t size) override {
    if (StagedValue* value = staged(index)) {
      value->kind = StagedValue::Kind::bytes;
      value->bytes.assign(data ? static_cast<const char*>(data) : "", size);
      return;
    }
    check(sqlite3_bind_blob64(handle(), index, data ? data : "", size, SQLITE_TRANSIENT), index);
  }
  bool step() override;
  void run() override;
  void reset() noexcept override {
    if (queued_) return;  // the worker resets it after the row
    writeBehind_->wait();
    sqlite3_reset(handle());
  }
  bool columnIsNull(int column) override { return sqlite3_column_type(handle(), column) == SQLITE_NULL; }
  std::int64_t columnInt64(int column) override { return sqlite3_column_int64(handle(), column); }
  double columnDouble(int column) override { return doubleFromOrdered(sqlite3_column_int64(handle(), column)); }
  std::string_view columnText(int column) override {
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(handle(), column));
    return bytes(data, column);
  }
  std::string_view columnBlob(int column) override {
    return bytes(static_cast<const char*>(sqlite3_column_blob(handle(), column)), column);
  }
  const std::string& sql() const noexcept override { return sql_; }

 private:
  sqlite3_stmt* handle() const noexcept { return statement_.get(); }
  std::string_view bytes(const char* data, int column) {
    const int size = sqlite3_column_bytes(handle(), column);
    return data ? std::string_view(data, static_cast<std::size_t>(size)) : std::string_view();
  }
  void check(int rc, int index);
  StagedValue* staged(int index);
  void bindStaged();

  SqliteConnection& connection_;
  std::shared_ptr<WriteBehind> writeBehind_;
  StatementHandle statement_;
  std::string sql_;
  int parameters_;
  bool queueable_;      ///< an INSERT that reads nothing: may run behind
  bool queued_ = false;  ///< run behind since it last ran here
  bool anyStaged_ = false;
  std::vector<StagedValue> staged_;  ///< by parameter number - 1
  // Whether, without the deferred indexes, this scans a table (asked once
  // per deferral).
  std::uint64_t scanCheckedFor_ = 0;
  bool scans_ = false;
};

class SqliteConnection final : public Connection {
 public:
  SqliteConnection(DatabaseHandle db, const OpenRequest& request, bool created)
      : db_(std::move(db)), path_(request.location), filespec_(request.filespec),
        busyTimeoutMs_(request.lockTimeoutMs), created_(created) {}
  ~SqliteConnection() override { writeBehind_->stop(); }

  std::unique_ptr<Statement> prepare(const std::string& sql) override {
    settle();
    sqlite3_stmt* statement = nullptr;
    const int rc = sqlite3_prepare_v3(db(), sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                                      &statement, nullptr);
    StatementHandle handle(statement);
    if (rc != SQLITE_OK) fail(rc, describe(db(), rc), sql);
    return std::make_unique<SqliteStatement>(*this, writeBehind_, std::move(handle), sql);
  }
  void execute(const std::string& sql) override {
    if (sql == "ROLLBACK") {
      // What failed behind is rolled back with everything else.
      writeBehind_->wait();
      writeBehind_->takeFailure();
    }
    settle();
    if (!deferred_.empty() && !beforeExecute(sql)) return;
    if (sqlite3_stmt* control = controlStatement(sql)) {
      const int rc = sqlite3_step(control);
      sqlite3_reset(control);
      if (rc != SQLITE_DONE) fail(rc, describe(db(), rc), sql);
      return;
    }
    const int rc = sqlite3_exec(db(), sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) fail(rc, describe(db(), rc), sql);
  }
  // Rows are written behind only inside a transaction, which only settle()
  // ends: the worker need not be waited for.
  bool inTransaction() const noexcept override { return writingBehind() || sqlite3_get_autocommit(db()) == 0; }
  std::int64_t changes() override {
    settle();
    return sqlite3_changes64(db());
  }
  void savepoint() override { execute("SAVEPOINT vlt_operation"); }
  void releaseSavepoint() override { execute("RELEASE vlt_operation"); }
  void rollbackToSavepoint() noexcept override {
    // A row that failed behind may have been queued before the savepoint:
    // only the whole transaction can take it back. Its failure is reported
    // by the next call that waits for the database.
    writeBehind_->wait();
    if (writeBehind_->failed()) {
      abandon();
      return;
    }
    // Nothing more can be done when it fails: the transaction itself is gone,
    // which the repository notices.
    sqlite3_exec(db(), "ROLLBACK TO vlt_operation; RELEASE vlt_operation", nullptr, nullptr, nullptr);
    // It may have dropped indexes again that were made since.
    if (!deferred_.empty()) deferring_ = true;
  }
  const Dialect& dialect() const noexcept override { return sqliteDialect; }
  void setTrace(TraceCallback callback, void* context) override {
    trace_ = callback;
    traceContext_ = context;
    sqlite3_trace_v2(db(), callback ? SQLITE_TRACE_STMT : 0, callback ? &SqliteConnection::traceThunk : nullptr,
                     this);
  }
  const std::string& filespec() const noexcept override { return filespec_; }

  DatabaseState inspect() override;
  void markAsRepository() override { execute("PRAGMA application_id = " + std::to_string(applicationId)); }
  std::vector<std::string> tableNames() override;
  std::vector<std::string> tableColumns(const std::string& table) override;
  std::int64_t schemaVersion() override;
  void setJournalMode(JournalMode mode) override;
  // A negative cache_size is a bound in KiB, whatever the page size.
  void setPageCache(std::int64_t kib) override {
    execute("PRAGMA cache_size = -" + std::to_string(kib));
    pageCacheKiB_ = kib;
  }
  void keepGenerations(int count) override;
  void discardIfCreated() noexcept override;
  bool deferIndexes(const std::vector<std::string>& keep) override;
  bool indexesDeferred() const noexcept override { return deferring_; }
  void restoreIndexes() override;
  /// Counts the calls of deferIndexes() that dropped indexes.
  std::uint64_t deferral() const noexcept { return deferral_; }
  void restoreIndexesIfFree();
  bool tableExists(const std::string& table);
  /// Whether `sql`, planned now, reads a whole table.
  bool scansWithoutIndexes(const std::string& sql);
  // Its planner picks the indexes these tables are made for without them.
  void refreshStatistics() override {}

  /// Whether rows run through run() are written behind now: while indexes
  /// are deferred (a bulk load), unless statements are traced (the trace
  /// would come from the worker).
  bool writingBehind() const noexcept { return deferring_ && trace_ == nullptr; }
  /// Queues a row of `statement` (see WriteBehind::add); throws what a row
  /// queued before failed with.
  void queue(sqlite3_stmt* statement, const std::string& sql, const std::vector<StagedValue>& values) {
    if (writeBehind_->failed()) settle();
    writeBehind_->add(statement, sql, values);
  }
  /// Waits for the rows written behind; when one failed, rolls the
  /// transaction back and throws what it failed with.
  void settle();

  /// SQLite opened the file read-only although write access was asked for.
  bool openedReadOnly() const noexcept { return sqlite3_db_readonly(db(), "main") == 1; }

  /// Throws the error that the SQLite result `code` stands for.
  [[noreturn]] void fail(int code, const std::string& what, const std::string& sql) const;

 private:
  // Whoever uses the database waits for the worker first.
  sqlite3* db() const noexcept {
    writeBehind_->wait();
    return db_.get();
  }
  void abandon() noexcept;
  sqlite3_stmt* controlStatement(const std::string& sql);
  bool beforeExecute(const std::string& sql);
  void backupTo(const std::string& path);
  static int traceThunk(unsigned type, void* context, void* statement, void* text);

  DatabaseHandle db_;
  // Prepared transaction control, by text; declared after db_ so that the
  // statements are finalized before the database is closed.
  std::vector<std::pair<std::string, StatementHandle>> control_;
  std::string path_;
  std::string filespec_;
  int busyTimeoutMs_;
  std::int64_t pageCacheKiB_ = 2000;  // SQLite's own default
  bool created_;
  TraceCallback trace_ = nullptr;
  void* traceContext_ = nullptr;
  // The CREATE INDEX statements (IF NOT EXISTS) of what deferIndexes()
  // dropped, kept until the transaction ends: a savepoint's rollback may
  // drop an index again after it was made, so COMMIT makes them all again.
  // The table of each, for a rollback to a savepoint may have dropped it.
  struct DeferredIndex {
    std::string table;
    std::string create;
  };
  std::vector<DeferredIndex> deferred_;
  bool deferring_ = false;  ///< dropped and not made since
  std::uint64_t deferral_ = 0;
  // Shared with the statements, which may outlive the connection.
  std::shared_ptr<WriteBehind> writeBehind_ = std::make_shared<WriteBehind>();
};

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

// Transaction control runs around every repository call (a savepoint) and
// every transaction: kept prepared, it skips the parser, which costs as much
// as the statement itself. Other statements run through sqlite3_exec.
sqlite3_stmt* SqliteConnection::controlStatement(const std::string& sql) {
  static const char* const texts[] = {sqliteDialect.beginWrite, sqliteDialect.beginRead, "COMMIT", "ROLLBACK",
                                      "SAVEPOINT vlt_operation", "RELEASE vlt_operation"};
  for (const auto& [text, statement] : control_)
    if (text == sql) return statement.get();
  if (std::find(std::begin(texts), std::end(texts), sql) == std::end(texts)) return nullptr;
  sqlite3_stmt* statement = nullptr;
  const int rc = sqlite3_prepare_v3(db(), sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                                    &statement, nullptr);
  StatementHandle handle(statement);
  if (rc != SQLITE_OK) fail(rc, describe(db(), rc), sql);
  control_.emplace_back(sql, std::move(handle));
  return statement;
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

bool SqliteConnection::deferIndexes(const std::vector<std::string>& keep) {
  if (!inTransaction() || !deferred_.empty()) return deferring_;
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
    switch (value.kind) {
      case StagedValue::Kind::unset: continue;
      case StagedValue::Kind::null: check(sqlite3_bind_null(handle(), index), index); break;
      case StagedValue::Kind::integer: check(sqlite3_bind_int64(handle(), index, value.integer), index); break;
      case StagedValue::Kind::text:
        check(sqlite3_bind_text64(handle(), index, value.bytes.data(), value.bytes.size(), SQLITE_TRANSIENT,
                                  SQLITE_UTF8),
              index);
        break;
      case StagedValue::Kind::bytes:
        check(sqlite3_bind_blob64(handle(), index, value.bytes.data(), value.bytes.size(), SQLITE_TRANSIENT), index);
        break;
    }
    value.kind = StagedValue::Kind::unset;
  }
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

bool SqliteStatement::step() {
  if (connection_.writingBehind()) connection_.settle();
  writeBehind_->wait();  // a statement of a load that has just ended
  queued_ = false;
  if (anyStaged_) bindStaged();
  if (connection_.indexesDeferred()) {
    if (scanCheckedFor_ != connection_.deferral()) {
      scanCheckedFor_ = connection_.deferral();
      scans_ = connection_.scansWithoutIndexes(sql_);
    }
    if (scans_) connection_.restoreIndexesIfFree();
  }
  const int rc = sqlite3_step(handle());
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  const std::string text = describe(sqlite3_db_handle(handle()), rc);
  sqlite3_reset(handle());
  connection_.fail(rc, text, sql_);
}

void SqliteStatement::check(int rc, int index) {
  if (rc != SQLITE_OK) {
    connection_.fail(rc, describe(sqlite3_db_handle(handle()), rc) + " for the parameter number " +
                             std::to_string(index),
                     sql_);
  }
}

void SqliteConnection::fail(int code, const std::string& what, const std::string& sql) const {
  switch (code) {
    case SQLITE_READONLY_ROLLBACK:
      throw StorageError("a writer stopped in the middle of a transaction and left its journal: open the repository "
                         "for writing once to recover it",
                         filespec_, code, what, sql);
    case SQLITE_READONLY_CANTINIT:
    case SQLITE_READONLY_DIRECTORY:
    case SQLITE_READONLY_RECOVERY:
    case SQLITE_CANTOPEN:
      throw StorageError("the folder of the repository may not be written, and the repository needs files beside it "
                         "(a write-ahead log and its index, or a journal)",
                         filespec_, code, what, sql);
    default:
      break;
  }
  switch (code & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      throw LockedError("the repository is locked by another connection (waited " + std::to_string(busyTimeoutMs_) +
                            " ms)",
                        filespec_, code, what, sql);
    case SQLITE_CONSTRAINT:
      throw ConstraintError("a stored constraint was violated", filespec_, code, what, sql);
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      throw StorageError("the repository file is not a database or is damaged", filespec_, code, what, sql);
    case SQLITE_READONLY:
      throw StorageError("the repository file may not be written", filespec_, code, what, sql);
    default:
      throw StorageError("the database operation failed", filespec_, code, what, sql);
  }
}

int SqliteConnection::traceThunk(unsigned type, void* context, void*, void* text) {
  auto* self = static_cast<SqliteConnection*>(context);
  if (type == SQLITE_TRACE_STMT && self->trace_ != nullptr && text != nullptr) {
    self->trace_(self->traceContext_, static_cast<const char*>(text));
  }
  return 0;
}

// Only reads: a file is known to be a repository (or empty) before anything
// is written to it.
DatabaseState SqliteConnection::inspect() {
  std::int64_t tables = 0;
  std::int64_t mark = 0;
  try {
    auto count = prepare("SELECT count(*) FROM sqlite_master");
    if (count->step()) tables = count->columnInt64(0);
    count->reset();
    auto app = prepare("PRAGMA application_id");
    if (app->step()) mark = app->columnInt64(0);
  } catch (const LockedError&) {
    throw;
  } catch (const RepositoryError& e) {
    throw OpenError(e.message(), filespec_, e.backendCode(), e.backendMessage(), e.statement());
  }
  if (tables == 0 && mark == 0) return DatabaseState::empty;
  return mark == applicationId ? DatabaseState::repository : DatabaseState::foreign;
}

// Without a statement of this class: it runs while indexes are made.
bool SqliteConnection::tableExists(const std::string& table) {
  static const char text[] = "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1";
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db(), text, sizeof text - 1, &statement, nullptr);
  StatementHandle handle(statement);
  if (rc == SQLITE_OK) rc = sqlite3_bind_text(statement, 1, table.data(), static_cast<int>(table.size()), SQLITE_STATIC);
  if (rc == SQLITE_OK) rc = sqlite3_step(statement);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) fail(rc, describe(db(), rc), text);
  return rc == SQLITE_ROW;
}

std::vector<std::string> SqliteConnection::tableNames() {
  std::vector<std::string> names;
  auto s = prepare("SELECT name FROM sqlite_master WHERE type = 'table'");
  while (s->step()) names.emplace_back(s->columnText(0));
  return names;
}

std::vector<std::string> SqliteConnection::tableColumns(const std::string& table) {
  std::vector<std::string> names;
  auto s = prepare("SELECT name FROM pragma_table_info(?1)");
  s->bindText(1, table);
  while (s->step()) names.emplace_back(s->columnText(0));
  return names;
}

std::int64_t SqliteConnection::schemaVersion() {
  auto s = prepare("PRAGMA schema_version");
  return s->step() ? s->columnInt64(0) : 0;
}

void SqliteConnection::setJournalMode(JournalMode mode) {
  if (mode == JournalMode::writeAhead) execute("PRAGMA journal_mode = WAL");
  if (mode == JournalMode::rollback) execute("PRAGMA journal_mode = DELETE");
}

void SqliteConnection::keepGenerations(int count) {
  if (count <= 1) return;
  const std::u16string stem = fl::i18n::utf8_to_ustring(path_ + ".gen");
  auto generation = [&](int g) { return stem + fl::i18n::utf8_to_ustring(std::to_string(g)); };
  try {
    fs::removeFile(generation(count - 1));
    for (int g = count - 2; g >= 1; --g) fs::renameFile(generation(g), generation(g + 1));
  } catch (const fs::FileSystemError& e) {
    throw StorageError(std::string("cannot keep the older generations: ") + e.what(), filespec_);
  }
  backupTo(path_ + ".gen1");
}

// SQLite's online backup copies the database page by page, consistently,
// whatever its journal mode.
void SqliteConnection::backupTo(const std::string& path) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  DatabaseHandle target(raw);
  if (rc == SQLITE_OK) {
    sqlite3_backup* backup = sqlite3_backup_init(target.get(), "main", db(), "main");
    if (backup == nullptr) {
      rc = sqlite3_errcode(target.get());
    } else {
      rc = sqlite3_backup_step(backup, -1);
      const int finish = sqlite3_backup_finish(backup);
      rc = rc == SQLITE_DONE ? finish : rc;
    }
  }
  if (rc != SQLITE_OK) {
    throw StorageError("cannot save a generation copy to '" + path + "'", filespec_, rc, describe(target.get(), rc));
  }
}

void SqliteConnection::discardIfCreated() noexcept {
  if (!created_) return;
  control_.clear();
  db_.reset();
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    try {
      fs::removeFile(fl::i18n::utf8_to_ustring(path_ + suffix));
    } catch (...) {
      // Best effort: what cannot be removed stays, as after a crash.
    }
  }
}

// Checks the file system before SQLite sees the path: SQLite would create a
// missing folder's file lazily, open a file this process may not write
// read-only without saying so, and fail only at the first commit when the
// folder (where the journal goes) may not be written.
bool checkLocation(const OpenRequest& request) {
  const std::u16string path = fl::i18n::utf8_to_ustring(request.location);
  const std::u16string folder = fs::parentFolder(path);
  fs::FileStatus status;
  fs::FileStatus folderStatus;
  try {
    status = fs::fileStatus(path);
    if (status.kind == fs::FileKind::missing) folderStatus = fs::fileStatus(folder);
  } catch (const fs::FileSystemError& e) {
    throw OpenError(std::string("the repository file cannot be examined: ") + e.code().message(), request.filespec);
  }
  if (status.kind == fs::FileKind::folder) throw OpenError("the repository path names a folder", request.filespec);
  if (status.kind == fs::FileKind::other) {
    // A pipe would block the open, a device take writes it cannot keep.
    throw OpenError("the repository path names a device, pipe or socket, not a regular file", request.filespec);
  }
  if (status.kind == fs::FileKind::missing) {
    if (folderStatus.kind != fs::FileKind::folder) {
      throw OpenError("the folder of the repository file does not exist", request.filespec);
    }
    if (!request.createIfMissing || request.readOnly) {
      throw OpenError("the repository file does not exist", request.filespec);
    }
    return true;
  }
  if (!request.readOnly && !fs::mayWriteFolder(folder)) {
    throw OpenError("the folder of the repository file may not be written by this process", request.filespec);
  }
  return false;
}

}  // namespace

std::unique_ptr<Connection> openSqlite(const OpenRequest& request) {
  const bool create = checkLocation(request);
  int flags = request.readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
  if (create) flags |= SQLITE_OPEN_CREATE;
  // A connection is used by one thread at a time (the caller's, or while
  // rows are written behind, its worker's; never both): no mutex needed.
  flags |= SQLITE_OPEN_NOMUTEX;
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(request.location.c_str(), &raw, flags, nullptr);
  DatabaseHandle db(raw);
  if (rc != SQLITE_OK) throw OpenError("cannot open the repository file", request.filespec, rc, describe(raw, rc));
  sqlite3_extended_result_codes(raw, 1);
  sqlite3_busy_timeout(raw, request.lockTimeoutMs);
  auto connection = std::make_unique<SqliteConnection>(std::move(db), request, create);
  if (!request.readOnly && connection->openedReadOnly()) {
    throw OpenError("the repository file may not be written by this process", request.filespec);
  }
  return connection;
}

}  // namespace vlt::sql
