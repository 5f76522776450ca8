#include "sql/SqliteConnection.hpp"

#include <vlt/Errors.hpp>

#include <sqlite3.h>

#include <string>

namespace vlt::sql {
namespace {

class SqliteDialect final : public Dialect {
 public:
  const char* columnType(ValueType type) const override {
    switch (type) {
      case ValueType::real64:
        return "REAL";
      case ValueType::ustring:
      case ValueType::string:
        return "TEXT";
      case ValueType::uuid:
      case ValueType::qxarray:
        return "BLOB";
      default:
        return "INTEGER";
    }
  }
  std::string parameter(int n) const override { return "?" + std::to_string(n); }
  const char* beginWrite() const override { return "BEGIN IMMEDIATE"; }
  const char* beginRead() const override { return "BEGIN DEFERRED"; }
  std::string upsertColumn(const std::string& table, const std::string& column) const override {
    return "INSERT INTO " + table + " (id, " + column + ") VALUES (?1, ?2) ON CONFLICT (id) DO UPDATE SET " +
           column + " = excluded." + column;
  }
  const char* integerType() const override { return "INTEGER"; }
  const char* blobType() const override { return "BLOB"; }
  const char* generatedIdColumn() const override { return "id INTEGER PRIMARY KEY"; }
  std::vector<std::string> markAsRepository(std::int64_t applicationId) const override {
    return {"PRAGMA application_id = " + std::to_string(applicationId)};
  }
};

const SqliteDialect sqliteDialect;

std::string describe(sqlite3* db, int code) {
  std::string text = "SQLite error " + std::to_string(code) + " (" + sqlite3_errstr(code) + ")";
  if (db != nullptr) {
    const char* message = sqlite3_errmsg(db);
    if (message != nullptr && std::string(message) != sqlite3_errstr(code)) {
      text += ": ";
      text += message;
    }
  }
  return text;
}

class SqliteStatement final : public Statement {
 public:
  SqliteStatement(const SqliteConnection& connection, sqlite3* db, sqlite3_stmt* statement, std::string sql)
      : connection_(connection), db_(db), statement_(statement), sql_(std::move(sql)) {}
  ~SqliteStatement() override { sqlite3_finalize(statement_); }

