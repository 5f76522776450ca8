#pragma once
// The generated Java-like model (JavaModel.hpp) on the repository side: the
// classes, properties and enumerations the data source makes for the java
// package, a writer that puts the generated elements into a new repository
// file through the repository's API alone, and a check of what a file holds
// against the generator.

#include "JavaModel.hpp"

#include <boost/uuid/uuid.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace java_model {

// One property as the data source maps it (of the uniform shape's
// metamodel): a class's qualified name or a repository type name
// ("ustring", "int32", "int64", "bool") or an enumeration's qualified name,
// the bounds and the flags.
struct PropertyLayout {
  const char* name;
  const char* type;
  std::uint32_t lower, upper;
  bool composite, ordered, optional, unique;
};
struct ClassLayout {
  Kind kind;
  std::vector<PropertyLayout> properties;  // in name order, as the data source appends them
};
struct EnumerationLayout {
  const char* name;
  std::vector<std::pair<std::string, int>> literals;  // in name order
};
const std::vector<ClassLayout>& classLayouts();
const std::vector<EnumerationLayout>& enumerationLayouts();

// The family and version the data source records for the java package.
inline const char16_t* const family = u"java";
inline const char16_t* const version = u"1";

// Writes the `elements` generated elements into the new SQLite file `path`
// as a program would that uses the repository alone: opened as the data
// source opens a file (the base metamodel `baseMetamodel`, created when
// missing), then in one transaction the enumerations, the classes and their
// properties, the package-version record, one id allocation for all
// elements, one ObjectConstructor per class with bound cells and composite
// membership, the reference collections of each new object written whole;
// committed and closed.
void writeThroughRepository(const std::string& path, const std::string& baseMetamodel, std::size_t elements,
                            std::uint64_t seed = defaultSeed);

// One element's values as a reader found them, for the check sums. Targets
// are named by uuid; a null uuid is no owner or no target.
struct ElementValues {
  Kind kind = Kind::package;
  boost::uuids::uuid uuid{};
  boost::uuids::uuid owner{};
  const char* owningProperty = "";  // the owner's composite property, "" for a root
  std::uint64_t position = 0;       // in the owner's collection
  std::u16string name;              // a statement's text
  bool isAbstract = false;
  std::int64_t sourceSize = 0;
  boost::uuids::uuid target{};              // a class's superclass, a method's return type
  std::vector<boost::uuids::uuid> links;    // implements (in order), calls (in any order)
  std::vector<boost::uuids::uuid> uses;     // a method's uses (in any order; skewed shape only)
  std::int32_t visibility = 0, line = 0, statementKind = 0;
};

// What a check sum covers: everything, or all but the reference collections
// (implements, calls, uses, usedBy).
enum class Fields { all, singleValues };

// One element's share of a check sum: its kind, uuid, owner's uuid, owning
// property and position, and the values of its kind (references as the
// target's uuid, an ordered collection in order, an unordered one as a sum)
// folded together. Sums of these do not depend on the order in which a
// reader gives its elements.
std::uint64_t checksumOf(const ElementValues& values, Fields fields = Fields::all);

// One entry of an opposite collection: `referrer` in the usedBy of
// `holder`. A reader of the opposite end sums these over every entry; the
// generator's side is usedByChecksum. Apart from checksumOf, since an
// element's opposite collection fills only as later elements refer to it.
std::uint64_t oppositeEntry(const boost::uuids::uuid& holder, const boost::uuids::uuid& referrer);
// The entries that the method `values` puts into the usedBy of the classes
// it uses: the sum of oppositeEntry over them (0 for other kinds).
std::uint64_t usedByChecksum(const ElementValues& values);

// The values of the generated element `e`.
void valuesOf(const Element& e, std::uint64_t seed, ElementValues& out);

// The name of the composite property of the owner that holds an element of
// `kind` ("packages" for a package, "classes", "methods", "statements").
const char* owningPropertyName(Kind kind);

// What a check found in a file: objects per kind and the check sum of their
// contents (see expectedChecksum).
struct Contents {
  Counts counts;
  std::uint64_t checksum = 0;
};

// The check sum of the generated elements with uniform references: the sum
// of checksumOf over all of them, so that the order in which a file gives
// its objects does not matter.
std::uint64_t expectedChecksum(std::size_t elements, std::uint64_t seed = defaultSeed);

// Reads the file at `path` back through the repository and throws
// std::runtime_error (saying what differs) unless it holds the java
// package's classes, properties and enumerations as classLayouts() and
// enumerationLayouts() say, one package-version record of the java family,
// and exactly the generated objects with their values and links. Uniform
// references (their metamodel's layout), as expectedChecksum.
Contents checkRepository(const std::string& path, std::size_t elements, std::uint64_t seed = defaultSeed);

}  // namespace java_model
