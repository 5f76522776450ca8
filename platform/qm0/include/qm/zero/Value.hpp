#pragma once
// Values: what a property holds. A Value has a type (the property's type, or
// the class of the element it holds), flags, the kind of its entries, and
// zero or more entries: none for an empty (absent) value, one for a
// single-valued property, any number for a multi-valued one.

#include <qm/zero/EntryType.hpp>
#include <qm/zero/meta/Metamodel.hpp>

#include <boost/container/small_vector.hpp>
#include <boost/date_time/posix_time/ptime.hpp>
#include <boost/none.hpp>
#include <boost/optional/optional.hpp>
#include <boost/uuid/uuid.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace qm::zero {

using StringToStringMap = std::map<std::u16string, std::u16string>;

/// A value of a datatype: one value per attribute of the datatype. Copies
/// share their fields until one of them is changed. Not thread-safe.
class QM0_API DataValue {
 public:
  /// A null data value (no type).
  DataValue() = default;
  /// A value of `type` with every attribute empty.
  explicit DataValue(const meta::DataType& type);

  const meta::DataType& getType() const noexcept { return type_; }
  /// The attribute's value (empty when never set). Throws
  /// qm0:messages:PropertyNotOfClass for an attribute of another type.
  Value get(const meta::Property& attribute) const;
  /// Throws qm0:messages:CannotCastIncompatibleTypes for a value of another
  /// type or of several entries for a single-valued attribute, and
  /// qm0:messages:UpperBoundExceeded for more entries than a multi-valued
  /// attribute's upper bound.
  void set(const meta::Property& attribute, const Value& value);

  friend QM0_API bool operator==(const DataValue& a, const DataValue& b);
  friend bool operator!=(const DataValue& a, const DataValue& b) { return !(a == b); }

 private:
  struct Fields;
  meta::DataType type_;
  std::shared_ptr<Fields> fields_;
};

/// A StringToStringMap entry: the map is shared between copies (it is never
/// changed in place), which keeps every entry small. Reads as the map.
class QM0_API StringMapEntry {
 public:
  StringMapEntry(const StringToStringMap& map) : map_(std::make_shared<const StringToStringMap>(map)) {}
  operator const StringToStringMap&() const noexcept { return *map_; }
  const StringToStringMap& get() const noexcept { return *map_; }
  friend bool operator==(const StringMapEntry& a, const StringMapEntry& b) {
    return a.map_ == b.map_ || *a.map_ == *b.map_;
  }
  friend bool operator!=(const StringMapEntry& a, const StringMapEntry& b) { return !(a == b); }

 private:
  std::shared_ptr<const StringToStringMap> map_;
};

/// A QxArray entry. Made from a `qxArray_tag*`, it borrows the array: the
/// caller keeps it alive while the value may be read, and may free it once
/// the value is stored (or dropped). When an element stores the value, it
/// stores its own copy of the array, shared by the values read from it and
/// freed with the last of them. Reads as `qxArray_tag*` (null for no array).
/// Equality compares the arrays' contents.
class QM0_API ArrayEntry {
 public:
  ArrayEntry(matrix::qxArray_tag* array) noexcept : array_(array) {}
  operator matrix::qxArray_tag*() const noexcept { return array_; }
  matrix::qxArray_tag* get() const noexcept { return array_; }
  /// True when the entry holds a copy of its own.
  bool isOwned() const noexcept { return owner_ != nullptr; }
  /// An entry owning a copy of this entry's array.
  ArrayEntry ownedCopy() const;
  friend QM0_API bool operator==(const ArrayEntry& a, const ArrayEntry& b) noexcept;
  friend bool operator!=(const ArrayEntry& a, const ArrayEntry& b) noexcept { return !(a == b); }

 private:
  matrix::qxArray_tag* array_;
  std::shared_ptr<matrix::qxArray_tag> owner_;
};

/// One entry of a value. Enumeration literals are held as std::int32_t (the
/// literal's value); ValueMeta::getEntryType tells them from Integer entries.
using Entry = std::variant<std::monostate, std::int32_t, std::uint32_t, std::int64_t, std::uint8_t, std::uint64_t,
                           double, std::u16string, std::string, boost::posix_time::ptime, boost::uuids::uuid, bool,
                           ArrayEntry, StringMapEntry, ModelElement, DataValue>;
/// A value's entries; one entry is held without allocating.
using Entries = boost::container::small_vector<Entry, 1>;

