#pragma once
// Handles on the repository's metamodel: packages, classes, properties,
// enumerations and enumerals.
//
// Every handle is a small copyable value, null when default-constructed or
// when a lookup finds nothing. A handle keeps the repository's in-memory
// metamodel alive (not the connection): names and flags stay readable after
// the repository is closed. A handle made inside a transaction that was then
// rolled back is "retired": its names stay readable, lookups through it give
// null, and using it for data throws UsageError.
//
// Handles are not synchronised: use a repository and all its handles from one
// thread at a time.

#include <vlt/Types.hpp>

#include <boost/uuid/uuid.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace vlt {

/// One enumeration literal: a name and an integer value.
class VLT_API EnumeralRef {
 public:
  EnumeralRef() = default;
  bool isNull() const noexcept { return enumeration_ == nullptr; }
  explicit operator bool() const noexcept { return !isNull(); }
  /// The literal's integer value (0 for a null handle).
  std::int32_t id() const noexcept { return value_; }
  /// The literal's name; empty for a null handle.
  const std::string& name() const noexcept;
  EnumerationRef enumeration() const;
  friend bool operator==(const EnumeralRef& a, const EnumeralRef& b) noexcept {
    return a.enumeration_ == b.enumeration_ && a.index_ == b.index_;
  }
  friend bool operator!=(const EnumeralRef& a, const EnumeralRef& b) noexcept { return !(a == b); }

 private:
  friend class detail::HandleAccess;
  friend class EnumerationRef;
  EnumeralRef(detail::CorePtr core, const detail::EnumerationInfo* enumeration, std::size_t index,
              std::int32_t value)
      : core_(std::move(core)), enumeration_(enumeration), index_(index), value_(value) {}
  detail::CorePtr core_;
  const detail::EnumerationInfo* enumeration_ = nullptr;
  std::size_t index_ = 0;
  std::int32_t value_ = 0;
};

/// An enumeration: a qualified name and its enumerals in creation order.
class VLT_API EnumerationRef {
 public:
  EnumerationRef() = default;
  bool isNull() const noexcept { return info_ == nullptr; }
  explicit operator bool() const noexcept { return !isNull(); }
  /// UTF-8 names; empty for a null handle.
  const std::string& qualifiedName() const noexcept;
  const std::string& name() const noexcept;
  /// The first enumeral whose value is `value`; null when there is none (or
  /// for a null handle).
  EnumeralRef findEnumeral(int value) const;
  /// The enumeral named `name`; null when there is none.
  EnumeralRef findEnumeralByName(const std::string& name) const;
  std::vector<EnumeralRef> enumerals() const;
  friend bool operator==(const EnumerationRef& a, const EnumerationRef& b) noexcept { return a.info_ == b.info_; }
  friend bool operator!=(const EnumerationRef& a, const EnumerationRef& b) noexcept { return a.info_ != b.info_; }

 private:
  friend class detail::HandleAccess;
  friend class EnumeralRef;
  friend class PropertyRef;
  EnumerationRef(detail::CorePtr core, const detail::EnumerationInfo* info) : core_(std::move(core)), info_(info) {}
  detail::CorePtr core_;
  const detail::EnumerationInfo* info_ = nullptr;
};

/// A property, declared by exactly one class (its owning class) and inherited
/// by that class's subclasses.
class VLT_API PropertyRef {
 public:
  PropertyRef() = default;
  bool isNull() const noexcept { return info_ == nullptr; }
  explicit operator bool() const noexcept { return !isNull(); }

  /// The name (UTF-8); empty for a null handle. The accessors below give
  /// false, 0 or null handles for a null handle.
  const std::string& name() const noexcept;
  /// The type name given at creation ("int32", ..., a class or enumeration
  /// qualified name).
  const std::string& typeName() const noexcept;
  ValueType valueType() const noexcept;
  /// The class of an object-valued property; null for other properties.
  ClassRef typeClass() const;
  /// The enumeration of an enumeral-valued property; null for others.
  EnumerationRef typeEnumeration() const;
  ClassRef owningClass() const;
  std::uint32_t lowerBound() const noexcept;
  /// 0xFFFFFFFF (or any value of 2 or more) for a collection.
  std::uint32_t upperBound() const noexcept;
  /// The property owns the objects it refers to: they are deleted with the
  /// owner and report it through ObjectRef::getOwnership.
  bool isComposite() const noexcept;
  /// The upper bound is 2 or more: the value is a collection.
  bool isMultiValue() const noexcept;
  /// A collection whose order is kept (false for single values).
  bool isOrdered() const noexcept;
  /// The single value may be absent (stored NULL).
  bool valueIsOptional() const noexcept;
  /// A collection may not hold one value twice (always true for single values).
  bool isUnique() const noexcept;
  /// The three free texts given at creation: documentation, the name of the
  /// opposite property (empty: the association is unidirectional), and an
  /// annotation.
  const std::string& documentation() const noexcept;
  const std::string& oppositeName() const noexcept;
  const std::string& annotation() const noexcept;
  const boost::uuids::uuid& uuid() const noexcept;
  /// The repository-wide id; 0 for a null handle.
  std::int64_t id() const noexcept;

