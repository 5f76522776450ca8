#pragma once
// The kinds of stored value: for each, what the framework holds, what the
// repository stores and under which type name, and how writes, loads and
// queries treat it. Every place that handles a value by its kind reads this
// table through visitKind, which calls a generic function with the kind's
// row and compiles to one switch: a new kind is one enumerator, one row and
// one case here.
//
// | kind                | framework type   | stored as      | type name | bulk | replay | query       |
// |---------------------|------------------|----------------|-----------|------|--------|-------------|
// | int32 ... boolean   | the standard one | its own column | "int32".. | yes  | yes    | value       |
// | qxarray             | QxArray          | the array      | "qxarray" | no   | no     | unsupported |
// | uint8               | UInteger8        | its text       | "ustring" | no   | no     | text        |
// | serializedPrimitive | any other with a | its text       | "ustring" | no   | no     | unsupported |
// |                     | serializer       |                |           |      |        |             |
// | serializedDatatype  | a datatype       | its JSON text  | "ustring" | no   | no     | uncompared  |
// | enumeration         | an enumeration   | an enumeral    | its name  | yes  | yes    | enumeral    |
// | reference           | a class          | a link         | its name  | no   | yes    | object      |
//
// UInteger8 has no column type of its own in the repository: it is stored as
// its serializer's decimal text everywhere, and a query compares that text
// (equal and not equal only: "200" sorts before "3").

#include "external/Metamodel.hpp"
#include "external/Repository.hpp"

#include <boost/date_time/posix_time/ptime.hpp>
#include <boost/optional/optional.hpp>
#include <boost/uuid/uuid.hpp>

#include <cstdint>
#include <string>

namespace matrix {
struct qxArray_tag;
}

