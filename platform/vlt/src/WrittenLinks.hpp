#pragma once
// The links a transaction wrote to objects it did not know to exist. A
// handle may outlive its object (another connection deleted it), and
// getObjectRef gives handles for any id: a link stored to nothing would fail
// every read of its holder. Checking each target as it is written would cost
// a lookup per link (on a server a round trip); instead the targets not known
// to exist are kept and checked together before the commit. Within a write
// transaction no other connection deletes objects, so what the transaction
// made or saw existing still exists unless it deleted something since.

#include "Database.hpp"
#include "MetamodelInfo.hpp"
#include "StatementCache.hpp"
#include "TransactionState.hpp"

#include <vlt/Types.hpp>

#include <vector>

namespace vlt::detail {

/// Not synchronised.
class WrittenLinks {
 public:
  WrittenLinks(Database& database, StatementCache& statements, TransactionState& transaction)
      : database_(database), statements_(statements), transaction_(transaction) {}

  /// The transaction made the object `id`.
  void noteCreated(ObjectId id);
  /// Whether the transaction made the object `id`, and deleted nothing since.
  bool createdHere(ObjectId id);
  /// A link to `target`, not known to exist, was written through `property`.
  void noteUnsure(const PropertyInfo* property, ObjectId target) { unsure_.push_back({property, target}); }
  /// Throws ObjectNotFoundError when a link written to an object that does
  /// not exist is stored. A link the transaction wrote and then took back
  /// (its target deleted, its call rolled back) is not. Targets made later
  /// in the transaction (ids reserved ahead) are not looked at.
  void check();
  void clear() noexcept;

 private:
  struct Link {
    const PropertyInfo* property;
    ObjectId target;
  };
  struct Range {
    ObjectId first, last;
  };
  /// Of `ids` (sorted, distinct), those no object has.
  std::vector<ObjectId> absent(const std::vector<ObjectId>& ids);
  /// Whether a link to `target` through `property` is stored.
  bool stored(const Link& link);

  Database& database_;
  StatementCache& statements_;
  TransactionState& transaction_;
  std::vector<Link> unsure_;
  std::vector<Range> created_;  ///< sorted and merged up to `createdSorted_`
  std::size_t createdSorted_ = 0;
  std::uint64_t createdSerial_ = 0;  ///< the removal serial they were made under
};

}  // namespace vlt::detail