  friend bool operator==(const PropertyRef& a, const PropertyRef& b) noexcept { return a.info_ == b.info_; }
  friend bool operator!=(const PropertyRef& a, const PropertyRef& b) noexcept { return a.info_ != b.info_; }
  friend bool operator<(const PropertyRef& a, const PropertyRef& b) noexcept { return a.id() < b.id(); }

 private:
  friend class detail::HandleAccess;
  friend class ObjectRef;
  friend class ObjectConstructor;
  friend class CollectionRefBase;
  friend class ClassRef;
  PropertyRef(detail::CorePtr core, const detail::PropertyInfo* info) : core_(std::move(core)), info_(info) {}
  detail::CorePtr core_;
  const detail::PropertyInfo* info_ = nullptr;
};

/// A class: a qualified name ("a.b.Name", the package is "a.b"), its
/// superclasses and the properties it declares.
class VLT_API ClassRef {
 public:
  ClassRef() = default;
  bool isNull() const noexcept { return info_ == nullptr; }
  explicit operator bool() const noexcept { return !isNull(); }

  /// The last segment of the qualified name ("Name" for "a.b.Name"). Not
  /// unique: two packages may each have a class "Name". Empty for null.
  const std::string& name() const noexcept;
  /// The qualified name (UTF-8), unique in the repository. Empty for null.
  const std::string& qualifiedName() const noexcept;
  /// The package: the qualified name up to its last ".", empty when none.
  const std::string& packageName() const noexcept;
  /// The repository-wide id; 0 for a null handle.
  std::int64_t id() const noexcept;

  /// The property `name` declared by this class or by one of its
  /// superclasses (searched depth first, in superclass order); null when
  /// there is none.
  PropertyRef findProperty(const std::string& name) const;
  /// The properties this class declares, in creation order.
  std::vector<PropertyRef> ownProperties() const;
  /// Its own properties and the inherited ones, superclasses first.
  std::vector<PropertyRef> allProperties() const;
  std::vector<ClassRef> superclasses() const;
  /// True when `other` is this class or one of its (transitive) superclasses.
  bool conformsTo(const ClassRef& other) const noexcept;

  friend bool operator==(const ClassRef& a, const ClassRef& b) noexcept { return a.info_ == b.info_; }
  friend bool operator!=(const ClassRef& a, const ClassRef& b) noexcept { return a.info_ != b.info_; }
  /// Orders by id (null first), so that classes can fill a std::set.
  friend bool operator<(const ClassRef& a, const ClassRef& b) noexcept { return a.id() < b.id(); }

 private:
  friend class detail::HandleAccess;
  friend class ObjectRef;
  friend class ObjectConstructor;
  friend class DataModelRepository;
  friend class DataModelRef;
  friend class PropertyRef;
  ClassRef(detail::CorePtr core, const detail::ClassInfo* info) : core_(std::move(core)), info_(info) {}
  detail::CorePtr core_;
  const detail::ClassInfo* info_ = nullptr;
};

/// The classes whose qualified names share one package prefix.
class VLT_API PackageRef {
 public:
  PackageRef() = default;
  bool isNull() const noexcept { return !core_; }
  /// The package name: the qualified-name prefix ("" for classes without one).
  const std::string& name() const noexcept { return name_; }
  /// Its classes in creation order.
  std::vector<ClassRef> classes() const;

 private:
  friend class MetamodelRef;
  PackageRef(detail::CorePtr core, std::string name) : core_(std::move(core)), name_(std::move(name)) {}
  detail::CorePtr core_;
  std::string name_;
};

/// The metamodel of one repository. Lookups answer from memory; a name not
/// found there is looked up again in the database (another client may have
/// added it) before null is returned.
class VLT_API MetamodelRef {
 public:
  MetamodelRef() = default;
  bool isNull() const noexcept { return !core_; }
  /// Every package in name order ("" first when classes have no package).
  std::vector<PackageRef> packages() const;
  /// Every class in creation order.
  std::vector<ClassRef> classes() const;
  std::vector<EnumerationRef> enumerations() const;
  /// The class of this qualified name (UTF-8); null when there is none.
  ClassRef findClass(const std::string& qualifiedName) const;
  /// The enumeration of this qualified name; null when there is none.
  EnumerationRef findEnumeration(const std::string& qualifiedName) const;

 private:
  friend class DataModelRepository;
  explicit MetamodelRef(detail::CorePtr core) : core_(std::move(core)) {}
  detail::CorePtr core_;
};

}  // namespace vlt
