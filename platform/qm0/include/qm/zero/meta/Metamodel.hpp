#pragma once
// The metamodel: packages, classes, datatypes, enumerations, primitive types
// and properties. Every metamodel object is a ModelElement whose class is its
// metaclass (`meta::Class::metaClass()` for classes, and so on), so a type's
// kind is tested by identity: `type.getMetaClass() == meta::Enum::metaClass()`.
//
// Handles are counted; their operations are reached through `->`, which
// gives the object's `Impl` (`cls->getSuperclass()`, `prop->getUpper()`).
// Metamodel objects are built with a PackageBuilder and never change after
// PackageBuilder::build(); they may then be read from several threads. Every
// object of a package lives as long as any handle to the package or to one
// of its objects.

#include <qm/zero/EntryType.hpp>
#include <qm/zero/ModelElement.hpp>

#include <boost/optional/optional.hpp>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qm::zero {

/// The shared part of every element: identity, class and the count. Model
/// elements and metamodel objects derive from it inside the framework.
class QM0_API ModelElement::Impl {
 public:
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
  /// Destroyed by the last handle (or by its package); never delete one yourself.
  virtual ~Impl();

  const boost::uuids::uuid& getUUID() const noexcept { return uuid_; }
  meta::Class getMetaClass() const;
  /// True for packages, types and properties.
  bool isMetaObject() const noexcept { return kind_ == Kind::Meta; }
  /// The class as a raw pointer, for identity tests without counting.
  const Impl* getMetaClassImpl() const noexcept { return metaClass_; }

 protected:
  enum class Kind : std::uint8_t { Element, Meta };
  /// `countOwner` is the object whose count covers this one (itself when
  /// null): a metamodel object is counted on its package.
  Impl(Kind kind, const Impl* metaClass, const boost::uuids::uuid& uuid, const Impl* countOwner) noexcept;
  /// For an element whose class is refined once it is loaded.
  void setMetaClassImpl(const Impl* metaClass) noexcept { metaClass_ = metaClass; }

 private:
  friend class qm::zero::ModelElement;
  friend class meta::PackageBuilder;
  friend struct meta::BuiltinPackage;
  mutable std::atomic<std::uint32_t> refs_{0};
  Kind kind_;
  // The object whose count covers this one; null for the framework's own
  // package (standard types, metaclasses), which lives for the whole program
  // and is not counted: values of standard types are made and dropped in
  // every change, and a counted handle costs two atomic operations.
  const Impl* countOwner_;
  const Impl* metaClass_;
  boost::uuids::uuid uuid_;
};

namespace meta {

/// Upper bound of a property without limit.
inline constexpr std::uint32_t unbounded = std::numeric_limits<std::uint32_t>::max();

#define QM0_META_HANDLE(Name, Base)                           \
 public:                                                      \
  class Impl;                                                 \
  Name() noexcept = default;                                  \
  explicit Name(const Impl* impl) noexcept;                   \
  const Impl* operator->() const noexcept;                    \
  const Impl& operator*() const noexcept;                     \
  /** `element` as a Name, null when it is not one. */        \
  static Name downcast(const ModelElement& element) noexcept; \


class QM0_API NamedElement : public ModelElement {
  QM0_META_HANDLE(NamedElement, ModelElement)
};
class QM0_API Type : public NamedElement {
  QM0_META_HANDLE(Type, NamedElement)
};
class QM0_API PrimitiveType : public Type {
  QM0_META_HANDLE(PrimitiveType, Type)
  static Class metaClass();
};
class QM0_API StructuredType : public Type {
  QM0_META_HANDLE(StructuredType, Type)
};
class QM0_API Class : public StructuredType {
  QM0_META_HANDLE(Class, StructuredType)
  /// The metaclass of classes.
  static Class metaClass();
};
class QM0_API DataType : public StructuredType {
  QM0_META_HANDLE(DataType, StructuredType)
  static Class metaClass();
};
class QM0_API Enum : public Type {
  QM0_META_HANDLE(Enum, Type)
  static Class metaClass();
};
class QM0_API TypedElement : public NamedElement {
  QM0_META_HANDLE(TypedElement, NamedElement)
};
class QM0_API Property : public TypedElement {
  QM0_META_HANDLE(Property, TypedElement)
  static Class metaClass();
};
class QM0_API Package : public NamedElement {
  QM0_META_HANDLE(Package, NamedElement)
  static Class metaClass();
};

#undef QM0_META_HANDLE

/// A read-only view of named metamodel objects, ordered by name (UTF-16 code
/// unit order). Iterating yields (name, handle) pairs. Valid as long as the
/// object it came from.
template <class T>
class ElementMap {
 public:
  using Entry = std::pair<std::u16string, const typename T::Impl*>;
  using Storage = std::vector<Entry>;

