#pragma once
// Object id reservation. Ids come from one counter row in the database,
// advanced inside the writing transaction, so that clients sharing a
// database never get the same id.

#include "Database.hpp"
#include "StatementCache.hpp"
#include "TransactionState.hpp"

#include <vlt/Types.hpp>

#include <cstddef>
#include <vector>

namespace vlt::detail {

/// Explicit reservations (allocateObjectIds) take `count` ids at once.
/// Objects created without an id take them from a block reserved inside the
/// transaction; what the transaction did not use of the block is given back
/// before it commits. Not synchronised.
class ObjectIds final : public TransactionParticipant {
 public:
  ObjectIds(Database& database, StatementCache& statements, TransactionState& transaction)
      : database_(database), statements_(statements), transaction_(transaction) {}

  /// Reserves `count` ids in a row and returns the first. Throws UsageError
  /// when no more ids can be reserved.
  ObjectId reserve(std::size_t count);
  /// The id of an object created without one.
  ObjectId next();
  /// Throws UsageError unless `id` was reserved by reserve() on this
  /// connection (and not by a transaction that rolled back): an id the
  /// counter has not passed would be handed out again.
  void checkReserved(ObjectId id) const;

  void beforeCommit() override;
  void transactionEnded(bool committed) noexcept override;

 private:
  ObjectId advance(std::size_t count);

  struct Range {
    ObjectId first;
    ObjectId end;
    bool pending;  ///< reserved by the open transaction
  };
  Database& database_;
  StatementCache& statements_;
  TransactionState& transaction_;
  ObjectId blockNext_ = 0;
  ObjectId blockEnd_ = 0;
  ObjectId blockSize_ = 64;  ///< of the next block
  std::vector<Range> reserved_;  ///< what reserve() gave, in order
};

}  // namespace vlt::detail
