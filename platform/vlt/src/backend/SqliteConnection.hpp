#pragma once
// The SQLite back end's classes, shared by its files: SqliteBackend.cpp
// (opening, statements, the catalog) and SqliteBulkLoad.cpp (deferred
// indexes and rows written behind). Only they include this.

#include "backend/Backend.hpp"
#include "backend/SqliteWriteBehind.hpp"

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vlt::sql {

// Marks a SQLite file as a repository ("VLTR").
constexpr std::int64_t applicationId = 0x564C5452;

extern const Dialect sqliteDialect;

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
  void reset() noexcept override;
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
        busyTimeoutMs_(request.lockTimeoutMs), created_(created) {
    sqlite3_busy_handler(db_.get(), &SqliteConnection::waitForLock, this);
  }
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
  // Asked before every write: it must not wait for the worker. While rows
  // wait or run behind, only settle() can end the transaction (a row that
  // failed there is reported and rolls it back); otherwise SQLite is asked,
  // which may have rolled it back after a failure of the caller's own.
  bool inTransaction() const noexcept override {
    if (writingBehind() && (!writeBehind_->idle() || writeBehind_->failed())) return true;
    return sqlite3_get_autocommit(db_.get()) == 0;
  }
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
  // A negative cache_size is a bound in KiB, whatever the page size. The
  // temporary tables (the ids of a deletion) get the same: with SQLite's 2 MiB
  // a large deletion's ids would go out to a file and back.
  void setPageCache(std::int64_t kib) override {
    execute("PRAGMA cache_size = -" + std::to_string(kib));
    execute("PRAGMA temp.cache_size = -" + std::to_string(kib));
    pageCacheKiB_ = kib;
  }
  void keepGenerations(int count) override;
  void discardIfCreated() noexcept override;
  bool deferIndexes(const std::vector<std::string>& keep, bool everyRowNew) override;
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
    if (!writeBehind_->idle()) writeBehind_->wait();
    return db_.get();
  }
  void abandon() noexcept;
  sqlite3_stmt* controlStatement(const std::string& sql);
  bool beforeExecute(const std::string& sql);
  void backupTo(const std::string& path);
  static int traceThunk(unsigned type, void* context, void* statement, void* text);
  static int waitForLock(void* context, int tries);

  DatabaseHandle db_;
  // Prepared transaction control, by text; declared after db_ so that the
  // statements are finalized before the database is closed.
  std::vector<std::pair<std::string, StatementHandle>> control_;
  std::string path_;
  std::string filespec_;
  int busyTimeoutMs_;
  std::chrono::steady_clock::time_point lockWaitSince_;
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

}  // namespace vlt::sql
