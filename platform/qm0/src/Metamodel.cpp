#include <qm/zero/meta/MetaRegistry.hpp>
#include <qm/zero/meta/PackageBuilder.hpp>
#include <qm/zero/meta/StandardTypes.hpp>

#include <qm/zero/Messages.hpp>

#include "MetaInternal.hpp"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

namespace qm::zero {

// ---------------------------------------------------------------------------
// The shared element base.

ModelElement::Impl::Impl(Kind kind, const Impl* metaClass, const boost::uuids::uuid& uuid,
                         const Impl* countOwner) noexcept
    : kind_(kind), countOwner_(countOwner ? countOwner : this), metaClass_(metaClass), uuid_(uuid) {}

ModelElement::Impl::~Impl() = default;

meta::Class ModelElement::Impl::getMetaClass() const {
  return meta::Class(static_cast<const meta::Class::Impl*>(metaClass_));
}

namespace meta {

// ---------------------------------------------------------------------------
// Handles.

#define QM0_DOWNCAST(Name) \
  Name Name::downcast(const ModelElement& element) noexcept { return Name(dynamic_cast<const Impl*>(element.get())); }
QM0_DOWNCAST(NamedElement)
QM0_DOWNCAST(Type)
QM0_DOWNCAST(PrimitiveType)
QM0_DOWNCAST(StructuredType)
QM0_DOWNCAST(Class)
QM0_DOWNCAST(DataType)
QM0_DOWNCAST(Enum)
QM0_DOWNCAST(TypedElement)
QM0_DOWNCAST(Property)
QM0_DOWNCAST(Package)
#undef QM0_DOWNCAST

Class Class::metaClass() { return Class(internal::builtins().classMeta); }
Class PrimitiveType::metaClass() { return Class(internal::builtins().primitiveTypeMeta); }
Class DataType::metaClass() { return Class(internal::builtins().dataTypeMeta); }
Class Enum::metaClass() { return Class(internal::builtins().enumMeta); }
Class Property::metaClass() { return Class(internal::builtins().propertyMeta); }
Class Package::metaClass() { return Class(internal::builtins().packageMeta); }

// ---------------------------------------------------------------------------
// Objects.

NamedElement::Impl::Impl(const ModelElement::Impl* metaClass, const ModelElement::Impl* countOwner,
                         std::u16string name, std::u16string qualifiedName)
    : ModelElement::Impl(Kind::Meta, metaClass, boost::uuids::uuid{}, countOwner),
      name_(std::move(name)),
      qualifiedName_(std::move(qualifiedName)) {}

namespace {
std::u16string qualify(const Package::Impl* package, const std::u16string& name) {
  if (package == nullptr || package->getName().empty()) return name;
  return package->getName() + u"." + name;
}
}  // namespace

Type::Impl::Impl(const ModelElement::Impl* metaClass, const Package::Impl* package, std::u16string name)
    : NamedElement::Impl(metaClass, package, name, qualify(package, name)), package_(package) {}

Package Type::Impl::getPackage() const { return Package(package_); }

bool Type::Impl::isAssignableFrom(const Type::Impl* other) const noexcept {
  if (other == this) return true;
  auto* self = dynamic_cast<const Class::Impl*>(this);
  auto* cls = dynamic_cast<const Class::Impl*>(other);
  return self != nullptr && cls != nullptr && cls->conformsTo(self);
}

PrimitiveType::Impl::Impl(const ModelElement::Impl* metaClass, const Package::Impl* package, std::u16string name,
                          EntryType entryType)
    : Type::Impl(metaClass, package, std::move(name)), entryType_(entryType) {}

StructuredType::Impl::Impl(const ModelElement::Impl* metaClass, const Package::Impl* package, std::u16string name)
    : Type::Impl(metaClass, package, std::move(name)) {}

const StructuredType::Impl* StructuredType::Impl::base() const noexcept {
  auto* cls = dynamic_cast<const Class::Impl*>(this);
  return cls != nullptr ? cls->superclass_ : nullptr;
}

Property StructuredType::Impl::findProperty(const std::u16string& name) const {
  for (const StructuredType::Impl* t = this; t != nullptr; t = t->base()) {
    Property p = ElementMap<Property>(t->attributes_).find(name);
    if (p) return p;
  }
  return Property();
}

std::vector<Property> StructuredType::Impl::getAllAttributes() const {
  std::vector<Property> out;
  out.reserve(slotCount_);
  std::vector<const StructuredType::Impl*> chain;
  for (const StructuredType::Impl* t = this; t != nullptr; t = t->base()) chain.push_back(t);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it)
    for (const auto& entry : (*it)->attributes_) out.emplace_back(entry.second);
  return out;
}

Class::Impl::Impl(const Package::Impl* package, std::u16string name, const Class::Impl* superclass, bool isAbstract)
    : StructuredType::Impl(nullptr, package, std::move(name)), superclass_(superclass), abstract_(isAbstract) {}

Class Class::Impl::getSuperclass() const { return Class(superclass_); }

bool Class::Impl::conformsTo(const Class::Impl* other) const noexcept {
  for (const Class::Impl* c = this; c != nullptr; c = c->superclass_)
    if (c == other) return true;
  return false;
}

DataType::Impl::Impl(const Package::Impl* package, std::u16string name)
    : StructuredType::Impl(nullptr, package, std::move(name)) {}

Enum::Impl::Impl(const Package::Impl* package, std::u16string name, std::map<std::u16string, std::int32_t> literals)
    : Type::Impl(nullptr, package, std::move(name)), literals_(std::move(literals)) {}

boost::optional<std::int32_t> Enum::Impl::getLiteralValue(const std::u16string& name) const {
  auto it = literals_.find(name);
  if (it == literals_.end()) return boost::none;
  return it->second;
}

boost::optional<std::u16string> Enum::Impl::getLiteralName(std::int32_t value) const {
  for (const auto& [name, v] : literals_)
    if (v == value) return name;
  return boost::none;
}

TypedElement::Impl::Impl(const ModelElement::Impl* metaClass, const ModelElement::Impl* countOwner,
                         std::u16string name, std::u16string qualifiedName, const Type::Impl* type)
    : NamedElement::Impl(metaClass, countOwner, std::move(name), std::move(qualifiedName)), type_(type) {}

Type TypedElement::Impl::getType() const { return Type(type_); }

Property::Impl::Impl(const StructuredType::Impl* owningType, std::u16string name, const Type::Impl* type,
                     const PropertyOptions& options)
    : TypedElement::Impl(nullptr, owningType->getPackageImpl(), name, owningType->getQualifiedName() + u"." + name,
                         type),
      owningType_(owningType),
      options_(options) {}

StructuredType Property::Impl::getOwningType() const { return StructuredType(owningType_); }
Property Property::Impl::getOpposite() const { return Property(opposite_); }
Property Property::Impl::getQualifiedBy() const { return Property(qualifier_); }
bool Property::Impl::isReference() const noexcept {
  return getTypeImpl() != nullptr && getTypeImpl()->getMetaClassImpl() == internal::builtins().classMeta;
}

Package::Impl::Impl(std::u16string name, std::u16string family, std::u16string version)
    : NamedElement::Impl(nullptr, nullptr, name, name),
      family_(std::move(family)),
      version_(std::move(version)),
      uri_(MetaRegistry::composeUri(version_, family_)) {}

Package::Impl::~Impl() = default;

std::vector<Type> Package::Impl::getOwnedTypes() const {
  std::vector<Type> out;
  out.reserve(types_.size());
  for (const Type::Impl* t : types_) out.emplace_back(t);
  return out;
}

Type Package::Impl::findType(const std::u16string& name) const {
  for (const Type::Impl* t : types_)
    if (t->getName() == name) return Type(t);
  return Type();
}

// ---------------------------------------------------------------------------
// PackageBuilder.

struct PackageBuilder::State {
  Package package;
  Package::Impl* impl = nullptr;
  bool builtin = false;
  bool built = false;
  std::vector<StructuredType::Impl*> structured;  // in definition order
  std::unordered_map<const StructuredType::Impl*, std::int32_t> declared;  // attributes declared so far

