#pragma once
// The SQLite implementation of the SQL seam. Only SqliteConnection.cpp
// includes <sqlite3.h>.

#include "sql/Sql.hpp"

#include <memory>
#include <string>

struct sqlite3;

namespace vlt::sql {

class SqliteConnection final : public Connection {
 public:
  struct OpenRequest {
    std::string path;       ///< the file, UTF-8
    std::string filespec;   ///< for messages
    bool readOnly = false;  ///< open without write access
    bool create = false;    ///< create the file when missing
    int busyTimeoutMs = 1000;
  };

  /// Opens the connection (the file is not read yet). Throws OpenError.
  static std::unique_ptr<SqliteConnection> open(const OpenRequest& request);
  ~SqliteConnection() override;

  std::unique_ptr<Statement> prepare(const std::string& sql) override;
  void execute(const std::string& sql) override;
  bool inTransaction() const noexcept override;
  std::int64_t changes() const noexcept override;
  const Dialect& dialect() const noexcept override;
  void setTrace(TraceCallback callback, void* context) override;
  const std::string& filespec() const noexcept override { return filespec_; }

  /// SQLite opened the file read-only although write access was asked for
  /// (the process may not write it).
  bool openedReadOnly() const noexcept;
  /// Copies the whole database into a new file at `path` (SQLite's online
  /// backup). Throws StorageError.
  void backupTo(const std::string& path);
  int busyTimeoutMs() const noexcept { return busyTimeoutMs_; }

  /// Throws the error that the SQLite result `code` stands for.
  [[noreturn]] void fail(int code, const std::string& what, const std::string& sql) const;

 private:
  SqliteConnection(sqlite3* db, std::string filespec, int busyTimeoutMs);
  static int traceThunk(unsigned type, void* context, void* statement, void* text);

  sqlite3* db_;
  std::string filespec_;
  int busyTimeoutMs_;
  TraceCallback trace_ = nullptr;
  void* traceContext_ = nullptr;
};

}  // namespace vlt::sql
