#pragma once
// Objects and their values: ObjectRef, the live collections of a
// multi-valued property, and DataModelRef (the objects of a repository).
//
// Typed access is a family of thin templates over one non-template core per
// operation; the accepted value types are:
//
//   | value type | C++ types (single; boost::optional and std::vector of these too) |
//   |---|---|
//   | int32, uint32 | int, unsigned (any 32-bit integer type) |
//   | int64, uint64 | long long, unsigned long long, std::int64_t, std::uint64_t |
//   | real64 | double |
//   | ustring | std::u16string (any UTF-16, unpaired surrogates and NULs included) |
//   | string | std::string (any bytes) |
//   | DateTime | boost::posix_time::ptime, special values included (microseconds) |
//   | UUID | boost::uuids::uuid |
//   | bool | vlt::Boolean, bool |
//   | qxarray | matrix::qxArray_tag* (single and vector only, no optional) |
//   | enumerations | vlt::EnumeralRef |
//   | classes | vlt::ObjectRef |
//
// A value of another type than the property's throws UsageError. Reading an
// absent value (NULL) into a plain (non-optional) target gives the default
// value: 0, an empty string, a null handle, not_a_date_time, a null array
// pointer. A single getter used on a collection gives its first value; a
// vector getter used on a single-valued property gives zero or one value.
//
// Handles are small copyable values, null by default, and not synchronised:
// use a repository and its handles from one thread at a time. Outside an
// explicit transaction each write is committed on its own (or wrap a batch in
// DataModelRepository::performDictionaryFunction). Inside a transaction,
// reads of one object's single values share one row fetch.

#include <vlt/Metamodel.hpp>
#include <vlt/Types.hpp>

#include <boost/date_time/posix_time/ptime.hpp>
#include <boost/optional/optional.hpp>
#include <boost/uuid/uuid.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace vlt {

namespace detail {
template <class T, class Enable = void>
struct ScalarTraits;  // value type and canonical type of a scalar C++ type
template <class T>
struct ValueAccess;   // getPropertyValue / setPropertyValue for one C++ type
}  // namespace detail

struct LinkEntry;

/// One object of the repository, named by its id. A handle carries a class:
/// the object's own class when it comes from findObject, a composite read, a
/// collection of links, or a single-valued reference read inside a
/// transaction (the target's row comes with the values); the class it was
/// asked for when it comes from getObjectRef or a single-valued reference
/// read outside one. A handle may name an object that does not exist (yet):
/// getObjectRef gives handles for pre-allocated ids.
class VLT_API ObjectRef {
 public:
  ObjectRef() = default;
  /// A null handle has object id 0.
  bool isNull() const noexcept { return id_ == 0; }
  explicit operator bool() const noexcept { return !isNull(); }
  ObjectId objectId() const noexcept { return id_; }
  /// The class this handle carries (see above).
  ClassRef objectClass() const;
  /// Whether the handle was made with the object's uuid and own class, as
  /// the repository read them: objectIdentity() and objectClass() then ask
  /// nothing of it.
  bool carriesOwnClass() const noexcept { return ownClass_; }

  /// The object's uuid. Throws ObjectNotFoundError when the object does not
  /// exist, UsageError for a null handle.
  const boost::uuids::uuid& objectIdentity() const;
  /// The object's own class, asked of the repository; null when the object
  /// does not exist.
  ClassRef objectRuntimeClass() const;
  /// Whether the object exists.
  bool exists() const;

  /// The object's composite owner: `owner` is null (id 0) for a root, then
  /// `property` is null and `ordinal` 0. Otherwise `property` is the owner's
  /// composite property that holds it and `ordinal` its position there (its
  /// index in an ordered collection, else 0). Throws ObjectNotFoundError.
  void getOwnership(ObjectRef& owner, PropertyRef& property, std::uint64_t& ordinal) const;
  /// The owner and property alone: one lookup, where the position in an
  /// ordered collection costs a count of the objects before it.
  void getOwnership(ObjectRef& owner, PropertyRef& property) const;