  template <class T>
  T* own(std::unique_ptr<T> object) {
    T* raw = object.get();
    impl->owned_.push_back(std::move(object));
    return raw;
  }
  void check() const {
    if (built) throw std::logic_error("qm0: the package was already built");
  }
  void checkName(const std::u16string& name) const {
    if (name.empty()) throw std::invalid_argument("qm0: a metamodel name must not be empty");
  }
  void addType(Type::Impl* t) {
    if (impl->findType(t->getName())) throw std::invalid_argument("qm0: the package already has a type of that name");
    impl->types_.push_back(t);
  }
  // A type from this package, or a complete one from elsewhere (which this
  // package then keeps alive).
  void useType(const Type& type) {
    if (!type) throw std::invalid_argument("qm0: null type");
    const Package::Impl* owner = type->getPackage().operator->();
    if (owner == impl) return;
    if (owner == nullptr || !owner->isComplete())
      throw std::invalid_argument("qm0: a type of an incomplete package cannot be used");
    Package dep(owner);
    if (std::find(impl->dependencies_.begin(), impl->dependencies_.end(), dep) == impl->dependencies_.end())
      impl->dependencies_.push_back(dep);
  }
};

PackageBuilder::PackageBuilder(std::u16string name, std::u16string family, std::u16string version)
    : state_(std::make_unique<State>()) {
  state_->impl = new Package::Impl(std::move(name), std::move(family), std::move(version));
  state_->package = Package(state_->impl);
  state_->impl->metaClass_ = internal::builtins().packageMeta;
}

PackageBuilder::PackageBuilder(BuiltinTag) : state_(std::make_unique<State>()) {
  state_->impl = new Package::Impl(u"", u"qm.zero", u"1");
  state_->package = Package(state_->impl);
  state_->builtin = true;
}

PackageBuilder::~PackageBuilder() = default;

Class PackageBuilder::addClass(std::u16string name, const Class& superclass, bool isAbstract) {
  State& s = *state_;
  s.check();
  s.checkName(name);
  const Class::Impl* super = superclass.operator->();
  if (super != nullptr) {
    s.useType(superclass);
  } else if (!s.builtin) {
    super = internal::builtins().root;
  }
  auto* cls = s.own(std::unique_ptr<Class::Impl>(new Class::Impl(s.impl, std::move(name), super, isAbstract)));
  if (!s.builtin) cls->metaClass_ = internal::builtins().classMeta;
  s.addType(cls);
  s.structured.push_back(cls);
  return Class(cls);
}

DataType PackageBuilder::addDataType(std::u16string name) {
  State& s = *state_;
  s.check();
  s.checkName(name);
  auto* dt = s.own(std::unique_ptr<DataType::Impl>(new DataType::Impl(s.impl, std::move(name))));
  if (!s.builtin) dt->metaClass_ = internal::builtins().dataTypeMeta;
  s.addType(dt);
  s.structured.push_back(dt);
  return DataType(dt);
}

Enum PackageBuilder::addEnum(std::u16string name, const std::vector<std::pair<std::u16string, std::int32_t>>& literals) {
  State& s = *state_;
  s.check();
  s.checkName(name);
  std::map<std::u16string, std::int32_t> map;
  for (const auto& [literal, value] : literals) {
    s.checkName(literal);
    if (!map.emplace(literal, value).second) throw std::invalid_argument("qm0: duplicate enumeration literal");
  }
  auto* e = s.own(std::unique_ptr<Enum::Impl>(new Enum::Impl(s.impl, std::move(name), std::move(map))));
  e->metaClass_ = internal::builtins().enumMeta;
  s.addType(e);
  return Enum(e);
}

PrimitiveType PackageBuilder::addPrimitiveType(std::u16string name, EntryType entryType) {
  State& s = *state_;
  s.check();
  s.checkName(name);
  if (entryType == EntryType::None || entryType == EntryType::EnumLiteral || entryType == EntryType::Element ||
      entryType == EntryType::DataValue)
    throw std::invalid_argument("qm0: not a primitive entry type");
  auto* p = s.own(std::unique_ptr<PrimitiveType::Impl>(new PrimitiveType::Impl(internal::builtins().primitiveTypeMeta, s.impl, std::move(name), entryType)));
  s.addType(p);
  return PrimitiveType(p);
}

Property PackageBuilder::addProperty(const StructuredType& owner, std::u16string name, const Type& type,
                                     const PropertyOptions& options) {
  State& s = *state_;
  s.check();
  s.checkName(name);
  if (!owner || owner->getPackage().operator->() != s.impl)
    throw std::invalid_argument("qm0: a property's owner must be a type of the package being built");
  s.useType(type);
  if (options.lower > options.upper || options.upper == 0)
    throw std::invalid_argument("qm0: bad multiplicity bounds");
  const bool isClassType = type.getMetaClass() == Class::metaClass();
  if (options.composite && !isClassType) throw std::invalid_argument("qm0: only a reference can be composite");
  if (isClassType && owner.getMetaClass() == DataType::metaClass())
    throw std::invalid_argument("qm0: a datatype attribute cannot be a reference");
  auto* ownerImpl = const_cast<StructuredType::Impl*>(owner.operator->());
  if (ownerImpl->findProperty(name)) throw std::invalid_argument("qm0: the type already has an attribute of that name");
  PropertyOptions opts = options;
  std::int32_t& ordinal = s.declared[ownerImpl];
  if (opts.positionIndex < 0) opts.positionIndex = ordinal;
  ++ordinal;
  auto* p = s.own(std::unique_ptr<Property::Impl>(new Property::Impl(ownerImpl, name, type.operator->(), opts)));
  p->metaClass_ = internal::builtins().propertyMeta;
  auto& attrs = ownerImpl->attributes_;
  auto at = std::lower_bound(attrs.begin(), attrs.end(), name,
                             [](const ElementMap<Property>::Entry& e, const std::u16string& n) { return e.first < n; });
  attrs.insert(at, ElementMap<Property>::Entry(std::move(name), p));
  return Property(p);
}

void PackageBuilder::setOpposite(const Property& a, const Property& b) {
  State& s = *state_;
  s.check();
  if (!a || !b || a == b) throw std::invalid_argument("qm0: an opposite pair needs two properties");
  for (const Property* p : {&a, &b})
    if ((*p)->getOwningType()->getPackage().operator->() != s.impl)
      throw std::invalid_argument("qm0: both ends of an opposite pair must be of the package being built");
  if (!a->isReference() || !b->isReference()) throw std::invalid_argument("qm0: opposite ends must be references");
  if (a->hasOpposite() || b->hasOpposite()) throw std::invalid_argument("qm0: a property already has an opposite");
  if (a->isComposite() && b->isComposite()) throw std::invalid_argument("qm0: both ends cannot be composite");
  auto* aClass = dynamic_cast<const Class::Impl*>(a->getOwningTypeImpl());
  auto* bClass = dynamic_cast<const Class::Impl*>(b->getOwningTypeImpl());
  auto* aType = dynamic_cast<const Class::Impl*>(a->getTypeImpl());
  auto* bType = dynamic_cast<const Class::Impl*>(b->getTypeImpl());
  if (!aClass || !bClass || !aClass->conformsTo(bType) || !bClass->conformsTo(aType))
    throw std::invalid_argument("qm0: each end must be typed by the other end's class");
  if ((a->isComposite() && b->isMultiValued()) || (b->isComposite() && a->isMultiValued()))
    throw std::invalid_argument("qm0: the end opposite a composite must be single-valued");
  const_cast<Property::Impl*>(a.operator->())->opposite_ = b.operator->();
  const_cast<Property::Impl*>(b.operator->())->opposite_ = a.operator->();
}

void PackageBuilder::setQualifiedBy(const Property& property, const Property& qualifier) {
  State& s = *state_;
  s.check();
  if (!property || !qualifier) throw std::invalid_argument("qm0: null property");
  if (property->getOwningType()->getPackage().operator->() != s.impl ||
      qualifier->getOwningType()->getPackage().operator->() != s.impl)
    throw std::invalid_argument("qm0: a qualifier must be of the package being built");
  const_cast<Property::Impl*>(property.operator->())->qualifier_ = qualifier.operator->();
}

Package PackageBuilder::build() {
  State& s = *state_;
  s.check();
  // Attribute layout: a type's attributes follow its superclass's, each
  // type's in name order, so a property has one slot in every subclass.
  for (StructuredType::Impl* t : s.structured) {
    std::uint32_t base = t->base() != nullptr ? t->base()->slotCount_ : 0;
    for (auto& entry : t->attributes_) const_cast<Property::Impl*>(entry.second)->slotIndex_ = base++;
    t->slotCount_ = base;
    // Every element a data source loads has these slots marked unloaded.
    if (auto* cls = dynamic_cast<Class::Impl*>(t))
      for (const Property& p : cls->getAllAttributes())
        if (p->hasDeferredContents() && p->isReference() && p->isMultiValued())
          cls->deferredSlots_.push_back(p->getSlotIndex());
  }
  s.impl->complete_ = true;
  s.built = true;
  return s.package;
}

// ---------------------------------------------------------------------------
// The framework's own package.

namespace internal {

const Builtins& builtins() {
  // Never destroyed: its objects are not counted (see BuiltinPackage::make).
  static const Builtins* const instance = new Builtins(BuiltinPackage::make());
  return *instance;
}

}  // namespace internal

internal::Builtins BuiltinPackage::make() {
  PackageBuilder b{PackageBuilder::BuiltinTag{}};
  internal::Builtins out;
  auto cls = [&](const char16_t* name, const Class& super, bool abstract) {
    return b.addClass(name, super, abstract);
  };
  Class root = cls(u"ModelElement", Class(), true);
  Class classMeta = cls(u"Class", root, false);
  Class dataTypeMeta = cls(u"DataType", root, false);
  Class enumMeta = cls(u"Enum", root, false);
  Class primitiveMeta = cls(u"PrimitiveType", root, false);
  Class propertyMeta = cls(u"Property", root, false);
  Class packageMeta = cls(u"Package", root, false);
  // Every object made so far is a class: their metaclass is "Class".
  for (auto& owned : b.state_->impl->owned_) owned->metaClass_ = classMeta.get();
  b.state_->impl->metaClass_ = packageMeta.get();
  out.root = root.operator->();
  out.classMeta = classMeta.operator->();
  out.dataTypeMeta = dataTypeMeta.operator->();
  out.enumMeta = enumMeta.operator->();
  out.primitiveTypeMeta = primitiveMeta.operator->();
  out.propertyMeta = propertyMeta.operator->();
  out.packageMeta = packageMeta.operator->();
  out.package = b.state_->package;
  // Primitive types need primitiveTypeMeta, read through builtins() by their
  // constructor: make them with the metaclass patched afterwards.
  static const std::pair<const char16_t*, EntryType> standard[] = {
      {u"Integer", EntryType::Integer},       {u"UnlimitedNatural", EntryType::UnlimitedNatural},
      {u"Integer64", EntryType::Integer64},   {u"UInteger8", EntryType::UInteger8},
      {u"UInteger64", EntryType::UInteger64}, {u"Real", EntryType::Real},
      {u"String", EntryType::String},         {u"StdString", EntryType::StdString},
      {u"DateTime", EntryType::DateTime},     {u"UUID", EntryType::UUID},
      {u"Boolean", EntryType::Boolean},       {u"QxArray", EntryType::QxArray},
      {u"StringToStringMap", EntryType::StringToStringMap}};
  for (std::size_t i = 0; i < std::size(standard); ++i) {
    auto* p = b.state_->own(std::unique_ptr<PrimitiveType::Impl>(
        new PrimitiveType::Impl(out.primitiveTypeMeta, b.state_->impl, standard[i].first, standard[i].second)));
    b.state_->addType(p);
    out.standard[i] = PrimitiveType(p);
  }
  b.build();
  // From now on no handle counts these objects: they live for the whole
  // program. The counts taken so far are simply never given back.
  b.state_->impl->countOwner_ = nullptr;
  for (auto& owned : b.state_->impl->owned_) owned->countOwner_ = nullptr;
  return out;
}

// ---------------------------------------------------------------------------
// MetaRegistry.

struct MetaRegistry::State {
  mutable std::mutex mutex;
  std::vector<Package> packages;  // guarded by mutex
};

MetaRegistry::MetaRegistry() : state_(std::make_unique<State>()) {}
MetaRegistry::~MetaRegistry() = default;

MetaRegistry* MetaRegistry::getInstance() {
  static MetaRegistry instance;
  return &instance;
}

void MetaRegistry::registerPackage(const Package& package) {
  if (!package || !package->isComplete()) throw std::invalid_argument("qm0: only a complete package can be registered");
  std::lock_guard<std::mutex> lock(state_->mutex);
  for (const Package& p : state_->packages)
    if (p->getFamily() == package->getFamily() || p->getUri() == package->getUri())
      foundation::core::except::throwException(qm0::messages::PackageAlreadyRegistered(package->getUri()));
  state_->packages.push_back(package);
}

bool MetaRegistry::unregisterPackage(const std::u16string& uri) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto& ps = state_->packages;
  auto it = std::find_if(ps.begin(), ps.end(), [&](const Package& p) { return p->getUri() == uri; });
  if (it == ps.end()) return false;
  ps.erase(it);
  return true;
}

