#include "backend/SqliteWriteBehind.hpp"

#include <cstring>

namespace vlt::sql {

namespace {

// A batch is handed over at this many rows or bytes; at most this many wait
// for the worker, so that a producer faster than SQLite is held back rather
// than queue the whole import in memory.
constexpr std::size_t rowsPerBatch = 512;
constexpr std::size_t bytesPerBatch = std::size_t{256} << 10;
constexpr std::size_t batchesInFlight = 4;

}  // namespace

std::string describe(sqlite3* db, int code) {
  std::string text = "SQLite error " + std::to_string(code) + " (" + sqlite3_errstr(code) + ")";
  const char* message = db != nullptr ? sqlite3_errmsg(db) : nullptr;
  if (message != nullptr && std::strcmp(message, sqlite3_errstr(code)) != 0) {
    text += ": ";
    text += message;
  }
  return text;
}

int bindStagedValue(sqlite3_stmt* statement, int index, StagedValue::Kind kind, std::int64_t integer,
                    const char* data, std::size_t size) noexcept {
  switch (kind) {
    case StagedValue::Kind::null: return sqlite3_bind_null(statement, index);
    case StagedValue::Kind::integer: return sqlite3_bind_int64(statement, index, static_cast<sqlite3_int64>(integer));
    case StagedValue::Kind::text: return sqlite3_bind_text64(statement, index, data, size, SQLITE_TRANSIENT, SQLITE_UTF8);
    case StagedValue::Kind::bytes: return sqlite3_bind_blob64(statement, index, data, size, SQLITE_TRANSIENT);
    case StagedValue::Kind::unset: break;
  }
  return SQLITE_OK;
}

WriteBehind::~WriteBehind() { stop(); }

void WriteBehind::add(sqlite3_stmt* statement, const std::string& sql, const std::vector<StagedValue>& values) {
  if (!worker_.joinable()) worker_ = std::thread(&WriteBehind::work, this);
  if (!filling_) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spare_.empty()) {
      filling_ = std::make_unique<Batch>();
    } else {
      filling_ = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  Batch& batch = *filling_;
  Row row{statement, &sql, batch.params.size(), 0};
  for (std::size_t i = 0; i < values.size(); ++i) {
    const StagedValue& value = values[i];
    if (value.kind == StagedValue::Kind::unset) continue;
    Param param{value.kind, static_cast<int>(i + 1), value.integer, batch.bytes.size(), value.bytes.size()};
    if (value.kind == StagedValue::Kind::text || value.kind == StagedValue::Kind::bytes) batch.bytes += value.bytes;
    batch.params.push_back(param);
    ++row.params;
  }
  batch.rows.push_back(row);
  if (batch.rows.size() >= rowsPerBatch || batch.bytes.size() >= bytesPerBatch) submit();
}

void WriteBehind::submit() {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return pending_ < batchesInFlight; });
  full_.push_back(std::move(filling_));
  pending_.fetch_add(1, std::memory_order_relaxed);
  wake_.notify_one();
}

void WriteBehind::wait() noexcept {
  if (filling_ && !filling_->rows.empty()) submit();
  if (pending_.load(std::memory_order_acquire) == 0) return;
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return pending_ == 0; });
}

std::optional<WriteFailure> WriteBehind::takeFailure() {
  if (!failed()) return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  std::optional<WriteFailure> failure = std::move(failure_);
  failure_.reset();
  failed_.store(false, std::memory_order_release);
  return failure;
}

void WriteBehind::stop() noexcept {
  if (!worker_.joinable()) return;
  wait();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  worker_.join();
}

void WriteBehind::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !full_.empty(); });
    if (full_.empty()) return;
    std::unique_ptr<Batch> batch = std::move(full_.front());
    full_.pop_front();
    const bool dropping = failure_.has_value();
    lock.unlock();
    if (!dropping) runRows(*batch);
    batch->rows.clear();
    batch->params.clear();
    batch->bytes.clear();
    lock.lock();
    spare_.push_back(std::move(batch));
    pending_.fetch_sub(1, std::memory_order_release);
    done_.notify_all();
  }
}

// Texts and bytes are copied by SQLite: the batch's buffer is reused, and a
// statement keeps its bindings after the row.
void WriteBehind::runRows(const Batch& batch) {
  for (const Row& row : batch.rows) {
    sqlite3_stmt* const statement = row.statement;
    int rc = SQLITE_OK;
    for (std::size_t p = row.firstParam; p < row.firstParam + row.params && rc == SQLITE_OK; ++p) {
      const Param& param = batch.params[p];
      rc = bindStagedValue(statement, param.index, param.kind, param.integer, batch.bytes.data() + param.offset,
                           param.size);
    }
    if (rc == SQLITE_OK) {
      rc = sqlite3_step(statement);
      if (rc == SQLITE_ROW) rc = SQLITE_DONE;  // rows nobody asked for
    }
    if (rc != SQLITE_DONE) {
      WriteFailure failure{rc, describe(sqlite3_db_handle(statement), rc), *row.sql};
      sqlite3_reset(statement);
      std::lock_guard<std::mutex> lock(mutex_);
      failure_ = std::move(failure);
      failed_.store(true, std::memory_order_release);
      return;
    }
    sqlite3_reset(statement);
  }
}

}  // namespace vlt::sql
