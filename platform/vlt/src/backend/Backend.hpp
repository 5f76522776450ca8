#pragma once
// The back-end interface: everything the repository needs from a database
// engine, and nothing that names one. One implementation per engine
// (only the Sqlite*.cpp files include <sqlite3.h>); the rest of
// the repository talks to these classes only.
//
// Contracts shared by every implementation:
// - SQL text uses numbered placeholders "?1", "?2", ...; parameters are
//   numbered from 1, columns from 0. An engine that spells placeholders
//   otherwise rewrites them when it prepares.
// - Values are bound and read by their stored form (StoredForm): 64-bit
//   integers, doubles (exact: NaN, -0.0 and infinities come back bit for bit,
//   and stored values order as the numbers do), text (any bytes, NULs
//   included, with an explicit length) and bytes. A value is read as the form
//   it was written in; nothing depends on the engine's own typing.
// - A Statement keeps its bindings across reset(); values read from a row
//   stay valid until the next step() or reset().
// - Every failure throws a vlt::RepositoryError subclass carrying the
//   repository's file specification, the engine's code and message and the
//   statement: busy or locked -> LockedError, a constraint -> ConstraintError,
//   a file that is not a database -> StorageError (OpenError while opening),
//   anything else -> StorageError.
// - Statements and connections own their engine handles and cannot be copied.
//   A Statement may outlive the Connection that prepared it (handles and
//   constructors keep theirs after close); it is then only destroyed.
// - Nothing here is synchronised: one thread uses a connection at a time.
//   (The SQLite connection runs the rows of a bulk load on a thread of its
//   own, see SqliteWriteBehind.hpp; its callers see none of it.)

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct pg_conn;  // libpq's PGconn

namespace vlt::sql {

/// How a value is kept in a column; every value type maps to one of these.
enum class StoredForm : std::uint8_t { integer, real, text, bytes };

class Statement {
 public:
  Statement() = default;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  virtual ~Statement() = default;

  virtual void bindNull(int index) = 0;
  virtual void bindInt64(int index, std::int64_t value) = 0;
  virtual void bindDouble(int index, double value) = 0;
  virtual void bindText(int index, std::string_view bytes) = 0;
  virtual void bindBlob(int index, const void* data, std::size_t size) = 0;
  /// Runs the statement (first call) or moves to the next row; true when a
  /// row is available.
  virtual bool step() = 0;
  /// Runs a statement that gives no rows, for a caller that needs neither
  /// rows nor changes(): an engine may send it together with others and
  /// report its failure later, at the latest from the next call that waits
  /// for the database (step, execute, changes, the commit). Resets it.
  virtual void run() {
    step();
    reset();
  }
  /// Sends a read with its current bindings ahead, for an engine behind a
  /// server: it goes out without waiting, and the next call that waits
  /// brings its answer along. The first step() with the same bindings in
  /// the same transaction reads that answer, unless something was written
  /// meanwhile (the read then runs anew). An engine in the process does
  /// nothing here.
  virtual void sendAhead() {}
  /// Ends the current execution (releasing its locks); bindings stay.
  virtual void reset() noexcept = 0;
  virtual bool columnIsNull(int column) = 0;
  virtual std::int64_t columnInt64(int column) = 0;
  virtual double columnDouble(int column) = 0;
  virtual std::string_view columnText(int column) = 0;
  virtual std::string_view columnBlob(int column) = 0;
  virtual const std::string& sql() const noexcept = 0;
};

/// Resets a statement when the scope ends, so that no execution stays open
/// (an open read holds the database's shared lock).
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

/// The SQL that differs between engines, as text. Templates name their holes
/// in braces ({table}, {column}); see fillIn().
struct Dialect {
  const char* integerType;  ///< a 64-bit integer column
  const char* realType;     ///< a column for StoredForm::real
  const char* textType;     ///< a column for StoredForm::text (any bytes)
  const char* bytesType;    ///< a column for StoredForm::bytes
  const char* generatedId;  ///< "id <type> PRIMARY KEY" whose value the database picks
  /// What follows "CREATE TABLE t (...)" of a class table: storage options
  /// for tables whose rows are rewritten in place.
  const char* classTableOptions;
  const char* beginWrite;   ///< starts a transaction that will write
  const char* beginRead;    ///< starts a transaction that only reads (one consistent view)
  /// Starts a transaction that mostly reads: where the engine can, it takes
  /// the write lock with the first write instead of at once. Either way it
  /// does not wait for the lock: another connection writing fails the
  /// statement that would take it with LockedError.
  const char* beginMostlyRead;
  /// Writes ?2 into {column} of the row ?1 of {table}, inserting the row when
  /// it is missing.
  const char* upsertColumn;
  // Comparisons of a stored value {a} with {b}, for queries. The string
  // forms work on the stored bytes (text or bytes), true only when both are
  // present.
  const char* sameAs;        ///< equal, or both NULL
  const char* notSameAs;     ///< not equal, or exactly one NULL
  const char* containsText;  ///< {a} contains {b}
  const char* startsWithText;
  const char* endsWithText;
  const char* matchesPattern;  ///< {a} matches {b}, a pattern made by wildcardPattern
  /// {count} rows after skipping {offset}; the same with no limit.
  const char* limitOffset;
  const char* offsetOnly;
  /// `*` (any run) and `?` (any one character) wildcards as a pattern for
  /// matchesPattern, every other byte literal.
  std::string (*wildcardPattern)(std::string_view wildcards);
  /// Every statement is a round trip to a server: a join that saves a later
  /// statement pays. In an engine in the process it only costs: reads then
  /// ask for what they need when they need it.
  bool statementsAreRoundTrips;