  /// Deletes the object, the objects it owns (recursively), their values and
  /// the links they hold, and every link that other objects hold to any of
  /// them (single references become absent, collection entries are removed).
  /// Throws ObjectNotFoundError when the object does not exist.
  void deleteObject();

  /// Calls `callback(collection, index)` once for each entry, in another
  /// object's multi-valued, non-composite property without an opposite, that
  /// refers to this object. Entries of one collection come in descending
  /// index order, so the callback may remove each at its index. The calls
  /// happen after the entries were collected; the callback may write.
  void processIncomingMultiValuedUnidirectionalAssociations(
      const std::function<void(CollectionRef& collection, std::size_t index)>& callback) const;

  /// Reads `property` into `out`; see the table above for the types of `out`,
  /// which may also be a live collection handle (CollectionRef for objects,
  /// EnumeralCollectionRef, BuiltinTypeCollectionRef<T>). A read array
  /// (matrix::qxArray_tag*) is a new array owned by the caller. Throws
  /// UsageError (null handle, property not of the object's class, type
  /// mismatch) and ObjectNotFoundError.
  template <class T>
  void getPropertyValue(const PropertyRef& property, T& out) const {
    detail::ValueAccess<T>::get(*this, property, out);
  }

  /// The entries of several collections of this object at once, in one
  /// statement: `out[k]` becomes those of `properties[k]`, a multi-valued
  /// property of objects, a collection of links or a composite one (the
  /// owned objects), in collection order, each target with its own class
  /// and uuid. Throws UsageError (a null handle; a property not of this
  /// object's class, or not a multi-valued object property) and
  /// ObjectNotFoundError.
  void getCollections(const std::vector<PropertyRef>& properties, std::vector<std::vector<ObjectRef>>& out) const;
  /// Sends the statement of getCollections(properties) ahead, for a back end
  /// behind a server: it goes out without waiting, and the next call that
  /// waits (a read of this object's values, say) brings its answer along.
  /// The next getCollections of this object and these properties in the
  /// same transaction then waits for nothing, unless something was written
  /// meanwhile. Elsewhere, and outside a transaction, it does nothing.
  /// Throws as getCollections for bad arguments.
  void requestCollections(const std::vector<PropertyRef>& properties) const;
  /// Sends the read of this object's single values (with its place) ahead,
  /// as requestCollections does: the next getPropertyValue of a single value
  /// of this object in the same transaction then waits for nothing.
  void requestValues() const;
  /// Reads, in one statement, the entries of the collection of links
  /// `property` of every object that this one owns through the composite
  /// `owning`: of objects of `owning`'s class and of its subclasses that have
  /// `property` (it may be declared by a subclass). `out` is replaced by the
  /// entries, grouped by owned object in `owning`'s order, and in collection
  /// order within one; an owned object whose collection is empty has none,
  /// and so has every one when `property` was never given a value. Each
  /// target carries its own class and uuid, as getPropertyValue gives them;
  /// without `targetIdentity` it carries `property`'s class and no uuid, as
  /// getObjectRef gives it, which spares a lookup of every target's row.
  /// Throws UsageError (a null handle; `owning` not a composite property of
  /// this object's class; `property` not a multi-valued, non-composite
  /// object property, or of a class that no object owned through `owning`
  /// can have) and ObjectNotFoundError.
  void getLinksOfOwnedObjects(const PropertyRef& owning, const PropertyRef& property, std::vector<LinkEntry>& out,
                              bool targetIdentity = true) const;