  class const_iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = std::pair<const std::u16string&, T>;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = value_type;
    explicit const_iterator(typename Storage::const_iterator it) : it_(it) {}
    value_type operator*() const { return value_type(it_->first, T(it_->second)); }
    /// The object without a counted handle, for walks that only look.
    const typename T::Impl* impl() const noexcept { return it_->second; }
    const_iterator& operator++() { ++it_; return *this; }
    const_iterator operator++(int) { const_iterator old = *this; ++it_; return old; }
    friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.it_ == b.it_; }
    friend bool operator!=(const const_iterator& a, const const_iterator& b) { return a.it_ != b.it_; }

   private:
    typename Storage::const_iterator it_;
  };

  explicit ElementMap(const Storage& storage) noexcept : storage_(&storage) {}
  const_iterator begin() const { return const_iterator(storage_->begin()); }
  const_iterator end() const { return const_iterator(storage_->end()); }
  std::size_t size() const noexcept { return storage_->size(); }
  bool empty() const noexcept { return storage_->empty(); }
  /// The object named `name`; null when there is none.
  T find(const std::u16string& name) const;

 private:
  const Storage* storage_;
};

class QM0_API NamedElement::Impl : public ModelElement::Impl {
 public:
  const std::u16string& getName() const noexcept { return name_; }
  /// The package's name, a dot and the name ("geo.Shape"); the name alone for
  /// the framework's own types ("ModelElement", "Integer") and for a package.
  const std::u16string& getQualifiedName() const noexcept { return qualifiedName_; }

 protected:
  Impl(const ModelElement::Impl* metaClass, const ModelElement::Impl* countOwner, std::u16string name,
       std::u16string qualifiedName);

 private:
  std::u16string name_;
  std::u16string qualifiedName_;
};

class QM0_API Type::Impl : public NamedElement::Impl {
 public:
  /// The package that defines the type.
  Package getPackage() const;
  const Package::Impl* getPackageImpl() const noexcept { return package_; }
  /// Whether a value whose type is `other` may be stored where this type is
  /// expected: identity, or for classes a subclass.
  bool isAssignableFrom(const Type::Impl* other) const noexcept;

 protected:
  Impl(const ModelElement::Impl* metaClass, const Package::Impl* package, std::u16string name);

 private:
  const Package::Impl* package_;
};

class QM0_API PrimitiveType::Impl : public Type::Impl {
 public:
  /// The kind of entry that values of this type hold.
  EntryType getEntryType() const noexcept { return entryType_; }

 private:
  friend class PackageBuilder;
  friend struct BuiltinPackage;
  Impl(const ModelElement::Impl* metaClass, const Package::Impl* package, std::u16string name, EntryType entryType);
  EntryType entryType_;
};

class QM0_API StructuredType::Impl : public Type::Impl {
 public:
  /// The attributes declared by this type (not inherited ones), by name.
  ElementMap<Property> getOwnedAttributes() const noexcept { return ElementMap<Property>(attributes_); }
  /// The attribute named `name` declared here or, for a class, on a
  /// superclass (the nearest wins); null when there is none.
  Property findProperty(const std::u16string& name) const;
  /// All attributes, the root class's first, each class's in name order.
  std::vector<Property> getAllAttributes() const;
  /// Number of attributes including inherited ones.
  std::uint32_t getAttributeCount() const noexcept { return slotCount_; }

 protected:
  Impl(const ModelElement::Impl* metaClass, const Package::Impl* package, std::u16string name);

 private:
  friend class PackageBuilder;
  friend class Property::Impl;
  const StructuredType::Impl* base() const noexcept;
  ElementMap<Property>::Storage attributes_;
  std::uint32_t slotCount_ = 0;
};

class QM0_API Class::Impl : public StructuredType::Impl {
 public:
  /// The superclass; null only for the root class ModelElement and for
  /// metaclasses.
  Class getSuperclass() const;
  const Class::Impl* getSuperclassImpl() const noexcept { return superclass_; }
  bool isAbstract() const noexcept { return abstract_; }
  /// True when this class is `other` or a subclass of it.
  bool conformsTo(const Class::Impl* other) const noexcept;
  bool conformsTo(const Class& other) const noexcept { return conformsTo(other.operator->()); }
  /// A builder of elements of this class in `model`
  /// (<qm/zero/ModelElementBuilder.hpp>). Throws std::invalid_argument for a
  /// null model, an abstract class or one of an unfinished package.
  std::unique_ptr<ModelElement::Builder> instantiateBuilder(const Model& model) const;
  /// The slots of the multi-valued references whose contents are deferred,
  /// inherited ones included; known once the package is built.
  const std::vector<std::uint32_t>& getDeferredCollectionSlots() const noexcept { return deferredSlots_; }

