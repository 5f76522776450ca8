#pragma once
// Objects and the values of their class tables: finding, identity, reading
// and writing one value, removing an object's rows, incoming links.

#include "Database.hpp"
#include "HandleAccess.hpp"
#include "ObjectAccess.hpp"
#include "Schema.hpp"
#include "StatementCache.hpp"
#include "TransactionState.hpp"
#include "ValueTables.hpp"
#include "ValueTraits.hpp"

#include <vlt/Object.hpp>

#include <boost/uuid/uuid.hpp>

#include <cstdint>
#include <functional>
#include <vector>

namespace vlt::detail {

/// Single values live in the class tables of the object's lineage (joined
/// inheritance). Inside a transaction the first read of an object's single
/// values fetches all of them, for the whole lineage of the handle's class,
/// in one statement; later reads of that object are served from memory until
/// the next write. Outside a transaction every read asks the database. Not
/// synchronised.
class ObjectStore {
 public:
  ObjectStore(Database& database, HandleAccess& handles, StatementCache& statements, TransactionState& transaction,
              Schema& schema, ValueTables& tables, ObjectAccess& access)
      : database_(database),
        handles_(handles),
        statements_(statements),
        transaction_(transaction),
        schema_(schema),
        tables_(tables),
        access_(access) {}

  /// `withRow`: inside a transaction, the object's row comes along.
  ObjectRef find(const boost::uuids::uuid& uuid, const ClassInfo* cls, bool withRow);
  /// find() without the row for every uuid, in `uuids`' order, a few hundred
  /// per statement.
  std::vector<ObjectRef> findAll(const std::vector<boost::uuids::uuid>& uuids, const ClassInfo* cls);
  /// See DataModelRef::lookUpObjectIds.
  std::vector<ObjectId> findIds(const std::vector<boost::uuids::uuid>& uuids);
  /// See DataModelRef::confirmObjectIds.
  std::vector<ObjectId> confirmIds(const std::vector<ObjectId>& ids, const std::vector<boost::uuids::uuid>& uuids);
  /// The own class of each of `ids` whose object carries the uuid at the
  /// same place of `uuids`; null for the others. Notes nothing.
  std::vector<const ClassInfo*> confirm(const std::vector<ObjectId>& ids,
                                        const std::vector<boost::uuids::uuid>& uuids);
  ObjectRef byId(ObjectId id);
  /// See DataModelRef::objectsById.
  std::vector<ObjectRef> byIds(const std::vector<ObjectId>& ids);
  /// The objects of `cls` (and its subclasses), in id order; with `count`
  /// only their number is set and nothing is returned.
  std::vector<ObjectRef> objectsOf(const ClassInfo* cls, bool withSubclasses, std::size_t* count);
  std::vector<ObjectRef> roots();
  const boost::uuids::uuid& identity(const ObjectRef& object);
  /// True when the object was seen existing in this transaction since the
  /// last write (its values were read): no need to ask again.
  bool knownToExist(ObjectId id) const noexcept;
  /// Where an object is owned, as the lookup that found it read it.
  struct Place {
    ObjectId id = 0;
    std::uint64_t serial = 0;  ///< TransactionState::writeSerial when read; 0: not kept
    ObjectId owner = 0;        ///< 0: a root
    const ClassInfo* ownerClass = nullptr;
    boost::uuids::uuid ownerUuid{};
    std::int64_t property = 0;  ///< the owning property's id
    std::int64_t ordinal = 0;   ///< the stored ordinal
  };
  /// The place of `id` when the last find() in this transaction found it and
  /// nothing was written since; null otherwise. Valid until the next find().
  const Place* knownPlace(ObjectId id) const noexcept;

  // The values of a property in the class table (PropertyInfo::inClassTable),
  // checked by the caller to be used on `object` with its own value type.
  /// Reads the value into `out`; false when it is absent.
  bool readValue(const ObjectRef& object, const PropertyInfo* property, void* out);
  /// ObjectRef::requestValues.
  void requestRow(const ObjectRef& object);
  /// Reads the value as a vector of zero or one.
  void readValueAsVector(const ObjectRef& object, const PropertyInfo* property, void* vector);
  /// Writes the value `in` (null: absent) inside the caller's WriteScope;
  /// checks the object's class first.
  void writeValue(ObjectId id, const PropertyInfo* property, const void* in);

  /// Removes the object's row and its class rows, nothing else (undoing a
  /// construction; a deletion removes the rest first).
  void deleteRows(ObjectId id, const ClassInfo* cls);
  void processIncoming(const ObjectRef& object, const std::function<void(CollectionRef&, std::size_t)>& callback);
  /// See DataModelRef::linksInto.
  std::vector<IncomingLink> linksInto(const PropertyRef& property, const std::vector<ObjectRef>& targets);

 private:
  /// A single reference's target as the row read it (cls null: none, or
  /// of a class this connection does not know).
  struct Target {
    const ClassInfo* cls = nullptr;
    boost::uuids::uuid uuid{};
  };
  struct Row {
    ObjectId id = 0;
    const ClassInfo* layout = nullptr;  ///< the class whose lineage the cells follow
    std::uint64_t serial = 0;           ///< TransactionState::writeSerial when read; 0: not kept
    std::vector<Cell> cells;
    std::vector<Target> targets;  ///< per cell; set for single references only
  };
  bool seenAll(const std::vector<ObjectId>& ids, std::size_t first, std::size_t last, std::vector<ObjectRef>& out);
  template <class Key, class T, class Read>
  std::vector<T> inKeyOrder(const std::vector<Key>& keys, const std::string& select, Read read);
  const Row& row(const ObjectRef& object, const PropertyInfo* property);
  sql::Statement& placedRow(const ClassInfo* layout);
  void notePlace(sql::Statement& statement, ObjectId id);
  void fillRow(sql::Statement& statement, int firstCell, bool withTargets);
  /// Reads bring along what the next statement would ask (a row's targets,
  /// a lookup's place) only where a statement is a round trip.
  bool bundled() const { return database_.connection().dialect().statementsAreRoundTrips; }
  int cellOf(const PropertyInfo* property) const;

  Database& database_;
  HandleAccess& handles_;
  StatementCache& statements_;
  TransactionState& transaction_;
  Schema& schema_;
  ValueTables& tables_;
  ObjectAccess& access_;
  Row row_;
  Place place_;
};

}  // namespace vlt::detail