Package MetaRegistry::getPackage(const std::u16string& uri) const {
  const internal::Builtins& b = internal::builtins();
  if (b.package->getUri() == uri) return b.package;
  std::lock_guard<std::mutex> lock(state_->mutex);
  for (const Package& p : state_->packages)
    if (p->getUri() == uri) return p;
  return Package();
}

Package MetaRegistry::getPackageForFamily(const std::u16string& family) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  for (const Package& p : state_->packages)
    if (p->getFamily() == family) return p;
  return Package();
}

Type MetaRegistry::getType(const std::u16string& qualifiedName) const {
  const internal::Builtins& b = internal::builtins();
  if (Type t = b.package->findType(qualifiedName)) return t;
  std::lock_guard<std::mutex> lock(state_->mutex);
  for (const Package& p : state_->packages) {
    const std::u16string& prefix = p->getName();
    if (qualifiedName.size() > prefix.size() + 1 && qualifiedName.compare(0, prefix.size(), prefix) == 0 &&
        qualifiedName[prefix.size()] == u'.') {
      if (Type t = p->findType(qualifiedName.substr(prefix.size() + 1))) return t;
    }
  }
  return Type();
}

Class MetaRegistry::getClass(const std::u16string& qualifiedName) const {
  return Class::downcast(getType(qualifiedName));
}

