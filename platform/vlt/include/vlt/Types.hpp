#pragma once
// Basic value types of the repository: object ids, the one-byte Boolean, the
// value kinds a property can hold, and forward declarations of the handles.

#include <vlt/export.hpp>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>

namespace matrix {
struct qxArray_tag;
}

namespace vlt {

/// The repository-wide id of an object; 0 means "no object".
using ObjectId = std::int32_t;

/// A stored boolean: exactly one byte, holding the byte it was given (a
/// Boolean made from `true` holds 1). Converts from and to bool.
struct Boolean {
  std::uint8_t value = 0;

  constexpr Boolean() noexcept = default;
  constexpr Boolean(bool b) noexcept : value(b ? 1 : 0) {}  // NOLINT: implicit on purpose
  constexpr static Boolean fromByte(std::uint8_t byte) noexcept {
    Boolean b;
    b.value = byte;
    return b;
  }
  constexpr operator bool() const noexcept { return value != 0; }  // NOLINT
  friend constexpr bool operator==(Boolean a, Boolean b) noexcept { return a.value == b.value; }
  friend constexpr bool operator!=(Boolean a, Boolean b) noexcept { return a.value != b.value; }
};
static_assert(sizeof(Boolean) == 1, "Boolean is stored as one byte");

/// What a property holds. The type names used by appendPropertyToClass are in
/// brackets; a class name gives `object`, an enumeration name `enumeral`.
enum class ValueType : std::uint8_t {
  int32,     ///< ["int32"]  std::int32_t
  uint32,    ///< ["uint32"] std::uint32_t
  int64,     ///< ["int64"]  std::int64_t (also long long)
  uint64,    ///< ["uint64"] std::uint64_t (also unsigned long long)
  real64,    ///< ["real64"] double
  ustring,   ///< ["ustring"] std::u16string
  string,    ///< ["string"] std::string, any bytes
  dateTime,  ///< ["DateTime"] boost::posix_time::ptime, special values included
  uuid,      ///< ["UUID"] boost::uuids::uuid
  boolean,   ///< ["bool"] vlt::Boolean (bool accepted)
  qxarray,   ///< ["qxarray"] matrix::qxArray_tag*
  enumeral,  ///< an enumeration's name: vlt::EnumeralRef
  object,    ///< a class's name: vlt::ObjectRef
};

/// The type name of a built-in value type ("int32", ..., "qxarray"); the
/// empty string for enumeral and object.
VLT_API const char* builtinTypeName(ValueType type) noexcept;

class DataModelRepository;
class MetamodelRef;
class PackageRef;
class ClassRef;
class PropertyRef;
class EnumerationRef;
class EnumeralRef;
class DataModelRef;
class ObjectRef;
class CollectionRefBase;
class CollectionRef;
class EnumeralCollectionRef;
template <class T>
class BuiltinTypeCollectionRef;
class ObjectConstructor;

namespace detail {
class Core;
class HandleAccess;
struct ClassInfo;
struct PropertyInfo;
struct EnumerationInfo;
using CorePtr = std::shared_ptr<Core>;
}  // namespace detail

}  // namespace vlt
