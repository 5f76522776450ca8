// The SQLite back end: opening a file, statements, transaction control and
// the catalog. With SqliteBulkLoad.cpp and SqliteWriteBehind.cpp, the only
// files that include <sqlite3.h>.

#include "backend/SqliteConnection.hpp"

#include <vlt/Errors.hpp>

#include <fl/i18n/Unicode.hpp>
#include <foundation/filesystem/FileSystem.hpp>

#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <thread>
#include <utility>

namespace vlt::sql {
namespace {

namespace fs = foundation::filesystem;

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

}  // namespace

const Dialect sqliteDialect{
    "INTEGER",
    "INTEGER",  // doubles are kept as ordered 64-bit integers (see orderedDouble in Backend.hpp)
    "TEXT",
    "BLOB",
    "id INTEGER PRIMARY KEY",
    "",
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
    false,
};

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

bool SqliteStatement::step() {
  if (connection_.writingBehind()) connection_.settle();
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
    self->callTrace(self->trace_, self->traceContext_, static_cast<const char*>(text));
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

namespace {

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

// SQLite's own timeout waits longer and longer between tries (up to 100 ms):
// beside a writer that commits every few milliseconds, a reader can miss
// every gap between its commits until it gives up. Trying again every
// millisecond finds them.
int SqliteConnection::waitForLock(void* context, int tries) {
  auto* self = static_cast<SqliteConnection*>(context);
  const auto now = std::chrono::steady_clock::now();
  if (tries == 0) self->lockWaitSince_ = now;
  if (now - self->lockWaitSince_ >= std::chrono::milliseconds(self->busyTimeoutMs_)) return 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return 1;
}

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
  auto connection = std::make_unique<SqliteConnection>(std::move(db), request, create);
  if (!request.readOnly && connection->openedReadOnly()) {
    throw OpenError("the repository file may not be written by this process", request.filespec);
  }
  return connection;
}

}  // namespace vlt::sql