  /// Writes `value` into `property`: a single value, a boost::optional (none
  /// stores absent), or a std::vector replacing the whole collection. Arrays
  /// are copied. For a composite property the objects given become owned by
  /// this one (and leave their previous owner); objects dropped from a
  /// composite collection become roots. Throws as getPropertyValue, and
  /// ConstraintError for a duplicate in a unique collection.
  template <class T>
  void setPropertyValue(const PropertyRef& property, const T& value) {
    detail::ValueAccess<T>::set(*this, property, value);
  }
  void setPropertyValue(const PropertyRef& property, const char* value) {
    setPropertyValue(property, std::string(value));
  }
  void setPropertyValue(const PropertyRef& property, const char16_t* value) {
    setPropertyValue(property, std::u16string(value));
  }
  /// Replaces the collection of links (or owned objects) of `property`.
  /// `objectIsNew` promises that this object was created in the current
  /// transaction (by the handle's class) and neither it nor this collection
  /// was deleted or written since: the stored content is then not cleared
  /// first, nor is the object's existence asked (two statements less). Owned
  /// objects (composite) already attached at construction keep working either
  /// way.
  void setPropertyValue(const PropertyRef& property, const std::vector<ObjectRef>& value, bool objectIsNew);

  friend bool operator==(const ObjectRef& a, const ObjectRef& b) noexcept {
    return a.id_ == b.id_ && (a.id_ == 0 || a.core_ == b.core_);
  }
  friend bool operator!=(const ObjectRef& a, const ObjectRef& b) noexcept { return !(a == b); }
  friend bool operator<(const ObjectRef& a, const ObjectRef& b) noexcept { return a.id_ < b.id_; }

  // The non-template core of the typed access. `canonical` points at the
  // canonical C++ type of `type`: std::int32_t, std::uint32_t, std::int64_t,
  // std::uint64_t, double, std::u16string, std::string, ptime, uuid, Boolean,
  // const matrix::qxArray_tag* (writes) / matrix::qxArray_tag* (reads),
  // EnumeralRef, ObjectRef; vectors are std::vector of these.
  /// Reads one value; false (and `canonical` untouched) when absent.
  bool readSingle(const PropertyRef& property, ValueType type, void* canonical) const;
  /// Writes one value; a null `canonical` writes absent.
  void writeSingle(const PropertyRef& property, ValueType type, const void* canonical);
  void readMany(const PropertyRef& property, ValueType type, void* canonicalVector) const;
  void writeMany(const PropertyRef& property, ValueType type, const void* canonicalVector, bool objectIsNew);
  void openCollection(const PropertyRef& property, ValueType type, CollectionRefBase& out) const;

 private:
  friend class detail::HandleAccess;
  friend class DataModelRef;
  friend class DataModelRepository;
  friend class ObjectConstructor;
  friend class CollectionRefBase;
  ObjectRef(detail::CorePtr core, const detail::ClassInfo* cls, ObjectId id)
      : core_(std::move(core)), class_(cls), id_(id) {}
  ObjectRef(detail::CorePtr core, const detail::ClassInfo* cls, ObjectId id, const boost::uuids::uuid& uuid)
      : core_(std::move(core)), class_(cls), id_(id), uuid_(uuid), uuidKnown_(true), ownClass_(cls != nullptr) {}

  detail::CorePtr core_;
  const detail::ClassInfo* class_ = nullptr;
  ObjectId id_ = 0;
  mutable boost::uuids::uuid uuid_{};
  mutable bool uuidKnown_ = false;
  bool ownClass_ = false;
};

/// One entry of a collection of links read for several objects at once
/// (ObjectRef::getLinksOfOwnedObjects): the object whose collection holds it,
/// and its target.
struct LinkEntry {
  ObjectId holder = 0;
  ObjectRef target;
};

/// A link that `holder` holds to the object `target` through one property:
/// in a collection at `index`, a single reference at index 0.
struct IncomingLink {
  ObjectRef holder;  ///< with the holder's own class and uuid
  ObjectId target = 0;
  std::size_t index = 0;
};

