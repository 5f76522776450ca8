#include "ObjectIds.hpp"

#include <algorithm>
#include <limits>

namespace vlt::detail {
namespace {
// Objects created without an id take ids from a block reserved inside the
// transaction, the first of this size, each next one twice as large up to
// the largest: reserving waits for the database (on a server it also ends a
// batch of queued writes), so a large transaction should do it rarely. The
// unused rest is given back before the transaction commits.
constexpr ObjectId firstIdBlock = 64;
constexpr ObjectId largestIdBlock = 4096;
}  // namespace

ObjectId ObjectIds::reserve(std::size_t count) {
  const ObjectId first = advance(count);
  const auto end = static_cast<ObjectId>(first + static_cast<ObjectId>(count));
  const bool pending = transaction_.active();
  if (!reserved_.empty() && reserved_.back().end == first && reserved_.back().pending == pending) {
    reserved_.back().end = end;
  } else {
    reserved_.push_back(Range{first, end, pending});
  }
  return first;
}

// Moves the counter on by `count` and returns where it stood.
ObjectId ObjectIds::advance(std::size_t count) {
  WriteScope scope(transaction_, false);
  std::int64_t next = 0;
  {
    sql::StatementUse s(statements_.fixed("SELECT value FROM vlt_info WHERE name = 'next_object_id'"));
    if (s->step()) next = s->columnInt64(0);
  }
  const auto highest = static_cast<std::uint64_t>(std::numeric_limits<ObjectId>::max());
  if (next <= 0 || static_cast<std::uint64_t>(next) > highest || count > highest - static_cast<std::uint64_t>(next)) {
    database_.usage("no more object ids: " + std::to_string(count) + " were asked for");
  }
  {
    sql::StatementUse s(statements_.fixed("UPDATE vlt_info SET value = ?1 WHERE name = 'next_object_id'"));
    s->bindInt64(1, next + static_cast<std::int64_t>(count));
    s->step();
  }
  scope.commit();
  return static_cast<ObjectId>(next);
}

void ObjectIds::checkReserved(ObjectId id) const {
  // Newest first: ids are usually used soon after they were reserved.
  for (auto it = reserved_.rbegin(); it != reserved_.rend(); ++it) {
    if (id >= it->first && id < it->end) return;
  }
  database_.usage("the object id " + std::to_string(id) +
                  " was not reserved with allocateObjectIds on this connection");
}

ObjectId ObjectIds::next() {
  if (blockNext_ < blockEnd_) return blockNext_++;
  // Outside a transaction the object is written by an implicit one of its own.
  if (!transaction_.active()) return advance(1);
  const ObjectId first = advance(blockSize_);
  blockNext_ = first + 1;
  blockEnd_ = first + blockSize_;
  blockSize_ = std::min(blockSize_ * 2, largestIdBlock);
  return first;
}

// Only when nobody reserved ids after the block (the counter still stands at
// its end) can the rest go back.
void ObjectIds::beforeCommit() {
  if (blockNext_ >= blockEnd_) return;
  sql::StatementUse s(statements_.fixed(
      "UPDATE vlt_info SET value = ?1 WHERE name = 'next_object_id' AND value = ?2"));
  s->bindInt64(1, blockNext_);
  s->bindInt64(2, blockEnd_);
  s->step();
}

void ObjectIds::transactionEnded(bool committed) noexcept {
  blockNext_ = blockEnd_ = 0;
  blockSize_ = firstIdBlock;
  // A rollback takes the counter back: its reservations may be handed out again.
  if (!committed) {
    reserved_.erase(std::remove_if(reserved_.begin(), reserved_.end(), [](const Range& r) { return r.pending; }),
                    reserved_.end());
  }
  for (Range& r : reserved_) r.pending = false;
}

}  // namespace vlt::detail
