// The transaction state machine (the table is in TransactionState.hpp).

#include "TransactionState.hpp"

#include "Database.hpp"

namespace vlt::detail {

void TransactionState::beginAs(Owner owner, bool mostlyRead) {
  sql::Connection& connection = database_.connection();
  const sql::Dialect& dialect = connection.dialect();
  // A read-only repository may still group its reads in one transaction (one
  // consistent view, and the row cache); its writes are refused anyway.
  // Only a caller of beginTransaction is told at once that the lock is taken;
  // a read learns it from its first statement.
  if (database_.readOnly() || mostlyRead) {
    connection.beginAnsweredLater(database_.readOnly() ? dialect.beginRead : dialect.beginMostlyRead);
  } else {
    connection.execute(dialect.beginWrite);
  }
  state_ = State::open;
  owner_ = owner;
  ++writeSerial_;
  ++removalSerial_;
  ++number_;
}

void TransactionState::begin(bool mostlyRead) {
  database_.checkOpen();
  if (state_ != State::idle) database_.usage("a transaction is open already");
  beginAs(Owner::caller, mostlyRead);
}

void TransactionState::commit(bool rollbackOnFailure) {
  database_.checkOpen();
  if (state_ == State::idle) database_.usage("no transaction is open");
  if (state_ == State::committing) database_.usage("the transaction is being committed");
  if (owner_ != Owner::caller) {
    database_.usage("the implicit transaction of performDictionaryFunction cannot be committed");
  }
  if (noticeDropped()) {
    state_ = State::idle;
    refuseDropped();
  }
  commitNow(rollbackOnFailure);
}

void TransactionState::commitNow(bool rollbackOnFailure) {
  sql::Connection& connection = database_.connection();
  state_ = State::committing;
  try {
    for (TransactionParticipant* p : participants_) p->beforeCommit();
    connection.execute("COMMIT");
  } catch (...) {
    if (!connection.inTransaction()) {
      // The engine rolled the transaction back itself. The caller of the
      // unsafe commit will roll back: let that succeed.
      ended(false);
      state_ = rollbackOnFailure ? State::idle : State::dropped;
    } else if (rollbackOnFailure) {
      rollbackQuietly();
    } else {
      state_ = State::open;
    }
    throw;
  }
  state_ = State::idle;
  ended(true);
}

void TransactionState::rollback() {
  database_.checkOpen();
  if (state_ == State::idle) database_.usage("no transaction is open");
  if (state_ == State::committing) database_.usage("the transaction is being committed");
  if (owner_ != Owner::caller) {
    database_.usage("the implicit transaction of performDictionaryFunction cannot be rolled back");
  }
  if (state_ == State::dropped) {
    state_ = State::idle;  // the engine has done it already
    return;
  }
  rollbackQuietly();
}

void TransactionState::rollbackQuietly() noexcept {
  if (state_ == State::idle) return;
  const bool alreadyEnded = state_ == State::dropped;
  if (database_.isOpen() && database_.connection().inTransaction()) {
    try {
      database_.connection().execute("ROLLBACK");
    } catch (...) {
      // Nothing more can be done: the engine keeps or drops the transaction;
      // memory is reset below either way.
    }
  }
  state_ = State::idle;
  if (!alreadyEnded) ended(false);
}

void TransactionState::performDictionaryFunction(const boost::function<void()>& f) {
  database_.checkOpen();
  if (state_ != State::idle) {
    f();  // inside a transaction the caller decides what stays
    return;
  }
  beginAs(Owner::dictionaryFunction);
  try {
    f();
  } catch (...) {
    // What `f` wrote before it failed stays: each call it made was atomic,
    // so the writes before the failing one are whole. `f`'s exception is the
    // one that passes, also when the commit fails (then nothing stays).
    try {
      if (noticeDropped()) {
        state_ = State::idle;
      } else {
        commitNow(true);
      }
    } catch (...) {
    }
    throw;
  }
  if (!database_.isOpen()) {
    database_.usage("the repository was closed by the dictionary function; nothing was committed");
  }
  // `f` may have swallowed a failure after which the engine dropped the
  // transaction: then nothing is committed, and the caller must hear it.
  if (noticeDropped()) {
    state_ = State::idle;
    refuseDropped();
  }
  commitNow(true);
}

bool TransactionState::noticeDropped() noexcept {
  if (state_ == State::dropped) return true;
  if (state_ != State::open || !database_.isOpen() || database_.connection().inTransaction()) return false;
  state_ = State::dropped;
  ended(false);
  return true;
}

void TransactionState::refuseDropped() const {
  throw StorageError("the database rolled the transaction back after an earlier failure; roll it back and start again",
                     database_.filespec());
}

void TransactionState::ended(bool committed) noexcept {
  ++writeSerial_;
  ++removalSerial_;
  for (TransactionParticipant* p : participants_) p->transactionEnded(committed);
}

// ---------------------------------------------------------------- WriteScope

WriteScope::WriteScope(TransactionState& transaction, bool savepoint)
    : database_(transaction.database_), state_(transaction) {
  database_.checkOpen();
  if (database_.readOnly()) database_.usage("the repository was opened read-only");
  if (state_.noticeDropped()) state_.refuseDropped();
  if (state_.state_ == TransactionState::State::committing) database_.usage("the transaction is being committed");
  if (state_.state_ == TransactionState::State::idle) {
    state_.beginAs(TransactionState::Owner::call);
    implicit_ = true;
  } else if (savepoint) {
    database_.connection().savepoint();
    savepoint_ = true;
  }
}

void WriteScope::commit() {
  if (implicit_) {
    done_ = true;  // a failing commit has rolled back already
    state_.commitNow(true);
  } else if (savepoint_) {
    database_.connection().releaseSavepoint();
  }
  done_ = true;
}

WriteScope::~WriteScope() {
  ++state_.writeSerial_;
  if (done_) return;
  if (implicit_) {
    state_.rollbackQuietly();
    return;
  }
  if (savepoint_ && database_.isOpen()) {
    // The transaction itself may be gone; noticed below. The caller sees the
    // original failure.
    database_.connection().rollbackToSavepoint();
    state_.noteRemoval();
    for (TransactionParticipant* p : state_.participants_) p->savepointRolledBack();
  }
  state_.noticeDropped();
}

}  // namespace vlt::detail
