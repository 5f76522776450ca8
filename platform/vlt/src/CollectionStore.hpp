#pragma once
// Multi-valued properties: the values or links of a table-stored collection
// (object id, ordinal, value) and the owned objects of a composite one.

#include <vlt/Object.hpp>

#include <boost/optional/optional.hpp>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace vlt::sql {
class Statement;
}  // namespace vlt::sql

namespace vlt::detail {

class Core;
struct PropertyInfo;

/// Table-stored collections keep dense ordinals 0..n-1: an insert shifts the
/// later entries up, a removal down. Every call reads or writes the database.
/// Not synchronised.
class CollectionStore {
 public:
  explicit CollectionStore(Core& core) : core_(core) {}

  /// Checks that `property` is a collection of `type` values of `object`.
  void open(const ObjectRef& object, const PropertyRef& property, ValueType type);
  void readAll(const ObjectRef& object, const PropertyRef& property, ValueType type, void* vector);
  /// See ObjectRef::getLinksOfOwnedObjects.
  void readOwnedLinks(const ObjectRef& owner, const PropertyRef& owning, const PropertyRef& property,
                      std::vector<LinkEntry>& out, bool targetIdentity);
  /// See DataModelRef::getLinksOfOwnedObjects.
  void readOwnedLinks(const std::vector<ObjectRef>& owners, const PropertyRef& owning, const PropertyRef& property,
                      std::vector<LinkEntry>& out, bool targetIdentity);
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
  void readEntries(ObjectId owner, const PropertyInfo* property, void* vector);
  void insertComposite(const ObjectRef& object, const PropertyInfo* property, const ObjectRef& child,
                       const boost::optional<std::uint64_t>& index);
  void insertEntry(const ObjectRef& object, const PropertyInfo* property, const void* value,
                   const boost::optional<std::uint64_t>& index);
  void replaceComposite(ObjectId owner, const PropertyInfo* property, std::size_t index, const ObjectRef& child);
  void checkEntry(const PropertyInfo* property, ValueType type, const void* value) const;
  void checkUpperBound(const PropertyInfo* property, std::size_t count) const;
  void checkUniqueness(const PropertyInfo* property, ValueType type, const void* vector) const;
  [[noreturn]] void beyondEnd(const PropertyInfo* property, std::size_t index, std::size_t size) const;

  Core& core_;
};

}  // namespace vlt::detail
