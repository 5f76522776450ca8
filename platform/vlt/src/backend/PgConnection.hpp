#pragma once
// The PostgreSQL back end's connection and statements, shared by its files
// (PostgresBackend.cpp: statements, the catalog, deferred indexes;
// PostgresPipeline.cpp: queued writes, batches of rows and their COPYs, the
// results read back). Only they include
// this, and with PostgresConnect.cpp they are the only files that include
// <libpq-fe.h>.

#include "backend/Backend.hpp"
#include "backend/PgRowBatch.hpp"

#include <libpq-fe.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace vlt::sql::pg {

/// Queued commands sent before the results are read.
constexpr std::size_t pipelineBatch = 1000;
constexpr Oid int8Oid = 20;

/// A big-endian integer of `size` bytes (binary results), sign-extended.
std::int64_t decodeBigEndian(const char* data, int size);

struct ResultClear {
  void operator()(PGresult* r) const noexcept { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultClear>;
struct ConnectionFinish {
  void operator()(PGconn* c) const noexcept { PQfinish(c); }
};
using Handle = std::unique_ptr<PGconn, ConnectionFinish>;

class PgConnection;

class PgStatement final : public Statement {
 public:
  PgStatement(PgConnection& connection, std::string sql);
  ~PgStatement() override;

  void bindNull(int index) override { slot(index) = Parameter{}; }
  void bindInt64(int index, std::int64_t value) override {
    Parameter& p = slot(index);
    p.null = false;
    p.type = int8Oid;
    p.bytes.resize(8);
    auto u = static_cast<std::uint64_t>(value);
    for (int k = 7; k >= 0; --k, u >>= 8) p.bytes[static_cast<std::size_t>(k)] = static_cast<char>(u & 0xFF);
  }
  void bindDouble(int index, double value) override { bindInt64(index, orderedDouble(value)); }
  void bindText(int index, std::string_view bytes) override { bindBytes(index, bytes.data(), bytes.size()); }
  void bindBlob(int index, const void* data, std::size_t size) override { bindBytes(index, data, size); }
  bool step() override;
  void run() override;
  void sendAhead() override;
  void reset() noexcept override {
    result_.reset();
    row_ = -1;
  }
  bool columnIsNull(int column) override { return PQgetisnull(result_.get(), row_, column) != 0; }
  std::int64_t columnInt64(int column) override {
    return decodeBigEndian(PQgetvalue(result_.get(), row_, column), PQgetlength(result_.get(), row_, column));
  }
  double columnDouble(int column) override { return doubleFromOrdered(columnInt64(column)); }
  std::string_view columnText(int column) override { return columnBlob(column); }
  std::string_view columnBlob(int column) override {
    if (columnIsNull(column)) return {};
    return std::string_view(PQgetvalue(result_.get(), row_, column),
                            static_cast<std::size_t>(PQgetlength(result_.get(), row_, column)));
  }
  const std::string& sql() const noexcept override { return sql_; }

  /// The server-side statement for the current bindings' types, and the
  /// parameter arrays of the current bindings.
  struct Call {
    std::string name;
    std::vector<const char*> values;
    std::vector<int> lengths;
    std::vector<int> formats;
  };
  /// Prepares the statement for the current types when the server does not
  /// have it yet, and fills the arrays: kept between runs, so that a run of
  /// an already prepared statement allocates nothing.
  const Call& call();

 private:
  /// Runs the statement and waits for its result.
  void runNow();
  Parameter& slot(int index) {
    if (index > static_cast<int>(parameters_.size())) parameters_.resize(static_cast<std::size_t>(index));
    return parameters_[static_cast<std::size_t>(index - 1)];
  }
  void bindBytes(int index, const void* data, std::size_t size) {
    Parameter& p = slot(index);
    p.null = false;
    p.type = 0;  // untyped: text or bytea, as the context says; binary bytes either way
    p.bytes.assign(static_cast<const char*>(data ? data : ""), size);
  }

  PgConnection& connection_;
  /// Where the server-side names go when this statement dies; gone with the
  /// connection (a statement may outlive it: handles keep theirs).
  std::weak_ptr<std::vector<std::string>> retired_;
  std::string sql_;
  std::string text_;
  InsertShape shape_;  ///< of an INSERT whose rows may be batched
  bool reads_;         ///< a SELECT: changes nothing (see PgConnection::wrote_)
  bool inserts_;       ///< an INSERT: leaves deferred indexes deferred
  std::vector<Parameter> parameters_;
  /// Parameter types -> server-side name; a statement sees one or two
  /// signatures (a NULL is untyped), so a list is the quickest look-up.
  std::vector<std::pair<std::vector<Oid>, std::string>> prepared_;
  std::vector<Oid> types_;  ///< of the current bindings, rebuilt at each run
  Call call_;
  Result result_;
  int row_ = -1;
};

class PgConnection final : public Connection {
 public:
  PgConnection(Handle handle, const OpenRequest& request) : handle_(std::move(handle)), filespec_(request.filespec) {}

  std::unique_ptr<Statement> prepare(const std::string& sql) override {
    return std::make_unique<PgStatement>(*this, sql);
  }
  void execute(const std::string& sql) override;
  void beginAnsweredLater(const std::string& sql) override;
  bool inTransaction() const noexcept override {
    if (beginUnanswered_) return true;
    if (syncsSent_ > 0) return false;  // only a COMMIT is outstanding
    const PGTransactionStatusType status = PQtransactionStatus(handle_.get());
    return status == PQTRANS_INTRANS || status == PQTRANS_INERROR || status == PQTRANS_ACTIVE;
  }
  std::int64_t changes() override {
    sync();
    return changes_;
  }
  // Savepoints go out with the queued writes: a call costs no round trip of
  // its own. A statement that fails when run at once rolls back to the
  // call's savepoint (everything queued before it was read, and succeeded);
  // a queued write that fails drops the whole transaction (see sync()).
  void savepoint() override {
    queueCommand("SAVEPOINT vlt_operation");
    ++savepoints_;
  }
  void releaseSavepoint() override {
    if (savepoints_ == 0) return;  // the transaction was dropped meanwhile
    --savepoints_;
    queueCommand("RELEASE vlt_operation");
  }
  void rollbackToSavepoint() noexcept override {
    if (savepoints_ == 0) return;
    --savepoints_;
    forgetIndexes();
    pipelineDrop();
    dropAhead();
    if (PQtransactionStatus(conn()) == PQTRANS_IDLE) return;
    constexpr const char* sql = "ROLLBACK TO vlt_operation; RELEASE vlt_operation";
    traceStatement(sql);
    waited();
    Result r(PQexec(conn(), sql));
  }
  const Dialect& dialect() const noexcept override;
  void setTrace(TraceCallback callback, void* context) override {
    trace_ = callback;
    traceContext_ = context;
  }
  ServerTraffic traffic() const noexcept override { return traffic_; }
  const std::string& filespec() const noexcept override { return filespec_; }

  DatabaseState inspect() override;
  void markAsRepository() override;
  // The mark's table is the back end's own, as SQLite's application id is.
  std::vector<std::string> tableNames() override {
    return names("SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema() "
                 "AND table_name <> 'vlt_repository'");
  }
  std::vector<std::string> tableColumns(const std::string& table) override {
    return names("SELECT column_name FROM information_schema.columns WHERE table_schema = current_schema() "
                 "AND table_name = $1",
                 &table);
  }
  // The server's catalog would answer too, but a look at it costs a few
  // milliseconds (every schema of the database is in it), and a read asks
  // once per transaction while a table it wants is missing; so would a
  // counter in a table, a round trip per transaction. Instead a connection
  // that makes a table announces it (schemaChanged), and the notices count.
  // The server delivers a notice committed before it reads this
  // connection's next command, ahead of that command's answer: once a
  // transaction's BEGIN has come back, libpq holds every notice of the
  // changes committed before the transaction's first statement. Outside a
  // transaction one round trip brings them.
  std::int64_t schemaVersion() override {
    if (!inTransaction()) names("SELECT 1");
    if (beginUnanswered_) sync();
    noticeSchemaChanges();
    return schemaNotices_;
  }
  // Sent with the commit of the transaction that made the table, and only
  // then.
  void schemaChanged() override {
    constexpr const char* sql = "SELECT pg_notify('vlt_tables', current_schema())";
    if (mayQueue()) {
      queueCommand(sql);
    } else {
      execute(sql);
    }
  }
  /// Listens for the value tables other connections make in this schema.
  void listenForSchemaChanges() {
    execute("LISTEN vlt_tables");
    const std::vector<std::string> schema = names("SELECT current_schema()");
    schema_ = schema.empty() ? std::string() : schema.front();
  }
  // A server keeps no journal of this kind and no copies of its own.
  void setJournalMode(JournalMode) override {}
  void setPageCache(std::int64_t) override {}
  // The repository's tables only: a plain ANALYZE would visit every schema
  // of the database.
  void refreshStatistics() override {
    execute(
        "DO $$ DECLARE t text; BEGIN FOR t IN SELECT tablename FROM pg_tables WHERE schemaname = current_schema() "
        "LOOP EXECUTE format('ANALYZE %I', t); END LOOP; END $$");
  }
  void keepGenerations(int) override {}
  bool deferIndexes(const std::vector<std::string>& keep, bool everyRowNew) override;
  bool indexesDeferred() const noexcept override { return deferring_; }
  void restoreIndexes() override;
  /// Before a statement that is not an INSERT, CREATE or ALTER.
  void needIndexes() {
    if (deferring_) restoreIndexes();
  }
  // Databases are never created by the repository.
  void discardIfCreated() noexcept override {}

  PGconn* conn() const noexcept { return handle_.get(); }
  void traceStatement(const std::string& sql) const noexcept { traceStatement(sql.c_str()); }
  void traceStatement(const char* sql) const noexcept {
    if (trace_ != nullptr) callTrace(trace_, traceContext_, sql);
  }
  /// Traces the preparation of `text` as `name` (the server's plan of it).
  void tracePreparation(const std::string& name, const std::string& text) const {
    if (trace_ != nullptr) traceStatement("PREPARE " + name + " AS " + text);
  }
  /// Counts a wait for the server's answer, and a preparation with it.
  void waited(bool preparing = false) noexcept {
    ++traffic_.roundTrips;
    if (preparing) ++traffic_.preparations;
  }
  /// Reads the results of the queued writes; throws the first failure.
  /// `last`, when given, receives the result of the last command queued.
  void sync(Result* last = nullptr);
  /// A BEGIN went out unanswered (beginAnsweredLater).
  bool beginUnanswered() const noexcept { return beginUnanswered_; }
  /// Queues the prepared read `c` behind the queued commands (see
  /// readsOnlyQueued) and returns its result, read with theirs in one round
  /// trip.
  Result runQueuedRead(const std::string& sql, const PgStatement::Call& c);
  /// Whether a write may be queued: inside a transaction only (outside, a
  /// write is its own transaction and its outcome is wanted now).
  bool mayQueue() const noexcept {
    return syncsSent_ == 0 && (pipelining_ || copyUnanswered_ || PQtransactionStatus(conn()) == PQTRANS_INTRANS);
  }
  /// Something ran that may have changed the database: what was read
  /// ahead may be out of date.
  void noteWrite() noexcept {
    wrote_ = true;
    if (!ahead_.empty()) dropAhead();
  }
  /// Whether a read may go out behind the queued commands and be answered
  /// with them: only reads and the transaction's own commands are queued
  /// (its BEGIN, a read sent ahead). A read behind queued writes waits for
  /// them first, so that its own failure leaves them to the savepoint.
  bool readsOnlyQueued() const noexcept { return beginUnanswered_ || (pipelining_ && syncsSent_ == 0 && !wrote_); }
  /// Whether a read may be sent ahead: inside a transaction.
  bool mayReadAhead() const noexcept { return beginUnanswered_ || mayQueue(); }
  /// Queues `statement`'s read with `parameters`; its answer is kept for
  /// takeAhead.
  void queueAhead(const PgStatement& statement, const std::string& sql, const PgStatement::Call& c,
                  const std::vector<Parameter>& parameters);
  /// The answer of `statement`'s read sent ahead with `parameters`, read
  /// now if it has not come yet; false when there is none (or it is out of
  /// date).
  bool takeAhead(const PgStatement& statement, const std::vector<Parameter>& parameters, Result& out);
  /// What `statement` sent ahead is no one's (it is going); with null,
  /// what every statement sent: the transaction ended or wrote.
  void forgetAhead(const PgStatement* statement) noexcept;
  void queue(const std::string& sql, const PgStatement::Call& c);
  /// Sends the prepared call `c` (in the pipeline); libpq's answer.
  int send(const PgStatement::Call& c);
  void queueCommand(const char* sql);
  /// Queues `sql`, which has no parameters, as a statement prepared once.
  void queueControl(const std::string& sql);
  /// Adds a row of the INSERT `sql` to its batch; false when it must go out
  /// on its own (an upsert without an id).
  bool batch(const std::string& sql, const InsertShape& shape, const std::vector<Parameter>& row);
  /// Throws the error of a failed result (and rolls back a transaction the
  /// server aborted outside a savepoint).
  void check(PGresult* r, const std::string& sql);
  [[noreturn]] void fail(const char* sqlstate, const std::string& message, const std::string& sql);
  void noteChanges(PGresult* r) { changes_ = std::atoll(PQcmdTuples(r)); }
  std::string nextName() { return "vlt_s" + std::to_string(++statements_); }
  /// Where statements leave the server-side names they no longer need, to be
  /// deallocated when the connection is next idle (a long session recompiles
  /// queries, and the server would keep every plan until the connection
  /// closes).
  std::weak_ptr<std::vector<std::string>> retiredNames() const noexcept { return retired_; }

 private:
  /// The first column of every row, as text; `parameter` is $1, if any.
  std::vector<std::string> names(const std::string& sql, const std::string* parameter = nullptr);
  void pipelineDrop() noexcept;
  struct Failure {
    std::string state, message, sql;
    bool lockRefused = false;  ///< the transaction's try for the write lock
  };
  /// Reads the results up to the last sync sent; records the first failure.
  void readPipeline(Failure& failure, Result* last);
  /// Keeps `r`, the result of the command queued at `index`, when that was
  /// a read sent ahead.
  bool deliverAhead(std::size_t index, Result& r);
  void dropAhead() noexcept { forgetAhead(nullptr); }
  /// Rolls back the transaction after a queued write failed (the server
  /// skipped what came after it) and throws the failure.
  [[noreturn]] void dropTransaction(const Failure& failure);
  /// Sends the rows of a plain INSERT as one COPY, leaving its answer
  /// unread; and reads the answer of such a COPY, throwing its failure.
  void copyRows(RowBatch& batch);
  void finishCopy();
  bool commitUnanswered();
  bool beginAfterCommit(const std::string& sql);
  void queueEach(const std::string& sql);
  /// Rolls back a transaction the server refuses to go on with.
  void rollbackNow() noexcept {
    forgetMade();
    dropAhead();
    traceStatement("ROLLBACK");
    waited();
    Result rollback(PQexec(conn(), "ROLLBACK"));
  }
  /// What the open transaction made: tables, and their indexes.
  void noteMade(const std::string& sql);
  /// Whether `sql` makes an index that waits for restoreIndexes instead.
  bool deferIndex(const std::string& sql);
  struct MadeIndex;
  std::vector<MadeIndex> indexesOfOtherTables();
  /// Takes `indexes`' tables from every other session, or nothing when one
  /// of them is in use.
  bool lockAtOnce(const std::vector<MadeIndex>& indexes);
  /// After a savepoint's rollback, which may have taken back indexes made
  /// (or dropped) meanwhile: each is made again, if missing, with the others.
  void forgetIndexes() noexcept {
    if (!deferredHere_) return;
    for (MadeIndex& i : indexes_) i.made = false;
    deferring_ = true;
  }
  void forgetMade() noexcept {
    madeHere_.clear();
    indexes_.clear();
    deferring_ = false;
    deferredHere_ = false;
  }
  /// Counts the notices of tables made in this schema by other connections.
  void noticeSchemaChanges() noexcept;
  void deallocateRetired() noexcept;
  void enterPipeline(const std::string& sql);
  void queued(int sent, const std::string& sql);
  /// Queues the waiting rows of every batch.
  void sendRows();
  void sendRows(RowBatch& batch, std::size_t first, std::size_t count, std::size_t& offset);
  /// Sends the rows of `batch` alone (a COPY whose data is full).
  void sendOnly(RowBatch& batch);
  /// Forgets every waiting row (the transaction is being dropped).
  void dropRows() noexcept;

  Handle handle_;
  std::string filespec_;
  TraceCallback trace_ = nullptr;
  void* traceContext_ = nullptr;
  ServerTraffic traffic_;
  std::string schema_;  ///< current_schema(): the repository
  std::int64_t schemaNotices_ = 0;
  std::int64_t changes_ = 0;
  int savepoints_ = 0;
  std::size_t statements_ = 0;
  bool pipelining_ = false;
  bool unsynced_ = false;  ///< commands queued since the last sync sent
  int syncsSent_ = 0;      ///< syncs sent whose results are unread
  bool wrote_ = false;     ///< the open transaction ran something that may write
  /// The open transaction's BEGIN is queued, its answer (and the notices
  /// that come before it) unread.
  bool beginUnanswered_ = false;
  static constexpr std::size_t notQueued = ~std::size_t{0};
  /// The index in queued_ of a try for the write lock, whose false fails it.
  std::size_t tryLockAt_ = notQueued;
  std::deque<std::string> queued_;  ///< the SQL of each queued command, for messages
  /// A read sent ahead: until its answer comes, `at` is its index in
  /// queued_; a null statement (gone, or the read out of date) wants it no
  /// more.
  struct AheadRead {
    const PgStatement* statement;
    std::vector<Parameter> parameters;
    std::size_t at;
    Result result;
  };
  std::vector<AheadRead> ahead_;
  /// By single-row statement text; kept with their prepared statements for
  /// the connection's life (their number follows the tables').
  std::unordered_map<std::string, std::unique_ptr<RowBatch>> batches_;
  std::vector<RowBatch*> waiting_;  ///< batches holding rows, in their first row's order
  /// Statements of batches prepared in the pipeline since its last sync:
  /// forgotten again when the sync fails.
  std::vector<std::pair<RowBatch*, std::size_t>> preparing_;
  /// The names of the commands queueControl prepared, by their text; and
  /// the texts of those prepared since the last sync.
  std::unordered_map<std::string, std::string> controls_;
  std::vector<std::string> controlsPreparing_;
  bool sendingRows_ = false;
  std::size_t waitingBytes_ = 0;  ///< of the rows of every waiting batch
  /// A COPY went out whose answer is unread: libpq sends nothing else
  /// before it is read (by finishCopy, from whatever talks to the server
  /// next), and meanwhile the server works on the rows.
  bool copyUnanswered_ = false;
  std::string copySql_;  ///< the INSERT that COPY stands for, for messages
  std::shared_ptr<std::vector<std::string>> retired_ = std::make_shared<std::vector<std::string>>();
  struct MadeIndex {
    std::string table;
    std::string name;
    std::string sql;  ///< "CREATE [UNIQUE] INDEX <name> ..."
    bool made;        ///< false: dropped, or not made yet
  };
  std::unordered_set<std::string> madeHere_;  ///< the tables the open transaction made
  /// Their indexes, and those deferIndexes dropped from other tables
  std::vector<MadeIndex> indexes_;
  bool deferring_ = false;                    ///< deferIndexes() holds
  bool deferredHere_ = false;                 ///< it held at some time in the open transaction
};

}  // namespace vlt::sql::pg
