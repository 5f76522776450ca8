#pragma once
// What every store does before it touches an object: checking a handle and
// a property against each other, finding the object's own class (and
// remembering the objects seen existing), binding a property's value (and
// keeping the links written to objects not known to exist, for the check
// before the commit), and making a handle of a row's object columns.

#include "Database.hpp"
#include "HandleAccess.hpp"
#include "Schema.hpp"
#include "StatementCache.hpp"
#include "TransactionParticipant.hpp"
#include "TransactionState.hpp"
#include "ValueTraits.hpp"
#include "WrittenLinks.hpp"

#include <vlt/Object.hpp>

#include <cstdint>
#include <deque>
#include <unordered_map>
#include <vector>

namespace vlt::detail {

/// Not synchronised.
class ObjectAccess final : public TransactionParticipant {
 public:
  ObjectAccess(Database& database, HandleAccess& handles, StatementCache& statements, TransactionState& transaction,
               Schema& schema)
      : database_(database),
        handles_(handles),
        statements_(statements),
        transaction_(transaction),
        schema_(schema),
        links_(database, statements, transaction) {}

  /// The property of `property`, checked to be usable and of this repository.
  /// Throws UsageError.
  const PropertyInfo* checkProperty(const PropertyRef& property) const;
  /// Checks that `property` may be used on `object` with values of `type`
  /// and returns it. Throws UsageError.
  const PropertyInfo* checkAccess(const ObjectRef& object, const PropertyRef& property, ValueType type) const;

  /// The object's own class; null when it does not exist.
  const ClassInfo* runtimeClass(ObjectId id);
  /// The object's own class; throws ObjectNotFoundError when it does not exist.
  const ClassInfo* requireObject(ObjectId id);
  /// The object's own class, checked to have `property`. Throws
  /// ObjectNotFoundError or UsageError.
  const ClassInfo* requireConforming(ObjectId id, const PropertyInfo* property);
  /// Remembers that the object exists, of class `cls`, for the rest of this
  /// transaction or until an object is deleted or a call rolled back.
  void noteSeen(ObjectId id, const ClassInfo* cls) noexcept;
  /// noteSeen for one of the many objects a lookup of thousands finds:
  /// they are kept apart, where they would push the recent ones out.
  void noteFound(ObjectId id, const ClassInfo* cls);
  /// The own class of an object seen existing (noteSeen, noteFound); null
  /// when it was not seen, or may have gone since.
  const ClassInfo* seenClass(ObjectId id);
  [[noreturn]] void notFound(ObjectId id) const;

  /// What binding and reading values of `property` need.
  ValueSite site(const PropertyInfo* property) const noexcept { return ValueSite{database_, handles_, property}; }
  /// Binds the value `value` (null: absent) of `property` as parameter `index`.
  void bind(sql::Statement& statement, int index, const PropertyInfo* property, const void* value) const;
  /// bind() for a value being stored: a link to an object not known to
  /// exist is checked before the commit.
  void bindWritten(sql::Statement& statement, int index, const PropertyInfo* property, const void* value);
  /// The transaction made the object `id` (links to it need no check).
  void noteCreated(ObjectId id) { links_.noteCreated(id); }
  /// The object handle of columns id, class_id, uuid starting at `column`
  /// (the last two NULL for an object that does not exist yet: the handle
  /// then carries `fallback`).
  ObjectRef objectAt(sql::Statement& statement, int column, const ClassInfo* fallback);

  void beforeCommit() override { links_.check(); }
  void transactionEnded(bool committed) noexcept override;

 private:
  // Objects seen existing in this transaction, with their own classes,
  // while no object was deleted and no call rolled back since
  // (TransactionState::removalSerial): a write after its object's lookup,
  // the usual order, does not look the object up again. On a server that
  // lookup is a round trip of its own. Two-way set-associative by id.
  struct Seen {
    ObjectId id = 0;
    const ClassInfo* cls = nullptr;
    std::uint64_t serial = 0;
  };
  // The objects found by lookups of many (a writer of millions of objects
  // looks them all up first): by id up to `foundSorted_`, then as added;
  // valid while `foundSerial_` is the removal serial. Eight bytes each, the
  // class as its place in `foundClasses_`, in blocks, not one array: an
  // array's growth would hold its old and new copies at once. For a commit
  // that changes 1.5 million objects 12 MiB, where 16-byte entries in an
  // array took 50 MiB at their peak.
  struct Found {
    ObjectId id;
    std::uint32_t cls;
  };
  const ClassInfo* foundClass(ObjectId id);
  void forgetFound() noexcept;

  Database& database_;
  HandleAccess& handles_;
  StatementCache& statements_;
  TransactionState& transaction_;
  Schema& schema_;
  std::vector<Seen> seen_ = std::vector<Seen>(8192);
  std::deque<Found> found_;
  std::vector<const ClassInfo*> foundClasses_;
  std::unordered_map<const ClassInfo*, std::uint32_t> foundClassPlaces_;
  std::uint32_t lastFoundClass_ = 0;
  std::size_t foundSorted_ = 0;
  std::uint64_t foundSerial_ = 0;
  WrittenLinks links_;
};

}  // namespace vlt::detail