  const char* columnType(StoredForm form) const noexcept;
};

/// A double as the 64-bit integer it is stored as (engines lose NaN and -0.0
/// in their own REAL types): its bits, rearranged so that integer order is
/// numeric order. Positive values keep their bits with the sign bit set,
/// negative ones are inverted; every double reads back bit for bit, and
/// comparisons in SQL stay right (-0.0 sorts just below 0.0, a positive NaN
/// above +infinity).
std::int64_t orderedDouble(double value) noexcept;
double doubleFromOrdered(std::int64_t stored) noexcept;

/// `text` with every "{name}" replaced by its value; names not given stay.
std::string fillIn(std::string_view text, std::initializer_list<std::pair<std::string_view, std::string_view>> values);

/// What a database holds when it is opened.
enum class DatabaseState {
  empty,       ///< nothing at all: may become a repository
  repository,  ///< carries the repository mark
  foreign,     ///< holds something else
};

/// What a connection to a server has asked of it since it opened.
struct ServerTraffic {
  std::uint64_t roundTrips = 0;    ///< waits for the server's answer
  std::uint64_t preparations = 0;  ///< statements prepared on the server
};

/// How a SQLite repository journals its transactions.
enum class JournalMode { keep, rollback, writeAhead };

class Connection {
 public:
  using TraceCallback = void (*)(void* context, const char* statement);

  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  virtual ~Connection() = default;

  /// A new prepared statement; the caller keeps it for reuse.
  virtual std::unique_ptr<Statement> prepare(const std::string& sql) = 0;
  /// Runs statements without parameters or results (DDL, BEGIN, COMMIT).
  virtual void execute(const std::string& sql) = 0;
  /// Begins a transaction with `sql`. A server may send the BEGIN with the
  /// transaction's first statement, saving its round trip: what the BEGIN
  /// fails with (a lock it cannot have) is then thrown by that statement.
  virtual void beginAnsweredLater(const std::string& sql) { execute(sql); }
  /// Whether a transaction is open in the engine. False after the engine
  /// dropped one by itself (SQLite does on some I/O errors).
  virtual bool inTransaction() const noexcept = 0;
  /// Rows changed by the last INSERT, UPDATE or DELETE run with step().
  virtual std::int64_t changes() = 0;
  /// A savepoint around one call inside a transaction, and its two ends. A
  /// failed statement inside one leaves the transaction to the savepoint's
  /// rollback; outside one an engine that cannot go on after a failure
  /// (PostgreSQL) rolls the transaction back, which the repository then
  /// notices as a dropped transaction.
  virtual void savepoint() = 0;
  virtual void releaseSavepoint() = 0;
  virtual void rollbackToSavepoint() noexcept = 0;
  virtual const Dialect& dialect() const noexcept = 0;
  /// Sets the callback that sees every statement the connection sends or
  /// runs, as it starts: on a server also its own (catalog reads, savepoints,
  /// preparations, the flush of queued writes).
  virtual void setTrace(TraceCallback callback, void* context) = 0;
  /// The server traffic so far; zero where the engine runs in the process.
  virtual ServerTraffic traffic() const noexcept { return {}; }
  /// Whether the trace callback is running: the repository refuses to be
  /// called from it, in the middle of a statement of its own.
  bool tracing() const noexcept { return tracing_; }
  /// The repository's file specification, for messages (no password).
  virtual const std::string& filespec() const noexcept = 0;

