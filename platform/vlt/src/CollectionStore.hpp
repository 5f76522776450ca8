#pragma once
// Multi-valued properties: the values or links of a table-stored collection
// (object id, ordinal, value) and the owned objects of a composite one. Also
// where a property's values are read and written whatever holds them: one
// value or all of them, in the class table, a collection table or the
// containment.

#include "Containment.hpp"
#include "Database.hpp"
#include "HandleAccess.hpp"
#include "ObjectAccess.hpp"
#include "ObjectStore.hpp"
#include "Schema.hpp"
#include "StatementCache.hpp"
#include "TransactionState.hpp"
#include "ValueTables.hpp"

#include <vlt/Object.hpp>

#include <boost/optional/optional.hpp>

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace vlt::detail {


/// Table-stored collections keep dense ordinals 0..n-1: an insert shifts the
/// later entries up, a removal down. Every call reads or writes the database.
/// Not synchronised.
class CollectionStore {
 public:
  CollectionStore(Database& database, HandleAccess& handles, StatementCache& statements, TransactionState& transaction,
                  Schema& schema, ValueTables& tables, ObjectAccess& access, ObjectStore& objects,
                  Containment& containment)
      : database_(database),
        handles_(handles),
        statements_(statements),
        transaction_(transaction),
        schema_(schema),
        tables_(tables),
        access_(access),
        objects_(objects),
        containment_(containment) {}

  /// One value: a single value, the first entry of a collection or the first
  /// object owned.
  bool readSingle(const ObjectRef& object, const PropertyRef& property, ValueType type, void* out);
  /// Writes one value; into a collection it replaces the whole.
  void writeSingle(const ObjectRef& object, const PropertyRef& property, ValueType type, const void* in);

  /// Checks that `property` is a collection of `type` values of `object`.
  void open(const ObjectRef& object, const PropertyRef& property, ValueType type);
  void readAll(const ObjectRef& object, const PropertyRef& property, ValueType type, void* vector);
  /// See ObjectRef::getLinksOfOwnedObjects.
  void readOwnedLinks(const ObjectRef& owner, const PropertyRef& owning, const PropertyRef& property,
                      std::vector<LinkEntry>& out, bool targetIdentity);
  /// See DataModelRef::getLinksOfOwnedObjects.
  void readOwnedLinks(const std::vector<ObjectRef>& owners, const PropertyRef& owning, const PropertyRef& property,
                      std::vector<LinkEntry>& out, bool targetIdentity);
  /// ObjectRef::getCollections and requestCollections.
  void readCollections(const ObjectRef& object, const std::vector<PropertyRef>& properties,
                       std::vector<std::vector<ObjectRef>>& out);
  void requestCollections(const ObjectRef& object, const std::vector<PropertyRef>& properties);
  /// DataModelRef::requestCollections.
  void requestCollectionsOf(const boost::uuids::uuid& uuid, const ClassInfo* cls,
                            const std::vector<PropertyRef>& properties);
  void writeAll(const ObjectRef& object, const PropertyRef& property, ValueType type, const void* vector,
                bool objectIsNew);
  std::size_t size(const ObjectRef& object, const PropertyInfo* property);
  void insert(const ObjectRef& object, const PropertyInfo* property, ValueType type, const void* value,
              const boost::optional<std::uint64_t>& index);
  void replace(const ObjectRef& object, const PropertyInfo* property, std::size_t index, ValueType type,
               const void* value);
  void removeAt(const ObjectRef& object, const PropertyInfo* property, std::size_t index);
  std::size_t indexOf(const ObjectRef& object, const PropertyInfo* property, ValueType type, const void* value);
  void at(const ObjectRef& object, const PropertyInfo* property, std::size_t index, ValueType type, void* out);

  /// Removes the entry at `ordinal` of a table-stored collection; UsageError
  /// when there is none.
  void removeEntry(ObjectId owner, const PropertyInfo* property, std::int64_t ordinal);
  /// Replaces a table-stored collection by zero or one value.
  void replaceAll(ObjectId owner, const PropertyInfo* property, const void* value);

 private:
  /// The owning property and the link collection of an owned-links read,
  /// checked for `owner`.
  std::pair<const PropertyInfo*, const PropertyInfo*> checkOwnedLinks(const ObjectRef& owner,
                                                                      const PropertyRef& owning,
                                                                      const PropertyRef& property);
  LinkEntry linkEntry(sql::Statement& s, int column, const PropertyInfo* property, bool targetIdentity);
  bool readFirst(ObjectId owner, const PropertyInfo* property, ValueType type, void* out);
  void readEntries(ObjectId owner, const PropertyInfo* property, void* vector);
  void replaceChildren(ObjectId owner, const PropertyInfo* property, const std::vector<ObjectRef>& children);
  void writeEntries(ObjectId owner, const PropertyInfo* property, const ValueTraits& traits, const void* vector,
                    bool objectIsNew);
  void insertComposite(const ObjectRef& object, const PropertyInfo* property, const ObjectRef& child,
                       const boost::optional<std::uint64_t>& index);
  void insertEntry(const ObjectRef& object, const PropertyInfo* property, const void* value,
                   const boost::optional<std::uint64_t>& index);
  void replaceComposite(ObjectId owner, const PropertyInfo* property, std::size_t index, const ObjectRef& child);
  void checkEntry(const PropertyInfo* property, ValueType type, const void* value) const;
  void checkUpperBound(const PropertyInfo* property, std::size_t count) const;
  void checkUniqueness(const PropertyInfo* property, ValueType type, const void* vector) const;
  template <class Check>
  bool collectionInfos(const std::vector<PropertyRef>& properties, Check&& check,
                       std::vector<const PropertyInfo*>& infos);
  sql::Statement& collectionsStatement(const ClassInfo* cls, const std::vector<const PropertyInfo*>& infos,
                                       bool byUuid);
  /// readCollections' statement for `object`, bound (null when nothing is
  /// stored); `infos` are the properties, null where nothing is stored.
  sql::Statement* boundCollectionsStatement(const ObjectRef& object, const std::vector<PropertyRef>& properties,
                                            std::vector<const PropertyInfo*>& infos);
  /// Whether requestCollectionsOf sent the read of `infos` of `object`.
  bool requestedByUuid(const ObjectRef& object, const std::vector<const PropertyInfo*>& infos) const;
  [[noreturn]] void beyondEnd(const PropertyInfo* property, std::size_t index, std::size_t size) const;

  Database& database_;
  HandleAccess& handles_;
  StatementCache& statements_;
  TransactionState& transaction_;
  Schema& schema_;
  ValueTables& tables_;
  ObjectAccess& access_;
  ObjectStore& objects_;
  Containment& containment_;
  // The lists of properties readCollections was asked, each numbered once:
  // its statement's purpose, so that every list (with which of its
  // collections have tables) has a statement of its own per class.
  std::map<std::vector<const PropertyInfo*>, int> collectionLists_;
  /// The last collections read requestCollectionsOf sent, by the owner's
  /// uuid: the owner's readCollections reads it with the same statement.
  struct UuidRequest {
    boost::uuids::uuid uuid{};
    const ClassInfo* cls = nullptr;
    std::vector<const PropertyInfo*> infos;
  };
  UuidRequest uuidRequest_;
};

}  // namespace vlt::detail
