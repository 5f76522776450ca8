#pragma once
// The internal SQL seam: one connection and prepared-statement interface that
// the repository core talks to, with one implementation per back end (SQLite
// now; PostgreSQL through libpq later). Nothing here names a back end's C API.
//
// Contracts shared by every implementation:
// - Parameters are numbered from 1, columns from 0.
// - Text is UTF-8 (or any bytes) with an explicit length; blobs are bytes.
// - Every failure throws a vlt::RepositoryError subclass that carries the
//   repository's file specification, the back end's code and message and the
//   statement (the Connection maps codes to LockedError, ConstraintError,
//   StorageError, ...).
// - A Statement keeps its bindings across reset(); values read from a row are
//   valid until the next step() or reset().
// - Neither class is synchronised.

#include <vlt/Types.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vlt::sql {

enum class ColumnKind { null, integer, real, text, blob };

class Statement {
 public:
  virtual ~Statement() = default;
  virtual void bindNull(int index) = 0;
  virtual void bindInt64(int index, std::int64_t value) = 0;
  virtual void bindDouble(int index, double value) = 0;
  virtual void bindText(int index, std::string_view utf8) = 0;
  virtual void bindBlob(int index, const void* data, std::size_t size) = 0;
  /// Runs the statement (first call) or moves to the next row; true when a
  /// row is available.
  virtual bool step() = 0;
  /// Ends the current execution (releasing its locks); bindings stay.
  virtual void reset() noexcept = 0;
  virtual ColumnKind columnKind(int column) = 0;
  virtual std::int64_t columnInt64(int column) = 0;
  virtual double columnDouble(int column) = 0;
  virtual std::string_view columnText(int column) = 0;
  virtual std::string_view columnBlob(int column) = 0;
  virtual const std::string& sql() const noexcept = 0;
};

/// Resets a statement when the scope ends, so that no execution stays open
/// (an open read would hold the database's shared lock).
class StatementUse {
 public:
  explicit StatementUse(Statement& statement) noexcept : statement_(statement) {}
  ~StatementUse() { statement_.reset(); }
  StatementUse(const StatementUse&) = delete;
  StatementUse& operator=(const StatementUse&) = delete;
  Statement* operator->() const noexcept { return &statement_; }
  Statement& operator*() const noexcept { return statement_; }

 private:
  Statement& statement_;
};

/// What differs between SQL dialects.
class Dialect {
 public:
  virtual ~Dialect() = default;
  /// The column type that stores `type`.
  virtual const char* columnType(ValueType type) const = 0;
  /// Parameter placeholder number `n` ("?n" or "$n").
  virtual std::string parameter(int n) const = 0;
  /// Starts a transaction that will write.
  virtual const char* beginWrite() const = 0;
  /// Starts a transaction that only reads (one consistent view).
  virtual const char* beginRead() const = 0;
  /// "INSERT INTO table (id, column) VALUES (p1, p2)" that updates the column
  /// when the row exists.
  virtual std::string upsertColumn(const std::string& table, const std::string& column) const = 0;
  /// Type of 64-bit integer and blob columns.
  virtual const char* integerType() const = 0;
  virtual const char* blobType() const = 0;
  /// A primary-key column definition whose value the database picks when an
  /// INSERT leaves it out.
  virtual const char* generatedIdColumn() const = 0;
  /// Statements that mark a new database as a repository (may be none).
  virtual std::vector<std::string> markAsRepository(std::int64_t applicationId) const = 0;
};

class Connection {
 public:
  using TraceCallback = void (*)(void* context, const char* statement);
  virtual ~Connection() = default;
  /// A new prepared statement; the caller keeps it for reuse.
  virtual std::unique_ptr<Statement> prepare(const std::string& sql) = 0;
  /// Runs statements without parameters or results (DDL, BEGIN, PRAGMA).
  virtual void execute(const std::string& sql) = 0;
  /// Whether a transaction is open in the back end.
  virtual bool inTransaction() const noexcept = 0;
  /// Rows changed by the last INSERT, UPDATE or DELETE.
  virtual std::int64_t changes() const noexcept = 0;
  virtual const Dialect& dialect() const noexcept = 0;
  virtual void setTrace(TraceCallback callback, void* context) = 0;
  /// The file specification used in messages (UTF-8, no password).
  virtual const std::string& filespec() const noexcept = 0;
};

}  // namespace vlt::sql
