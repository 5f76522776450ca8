#pragma once
// Objects and their single values: finding, identity, class, reading and
// writing one value, deletion with its cascade, incoming links.

#include "ValueTraits.hpp"
#include "backend/Backend.hpp"

#include <vlt/Object.hpp>

#include <boost/uuid/uuid.hpp>

#include <cstdint>
#include <functional>
#include <vector>

namespace vlt::detail {

class Core;
struct ClassInfo;
struct PropertyInfo;

/// Single values live in the class tables of the object's lineage (joined
/// inheritance). Inside a transaction the first read of an object's single
/// values fetches all of them, for the whole lineage of the handle's class,
/// in one statement; later reads of that object are served from memory until
/// the next write. Outside a transaction every read asks the database. Not
/// synchronised.
class ObjectStore {
 public:
  explicit ObjectStore(Core& core) : core_(core) {}

  /// `withRow`: inside a transaction, the object's row comes along.
  ObjectRef find(const boost::uuids::uuid& uuid, const ClassInfo* cls, bool withRow);
  /// find() without the row for every uuid, in `uuids`' order, a few hundred
  /// per statement.
  std::vector<ObjectRef> findAll(const std::vector<boost::uuids::uuid>& uuids, const ClassInfo* cls);
  ObjectRef byId(ObjectId id);
  /// The objects of `cls` (and its subclasses), in id order; with `count`
  /// only their number is set and nothing is returned.
  std::vector<ObjectRef> objectsOf(const ClassInfo* cls, bool withSubclasses, std::size_t* count);
  std::vector<ObjectRef> roots();
  const boost::uuids::uuid& identity(const ObjectRef& object);
  /// The object's own class; null when it does not exist.
  const ClassInfo* runtimeClass(ObjectId id);
  /// The object's own class; throws ObjectNotFoundError when it does not exist.
  const ClassInfo* requireObject(ObjectId id);
  /// The object's own class, checked to have `property`. Throws
  /// ObjectNotFoundError or UsageError.
  const ClassInfo* requireConforming(ObjectId id, const PropertyInfo* property);
  /// True when the object was seen existing in this transaction since the
  /// last write (its values were read): no need to ask again.
  bool knownToExist(ObjectId id) const noexcept;
  /// Remembers that the object exists, of class `cls`, for the rest of this
  /// transaction or until an object is deleted or a call rolled back.
  void noteSeen(ObjectId id, const ClassInfo* cls) noexcept;

  bool readSingle(const ObjectRef& object, const PropertyRef& property, ValueType type, void* out);
  void writeSingle(const ObjectRef& object, const PropertyRef& property, ValueType type, const void* in);
  /// Reads a single-valued, non-composite property as a vector of zero or one.
  void readSingleAsVector(const ObjectRef& object, const PropertyInfo* property, void* vector);

  void deleteObject(const ObjectRef& object);
  /// Removes the object's row and its class rows, nothing else (undoing a
  /// construction).
  void deleteRows(ObjectId id, const ClassInfo* cls);
  void deleteAll();
  void processIncoming(const ObjectRef& object, const std::function<void(CollectionRef&, std::size_t)>& callback);

  /// Checks that `property` may be used on `object` with values of `type`
  /// and returns it. Throws UsageError.
  const PropertyInfo* checkAccess(const ObjectRef& object, const PropertyRef& property, ValueType type) const;
  /// Binds the value `value` (null: absent) of `property` as parameter `index`.
  void bind(sql::Statement& statement, int index, const PropertyInfo* property, const void* value);
  /// The object handle of columns id, class_id, uuid starting at `column`
  /// (the last two NULL for an object that does not exist yet: the handle
  /// then carries `fallback`).
  ObjectRef objectAt(sql::Statement& statement, int column, const ClassInfo* fallback);

 private:
  struct Row {
    ObjectId id = 0;
    const ClassInfo* layout = nullptr;  ///< the class whose lineage the cells follow
    std::uint64_t serial = 0;           ///< TransactionState::writeSerial when read; 0: not kept
    std::vector<Cell> cells;
  };
  const Row& row(const ObjectRef& object, const PropertyInfo* property);
  bool rowCovers(const PropertyInfo* property) const;
  void fillRow(sql::Statement& statement, int firstCell);
  int cellOf(const PropertyInfo* property) const;
  void deleteOne(ObjectId id, const ClassInfo* cls);
  void cutLinksTo(ObjectId id, const ClassInfo* cls);

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
  const ClassInfo* seenClass(ObjectId id) const noexcept;

  Core& core_;
  Row row_;
  std::vector<Seen> seen_ = std::vector<Seen>(8192);
};

}  // namespace vlt::detail