  /// Looks at what the database holds without changing it. Throws OpenError
  /// when it is not a database or is damaged, LockedError when it is locked.
  virtual DatabaseState inspect() = 0;
  /// Marks a new database as a repository (inside the creating transaction).
  virtual void markAsRepository() = 0;
  /// The names of the database's tables, in no particular order.
  virtual std::vector<std::string> tableNames() = 0;
  /// The names of the columns of `table`; empty when there is no such table.
  virtual std::vector<std::string> tableColumns(const std::string& table) = 0;
  /// A number that changes whenever another connection changed the
  /// database's schema (this connection's own changes may change it too).
  /// Inside a transaction it covers every change committed before the
  /// transaction began.
  virtual std::int64_t schemaVersion() = 0;
  /// Called in the transaction that made a value table or column, after
  /// making it: where the engine keeps no cheap schema version of its own,
  /// the other connections hear of it when that transaction commits.
  virtual void schemaChanged() {}
  /// Sets the journal mode; outside a transaction. A no-op where the engine
  /// has no choice.
  virtual void setJournalMode(JournalMode mode) = 0;
  /// Bounds the connection's page cache to `kib` KiB (> 0). Reads the
  /// schema: only once the database is known to be one. A no-op where the
  /// server keeps the cache.
  virtual void setPageCache(std::int64_t kib) = 0;
  /// Has the planner's statistics of the repository's tables gathered anew,
  /// outside a transaction. A no-op where the planner does without them.
  virtual void refreshStatistics() = 0;
  /// Bulk loading. Inside a write transaction whose rows are the only ones of
  /// every table but `keep` (`everyRowNew`: the caller checked), drops the
  /// indexes of those tables (the primary keys stay) until they are needed:
  /// before the next statement that is not an INSERT (or a CREATE or ALTER)
  /// runs, and at the latest before COMMIT, they are made again from the rows then
  /// present, which costs a fraction of keeping them up to date row by row.
  /// While they are deferred no unique index holds: the caller checks what
  /// they would. False, and nothing changes, where the engine gains nothing
  /// from it. A server, whose readers a dropped index locks out until the
  /// commit, drops those of the tables the transaction did not make only
  /// when no other session is using them; else, and without `everyRowNew`,
  /// only the non-unique ones of the tables it made (false when it made none).
  virtual bool deferIndexes(const std::vector<std::string>& keep, bool everyRowNew) = 0;
  /// Whether indexes are deferred now.
  virtual bool indexesDeferred() const noexcept = 0;
  /// Makes the deferred indexes again now. Throws StorageError; a unique
  /// index that the rows break throws ConstraintError.
  virtual void restoreIndexes() = 0;
  /// Keeps `count` generations: saves the current content as generation 1
  /// after moving older ones up and dropping the oldest. Before anything is
  /// written. Throws StorageError.
  virtual void keepGenerations(int count) = 0;
  /// When opening created the database, closes the connection and removes
  /// what was created; the connection is unusable afterwards. Otherwise does
  /// nothing.
  virtual void discardIfCreated() noexcept = 0;

 protected:
  /// Calls `callback`; what it throws is dropped, as it runs inside the
  /// database engine's own frames.
  void callTrace(TraceCallback callback, void* context, const char* statement) const noexcept {
    tracing_ = true;
    try {
      callback(context, statement);
    } catch (...) {
    }
    tracing_ = false;
  }

 private:
  mutable bool tracing_ = false;
};

/// What opening a database needs to know.
struct OpenRequest {
  std::string location;           ///< the SQLite file path (UTF-8)
  std::string filespec;           ///< for messages
  bool readOnly = false;          ///< open without write access
  bool createIfMissing = false;   ///< create a missing SQLite file
  int lockTimeoutMs = 1000;       ///< how long a write waits for another's lock
  /// Set from another thread: a wait for the server ends with OpenError.
  const std::atomic<bool>* interrupted = nullptr;
};

/// How long a connection to a server waits for it when the connection
/// string does not say ("connect_timeout").
constexpr std::chrono::milliseconds defaultConnectTimeout{10000};

/// Connects to a PostgreSQL database (`location` is a libpq connection URI
/// without the repository's own parameters). The database is never created.
/// Throws OpenError naming the SQLSTATE libpq's message stands for.
std::unique_ptr<Connection> openPostgresql(const OpenRequest& request);
/// The libpq connection that openPostgresql starts from, made so that
/// `request.interrupted` and the connect timeout (the URI's
/// "connect_timeout", else defaultConnectTimeout) end the wait; the caller
/// owns it (PQfinish). Throws OpenError.
pg_conn* connectToServer(const OpenRequest& request);

/// What a failed PostgreSQL statement means for the repository, from its
/// SQLSTATE and whether the connection is gone: LockedError, ConstraintError,
/// or StorageError (the connection lost, or anything else).
enum class PostgresqlFailure { locked, constraint, connectionLost, other };
PostgresqlFailure postgresqlFailure(const std::string& sqlstate, bool connectionBad);
/// The SQLSTATE that libpq's words for a failed connection stand for (libpq
/// gives none): a wrong password, an unknown role or database, or no server.
const char* postgresqlConnectionState(const std::string& libpqMessage);

/// Opens a SQLite file. Only a regular file (or a missing one, with
/// createIfMissing) in a folder this process may write (unless read-only)
/// is opened. Throws OpenError naming what is wrong; a file that it created
/// is removed again when opening fails.
std::unique_ptr<Connection> openSqlite(const OpenRequest& request);

}  // namespace vlt::sql
