#pragma once
// The connection's transaction: a small state machine over the back end's
// transaction, and WriteScope, which makes one API call one atomic write.
//
// States and transitions (a "write" is any call that changes the database):
//
// | state      | meaning                                   | begin      | write                 | commit                               | rollback | engine drops it |
// |------------|-------------------------------------------|------------|-----------------------|--------------------------------------|----------|-----------------|
// | idle       | no transaction                            | -> open    | own implicit one      | UsageError                           | UsageError | -             |
// | open       | explicit, or a dictionary function's      | UsageError | runs under a savepoint| -> committing                        | -> idle  | -> dropped      |
// | dropped    | the caller's is open, the engine's is gone| UsageError | StorageError          | StorageError, -> idle                | -> idle  | -               |
// | committing | COMMIT is running                         | UsageError | UsageError            | UsageError                           | UsageError | -             |
//
// committing ends in idle when COMMIT succeeds. When it fails: with
// commitTransaction the transaction is rolled back (-> idle); with
// unsafeCommitPotentiallyFailingTransaction it stays open for the caller
// (-> open), or, when the engine dropped it, -> dropped, so that the caller's
// rollbackTransaction succeeds either way.
//
// An engine that drops a transaction after a failure (SQLite does on some I/O
// errors) leaves the caller believing it open; "dropped" makes every later
// write fail instead of running, and committing, on its own.
//
// Participants (the schema, the statement cache, the id reservation) are told
// before COMMIT and when the transaction has ended, committed or not. Not
// synchronised.

#include "TransactionParticipant.hpp"

#include <boost/function.hpp>

#include <cstdint>
#include <vector>

namespace vlt::detail {

class Database;

class TransactionState {
 public:
  enum class State { idle, open, dropped, committing };
  /// Who opened the transaction and may end it.
  enum class Owner { caller, dictionaryFunction, call };

  explicit TransactionState(Database& database) : database_(database) {}

  void addParticipant(TransactionParticipant* participant) { participants_.push_back(participant); }
  State state() const noexcept { return state_; }
  bool active() const noexcept { return state_ != State::idle; }

  /// The caller's explicit transaction calls; `mostlyRead` takes the write
  /// lock with the first write where the engine can.
  void begin(bool mostlyRead);
  void commit(bool rollbackOnFailure);
  void rollback();
  /// Runs `f` once, at once. Outside a transaction in an implicit one that is
  /// committed whether `f` returns or throws; `f`'s exception passes on.
  void performDictionaryFunction(const boost::function<void()>& f);
  /// Rolls back whatever is open, never throws (closing).
  void rollbackQuietly() noexcept;

  /// True when the engine dropped the open transaction; the first time this
  /// is noticed the participants hear that it ended.
  bool noticeDropped() noexcept;
  /// Throws the StorageError that refuses work in a dropped transaction.
  [[noreturn]] void refuseDropped() const;

  /// Changes with every write and every transaction boundary: what was read
  /// before may be kept only while it stays the same.
  std::uint64_t writeSerial() const noexcept { return writeSerial_; }
  /// Counts the transactions begun: tells one transaction from the next.
  std::uint64_t number() const noexcept { return number_; }
  /// Changes at every transaction boundary, every call rolled back to its
  /// savepoint and every deletion of objects (noteRemoval): an object seen
  /// existing exists, with the same class, while it stays the same.
  std::uint64_t removalSerial() const noexcept { return removalSerial_; }
  void noteRemoval() noexcept { ++removalSerial_; }

 private:
  friend class WriteScope;
  void beginAs(Owner owner, bool mostlyRead = false);
  void commitNow(bool rollbackOnFailure);
  void ended(bool committed) noexcept;

  Database& database_;
  State state_ = State::idle;
  Owner owner_ = Owner::caller;
  std::vector<TransactionParticipant*> participants_;
  std::uint64_t writeSerial_ = 1;
  std::uint64_t number_ = 0;
  std::uint64_t removalSerial_ = 1;
};

/// Makes the calls between its construction and commit() one atomic write:
/// outside a transaction an implicit one, inside one a savepoint (unless
/// `savepoint` is false: for a single statement, or when the caller undoes a
/// failure itself). Refuses writes to a read-only repository and in a
/// dropped transaction.
class WriteScope {
 public:
  explicit WriteScope(TransactionState& transaction, bool savepoint = true);
  ~WriteScope();
  WriteScope(const WriteScope&) = delete;
  WriteScope& operator=(const WriteScope&) = delete;
  void commit();

 private:
  Database& database_;
  TransactionState& state_;
  bool implicit_ = false;
  bool savepoint_ = false;
  bool done_ = false;
};

}  // namespace vlt::detail
