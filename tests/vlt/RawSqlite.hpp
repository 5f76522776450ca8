#pragma once
// A plain SQLite connection for tests that look at or change a repository's
// file behind its back.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

namespace vlttest {

/// A plain SQLite connection beside the repository's, to look at or change
/// its file behind its back.
class RawSqlite {
 public:
  explicit RawSqlite(const std::string& path, int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) {
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db_, flags, nullptr), SQLITE_OK) << path;
  }
  ~RawSqlite() { sqlite3_close(db_); }
  RawSqlite(const RawSqlite&) = delete;
  RawSqlite& operator=(const RawSqlite&) = delete;
  void exec(const std::string& sql) {
    EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db_);
  }
  /// The first column of the first row `sql` gives, as text.
  std::string answer(const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(db_);
    const auto* text = s && sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_text(s, 0) : nullptr;
    std::string out = text ? reinterpret_cast<const char*>(text) : "(no row)";
    sqlite3_finalize(s);
    return out;
  }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace vlttest