namespace detail {
// The entry alternative that stores a native type: integers by size and
// signedness, text literals as strings, handles as ModelElement.
template <class T, class = void>
struct EntryStorage {
  using type = T;
};
template <class T>
struct EntryStorage<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> && (sizeof(T) > 1)>> {
  using type = std::conditional_t<
      std::is_signed_v<T>, std::conditional_t<sizeof(T) == 4, std::int32_t, std::int64_t>,
      std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>;
};
template <>
struct EntryStorage<unsigned char> {
  using type = std::uint8_t;
};
template <>
struct EntryStorage<matrix::qxArray_tag*> {
  using type = ArrayEntry;
};
template <>
struct EntryStorage<const matrix::qxArray_tag*> {
  using type = ArrayEntry;
};
template <>
struct EntryStorage<StringToStringMap> {
  using type = StringMapEntry;
};
template <>
struct EntryStorage<const char16_t*> {
  using type = std::u16string;
};
template <>
struct EntryStorage<const char*> {
  using type = std::string;
};
template <>
struct EntryStorage<char16_t*> {
  using type = std::u16string;
};
template <>
struct EntryStorage<char*> {
  using type = std::string;
};
template <class T>
struct EntryStorage<T, std::enable_if_t<std::is_base_of_v<ModelElement, T>>> {
  using type = ModelElement;
};
template <class T>
using EntryStorageT = typename EntryStorage<std::decay_t<T>>::type;

template <class T, class Variant>
struct AlternativeIndex;
template <class T, class... Ts>
struct AlternativeIndex<T, std::variant<Ts...>> {
  static constexpr std::size_t value = [] {
    constexpr bool matches[] = {std::is_same_v<T, Ts>...};
    for (std::size_t i = 0; i < sizeof...(Ts); ++i)
      if (matches[i]) return i;
    return sizeof...(Ts);
  }();
};
template <class T>
inline constexpr std::size_t entryIndex = AlternativeIndex<EntryStorageT<T>, Entry>::value;
}  // namespace detail

/// What a value is: its type, flags and entry kind.
class QM0_API ValueMeta {
 public:
  /// Flag bits. A value built from native data is Present.
  enum : std::uint32_t { NoFlags = 0, Present = 1 };

  ValueMeta() = default;
  ValueMeta(meta::Type type, std::uint32_t flags, EntryType entryType)
      : type_(std::move(type)), flags_(flags), entryType_(entryType) {}

  const meta::Type& getType() const noexcept { return type_; }
  std::uint32_t getFlags() const noexcept { return flags_; }
  EntryType getEntryType() const noexcept { return entryType_; }

 private:
  meta::Type type_;
  std::uint32_t flags_ = NoFlags;
  EntryType entryType_ = EntryType::None;
};

/// A typed, possibly multi-valued, possibly empty value. A plain value type:
/// copies are independent (element entries share their elements). Not
/// thread-safe.
///
/// Typed reads are checked: reading an entry as a C++ type it does not hold
/// throws qm0:messages:CannotCastIncompatibleTypes with the qualified name of
/// the value's type; reading an entry that is not there (an empty value, or
/// an index past the end) throws qm0:messages:InvalidValue.
class QM0_API Value {
 public:
  /// A value without type and entries.
  Value() = default;
  /// The empty value of `type`.
  Value(const meta::Type& type, boost::none_t);
  /// A present value of `type` holding `native`. The native type must fit
  /// the type's entries (e.g. std::int32_t for Integer, std::int32_t for an
  /// enumeration literal value, ModelElement for a class, DataValue for a
  /// datatype); otherwise CannotCastIncompatibleTypes is thrown.
  template <class T>
  Value(const meta::Type& type, const T& native, std::uint32_t flags = ValueMeta::Present) {
    static_assert(detail::entryIndex<T> < std::variant_size_v<Entry>, "not a type a value can hold");
    init(type, flags, detail::entryIndex<T>);
    entries_.emplace_back(std::in_place_index<detail::entryIndex<T>>, detail::EntryStorageT<T>(native));
  }
  /// A value of `type` holding `natives` in order (present, possibly 0 entries).
  template <class T>
  Value(const meta::Type& type, const std::vector<T>& natives, std::uint32_t flags = ValueMeta::Present) {
    static_assert(detail::entryIndex<T> < std::variant_size_v<Entry>, "not a type a value can hold");
    init(type, flags, detail::entryIndex<T>);
    entries_.reserve(natives.size());
    for (const T& n : natives) entries_.emplace_back(std::in_place_index<detail::entryIndex<T>>, detail::EntryStorageT<T>(n));
  }
  /// The same, moving the natives in (element handles are not counted again).
  template <class T>
  Value(const meta::Type& type, std::vector<T>&& natives, std::uint32_t flags = ValueMeta::Present) {
    static_assert(detail::entryIndex<T> < std::variant_size_v<Entry>, "not a type a value can hold");
    init(type, flags, detail::entryIndex<T>);
    entries_.reserve(natives.size());
    for (auto&& n : natives)
      entries_.emplace_back(std::in_place_index<detail::entryIndex<T>>, detail::EntryStorageT<T>(std::move(n)));
  }
  /// A value holding one element, typed by the element's class; a null
  /// element gives a value without type and entries.
  explicit Value(const ModelElement& element);
  /// A value from its parts; the entries must match `meta` (not checked).
  Value(ValueMeta meta, Entries entries) : meta_(std::move(meta)), entries_(std::move(entries)) {}
  /// The same, read from the multi-valued reference `property` of `owner`:
  /// such a value can also be read as a ReferenceCollection
  /// (<qm/zero/ReferenceCollection.hpp>).
  Value(ValueMeta meta, Entries entries, const ModelElement& owner, const meta::Property& property)
      : meta_(std::move(meta)), entries_(std::move(entries)), owner_(owner), ownerProperty_(property) {}