 private:
  friend class PackageBuilder;
  friend class StructuredType::Impl;
  friend struct BuiltinPackage;
  Impl(const Package::Impl* package, std::u16string name, const Class::Impl* superclass, bool isAbstract);
  const Class::Impl* superclass_;
  bool abstract_;
  std::vector<std::uint32_t> deferredSlots_;
};

class QM0_API DataType::Impl : public StructuredType::Impl {
 private:
  friend class PackageBuilder;
  Impl(const Package::Impl* package, std::u16string name);
};

class QM0_API Enum::Impl : public Type::Impl {
 public:
  /// Literal names to values, walked by name.
  const std::map<std::u16string, std::int32_t>& getLiterals() const noexcept { return literals_; }
  /// The value of the literal `name`; none when there is no such literal.
  boost::optional<std::int32_t> getLiteralValue(const std::u16string& name) const;
  /// The name of the first literal (by name) with `value`; none when none has it.
  boost::optional<std::u16string> getLiteralName(std::int32_t value) const;

 private:
  friend class PackageBuilder;
  Impl(const Package::Impl* package, std::u16string name, std::map<std::u16string, std::int32_t> literals);
  std::map<std::u16string, std::int32_t> literals_;
};

class QM0_API TypedElement::Impl : public NamedElement::Impl {
 public:
  Type getType() const;
  const Type::Impl* getTypeImpl() const noexcept { return type_; }

 protected:
  Impl(const ModelElement::Impl* metaClass, const ModelElement::Impl* countOwner, std::u16string name,
       std::u16string qualifiedName, const Type::Impl* type);

 private:
  const Type::Impl* type_;
};

/// The attributes of a property as a host states them when it defines the
/// property. Defaults: optional single value (0..1), unordered, not
/// composite, unique, stored, loaded eagerly, position in declaration order.
struct PropertyOptions {
  std::uint32_t lower = 0;
  std::uint32_t upper = 1;
  bool ordered = false;
  bool composite = false;
  bool unique = true;
  /// Orders a class's properties for storage; -1 gives the declaration order.
  std::int32_t positionIndex = -1;
  bool notStored = false;         ///< storage-exclusion: never written to a data source
  bool notLoaded = false;         ///< load-exclusion: with notStored, not loaded either
  bool storedSerialized = false;  ///< a datatype value stored as text
  bool deferredContents = false;  ///< a reference collection loaded on demand
  bool valueOptional = false;     ///< the stored value may be absent

  PropertyOptions& bounds(std::uint32_t l, std::uint32_t u) { lower = l; upper = u; return *this; }
  PropertyOptions& setOrdered(bool b = true) { ordered = b; return *this; }
  PropertyOptions& setComposite(bool b = true) { composite = b; return *this; }
  PropertyOptions& setUnique(bool b = true) { unique = b; return *this; }
  PropertyOptions& setPositionIndex(std::int32_t i) { positionIndex = i; return *this; }
  PropertyOptions& setNotStored(bool b = true) { notStored = b; return *this; }
  PropertyOptions& setNotLoaded(bool b = true) { notLoaded = b; return *this; }
  PropertyOptions& setStoredSerialized(bool b = true) { storedSerialized = b; return *this; }
  PropertyOptions& setDeferredContents(bool b = true) { deferredContents = b; return *this; }
  PropertyOptions& setValueOptional(bool b = true) { valueOptional = b; return *this; }
};

class QM0_API Property::Impl : public TypedElement::Impl {
 public:
  /// The class or datatype that declares the property.
  StructuredType getOwningType() const;
  const StructuredType::Impl* getOwningTypeImpl() const noexcept { return owningType_; }
  std::uint32_t getLower() const noexcept { return options_.lower; }
  /// `meta::unbounded` when there is no limit.
  std::uint32_t getUpper() const noexcept { return options_.upper; }
  bool isMultiValued() const noexcept { return options_.upper > 1; }
  bool isOrdered() const noexcept { return options_.ordered; }
  /// The property owns the elements it refers to.
  bool isComposite() const noexcept { return options_.composite; }
  /// A collection of values that holds each value once (ModelElement
  /// refuses a duplicate); reference collections are always unique.
  bool isUnique() const noexcept { return options_.unique; }
  /// True when the property's type is a class.
  bool isReference() const noexcept;
  bool hasOpposite() const noexcept { return opposite_ != nullptr; }
  /// The other end of a bidirectional reference; null when there is none.
  Property getOpposite() const;
  const Property::Impl* getOppositeImpl() const noexcept { return opposite_; }
  /// The qualifier of a qualified property; null when there is none.
  Property getQualifiedBy() const;
  std::int32_t getPositionIndex() const noexcept { return options_.positionIndex; }
  bool isNotStored() const noexcept { return options_.notStored; }
  bool isNotLoaded() const noexcept { return options_.notLoaded; }
  bool isStoredSerialized() const noexcept { return options_.storedSerialized; }
  bool hasDeferredContents() const noexcept { return options_.deferredContents; }
  bool isValueOptional() const noexcept { return options_.valueOptional; }
  /// The property's place among all attributes of its owning type and its
  /// subclasses (0-based, superclass attributes first).
  std::uint32_t getSlotIndex() const noexcept { return slotIndex_; }