/// A link that a deletion cut in an object it left: through `property` (a
/// non-composite link property), `link.holder` held the deleted
/// `link.target`, whose uuid was `targetIdentity`, in a collection at
/// `link.index` (as it was before).
struct CutLink {
  PropertyRef property;
  IncomingLink link;
  boost::uuids::uuid targetIdentity{};
};

/// Objects named by their uuids: those of `objectClass` or a subclass.
struct IdentifiedObjects {
  ClassRef objectClass;
  std::vector<boost::uuids::uuid> identities;
  /// Where the objects were, if the caller remembers: empty, or an id for
  /// each identity (0 where none is known). An id counts only when its
  /// object carries the identity and is of the class; the others are
  /// looked up by uuid. Checked by id, the objects' rows are read in id
  /// order, where a lookup by uuid reads them all over the table.
  std::vector<ObjectId> hints{};  // initialized, so that {class, uuids} still names a group
};

/// A live view of one multi-valued property of one object: every call reads
/// or writes the stored collection. Indexes count from 0 in collection order.
class VLT_API CollectionRefBase {
 public:
  /// indexOf's answer for a value that is not in the collection.
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  CollectionRefBase() = default;
  bool isNull() const noexcept { return owner_.isNull(); }
  std::size_t size() const;
  const ObjectRef& owningObject() const noexcept { return owner_; }
  const PropertyRef& owningProperty() const noexcept { return property_; }
  /// Removes the entry at `index` (later entries move down by one). For a
  /// composite property the object is not deleted: it becomes a root. Throws
  /// UsageError when index >= size().
  void removeAt(std::size_t index);

 protected:
  // Non-template core of the typed collections; `canonical` as in ObjectRef.
  void insertValue(ValueType type, const void* canonical, const boost::optional<std::uint64_t>& index);
  void replaceValue(std::size_t index, ValueType type, const void* canonical);
  std::size_t findValue(ValueType type, const void* canonical) const;
  void valueAt(std::size_t index, ValueType type, void* canonical) const;
  void readAll(ValueType type, void* canonicalVector) const;

 private:
  friend class ObjectRef;
  friend class detail::HandleAccess;
  ObjectRef owner_;
  PropertyRef property_;
};

/// The objects of a multi-valued object property: links, or owned objects
/// for a composite property.
class VLT_API CollectionRef : public CollectionRefBase {
 public:
  /// Inserts `object` at `index` (appends when none or equal to size()). For
  /// a composite property the object becomes owned here (leaving a previous
  /// owner, or moving within this collection). Throws UsageError for an index
  /// beyond size() or a null object, ConstraintError for a duplicate in a
  /// unique collection.
  void push_back(const ObjectRef& object, const boost::optional<std::uint64_t>& index = boost::none) {
    insertValue(ValueType::object, &object, index);
  }
  void setAt(std::size_t index, const ObjectRef& object) { replaceValue(index, ValueType::object, &object); }
  /// Removes the first entry that is `object`; false when there is none.
  bool remove(const ObjectRef& object);
  /// The index of the first entry that is `object`, npos when absent.
  std::size_t indexOf(const ObjectRef& object) const { return findValue(ValueType::object, &object); }
  ObjectRef at(std::size_t index) const {
    ObjectRef out;
    valueAt(index, ValueType::object, &out);
    return out;
  }
  std::vector<ObjectRef> values() const {
    std::vector<ObjectRef> out;
    readAll(ValueType::object, &out);
    return out;
  }
};

/// The enumerals of a multi-valued enumeration property.
class VLT_API EnumeralCollectionRef : public CollectionRefBase {
 public:
  /// Appends `value`.
  void push_back(const EnumeralRef& value) { insertValue(ValueType::enumeral, &value, boost::none); }
  /// Inserts `value` at `index` (later entries move up by one). Throws
  /// UsageError for an index beyond size() or a null enumeral.
  void insert(std::size_t index, const EnumeralRef& value) { insertValue(ValueType::enumeral, &value, index); }
  void setAt(std::size_t index, const EnumeralRef& value) { replaceValue(index, ValueType::enumeral, &value); }
  bool remove(const EnumeralRef& value);
  std::size_t indexOf(const EnumeralRef& value) const { return findValue(ValueType::enumeral, &value); }
  EnumeralRef at(std::size_t index) const {
    EnumeralRef out;
    valueAt(index, ValueType::enumeral, &out);
    return out;
  }
};