namespace vlt_datasource {

enum class ValueKind : std::uint8_t {
  none,  // not stored (no repository type)
  int32,
  uint32,
  int64,
  uint64,
  real,
  ustring,
  string,
  dateTime,
  uuid,
  boolean,
  qxarray,
  uint8,
  serializedPrimitive,
  serializedDatatype,
  enumeration,
  reference,
  last = reference  // keep it the last kind: forEachKind runs up to it
};

/// How a value of a kind is held and written.
enum class ValueForm : std::uint8_t {
  none,           // nothing is stored
  builtin,        // a repository value type: Framework held, Stored stored
  array,          // a qxArray, stored as the array
  primitiveText,  // a primitive value as its property serializer's text
  datatypeText,   // a datatype value as the framework's JSON text
  enumeral,       // an enumeration literal as the stored enumeration's enumeral
  object,         // an element as its stored object
};

/// How a query constrains a property of a kind.
enum class QueryForm : std::uint8_t {
  value,        // compares the value, by every relation the repository has
  text,         // compares the stored text: equal and not equal only
  enumeral,     // is, or is not, one enumeral
  object,       // is, or holds, one object (not in a disjunction)
  unsupported,  // refused: UnsupportedPrimitiveType
  uncompared,   // no constraint at the top level, refused in a disjunction
};

/// One row of the table. `Cell` is what a new object's constructor reads;
/// `bulkLoadable` kinds are read with an object's row by its instance loader,
/// `replayable` ones take an ordered collection's history entry by entry.
template <ValueKind K, ValueForm F, class FrameworkT, class StoredT, class CellT, bool Bulk, bool Replay, QueryForm Q>
struct KindRow {
  static constexpr ValueKind kind = K;
  static constexpr ValueForm form = F;
  using Framework = FrameworkT;
  using Stored = StoredT;
  using Cell = CellT;
  static constexpr bool bulkLoadable = Bulk;
  static constexpr bool replayable = Replay;
  static constexpr QueryForm query = Q;
  /// The repository's type name; null where the type's qualified name is
  /// (enumerations, classes) or where nothing is stored.
  static constexpr const char* typeName = nullptr;
  /// The framework's standard type of this kind; null for kinds that
  /// several types share.
  static const qm::zero::meta::PrimitiveType* frameworkType() { return nullptr; }
};

template <ValueKind K, class T, class StoredT = T>
using BuiltinRow = KindRow<K, ValueForm::builtin, T, StoredT, boost::optional<T>, true, true, QueryForm::value>;
template <ValueKind K, ValueForm F, QueryForm Q>
using TextRow = KindRow<K, F, void, std::u16string, boost::optional<std::u16string>, false, false, Q>;

template <ValueKind K>
struct KindTraits;

// A row's repository type name and the standard type it is the kind of.
#define VLT_DATASOURCE_STANDARD(name, standardType)              \
  static constexpr const char* typeName = name;                  \
  static const qm::zero::meta::PrimitiveType* frameworkType() {  \
    return &qm::zero::meta::StandardTypes::standardType();       \
  }

template <>
struct KindTraits<ValueKind::none>
    : KindRow<ValueKind::none, ValueForm::none, void, void, void, false, false, QueryForm::uncompared> {};
template <>
struct KindTraits<ValueKind::int32> : BuiltinRow<ValueKind::int32, std::int32_t> {
  VLT_DATASOURCE_STANDARD("int32", integerMeta)
};
template <>
struct KindTraits<ValueKind::uint32> : BuiltinRow<ValueKind::uint32, std::uint32_t> {
  VLT_DATASOURCE_STANDARD("uint32", unlimitedNaturalMeta)
};
template <>
struct KindTraits<ValueKind::int64> : BuiltinRow<ValueKind::int64, std::int64_t> {
  VLT_DATASOURCE_STANDARD("int64", integer64Meta)
};
template <>
struct KindTraits<ValueKind::uint64> : BuiltinRow<ValueKind::uint64, std::uint64_t> {
  VLT_DATASOURCE_STANDARD("uint64", uinteger64Meta)
};
template <>
struct KindTraits<ValueKind::real> : BuiltinRow<ValueKind::real, double> {
  VLT_DATASOURCE_STANDARD("real64", realMeta)
};
template <>
struct KindTraits<ValueKind::ustring> : BuiltinRow<ValueKind::ustring, std::u16string> {
  VLT_DATASOURCE_STANDARD("ustring", stringMeta)
};
template <>
struct KindTraits<ValueKind::string> : BuiltinRow<ValueKind::string, std::string> {
  VLT_DATASOURCE_STANDARD("string", stdstringMeta)
};
template <>
struct KindTraits<ValueKind::dateTime> : BuiltinRow<ValueKind::dateTime, boost::posix_time::ptime> {
  VLT_DATASOURCE_STANDARD("DateTime", dateTimeMeta)
};
template <>
struct KindTraits<ValueKind::uuid> : BuiltinRow<ValueKind::uuid, boost::uuids::uuid> {
  VLT_DATASOURCE_STANDARD("UUID", uuidMeta)
};
// One byte holding 1 or 0.
template <>
struct KindTraits<ValueKind::boolean> : BuiltinRow<ValueKind::boolean, bool, vlt::Boolean> {
  VLT_DATASOURCE_STANDARD("bool", booleanMeta)
};
// The repository reads and writes arrays one at a time, through pointers of
// their own: not with an object's row, not as collection entries.
template <>
struct KindTraits<ValueKind::qxarray> : KindRow<ValueKind::qxarray, ValueForm::array, matrix::qxArray_tag*,
                                                matrix::qxArray_tag*, matrix::qxArray_tag*, false, false,
                                                QueryForm::unsupported> {
  VLT_DATASOURCE_STANDARD("qxarray", qxArrayMeta)
};
template <>
struct KindTraits<ValueKind::uint8> : TextRow<ValueKind::uint8, ValueForm::primitiveText, QueryForm::text> {
  VLT_DATASOURCE_STANDARD("ustring", uinteger8Meta)
};
// A host's serializer need not give one text per value: no comparison.
template <>
struct KindTraits<ValueKind::serializedPrimitive>
    : TextRow<ValueKind::serializedPrimitive, ValueForm::primitiveText, QueryForm::unsupported> {
  static constexpr const char* typeName = "ustring";
};
template <>
struct KindTraits<ValueKind::serializedDatatype>
    : TextRow<ValueKind::serializedDatatype, ValueForm::datatypeText, QueryForm::uncompared> {
  static constexpr const char* typeName = "ustring";
};
template <>
struct KindTraits<ValueKind::enumeration>
    : KindRow<ValueKind::enumeration, ValueForm::enumeral, std::int32_t, vlt::EnumeralRef,
              boost::optional<vlt::EnumeralRef>, true, true, QueryForm::enumeral> {};
template <>
struct KindTraits<ValueKind::reference> : KindRow<ValueKind::reference, ValueForm::object, void, vlt::ObjectRef,
                                                  vlt::ObjectRef, false, true, QueryForm::object> {};

#undef VLT_DATASOURCE_STANDARD

/// Calls `f` with the row of `kind` (a KindTraits<...> value) and returns
/// what it returns, the same type for every kind.
template <class F>
decltype(auto) visitKind(ValueKind kind, F&& f) {
  switch (kind) {
    case ValueKind::none: break;
    case ValueKind::int32: return f(KindTraits<ValueKind::int32>{});
    case ValueKind::uint32: return f(KindTraits<ValueKind::uint32>{});
    case ValueKind::int64: return f(KindTraits<ValueKind::int64>{});
    case ValueKind::uint64: return f(KindTraits<ValueKind::uint64>{});
    case ValueKind::real: return f(KindTraits<ValueKind::real>{});
    case ValueKind::ustring: return f(KindTraits<ValueKind::ustring>{});
    case ValueKind::string: return f(KindTraits<ValueKind::string>{});
    case ValueKind::dateTime: return f(KindTraits<ValueKind::dateTime>{});
    case ValueKind::uuid: return f(KindTraits<ValueKind::uuid>{});
    case ValueKind::boolean: return f(KindTraits<ValueKind::boolean>{});
    case ValueKind::qxarray: return f(KindTraits<ValueKind::qxarray>{});
    case ValueKind::uint8: return f(KindTraits<ValueKind::uint8>{});
    case ValueKind::serializedPrimitive: return f(KindTraits<ValueKind::serializedPrimitive>{});
    case ValueKind::serializedDatatype: return f(KindTraits<ValueKind::serializedDatatype>{});
    case ValueKind::enumeration: return f(KindTraits<ValueKind::enumeration>{});
    case ValueKind::reference: return f(KindTraits<ValueKind::reference>{});
  }
  return f(KindTraits<ValueKind::none>{});
}

/// Calls `f` with every kind's row.
template <class F>
void forEachKind(F&& f) {
  for (int kind = 0; kind <= int(ValueKind::last); ++kind) visitKind(ValueKind(kind), f);
}

struct PropertyStorage {
  ValueKind kind = ValueKind::none;
  /// The serializer of a primitiveText kind (the registry's, borrowed).
  const qm::zero::meta::PropertySerializer* serializer = nullptr;
};

/// How values of `type` are stored (a datatype only when `storedSerialized`);
/// `none` for types without a stored form.
PropertyStorage storageOfType(const qm::zero::meta::Type& type, bool storedSerialized);
/// How `property`'s values are stored; `none` also for a storage-excluded
/// property.
PropertyStorage storageOf(const qm::zero::meta::Property& property);
/// The repository's type name of `property`'s values; empty when they are
/// not stored.
std::string repositoryTypeName(const qm::zero::meta::Property& property);

}  // namespace vlt_datasource
