#pragma once
// Dense numeric arrays: a class (element type), dimensions and column-major
// real data. Arrays are created, copied, compared, serialized and destroyed
// through these functions; the struct itself is opaque.

#include <array/export.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace matrix {

/// Element types.
enum class ClassId : std::uint8_t {
  Double = 0, Single, Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64, Logical, Char,
};

struct qxArray_tag;

/// The size in bytes of one element of `id`.
ARRAY_API std::size_t elementSize(ClassId id);

/// A new zero-filled array with the given dimensions (at least two; fewer are
/// padded with 1, as a scalar is 1x1). The caller owns it: release it with
/// destroyArray. Throws std::invalid_argument for an unknown class,
/// std::length_error when the size overflows.
ARRAY_API qxArray_tag* createNumericArray(ClassId id, const std::vector<std::size_t>& dimensions);

/// A deep copy of `array` (null gives null). The caller owns it.
ARRAY_API qxArray_tag* duplicateArray(const qxArray_tag* array);

/// Releases `array`; null is ignored.
ARRAY_API void destroyArray(qxArray_tag* array) noexcept;

ARRAY_API ClassId classId(const qxArray_tag* array) noexcept;
ARRAY_API const std::vector<std::size_t>& dimensions(const qxArray_tag* array) noexcept;
ARRAY_API std::size_t numberOfElements(const qxArray_tag* array) noexcept;
/// The element data, column-major, numberOfElements * elementSize bytes.
ARRAY_API void* data(qxArray_tag* array) noexcept;
ARRAY_API const void* data(const qxArray_tag* array) noexcept;

/// True when both are null, or both have the same class, dimensions and
/// element bytes.
ARRAY_API bool arraysEqual(const qxArray_tag* a, const qxArray_tag* b) noexcept;

/// A self-describing byte string of `array` (class, dimensions, data in
/// little-endian order), for storage.
ARRAY_API std::string serializeArray(const qxArray_tag* array);
/// The array serialized in `bytes`; the caller owns it. Throws
/// std::invalid_argument when `bytes` is not such a string.
ARRAY_API qxArray_tag* deserializeArray(std::string_view bytes);

/// Owns an array.
struct ArrayDeleter {
  void operator()(qxArray_tag* array) const noexcept { destroyArray(array); }
};
using ArrayPtr = std::unique_ptr<qxArray_tag, ArrayDeleter>;

}  // namespace matrix