/// The values of a multi-valued property of a built-in type, T being one of
/// the single C++ types of the table above (not arrays).
template <class T>
class BuiltinTypeCollectionRef : public CollectionRefBase {
  using Traits = detail::ScalarTraits<T>;
  using Canonical = typename Traits::Canonical;

 public:
  /// Appends `value`.
  void push_back(const T& value) {
    const Canonical c(value);
    insertValue(Traits::type, &c, boost::none);
  }
  /// Inserts `value` at `index` (later entries move up by one). Throws
  /// UsageError for an index beyond size(), ConstraintError for a
  /// duplicate in a unique collection.
  void insert(std::size_t index, const T& value) {
    const Canonical c(value);
    insertValue(Traits::type, &c, index);
  }
  void setAt(std::size_t index, const T& value) {
    const Canonical c(value);
    replaceValue(index, Traits::type, &c);
  }
  /// Removes the first entry equal to `value`; false when there is none.
  bool remove(const T& value) {
    const std::size_t index = indexOf(value);
    if (index == npos) return false;
    removeAt(index);
    return true;
  }
  std::size_t indexOf(const T& value) const {
    const Canonical c(value);
    return findValue(Traits::type, &c);
  }
  T at(std::size_t index) const {
    Canonical c{};
    valueAt(index, Traits::type, &c);
    return T(c);
  }
};