  void bindNull(int index) override { check(sqlite3_bind_null(statement_, index), index); }
  void bindInt64(int index, std::int64_t value) override {
    check(sqlite3_bind_int64(statement_, index, static_cast<sqlite3_int64>(value)), index);
  }
  void bindDouble(int index, double value) override { check(sqlite3_bind_double(statement_, index, value), index); }
  void bindText(int index, std::string_view utf8) override {
    // A null data pointer would bind NULL: an empty string must stay a string.
    check(sqlite3_bind_text64(statement_, index, utf8.data() ? utf8.data() : "", utf8.size(), SQLITE_TRANSIENT,
                              SQLITE_UTF8),
          index);
  }
  void bindBlob(int index, const void* data, std::size_t size) override {
    check(sqlite3_bind_blob64(statement_, index, data ? data : "", size, SQLITE_TRANSIENT), index);
  }
  bool step() override {
    const int rc = sqlite3_step(statement_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    const std::string text = describe(db_, rc);
    sqlite3_reset(statement_);
    connection_.fail(rc, text, sql_);
  }
  void reset() noexcept override { sqlite3_reset(statement_); }
  ColumnKind columnKind(int column) override {
    switch (sqlite3_column_type(statement_, column)) {
      case SQLITE_INTEGER:
        return ColumnKind::integer;
      case SQLITE_FLOAT:
        return ColumnKind::real;
      case SQLITE_TEXT:
        return ColumnKind::text;
      case SQLITE_BLOB:
        return ColumnKind::blob;
      default:
        return ColumnKind::null;
    }
  }
  std::int64_t columnInt64(int column) override { return sqlite3_column_int64(statement_, column); }
  double columnDouble(int column) override { return sqlite3_column_double(statement_, column); }
  std::string_view columnText(int column) override {
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    const int size = sqlite3_column_bytes(statement_, column);
    return data ? std::string_view(data, static_cast<std::size_t>(size)) : std::string_view();
  }
  std::string_view columnBlob(int column) override {
    const auto* data = static_cast<const char*>(sqlite3_column_blob(statement_, column));
    const int size = sqlite3_column_bytes(statement_, column);
    return data ? std::string_view(data, static_cast<std::size_t>(size)) : std::string_view();
  }
  const std::string& sql() const noexcept override { return sql_; }

 private:
  void check(int rc, int index) {
    if (rc != SQLITE_OK) {
      connection_.fail(rc, describe(db_, rc) + " for the parameter number " + std::to_string(index), sql_);
    }
  }

  const SqliteConnection& connection_;
  sqlite3* db_;
  sqlite3_stmt* statement_;
  std::string sql_;
};

}  // namespace

SqliteConnection::SqliteConnection(sqlite3* db, std::string filespec, int busyTimeoutMs)
    : db_(db), filespec_(std::move(filespec)), busyTimeoutMs_(busyTimeoutMs) {}

std::unique_ptr<SqliteConnection> SqliteConnection::open(const OpenRequest& request) {
  sqlite3* db = nullptr;
  int flags = request.readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
  if (request.create && !request.readOnly) flags |= SQLITE_OPEN_CREATE;
  // Serialized mode is not needed: a connection is used by one thread at a time.
  flags |= SQLITE_OPEN_NOMUTEX;
  const int rc = sqlite3_open_v2(request.path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    const std::string text = describe(db, rc);
    sqlite3_close_v2(db);
    throw OpenError("cannot open the repository file", request.filespec, rc, text);
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, request.busyTimeoutMs);
  return std::unique_ptr<SqliteConnection>(new SqliteConnection(db, request.filespec, request.busyTimeoutMs));
}

SqliteConnection::~SqliteConnection() {
  // close_v2 lets statements that are still alive be finalized later.
  sqlite3_close_v2(db_);
}

std::unique_ptr<Statement> SqliteConnection::prepare(const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  const int rc = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                                    &statement, nullptr);
  if (rc != SQLITE_OK) fail(rc, describe(db_, rc), sql);
  return std::make_unique<SqliteStatement>(*this, db_, statement, sql);
}

void SqliteConnection::execute(const std::string& sql) {
  const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) fail(rc, describe(db_, rc), sql);
}

bool SqliteConnection::inTransaction() const noexcept { return sqlite3_get_autocommit(db_) == 0; }

std::int64_t SqliteConnection::changes() const noexcept { return sqlite3_changes64(db_); }

const Dialect& SqliteConnection::dialect() const noexcept { return sqliteDialect; }

int SqliteConnection::traceThunk(unsigned type, void* context, void*, void* text) {
  auto* self = static_cast<SqliteConnection*>(context);
  if (type == SQLITE_TRACE_STMT && self->trace_ != nullptr && text != nullptr) {
    self->trace_(self->traceContext_, static_cast<const char*>(text));
  }
  return 0;
}

void SqliteConnection::setTrace(TraceCallback callback, void* context) {
  trace_ = callback;
  traceContext_ = context;
  sqlite3_trace_v2(db_, callback ? SQLITE_TRACE_STMT : 0, callback ? &SqliteConnection::traceThunk : nullptr, this);
}

bool SqliteConnection::openedReadOnly() const noexcept { return sqlite3_db_readonly(db_, "main") == 1; }

void SqliteConnection::backupTo(const std::string& path) {
  sqlite3* target = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &target, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_backup* backup = sqlite3_backup_init(target, "main", db_, "main");
    if (backup == nullptr) {
      rc = sqlite3_errcode(target);
    } else {
      rc = sqlite3_backup_step(backup, -1);
      const int finish = sqlite3_backup_finish(backup);
      rc = rc == SQLITE_DONE ? finish : rc;
    }
  }
  if (rc != SQLITE_OK) {
    const std::string text = describe(target, rc);
    sqlite3_close_v2(target);
    throw StorageError("cannot save a generation copy to '" + path + "'", filespec_, rc, text);
  }
  sqlite3_close_v2(target);
}

void SqliteConnection::fail(int code, const std::string& what, const std::string& sql) const {
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

}  // namespace vlt::sql
