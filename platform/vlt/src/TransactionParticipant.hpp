#pragma once
// What keeps state for the open transaction implements this, and is told by
// TransactionState before COMMIT and when the transaction has ended.

namespace vlt::detail {

/// Something that keeps state for the open transaction.
class TransactionParticipant {
 public:
  /// Runs inside the transaction just before COMMIT; may write. A failure
  /// fails the commit.
  virtual void beforeCommit() {}
  /// The transaction ended: committed, or rolled back (also by the engine).
  virtual void transactionEnded(bool committed) noexcept = 0;
  /// A call failed inside the transaction and its savepoint was rolled back.
  virtual void savepointRolledBack() noexcept {}

 protected:
  ~TransactionParticipant() = default;
};

}  // namespace vlt::detail