/// The objects of a repository (its one data model).
class VLT_API DataModelRef {
 public:
  DataModelRef() = default;
  bool isNull() const noexcept { return !core_; }
  /// The object with this uuid if it is of class `cls` or of a subclass; the
  /// handle carries the object's own class. Null when there is none.
  ObjectRef findObject(const boost::uuids::uuid& uuid, const ClassRef& cls) const;
  /// Sends ahead, before the object is found, ObjectRef::requestCollections
  /// of the object of uuid `uuid` and exactly class `cls` (the owner found
  /// by its uuid on the server): a findObject next brings the answer along,
  /// and the found object's getCollections of these properties reads it.
  /// An object of another class reads its collections as usual. Only on a
  /// back end behind a server, inside a transaction; throws UsageError for
  /// a property that is not a collection of objects of `cls`.
  void requestCollections(const boost::uuids::uuid& uuid, const ClassRef& cls,
                          const std::vector<PropertyRef>& properties) const;
  /// As findObject, for a caller that writes to the object or refers to it
  /// but does not read it: inside a transaction findObject brings the
  /// object's single values along (ready for the reads that usually follow),
  /// this lookup only the object.
  ObjectRef lookUpObject(const boost::uuids::uuid& uuid, const ClassRef& cls) const;
  /// lookUpObject for each of `uuids`, in their order, with a statement per
  /// few hundred: what a caller about to write to many objects asks first.
  std::vector<ObjectRef> lookUpObjects(const std::vector<boost::uuids::uuid>& uuids, const ClassRef& cls) const;
  /// The ids of the objects with `uuids`, in their order, whatever their
  /// class (0 where none is stored): the uuid index alone answers, the
  /// objects' rows are not read. For a caller about to write to millions of
  /// objects through getObjectRef, whose writes check the class.
  std::vector<ObjectId> lookUpObjectIds(const std::vector<boost::uuids::uuid>& uuids) const;
  /// lookUpObjectIds for a caller that remembers where the objects were:
  /// each of `ids` whose object carries the uuid at the same place of
  /// `uuids`, 0 for the others (no such object, or another one). Checked by
  /// id, the objects' rows are read in id order, where a lookup by uuid
  /// reads them all over the table. UsageError for lists of two lengths.
  std::vector<ObjectId> confirmObjectIds(const std::vector<ObjectId>& ids,
                                         const std::vector<boost::uuids::uuid>& uuids) const;
  /// ObjectRef::getLinksOfOwnedObjects for every object of `owners`, a
  /// statement per 256 of them: the entries are grouped by owned object,
  /// the groups of one owner together in `owning`'s order (the owners in no
  /// particular order). Throws as the call for one owner, for each.
  void getLinksOfOwnedObjects(const std::vector<ObjectRef>& owners, const PropertyRef& owning,
                              const PropertyRef& property, std::vector<LinkEntry>& out,
                              bool targetIdentity = true) const;
  /// The object with this id, its handle carrying the object's own class and
  /// its uuid (one lookup for both); null when there is none.
  ObjectRef objectById(ObjectId id) const;
  /// objectById for each of `ids`, in their order, with a statement per few
  /// hundred. Inside a transaction the writes that follow to these objects
  /// ask nothing more of the repository (until an object is deleted), as
  /// after lookUpObjects: the counterpart of lookUpObjectIds for a caller
  /// about to write to them, a few thousand at a time. Objects already seen
  /// in the transaction (on a server, those lookUpObjectIds found) are not
  /// asked for again; their handles read the uuid when first asked.
  std::vector<ObjectRef> objectsById(const std::vector<ObjectId>& ids) const;
  /// The objects of `cls` (and its subclasses when `withSubclasses`), in id
  /// order.
  std::vector<ObjectRef> objectsOf(const ClassRef& cls, bool withSubclasses = true) const;
  std::size_t countObjects(const ClassRef& cls, bool withSubclasses = true) const;
  /// The objects without an owner, in id order.
  std::vector<ObjectRef> rootObjects() const;
  /// The links that objects hold through `property` (a non-composite link
  /// property, single or multi-valued) to any of `targets`, with a statement
  /// per 256 targets: by holder id, a holder's entries of a collection from
  /// the last to the first (each may be removed at its index in turn). Null
  /// handles among `targets` are skipped; UsageError for another property.
  std::vector<IncomingLink> linksInto(const PropertyRef& property, const std::vector<ObjectRef>& targets) const;
  /// Deletes each of `objects` as ObjectRef::deleteObject does, together:
  /// the statements run per table that holds them or links to them, not per
  /// object. Null handles and objects that no longer exist (deleted before,
  /// or owned by another of `objects`) are skipped. One atomic write.
  void deleteObjects(const std::vector<ObjectRef>& objects);
  /// As deleteObjects, and answers the links it cut in the objects it left:
  /// property by property, by holder, a holder's entries of a collection
  /// from the last to the first. A caller that keeps links in memory too
  /// cuts them there from this answer, without asking for them first
  /// (linksInto); finding them costs a statement per such property, none
  /// where no object that could hold one is left.
  /// With `keeps`, before anything goes, each object that one of `objects`
  /// owns without naming it is shown to `keeps` (which must not use the
  /// repository); one it answers true for becomes a root and stays, with
  /// what it owns. A caller whose memory took such an object out of its
  /// owner before destroying the owner keeps it so, for one statement.
  std::vector<CutLink> deleteObjectsCuttingLinks(const std::vector<ObjectRef>& objects,
                                                 const std::function<bool(const ObjectRef&)>& keeps = {});
  /// As deleteObjectsCuttingLinks, for the objects named by uuid, group by
  /// group: a uuid that no object of its group's class (or a subclass)
  /// has is skipped. Each uuid costs one lookup, made with the deletion
  /// (where handles cost a lookup first, and one more each when deleted).
  /// With `found`, appends the uuids of the objects the groups named.
  std::vector<CutLink> deleteIdentifiedObjects(const std::vector<IdentifiedObjects>& groups,
                                               const std::function<bool(const ObjectRef&)>& keeps = {},
                                               std::vector<boost::uuids::uuid>* found = nullptr);
  /// Deletes every object with all values and links. The metamodel stays.
  void deleteAllObjects();

