#pragma once
// Rows written behind: while a SQLite connection bulk loads (its indexes
// deferred), the INSERTs that callers run without wanting rows or a count
// back are queued and run by a thread of the connection's own, so that
// SQLite's share of a large import overlaps the work that produces the rows.
// Only the SQLite back end includes this (it names sqlite3 types).

#include <sqlite3.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vlt::sql {

/// "SQLite error <code> (<text>): <message>", the message only when it adds
/// something to the code's own text.
std::string describe(sqlite3* db, int code);

/// A parameter value bound while rows are written behind, held until a row
/// takes it or the statement runs in the caller's thread.
struct StagedValue {
  enum class Kind : std::uint8_t { unset, null, integer, text, bytes };
  Kind kind = Kind::unset;
  std::int64_t integer = 0;
  std::string bytes;  ///< text or bytes; keeps its buffer from row to row
};

/// Binds one staged value (`data` and `size`: its text or bytes) to
/// parameter `index`, texts and bytes copied by SQLite; SQLite's result. An
/// unset value binds nothing.
int bindStagedValue(sqlite3_stmt* statement, int index, StagedValue::Kind kind, std::int64_t integer,
                    const char* data, std::size_t size) noexcept;

/// What the first row that failed failed with.
struct WriteFailure {
  int code = 0;
  std::string message;
  std::string sql;
};

/// The queue and its thread. The caller's thread fills a batch of rows and
/// hands it over when full; the worker binds and steps each row. Whoever
/// else uses the connection waits first (wait()), so that SQLite is never
/// used by both threads at once and reads see every row queued before them.
/// After a failure the rows still queued are dropped: the transaction they
/// belong to cannot be committed any more (see takeFailure).
class WriteBehind {
 public:
  WriteBehind() = default;
  ~WriteBehind();
  WriteBehind(const WriteBehind&) = delete;
  WriteBehind& operator=(const WriteBehind&) = delete;

  /// Queues one execution of `statement`: the values set in `values` (value
  /// i for parameter i + 1) are bound first, the others keep what the
  /// statement holds. `sql` must live until the row has run. Starts the
  /// thread on first use (throws std::system_error when it cannot).
  void add(sqlite3_stmt* statement, const std::string& sql, const std::vector<StagedValue>& values);
  /// Returns once every queued row has run or was dropped.
  void wait() noexcept;
  /// Whether no row waits or runs: the worker does not touch the database.
  bool idle() const noexcept {
    return (!filling_ || filling_->rows.empty()) && pending_.load(std::memory_order_acquire) == 0;
  }
  /// Whether a row failed, as far as the caller's thread can tell now.
  bool failed() const noexcept { return failed_.load(std::memory_order_acquire); }
  /// After wait(): the failure, once; none when every row ran.
  std::optional<WriteFailure> takeFailure();
  /// Waits, then ends the thread.
  void stop() noexcept;

 private:
  struct Param {
    StagedValue::Kind kind;
    int index;
    std::int64_t integer;
    std::size_t offset;  ///< of text or bytes in Batch::bytes
    std::size_t size;
  };
  struct Row {
    sqlite3_stmt* statement;
    const std::string* sql;
    std::size_t firstParam;
    std::size_t params;
  };
  struct Batch {
    std::vector<Row> rows;
    std::vector<Param> params;
    std::string bytes;
  };

  void submit();
  void work();
  void runRows(const Batch& batch);

  std::unique_ptr<Batch> filling_;  // the caller's thread only
  std::mutex mutex_;
  std::condition_variable wake_;  // for the worker: a batch, or stop
  std::condition_variable done_;  // for the caller: a batch done
  std::deque<std::unique_ptr<Batch>> full_;
  std::vector<std::unique_ptr<Batch>> spare_;
  // Batches handed over and not done; changed under mutex_, read without it
  // to tell cheaply that there is nothing to wait for.
  std::atomic<std::size_t> pending_{0};
  bool stopping_ = false;
  std::optional<WriteFailure> failure_;
  std::atomic<bool> failed_{false};
  std::thread worker_;
};

}  // namespace vlt::sql
