// The PostgreSQL back end's queued writes: commands sent in libpq's
// pipeline mode without waiting, rows gathered into multi-row INSERTs, and
// the results read back (and a failure among them thrown) by the next call
// that waits for the server.

#include "backend/PgConnection.hpp"

#include <vlt/Errors.hpp>

#include <algorithm>
#include <iterator>

namespace vlt::sql::pg {

// ---------------------------------------------------------------- connection

namespace {

// Whether the one boolean a lock's try answered (in binary) is false.
bool refused(const PGresult* r) {
  if (PQntuples(r) != 1 || PQgetlength(r, 0, 0) != 1) return false;
  const char answer = PQgetvalue(r, 0, 0)[0];
  return answer == 0 || answer == 'f';
}

}  // namespace

void PgConnection::enterPipeline(const std::string& sql) {
  if (pipelining_) return;
  finishCopy();
  if (PQenterPipelineMode(conn()) != 1) fail("08000", PQerrorMessage(conn()), sql);
  pipelining_ = true;
}

// `sent` is what libpq answered to sending the command.
void PgConnection::queued(int sent, const std::string& sql) {
  if (sent != 1) fail("08000", PQerrorMessage(conn()), sql);
  queued_.push_back(sql);
  unsynced_ = true;
  if (queued_.size() >= pipelineBatch && !sendingRows_) sync();
}

void PgConnection::queueCommand(const char* sql) {
  noteWrite();
  sendRows();
  traceStatement(sql);
  enterPipeline(sql);
  queueControl(sql);
}

// Commands without parameters (BEGIN, COMMIT, savepoints, the try for the
// write lock) are prepared once per connection, in the pipeline with their
// first use: parsed and planned each time, they cost a lazy walk a quarter
// of its time.
void PgConnection::queueControl(const std::string& sql) {
  std::string& name = controls_[sql];
  if (name.empty()) {
    name = nextName();
    controlsPreparing_.push_back(sql);
    tracePreparation(name, sql);
    ++traffic_.preparations;
    queued(PQsendPrepare(conn(), name.c_str(), sql.c_str(), 0, nullptr), sql);
  }
  if (sql.rfind("SELECT pg_try_advisory_xact_lock", 0) == 0) tryLockAt_ = queued_.size();
  queued(PQsendQueryPrepared(conn(), name.c_str(), 0, nullptr, nullptr, nullptr, 1), sql);
}

void PgConnection::queue(const std::string& sql, const PgStatement::Call& c) {
  sendRows();
  enterPipeline(sql);
  queued(send(c), sql);
}

int PgConnection::send(const PgStatement::Call& c) {
  return PQsendQueryPrepared(conn(), c.name.c_str(), static_cast<int>(c.values.size()), c.values.data(),
                             c.lengths.data(), c.formats.data(), 1);
}

bool PgConnection::batch(const std::string& sql, const InsertShape& shape, const std::vector<Parameter>& row) {
  if (shape.upsert && row.front().null) return false;
  std::unique_ptr<RowBatch>& b = batches_[sql];
  if (!b) b = std::make_unique<RowBatch>(sql, shape);
  // Bounded: the rows are copies of the values.
  bool sendFirst =
      (!b->copy && b->rows >= 16 * RowBatch::maxRows) || (shape.upsert && b->keys.count(row.front().bytes) > 0);
  for (const RowBatch* other : waiting_)
    sendFirst = sendFirst || (other->shape.upsert != shape.upsert && other->shape.table == shape.table);
  if (sendFirst) sendRows();
  if (b->rows == 0) waiting_.push_back(b.get());
  if (shape.upsert) b->keys.insert(row.front().bytes);
  const std::size_t before = b->bytes.size();
  b->add(row);
  waitingBytes_ += b->bytes.size() - before;
  if (waitingBytes_ >= RowBatch::waitingBytes) {
    sendRows();
  } else if (b->full()) {
    sendOnly(*b);
  }
  return true;
}

void PgConnection::sendOnly(RowBatch& batch) {
  if (sendingRows_) return;
  sendingRows_ = true;
  const std::size_t bytes = batch.bytes.size();
  try {
    copyRows(batch);
  } catch (...) {
    dropRows();
    throw;
  }
  waiting_.erase(std::find(waiting_.begin(), waiting_.end(), &batch));
  waitingBytes_ -= std::min(bytes, waitingBytes_);
  sendingRows_ = false;
}

void PgConnection::dropRows() noexcept {
  for (RowBatch* b : waiting_) b->clear();
  waiting_.clear();
  waitingBytes_ = 0;
  sendingRows_ = false;
}

void PgConnection::sendRows() {
  if (waiting_.empty() || sendingRows_) return;
  sendingRows_ = true;
  try {
    // The COPYs first: each needs the pipeline synced before it, and the
    // upserts' statements then share one pipeline.
    for (RowBatch* b : waiting_) {
      if (b->copy) copyRows(*b);
    }
    for (RowBatch* b : waiting_) {
      if (b->copy) continue;
      std::size_t first = 0;
      std::size_t offset = 0;
      for (std::size_t count = b->limit; first < b->rows; count /= 2) {
        for (; b->rows - first >= count; first += count) sendRows(*b, first, count, offset);
      }
      b->clear();
    }
  } catch (...) {
    dropRows();
    throw;
  }
  waiting_.clear();
  waitingBytes_ = 0;
  sendingRows_ = false;
}

// Queues rows [first, first + count) of `batch`, whose values begin at
// `offset` in its bytes; `count` is a power of two.
void PgConnection::sendRows(RowBatch& batch, std::size_t first, std::size_t count, std::size_t& offset) {
  std::size_t k = 0;
  while ((std::size_t{1} << k) < count) ++k;
  std::string& name = batch.names[k];
  if (name.empty()) {
    name = nextName();
    preparing_.emplace_back(&batch, k);
    enterPipeline(batch.sql);
    const std::string text = batch.text(count);
    tracePreparation(name, text);
    ++traffic_.preparations;
    queued(PQsendPrepare(conn(), name.c_str(), text.c_str(), 0, nullptr), batch.sql);
  }
  const std::size_t n = count * static_cast<std::size_t>(batch.shape.columns);
  std::vector<const char*> values(n);
  std::vector<int> lengths(n);
  const std::vector<int> formats(n, 1);
  const std::size_t base = first * static_cast<std::size_t>(batch.shape.columns);
  for (std::size_t i = 0; i < n; ++i) {
    const int length = batch.lengths[base + i];
    values[i] = length < 0 ? nullptr : batch.bytes.data() + offset;
    lengths[i] = std::max(length, 0);
    offset += static_cast<std::size_t>(lengths[i]);
  }
  enterPipeline(batch.sql);
  queued(PQsendQueryPrepared(conn(), name.c_str(), static_cast<int>(n), values.data(), lengths.data(), formats.data(),
                             1),
         batch.sql);
}

// COPY has no place in a pipeline: what was queued before it is read first
// (sync leaves the waiting rows alone while they are being sent).
void PgConnection::copyRows(RowBatch& batch) {
  if (pipelining_) sync();
  finishCopy();
  const std::string text = batch.copyText();
  traceStatement(text);
  waited();
  Failure failure;
  failure.sql = batch.sql;
  if (PQsendQuery(conn(), text.c_str()) == 1) {
    // The server's CopyInResponse, or its refusal (a missing table, a
    // read-only transaction).
    Result r(PQgetResult(conn()));
    if (r && PQresultStatus(r.get()) == PGRES_COPY_IN) {
      const std::string& data = batch.copyData();
      if (PQputCopyData(conn(), data.data(), static_cast<int>(data.size())) == 1 &&
          PQputCopyEnd(conn(), nullptr) == 1) {
        copyUnanswered_ = true;
        copySql_ = batch.sql;
        batch.clear();
        return;
      }
    } else if (r) {
      const char* state = PQresultErrorField(r.get(), PG_DIAG_SQLSTATE);
      failure.state = state ? state : "XX000";
      failure.message = PQresultErrorMessage(r.get());
    }
  }
  if (failure.state.empty()) {
    failure.state = "08006";
    failure.message = PQerrorMessage(conn());
  }
  while (Result rest{PQgetResult(conn())}) {
    // A COPY begun whose data could not go out: ended, or the loop would not.
    if (PQresultStatus(rest.get()) == PGRES_COPY_IN && PQputCopyEnd(conn(), "not sent whole") != 1) break;
  }
  // The server's last words (an administrator's shutdown) matter less than
  // that the connection is gone, as when a pipeline meets its end.
  if (PQstatus(conn()) == CONNECTION_BAD) failure.state = "08006";
  batch.clear();
  dropTransaction(failure);
}

void PgConnection::finishCopy() {
  if (!copyUnanswered_) return;
  copyUnanswered_ = false;
  waited();
  Failure failure;
  while (Result r{PQgetResult(conn())}) {
    if (PQresultStatus(r.get()) != PGRES_COMMAND_OK && failure.state.empty()) {
      const char* state = PQresultErrorField(r.get(), PG_DIAG_SQLSTATE);
      failure.state = state ? state : "XX000";
      failure.message = PQresultErrorMessage(r.get());
      failure.sql = copySql_;
    }
  }
  if (PQstatus(conn()) == CONNECTION_BAD) {
    if (failure.state.empty()) failure.message = PQerrorMessage(conn());
    failure.state = "08006";
    failure.sql = copySql_;
  }
  if (!failure.state.empty()) dropTransaction(failure);
}

void PgConnection::dropTransaction(const Failure& failure) {
  // The server skipped every command queued after the failing one, calls
  // that have returned already among them: only dropping the whole
  // transaction loses nothing the caller believes written.
  if (PQtransactionStatus(conn()) == PQTRANS_INERROR || failure.lockRefused) rollbackNow();
  savepoints_ = 0;
  fail(failure.state.c_str(), failure.message, failure.sql);
}

void PgConnection::sync(Result* last) {
  sendRows();
  finishCopy();
  if (!pipelining_) return;
  pipelining_ = false;
  if (trace_ != nullptr) traceStatement("-- sync: the results of " + std::to_string(queued_.size()) + " queued commands");
  waited();
  Failure failure;
  if (unsynced_ && PQpipelineSync(conn()) != 1) {
    failure.state = "08000";
    failure.message = PQerrorMessage(conn());
  } else {
    syncsSent_ += unsynced_ ? 1 : 0;
    readPipeline(failure, last);
  }
  unsynced_ = false;
  syncsSent_ = 0;
  PQexitPipelineMode(conn());
  queued_.clear();
  tryLockAt_ = notQueued;
  // Kept: the answers still wanted. A read skipped after a failure has none.
  ahead_.erase(std::remove_if(ahead_.begin(), ahead_.end(),
                              [](const AheadRead& a) { return a.statement == nullptr || !a.result; }),
               ahead_.end());
  if (beginUnanswered_) {
    beginUnanswered_ = false;
    noticeSchemaChanges();
  }
  if (!failure.state.empty()) {
    // A statement prepared in this batch may have been skipped.
    for (const auto& [b, k] : preparing_) b->names[k].clear();
    for (const std::string& sql : controlsPreparing_) controls_.erase(sql);
  }
  preparing_.clear();
  controlsPreparing_.clear();
  if (!failure.state.empty()) dropTransaction(failure);
}

void PgConnection::readPipeline(Failure& failure, Result* last) {
  std::size_t index = 0;
  while (syncsSent_ > 0) {
    Result r(PQgetResult(conn()));
    if (!r) {
      if (PQstatus(conn()) == CONNECTION_BAD) {
        failure.state = "08006";
        failure.message = PQerrorMessage(conn());
        return;
      }
      ++index;
      continue;
    }
    const ExecStatusType status = PQresultStatus(r.get());
    if (status == PGRES_PIPELINE_SYNC) {
      --syncsSent_;
    } else if (status == PGRES_TUPLES_OK && deliverAhead(index, r)) {
      continue;
    } else if (last != nullptr && index + 1 == queued_.size() && status == PGRES_TUPLES_OK) {
      *last = std::move(r);
    } else if (index == tryLockAt_ && status == PGRES_TUPLES_OK && failure.state.empty() && refused(r.get())) {
      failure.state = "55P03";
      failure.message = "another connection is writing";
      failure.sql = queued_[index];
      failure.lockRefused = true;
    } else if (status == PGRES_FATAL_ERROR && failure.state.empty()) {
      const char* state = PQresultErrorField(r.get(), PG_DIAG_SQLSTATE);
      failure.state = state ? state : "XX000";
      failure.message = PQresultErrorMessage(r.get());
      failure.sql = index < queued_.size() ? queued_[index] : std::string();
    }
  }
}

// A transaction that may have written nothing has nothing a failing COMMIT
// could lose: its COMMIT goes out at once, ending the transaction (and
// releasing its lock) on the server, and its answer is read with the next
// BEGIN's, in one round trip, or by whatever waits for the server first.
// Reads sent ahead and never read may go before it; their answers are
// thrown away then.
bool PgConnection::commitUnanswered() {
  if (wrote_ || beginUnanswered_) return false;
  if (pipelining_ ? syncsSent_ > 0 : PQtransactionStatus(conn()) != PQTRANS_INTRANS) return false;
  traceStatement("COMMIT");
  enterPipeline("COMMIT");
  queueControl("COMMIT");
  if (PQpipelineSync(conn()) != 1) {
    sync();  // reports the connection's failure
    return true;
  }
  unsynced_ = false;
  ++syncsSent_;
  return true;
}

// Queues each of the commands `sql` holds, separated by "; ".
void PgConnection::queueEach(const std::string& sql) {
  for (std::size_t from = 0; from < sql.size();) {
    const std::size_t end = std::min(sql.find("; ", from), sql.size());
    const std::string part = sql.substr(from, end - from);
    queueControl(part);
    from = end + 2;
  }
}

// The server reads the BEGIN after the COMMIT has ended the transaction
// before, so it sends the notices of other connections ahead of the
// BEGIN's answer, as it does for a BEGIN sent alone.
bool PgConnection::beginAfterCommit(const std::string& sql) {
  if (syncsSent_ == 0 || !retired_->empty()) return false;
  traceStatement(sql);
  queueEach(sql);
  try {
    sync();
  } catch (...) {
    // The COMMIT before failed (the connection is lost), or the BEGIN did:
    // no transaction stays open that the caller does not know of.
    if (PQtransactionStatus(conn()) != PQTRANS_IDLE) rollbackNow();
    throw;
  }
  wrote_ = false;
  noticeSchemaChanges();
  return true;
}

// A read's transaction may begin with its first statement: the BEGIN is
// queued (behind the COMMIT before, if that is unanswered) and goes out with
// it. The notices of tables other connections made come ahead of the BEGIN's
// answer, so whatever asks for the schema version before then waits for it.
void PgConnection::beginAnsweredLater(const std::string& sql) {
  if (!retired_->empty() || (pipelining_ && syncsSent_ == 0)) {
    sync();
    deallocateRetired();
  }
  forgetMade();
  traceStatement(sql);
  enterPipeline(sql);
  queueEach(sql);
  beginUnanswered_ = true;
  wrote_ = false;
}

Result PgConnection::runQueuedRead(const std::string& sql, const PgStatement::Call& c) {
  traceStatement(sql);
  queue(sql, c);
  Result result;
  sync(&result);
  return result;
}

void PgConnection::queueAhead(const PgStatement& statement, const std::string& sql, const PgStatement::Call& c,
                              const std::vector<Parameter>& parameters) {
  for (const AheadRead& a : ahead_) {
    if (a.statement == &statement && a.parameters == parameters) return;  // on its way already
  }
  sendRows();
  traceStatement(sql);
  enterPipeline(sql);
  const std::size_t at = queued_.size();
  const int sent = send(c);
  // Known before queued() may read the pipeline.
  if (sent == 1) ahead_.push_back(AheadRead{&statement, parameters, at, nullptr});
  queued(sent, sql);
}

bool PgConnection::takeAhead(const PgStatement& statement, const std::vector<Parameter>& parameters, Result& out) {
  const auto wanted = [&](const AheadRead& a) { return a.statement == &statement && a.parameters == parameters; };
  auto it = std::find_if(ahead_.begin(), ahead_.end(), wanted);
  if (it == ahead_.end()) return false;
  if (!it->result) {
    sync();
    it = std::find_if(ahead_.begin(), ahead_.end(), wanted);
    if (it == ahead_.end()) return false;
  }
  out = std::move(it->result);
  ahead_.erase(it);
  return true;
}

bool PgConnection::deliverAhead(std::size_t index, Result& r) {
  for (AheadRead& a : ahead_) {
    if (a.at != index) continue;
    a.at = notQueued;
    if (a.statement != nullptr) a.result = std::move(r);
    return true;
  }
  return false;
}

// An answer on its way is read, and thrown away, by the next sync.
void PgConnection::forgetAhead(const PgStatement* statement) noexcept {
  for (AheadRead& a : ahead_) {
    if (statement == nullptr || a.statement == statement) a.statement = nullptr;
  }
  ahead_.erase(std::remove_if(ahead_.begin(), ahead_.end(),
                              [](const AheadRead& a) { return a.statement == nullptr && a.at == notQueued; }),
               ahead_.end());
}

// Outside a transaction only: a failure there cannot spoil anything, and
// there is nothing to do about it (the plan stays until the connection ends).
void PgConnection::deallocateRetired() noexcept {
  if (retired_->empty() || PQtransactionStatus(conn()) != PQTRANS_IDLE) return;
  std::string sql;
  for (const std::string& name : *retired_) sql += "DEALLOCATE " + name + ";";
  retired_->clear();
  traceStatement(sql.c_str());
  waited();
  Result r(PQexec(conn(), sql.c_str()));
}

void PgConnection::pipelineDrop() noexcept {
  if (!pipelining_ && !copyUnanswered_ && waiting_.empty()) return;
  try {
    sync();
  } catch (...) {
    // What failed in the batch is undone with the savepoint or transaction.
  }
}

}  // namespace vlt::sql::pg