 private:
  friend class PackageBuilder;
  Impl(const StructuredType::Impl* owningType, std::u16string name, const Type::Impl* type,
       const PropertyOptions& options);
  const StructuredType::Impl* owningType_;
  PropertyOptions options_;
  const Property::Impl* opposite_ = nullptr;
  const Property::Impl* qualifier_ = nullptr;
  std::uint32_t slotIndex_ = 0;
};

class QM0_API Package::Impl : public NamedElement::Impl {
 public:
  /// The URI, composed from family and version (MetaRegistry::composeUri).
  const std::u16string& getUri() const noexcept { return uri_; }
  const std::u16string& getFamily() const noexcept { return family_; }
  const std::u16string& getVersion() const noexcept { return version_; }
  /// The types in the order they were defined.
  std::vector<Type> getOwnedTypes() const;
  /// The type named `name` (unqualified); null when there is none.
  Type findType(const std::u16string& name) const;
  /// False until PackageBuilder::build() returned it.
  bool isComplete() const noexcept { return complete_; }

  ~Impl() override;

 private:
  friend class PackageBuilder;
  friend struct BuiltinPackage;
  Impl(std::u16string name, std::u16string family, std::u16string version);
  std::u16string family_;
  std::u16string version_;
  std::u16string uri_;
  std::vector<std::unique_ptr<ModelElement::Impl>> owned_;
  std::vector<const Type::Impl*> types_;
  std::vector<Package> dependencies_;  // packages this one refers to
  bool complete_ = false;
};

// Handle plumbing: the constructors share the object, `->` gives its Impl.
#define QM0_META_HANDLE_INLINE(Name, Base)                                                           \
  inline Name::Name(const Impl* impl) noexcept : Base(static_cast<const Base::Impl*>(impl)) {}       \
  inline const Name::Impl* Name::operator->() const noexcept { return static_cast<const Impl*>(impl_); } \
  inline const Name::Impl& Name::operator*() const noexcept { return *static_cast<const Impl*>(impl_); }

inline NamedElement::NamedElement(const Impl* impl) noexcept : ModelElement(impl) {}
inline const NamedElement::Impl* NamedElement::operator->() const noexcept {
  return static_cast<const Impl*>(impl_);
}
inline const NamedElement::Impl& NamedElement::operator*() const noexcept { return *static_cast<const Impl*>(impl_); }
QM0_META_HANDLE_INLINE(Type, NamedElement)
QM0_META_HANDLE_INLINE(PrimitiveType, Type)
QM0_META_HANDLE_INLINE(StructuredType, Type)
QM0_META_HANDLE_INLINE(Class, StructuredType)
QM0_META_HANDLE_INLINE(DataType, StructuredType)
QM0_META_HANDLE_INLINE(Enum, Type)
QM0_META_HANDLE_INLINE(TypedElement, NamedElement)
QM0_META_HANDLE_INLINE(Property, TypedElement)
QM0_META_HANDLE_INLINE(Package, NamedElement)
#undef QM0_META_HANDLE_INLINE

template <class T>
T ElementMap<T>::find(const std::u16string& name) const {
  auto it = std::lower_bound(storage_->begin(), storage_->end(), name,
                             [](const Entry& e, const std::u16string& n) { return e.first < n; });
  return (it != storage_->end() && it->first == name) ? T(it->second) : T();
}

}  // namespace meta
}  // namespace qm::zero

#define QM0_META_HASH(Name)                                                         \
  template <>                                                                       \
  struct std::hash<qm::zero::meta::Name> {                                          \
    std::size_t operator()(const qm::zero::meta::Name& e) const noexcept {          \
      return std::hash<const void*>()(e.get());                                     \
    }                                                                               \
  };
QM0_META_HASH(Type)
QM0_META_HASH(Class)
QM0_META_HASH(Property)
QM0_META_HASH(Enum)
QM0_META_HASH(Package)
QM0_META_HASH(StructuredType)
#undef QM0_META_HASH
