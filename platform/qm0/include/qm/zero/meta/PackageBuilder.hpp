#pragma once

#include <qm/zero/meta/Metamodel.hpp>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qm::zero::meta {

/// Defines one package: its types, their properties and the opposite pairs.
/// The handles it returns may be used to define further objects of the same
/// package at once; elements of its classes can be created only after
/// `build()`. Objects of other, complete packages (superclasses, property
/// types) may be referred to; that package then lives as long as this one.
/// Opposite pairs and qualifiers stay within the package.
///
/// Every `add` throws std::invalid_argument for an empty name, a name already
/// used in its scope (types in the package, attributes in a type and its
/// superclasses), a null or incomplete type, or an owner of another package;
/// and std::logic_error after `build()`. Not thread-safe.
class QM0_API PackageBuilder {
 public:
  /// `name` is the qualifier of the package's types ("geo" gives "geo.Shape";
  /// dots are allowed). The URI is MetaRegistry::composeUri(version, family).
  PackageBuilder(std::u16string name, std::u16string family, std::u16string version);
  ~PackageBuilder();
  PackageBuilder(const PackageBuilder&) = delete;
  PackageBuilder& operator=(const PackageBuilder&) = delete;

  /// A class; without a superclass it derives from ModelElement::metaClass().
  Class addClass(std::u16string name, const Class& superclass = Class(), bool isAbstract = false);
  DataType addDataType(std::u16string name);
  /// An enumeration with its literals (name, value); names must be distinct.
  Enum addEnum(std::u16string name, const std::vector<std::pair<std::u16string, std::int32_t>>& literals);
  /// A primitive type whose values hold entries of `entryType` (a primitive
  /// entry type: not None, EnumLiteral, Element or DataValue).
  PrimitiveType addPrimitiveType(std::u16string name, EntryType entryType);
  /// A property of `owner` (a class or datatype of this package). Throws
  /// std::invalid_argument also when lower > upper, upper is 0, composite is
  /// asked for a type that is not a class, or a datatype attribute is a
  /// reference.
  Property addProperty(const StructuredType& owner, std::u16string name, const Type& type,
                       const PropertyOptions& options = PropertyOptions());
  /// Makes `a` and `b` the two ends of one bidirectional reference: each is
  /// typed by a class to which the other's owner conforms; at most one is
  /// composite; neither has an opposite yet.
  void setOpposite(const Property& a, const Property& b);
  /// Makes `qualifier` the qualifier of `property` (both of this package).
  void setQualifiedBy(const Property& property, const Property& qualifier);

  /// Completes the package (attribute layout, positions) and returns it. The
  /// builder cannot be used afterwards. Registering the package is a separate
  /// step (MetaRegistry::registerPackage).
  Package build();

 private:
  friend struct BuiltinPackage;
  // The framework's own package: unqualified names, metaclasses of its own.
  struct BuiltinTag {};
  explicit PackageBuilder(BuiltinTag);
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qm::zero::meta