PrimitiveType MetaRegistry::getPrimitiveType(const std::u16string& registryName) const {
  return PrimitiveType::downcast(internal::builtins().package->findType(registryName));
}

std::vector<Package> MetaRegistry::getPackages() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->packages;
}

bool MetaRegistry::isVersionCurrentForFamily(const std::u16string& version, const std::u16string& family) const {
  Package p = getPackageForFamily(family);
  return p && p->getVersion() == version;
}

bool MetaRegistry::isVersionCurrentForFamily(const std::u16string& uri) const {
  auto [version, family] = parseUri(uri);
  return isVersionCurrentForFamily(version, family);
}

std::pair<std::u16string, std::u16string> MetaRegistry::parseUri(const std::u16string& uri) {
  auto slash = uri.rfind(u'/');
  if (slash == std::u16string::npos) return {std::u16string(), uri};
  return {uri.substr(slash + 1), uri.substr(0, slash)};
}

std::u16string MetaRegistry::composeUri(const std::u16string& version, const std::u16string& family) {
  return family + u"/" + version;
}

// ---------------------------------------------------------------------------
// Standard types.

#define QM0_STANDARD(fn, i) \
  const PrimitiveType& StandardTypes::fn() { return internal::builtins().standard[i]; }
QM0_STANDARD(integerMeta, 0)
QM0_STANDARD(unlimitedNaturalMeta, 1)
QM0_STANDARD(integer64Meta, 2)
QM0_STANDARD(uinteger8Meta, 3)
QM0_STANDARD(uinteger64Meta, 4)
QM0_STANDARD(realMeta, 5)
QM0_STANDARD(stringMeta, 6)
QM0_STANDARD(stdstringMeta, 7)
QM0_STANDARD(dateTimeMeta, 8)
QM0_STANDARD(uuidMeta, 9)
QM0_STANDARD(booleanMeta, 10)
QM0_STANDARD(qxArrayMeta, 11)
QM0_STANDARD(stringToStringMapMeta, 12)
#undef QM0_STANDARD

namespace internal {
PrimitiveType getPrimitiveTypeFromMetaRegistry(const std::u16string& name) {
  return MetaRegistry::getInstance()->getPrimitiveType(name);
}
}  // namespace internal

}  // namespace meta
}  // namespace qm::zero