  /// The empty value of the property's type.
  static Value createEmptyValue(const meta::Property& property);

  const ValueMeta& getMeta() const noexcept { return meta_; }
  const meta::Type& getType() const noexcept { return meta_.getType(); }
  bool isEmpty() const noexcept { return entries_.empty(); }
  std::size_t size() const noexcept { return entries_.size(); }
  const Entries& getEntries() const noexcept { return entries_; }
  Entries& getEntries() noexcept { return entries_; }

  /// The entry at `index` as a `T`.
  template <class T>
  T get(std::size_t index = 0) const {
    using S = detail::EntryStorageT<T>;
    const Entry& e = entryAt(index);
    if (const S* p = std::get_if<S>(&e)) return T(*p);
    throwCannotCast();
  }
  /// The only entry as a `T`, or none for an empty value.
  template <class T>
  boost::optional<T> getOptional() const {
    if (entries_.empty()) return boost::none;
    return get<T>(0);
  }
  /// Every entry as a `T`, in order.
  template <class T>
  std::vector<T> getAll() const {
    std::vector<T> out;
    out.reserve(entries_.size());
    for (std::size_t i = 0; i < entries_.size(); ++i) out.push_back(get<T>(i));
    return out;
  }
  ModelElement getElement(std::size_t index = 0) const { return get<ModelElement>(index); }
  /// The element and property the value was read from, when it was read from
  /// a multi-valued reference property; null otherwise.
  const ModelElement& getCollectionOwner() const noexcept { return owner_; }
  const meta::Property& getCollectionProperty() const noexcept { return ownerProperty_; }

  /// Appends one entry; throws CannotCastIncompatibleTypes when it does not
  /// fit the value's entries.
  template <class T>
  void append(const T& native) {
    static_assert(detail::entryIndex<T> < std::variant_size_v<Entry>, "not a type a value can hold");
    checkAppend(detail::entryIndex<T>);
    entries_.emplace_back(std::in_place_index<detail::entryIndex<T>>, detail::EntryStorageT<T>(native));
  }

  /// Same type (identity) and equal entries; elements compare by identity,
  /// arrays by contents. Flags are not compared.
  friend QM0_API bool operator==(const Value& a, const Value& b);
  friend bool operator!=(const Value& a, const Value& b) { return !(a == b); }

 private:
  void init(const meta::Type& type, std::uint32_t flags, std::size_t variantIndex);
  void checkAppend(std::size_t variantIndex);
  const Entry& entryAt(std::size_t index) const;
  [[noreturn]] void throwCannotCast() const;
  friend class ReferenceCollection;

  ValueMeta meta_;
  Entries entries_;
  ModelElement owner_;
  meta::Property ownerProperty_;
};

/// The entry kind a type's values hold (None for a null type).
QM0_API EntryType entryTypeOf(const meta::Type& type) noexcept;

}  // namespace qm::zero
