#include "BenchSupport.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <system_error>

namespace vlt_bench {

void openRepository(vlt::DataModelRepository& repo, const std::string& path) {
  repo.open(path, std::string(), vlt::DataModelRepository::ServiceOptions{});
}

void sqliteFailed(sqlite3* db, const std::string& what) {
  throw std::runtime_error(what + ": " + sqlite3_errmsg(db));
}

Database openRaw(const std::string& path) {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  Database owned(db);
  if (rc != SQLITE_OK) sqliteFailed(db, "cannot open " + path);
  return owned;
}

Statement prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v3(db, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &s, nullptr) !=
      SQLITE_OK) {
    sqliteFailed(db, "cannot prepare " + sql);
  }
  return Statement(s);
}

void execute(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) sqliteFailed(db, sql);
}

void step(sqlite3* db, sqlite3_stmt* s, int expected) {
  if (sqlite3_step(s) != expected) sqliteFailed(db, sqlite3_sql(s));
}

}  // namespace vlt_bench
