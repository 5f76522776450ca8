#pragma once
// The metamodel as the repository keeps it in memory: one info per class,
// property and enumeration, with the names of the tables and columns that
// hold their objects' values. The Schema owns them; handles point at them.

#include <vlt/Types.hpp>

#include <boost/uuid/uuid.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace vlt::detail {

struct ClassInfo;
struct ValueTraits;

struct EnumerationInfo {
  struct Literal {
    std::string name;
    std::int32_t value;
  };
  std::int64_t id = 0;
  std::string qualifiedName;
  std::string name;
  std::vector<Literal> literals;
  bool retired = false;  ///< created by a transaction that was rolled back
};

struct PropertyInfo {
  std::int64_t id = 0;
  ClassInfo* owner = nullptr;
  std::string name;
  std::string typeName;
  ValueType valueType = ValueType::int32;
  const ValueTraits* traits = nullptr;
  ClassInfo* typeClass = nullptr;
  EnumerationInfo* typeEnumeration = nullptr;
  std::uint32_t lower = 0;
  std::uint32_t upper = 1;
  bool composite = false;
  bool multi = false;
  bool ordered = false;
  bool optional = false;
  bool unique = true;
  std::string documentation;
  std::string opposite;
  std::string annotation;
  int association = 0;
  boost::uuids::uuid uuid{};
  std::string column;  ///< single, non-composite: its column in the owner's class table
  std::string table;   ///< multi, non-composite: its own table
  int rowColumn = -1;  ///< position of `column` among the owner's class-table columns
  bool retired = false;

  /// Where the values live: composite containment in the object table,
  /// collections in a table of their own, single values in the class table.
  bool inObjectTable() const noexcept { return composite; }
  bool inOwnTable() const noexcept { return !composite && multi; }
  bool inClassTable() const noexcept { return !composite && !multi; }
};

struct ClassInfo {
  std::int64_t id = 0;
  std::string qualifiedName;
  std::string name;
  std::string packageName;
  std::string table;
  std::vector<ClassInfo*> superclasses;
  std::vector<ClassInfo*> subclasses;
  std::vector<PropertyInfo*> properties;  ///< own, in creation order
  std::vector<ClassInfo*> lineage;        ///< this class, then every superclass once (depth first)
  int rowColumns = 0;                     ///< class-table columns (own single values)
  /// Changes whenever a property is added to this class or a superclass:
  /// statements that read the lineage's columns are made again.
  std::uint64_t layoutVersion = 0;
  bool retired = false;

  bool conformsTo(const ClassInfo* other) const noexcept {
    for (const ClassInfo* c : lineage) {
      if (c == other) return true;
    }
    return false;
  }
};

}  // namespace vlt::detail