 private:
  friend class DataModelRepository;
  friend class ObjectConstructor;
  explicit DataModelRef(detail::CorePtr core) : core_(std::move(core)) {}
  detail::CorePtr core_;
};

namespace detail {

template <ValueType V, class C>
struct ScalarTraitsBase {
  static constexpr ValueType type = V;
  using Canonical = C;
};

// Integers map by size and signedness, so that int/long/long long all work
// whatever the platform's int64_t is.
template <class T>
struct ScalarTraits<T, std::enable_if_t<std::is_integral<T>::value && !std::is_same<T, bool>::value>> {
  static_assert(sizeof(T) == 4 || sizeof(T) == 8, "only 32- and 64-bit integers are stored");
  static constexpr ValueType type = sizeof(T) == 4 ? (std::is_signed<T>::value ? ValueType::int32 : ValueType::uint32)
                                                   : (std::is_signed<T>::value ? ValueType::int64 : ValueType::uint64);
  using Canonical = std::conditional_t<
      sizeof(T) == 4, std::conditional_t<std::is_signed<T>::value, std::int32_t, std::uint32_t>,
      std::conditional_t<std::is_signed<T>::value, std::int64_t, std::uint64_t>>;
};
template <>
struct ScalarTraits<double> : ScalarTraitsBase<ValueType::real64, double> {};
template <>
struct ScalarTraits<std::u16string> : ScalarTraitsBase<ValueType::ustring, std::u16string> {};
template <>
struct ScalarTraits<std::string> : ScalarTraitsBase<ValueType::string, std::string> {};
template <>
struct ScalarTraits<boost::posix_time::ptime> : ScalarTraitsBase<ValueType::dateTime, boost::posix_time::ptime> {};
template <>
struct ScalarTraits<boost::uuids::uuid> : ScalarTraitsBase<ValueType::uuid, boost::uuids::uuid> {};
template <>
struct ScalarTraits<Boolean> : ScalarTraitsBase<ValueType::boolean, Boolean> {};
template <>
struct ScalarTraits<bool> : ScalarTraitsBase<ValueType::boolean, Boolean> {};
template <>
struct ScalarTraits<EnumeralRef> : ScalarTraitsBase<ValueType::enumeral, EnumeralRef> {};
template <>
struct ScalarTraits<ObjectRef> : ScalarTraitsBase<ValueType::object, ObjectRef> {};

// Single values.
template <class T>
struct ValueAccess {
  using Traits = ScalarTraits<T>;
  using Canonical = typename Traits::Canonical;
  static void get(const ObjectRef& object, const PropertyRef& property, T& out) {
    if constexpr (std::is_same<T, Canonical>::value) {
      if (!object.readSingle(property, Traits::type, &out)) out = T();
    } else {
      Canonical c{};
      out = object.readSingle(property, Traits::type, &c) ? T(c) : T();
    }
  }
  static void set(ObjectRef& object, const PropertyRef& property, const T& value) {
    if constexpr (std::is_same<T, Canonical>::value) {
      object.writeSingle(property, Traits::type, &value);
    } else {
      const Canonical c(value);
      object.writeSingle(property, Traits::type, &c);
    }
  }
};

template <class T>
struct ValueAccess<boost::optional<T>> {
  using Traits = ScalarTraits<T>;
  using Canonical = typename Traits::Canonical;
  static void get(const ObjectRef& object, const PropertyRef& property, boost::optional<T>& out) {
    Canonical c{};
    if (object.readSingle(property, Traits::type, &c)) {
      out = T(std::move(c));
    } else {
      out = boost::none;
    }
  }
  static void set(ObjectRef& object, const PropertyRef& property, const boost::optional<T>& value) {
    if (!value) {
      object.writeSingle(property, Traits::type, nullptr);
    } else if constexpr (std::is_same<T, Canonical>::value) {
      object.writeSingle(property, Traits::type, &*value);
    } else {
      const Canonical c(*value);
      object.writeSingle(property, Traits::type, &c);
    }
  }
};

template <class T>
struct ValueAccess<std::vector<T>> {
  using Traits = ScalarTraits<T>;
  using Canonical = typename Traits::Canonical;
  static void get(const ObjectRef& object, const PropertyRef& property, std::vector<T>& out) {
    if constexpr (std::is_same<T, Canonical>::value) {
      out.clear();
      object.readMany(property, Traits::type, &out);
    } else {
      std::vector<Canonical> c;
      object.readMany(property, Traits::type, &c);
      out.assign(c.begin(), c.end());
    }
  }
  static void set(ObjectRef& object, const PropertyRef& property, const std::vector<T>& value) {
    if constexpr (std::is_same<T, Canonical>::value) {
      object.writeMany(property, Traits::type, &value, false);
    } else {
      const std::vector<Canonical> c(value.begin(), value.end());
      object.writeMany(property, Traits::type, &c, false);
    }
  }
};

// Dense arrays: reads give a new array owned by the caller; writes copy.
template <>
struct ValueAccess<matrix::qxArray_tag*> {
  static void get(const ObjectRef& object, const PropertyRef& property, matrix::qxArray_tag*& out) {
    out = nullptr;
    object.readSingle(property, ValueType::qxarray, &out);
  }
  static void set(ObjectRef& object, const PropertyRef& property, matrix::qxArray_tag* value) {
    const matrix::qxArray_tag* c = value;
    object.writeSingle(property, ValueType::qxarray, &c);
  }
};
template <>
struct ValueAccess<const matrix::qxArray_tag*> {
  static void set(ObjectRef& object, const PropertyRef& property, const matrix::qxArray_tag* value) {
    object.writeSingle(property, ValueType::qxarray, &value);
  }
};
template <>
struct ValueAccess<std::vector<matrix::qxArray_tag*>> {
  static void get(const ObjectRef& object, const PropertyRef& property, std::vector<matrix::qxArray_tag*>& out) {
    out.clear();
    object.readMany(property, ValueType::qxarray, &out);
  }
  static void set(ObjectRef& object, const PropertyRef& property, const std::vector<matrix::qxArray_tag*>& value) {
    const std::vector<const matrix::qxArray_tag*> c(value.begin(), value.end());
    object.writeMany(property, ValueType::qxarray, &c, false);
  }
};
template <>
struct ValueAccess<std::vector<const matrix::qxArray_tag*>> {
  static void set(ObjectRef& object, const PropertyRef& property,
                  const std::vector<const matrix::qxArray_tag*>& value) {
    object.writeMany(property, ValueType::qxarray, &value, false);
  }
};

// Live collections.
template <>
struct ValueAccess<CollectionRef> {
  static void get(const ObjectRef& object, const PropertyRef& property, CollectionRef& out) {
    object.openCollection(property, ValueType::object, out);
  }
};
template <>
struct ValueAccess<EnumeralCollectionRef> {
  static void get(const ObjectRef& object, const PropertyRef& property, EnumeralCollectionRef& out) {
    object.openCollection(property, ValueType::enumeral, out);
  }
};
template <class T>
struct ValueAccess<BuiltinTypeCollectionRef<T>> {
  static void get(const ObjectRef& object, const PropertyRef& property, BuiltinTypeCollectionRef<T>& out) {
    object.openCollection(property, ScalarTraits<T>::type, out);
  }
};

}  // namespace detail

inline void ObjectRef::setPropertyValue(const PropertyRef& property, const std::vector<ObjectRef>& value,
                                        bool objectIsNew) {
  writeMany(property, ValueType::object, &value, objectIsNew);
}

}  // namespace vlt
