#pragma once
// The value types, described once. Every place that binds, reads, compares
// or walks values of a property asks this table instead of switching on the
// type, so that a new value type is one entry here and a new back end one
// mapping of the four stored forms (backend/Backend.hpp).
//
// A value is handled through a pointer to its canonical C++ type (see
// Object.hpp): std::int32_t, std::uint32_t, std::int64_t, std::uint64_t,
// double, std::u16string, std::string, ptime, uuid, Boolean,
// const matrix::qxArray_tag* (bind) / matrix::qxArray_tag* (read),
// EnumeralRef, ObjectRef; vectors are std::vector of these.

#include "backend/Backend.hpp"

#include <vlt/Types.hpp>

#include <cstdint>
#include <string>

namespace vlt::detail {

class Database;
class HandleAccess;
struct PropertyInfo;

/// One column value copied out of a row, read as its stored form.
struct Cell {
  bool null = true;
  std::int64_t integer = 0;
  double real = 0;
  std::string bytes;  ///< text and bytes
};

/// Reads column `column` of the current row as `form` into `cell`.
void capture(sql::Statement& statement, int column, sql::StoredForm form, Cell& cell);

/// What binding and reading a value need beyond the value: the repository
/// (named in errors; handles are made for it) and the property (its
/// enumeration or class is checked and given to handles); `property` may be
/// null.
struct ValueSite {
  const Database& database;
  const HandleAccess& handles;
  const PropertyInfo* property;
};

struct ValueTraits {
  ValueType type;
  const char* name;  ///< the built-in type name ("int32", ...); "" for enumeral and object
  sql::StoredForm form;
  /// Binds the value at `value` (not null) as parameter `index`. Throws
  /// UsageError when it does not fit the site's property (an enumeral of
  /// another enumeration, an object of another class or repository).
  void (*bind)(sql::Statement& statement, int index, const void* value, const ValueSite& site);
  /// Reads a cell that is not null into the value at `out`. Throws
  /// StorageError for stored bytes that cannot be the type.
  void (*read)(const Cell& cell, void* out, const ValueSite& site);
  /// Reads a cell that is not null into a value of its own and calls
  /// `use(value, context)` with it.
  void (*withValue)(const Cell& cell, const ValueSite& site, void (*use)(const void* value, void* context),
                    void* context);
  /// Appends the value of a cell that is not null to the vector at `vector`.
  void (*append)(const Cell& cell, void* vector, const ValueSite& site);
  /// True for a value that stands for nothing: a null handle or array.
  bool (*absent)(const void* value);
  /// A key that is equal exactly for values that are stored equal.
  std::string (*key)(const void* value);
  /// The number of values in the vector at `vector`, and one of them.
  std::size_t (*count)(const void* vector);
  const void* (*element)(const void* vector, std::size_t index);
};

const ValueTraits& traitsOf(ValueType type) noexcept;

/// The built-in value type named `name`; false when there is none.
bool builtinType(const std::string& name, ValueType& type) noexcept;

}  // namespace vlt::detail
