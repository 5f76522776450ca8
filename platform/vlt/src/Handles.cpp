// The public handles: thin forwarding to the repository core.

#include "Core.hpp"

#include <vlt/Repository.hpp>

#include <fl/i18n/Unicode.hpp>

#include <algorithm>

namespace vlt {

using detail::Core;

namespace {
const std::string emptyText;
const std::u16string emptyText16;
const boost::uuids::uuid nilUuid{};

Core& requireCore(const detail::CorePtr& core) {
  if (!core) throw UsageError("a null handle was used");
  return *core;
}
}  // namespace

const char* builtinTypeName(ValueType type) noexcept {
  switch (type) {
    case ValueType::int32: return "int32";
    case ValueType::uint32: return "uint32";
    case ValueType::int64: return "int64";
    case ValueType::uint64: return "uint64";
    case ValueType::real64: return "real64";
    case ValueType::ustring: return "ustring";
    case ValueType::string: return "string";
    case ValueType::dateTime: return "DateTime";
    case ValueType::uuid: return "UUID";
    case ValueType::boolean: return "bool";
    case ValueType::qxarray: return "qxarray";
    default: return "";
  }
}

// ---------------------------------------------------------------- errors

namespace {
std::string compose(const std::string& message, const std::string& filespec, const std::string& backendMessage,
                    const std::string& statement) {
  std::string text = message;
  if (!filespec.empty()) text += " [repository " + filespec + "]";
  if (!backendMessage.empty()) text += " [" + backendMessage + "]";
  if (!statement.empty()) text += " [statement: " + statement + "]";
  return text;
}
}  // namespace

RepositoryError::RepositoryError(const std::string& message, std::string filespec, int backendCode,
                                 std::string backendMessage, std::string statement)
    : std::runtime_error(compose(message, filespec, backendMessage, statement)),
      filespec_(std::move(filespec)),
      backendCode_(backendCode),
      backendMessage_(std::move(backendMessage)),
      statement_(std::move(statement)) {}
RepositoryError::~RepositoryError() = default;
OpenError::~OpenError() = default;
NotARepositoryError::~NotARepositoryError() = default;
MetamodelFileError::~MetamodelFileError() = default;
LockedError::~LockedError() = default;
ConstraintError::~ConstraintError() = default;
MetamodelError::~MetamodelError() = default;
ObjectNotFoundError::~ObjectNotFoundError() = default;
UsageError::~UsageError() = default;
StorageError::~StorageError() = default;

// ---------------------------------------------------------------- metamodel handles

const std::string& EnumeralRef::name() const noexcept {
  return enumeration_ ? enumeration_->literals[index_].name : emptyText;
}
EnumerationRef EnumeralRef::enumeration() const { return enumeration_ ? EnumerationRef(core_, enumeration_) : EnumerationRef(); }

const std::string& EnumerationRef::qualifiedName() const noexcept { return info_ ? info_->qualifiedName : emptyText; }
const std::string& EnumerationRef::name() const noexcept { return info_ ? info_->name : emptyText; }
EnumeralRef EnumerationRef::findEnumeral(int value) const {
  if (!info_ || info_->retired) return EnumeralRef();
  for (std::size_t i = 0; i < info_->literals.size(); ++i) {
    if (info_->literals[i].value == value) return EnumeralRef(core_, info_, i, value);
  }
  return EnumeralRef();
}
EnumeralRef EnumerationRef::findEnumeralByName(const std::string& name) const {
  if (!info_ || info_->retired) return EnumeralRef();
  for (std::size_t i = 0; i < info_->literals.size(); ++i) {
    if (info_->literals[i].name == name) return EnumeralRef(core_, info_, i, info_->literals[i].value);
  }
  return EnumeralRef();
}
std::vector<EnumeralRef> EnumerationRef::enumerals() const {
  std::vector<EnumeralRef> out;
  if (!info_) return out;
  for (std::size_t i = 0; i < info_->literals.size(); ++i) out.push_back(EnumeralRef(core_, info_, i, info_->literals[i].value));
  return out;
}

const std::string& PropertyRef::name() const noexcept { return info_ ? info_->name : emptyText; }
const std::string& PropertyRef::typeName() const noexcept { return info_ ? info_->typeName : emptyText; }
ValueType PropertyRef::valueType() const noexcept { return info_ ? info_->valueType : ValueType::int32; }
ClassRef PropertyRef::typeClass() const { return info_ && info_->typeClass ? ClassRef(core_, info_->typeClass) : ClassRef(); }
EnumerationRef PropertyRef::typeEnumeration() const {
  return info_ && info_->typeEnumeration ? EnumerationRef(core_, info_->typeEnumeration) : EnumerationRef();
}
ClassRef PropertyRef::owningClass() const { return info_ ? ClassRef(core_, info_->owner) : ClassRef(); }
std::uint32_t PropertyRef::lowerBound() const noexcept { return info_ ? info_->lower : 0; }
std::uint32_t PropertyRef::upperBound() const noexcept { return info_ ? info_->upper : 0; }
bool PropertyRef::isComposite() const noexcept { return info_ && info_->composite; }
bool PropertyRef::isMultiValue() const noexcept { return info_ && info_->multi; }
bool PropertyRef::isOrdered() const noexcept { return info_ && info_->ordered; }
bool PropertyRef::valueIsOptional() const noexcept { return info_ && info_->optional; }
bool PropertyRef::isUnique() const noexcept { return info_ && info_->unique; }
const std::string& PropertyRef::documentation() const noexcept { return info_ ? info_->documentation : emptyText; }
const std::string& PropertyRef::oppositeName() const noexcept { return info_ ? info_->opposite : emptyText; }
const std::string& PropertyRef::annotation() const noexcept { return info_ ? info_->annotation : emptyText; }
const boost::uuids::uuid& PropertyRef::uuid() const noexcept { return info_ ? info_->uuid : nilUuid; }
std::int64_t PropertyRef::id() const noexcept { return info_ ? info_->id : 0; }

const std::string& ClassRef::name() const noexcept { return info_ ? info_->name : emptyText; }
const std::string& ClassRef::qualifiedName() const noexcept { return info_ ? info_->qualifiedName : emptyText; }
const std::string& ClassRef::packageName() const noexcept { return info_ ? info_->packageName : emptyText; }
std::int64_t ClassRef::id() const noexcept { return info_ ? info_->id : 0; }
PropertyRef ClassRef::findProperty(const std::string& name) const {
  if (!info_ || info_->retired) return PropertyRef();
  const detail::PropertyInfo* p = core_->findProperty(info_, name);
  return p ? PropertyRef(core_, p) : PropertyRef();
}
std::vector<PropertyRef> ClassRef::ownProperties() const {
  std::vector<PropertyRef> out;
  if (info_) {
    for (const auto* p : info_->properties) out.push_back(PropertyRef(core_, p));
  }
  return out;
}
std::vector<PropertyRef> ClassRef::allProperties() const {
  std::vector<PropertyRef> out;
  if (!info_) return out;
  for (auto it = info_->lineage.rbegin(); it != info_->lineage.rend(); ++it) {
    for (const auto* p : (*it)->properties) out.push_back(PropertyRef(core_, p));
  }
  return out;
}
std::vector<ClassRef> ClassRef::superclasses() const {
  std::vector<ClassRef> out;
  if (info_) {
    for (const auto* s : info_->superclasses) out.push_back(ClassRef(core_, s));
  }
  return out;
}
bool ClassRef::conformsTo(const ClassRef& other) const noexcept {
  return info_ && other.info_ && info_->conformsTo(other.info_);
}

std::vector<ClassRef> PackageRef::classes() const {
  std::vector<ClassRef> out;
  if (!core_) return out;
  for (const auto* c : core_->classes()) {
    if (c->packageName == name_) out.push_back(core_->classRef(c));
  }
  return out;
}

std::vector<PackageRef> MetamodelRef::packages() const {
  std::vector<PackageRef> out;
  if (!core_) return out;
  std::vector<std::string> names;
  for (const auto* c : core_->classes()) names.push_back(c->packageName);
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  for (auto& n : names) out.push_back(PackageRef(core_, n));
  return out;
}
std::vector<ClassRef> MetamodelRef::classes() const {
  std::vector<ClassRef> out;
  if (!core_) return out;
  for (const auto* c : core_->classes()) out.push_back(core_->classRef(c));
  return out;
}
std::vector<EnumerationRef> MetamodelRef::enumerations() const {
  std::vector<EnumerationRef> out;
  if (!core_) return out;
  for (const auto* e : core_->enumerations()) out.push_back(core_->enumerationRef(e));
  return out;
}
ClassRef MetamodelRef::findClass(const std::string& qualifiedName) const {
  if (!core_) return ClassRef();
  const auto* c = core_->findClass(qualifiedName);
  return c ? core_->classRef(c) : ClassRef();
}
EnumerationRef MetamodelRef::findEnumeration(const std::string& qualifiedName) const {
  if (!core_) return EnumerationRef();
  const auto* e = core_->findEnumeration(qualifiedName);
  return e ? core_->enumerationRef(e) : EnumerationRef();
}

// ---------------------------------------------------------------- objects

ClassRef ObjectRef::objectClass() const { return class_ ? ClassRef(core_, class_) : ClassRef(); }

const boost::uuids::uuid& ObjectRef::objectIdentity() const {
  if (uuidKnown_) return uuid_;
  return requireCore(core_).objectIdentity(*this);
}

ClassRef ObjectRef::objectRuntimeClass() const {
  if (isNull() || !core_) return ClassRef();
  const auto* c = core_->runtimeClass(id_);
  return c ? ClassRef(core_, c) : ClassRef();
}

bool ObjectRef::exists() const { return !isNull() && core_ && core_->runtimeClass(id_) != nullptr; }

void ObjectRef::getOwnership(ObjectRef& owner, PropertyRef& property, std::uint64_t& ordinal) const {
  requireCore(core_).getOwnership(*this, owner, property, ordinal);
}

void ObjectRef::deleteObject() { requireCore(core_).deleteObject(*this); }

void ObjectRef::processIncomingMultiValuedUnidirectionalAssociations(
    const std::function<void(CollectionRef&, std::size_t)>& callback) const {
  requireCore(core_).processIncoming(*this, callback);
}

bool ObjectRef::readSingle(const PropertyRef& property, ValueType type, void* canonical) const {
  return requireCore(core_).readSingle(*this, property, type, canonical);
}
void ObjectRef::writeSingle(const PropertyRef& property, ValueType type, const void* canonical) {
  requireCore(core_).writeSingle(*this, property, type, canonical);
}
void ObjectRef::readMany(const PropertyRef& property, ValueType type, void* canonicalVector) const {
  requireCore(core_).readMany(*this, property, type, canonicalVector);
}
void ObjectRef::writeMany(const PropertyRef& property, ValueType type, const void* canonicalVector, bool objectIsNew) {
  requireCore(core_).writeMany(*this, property, type, canonicalVector, objectIsNew);
}
void ObjectRef::openCollection(const PropertyRef& property, ValueType type, CollectionRefBase& out) const {
  requireCore(core_).checkCollection(*this, property, type);
  Core::setCollection(out, *this, property);
}

// ---------------------------------------------------------------- collections

namespace {
Core& collectionCore(const ObjectRef& owner) {
  Core* core = Core::core(owner);
  if (core == nullptr || owner.isNull()) throw UsageError("a null collection handle was used");
  return *core;
}
}  // namespace

std::size_t CollectionRefBase::size() const {
  return collectionCore(owner_).collectionSize(owner_, Core::info(property_));
}
void CollectionRefBase::removeAt(std::size_t index) {
  collectionCore(owner_).collectionRemoveAt(owner_, Core::info(property_), index);
}
void CollectionRefBase::insertValue(ValueType type, const void* canonical, const boost::optional<std::uint64_t>& index) {
  collectionCore(owner_).collectionInsert(owner_, Core::info(property_), type, canonical, index);
}
void CollectionRefBase::replaceValue(std::size_t index, ValueType type, const void* canonical) {
  collectionCore(owner_).collectionReplace(owner_, Core::info(property_), index, type, canonical);
}
std::size_t CollectionRefBase::findValue(ValueType type, const void* canonical) const {
  return collectionCore(owner_).collectionIndexOf(owner_, Core::info(property_), type, canonical);
}
void CollectionRefBase::valueAt(std::size_t index, ValueType type, void* canonical) const {
  collectionCore(owner_).collectionAt(owner_, Core::info(property_), index, type, canonical);
}
void CollectionRefBase::readAll(ValueType type, void* canonicalVector) const {
  collectionCore(owner_).readMany(owner_, property_, type, canonicalVector);
}

bool CollectionRef::remove(const ObjectRef& object) {
  const std::size_t index = indexOf(object);
  if (index == npos) return false;
  removeAt(index);
  return true;
}

bool EnumeralCollectionRef::remove(const EnumeralRef& value) {
  const std::size_t index = indexOf(value);
  if (index == npos) return false;
  removeAt(index);
  return true;
}

// ---------------------------------------------------------------- data model

namespace {
// The class, checked to belong to `core`.
const detail::ClassInfo* ownClass(Core& core, const ClassRef& cls) {
  if (!cls.isNull() && Core::core(cls) != &core) core.usage("the class \"" + cls.qualifiedName() + "\" belongs to another repository");
  return Core::info(cls);
}
}  // namespace

ObjectRef DataModelRef::findObject(const boost::uuids::uuid& uuid, const ClassRef& cls) const {
  Core& core = requireCore(core_);
  return core.findObject(uuid, ownClass(core, cls));
}
std::vector<ObjectRef> DataModelRef::objectsOf(const ClassRef& cls, bool withSubclasses) const {
  std::size_t count = 0;
  Core& core = requireCore(core_);
  return core.objectsOf(ownClass(core, cls), withSubclasses, false, count);
}
std::size_t DataModelRef::countObjects(const ClassRef& cls, bool withSubclasses) const {
  std::size_t count = 0;
  Core& core = requireCore(core_);
  core.objectsOf(ownClass(core, cls), withSubclasses, true, count);
  return count;
}
std::vector<ObjectRef> DataModelRef::rootObjects() const { return requireCore(core_).rootObjects(); }
void DataModelRef::deleteAllObjects() { requireCore(core_).deleteAllObjects(); }

// ---------------------------------------------------------------- constructor

struct ObjectConstructor::State {
  std::vector<Core::BoundSource> sources;
  Core::ConstructorPlan plan;
};

ObjectConstructor::ObjectConstructor(const ClassRef& cls) : class_(cls), state_(std::make_unique<State>()) {
  if (cls.isNull()) throw UsageError("an object constructor needs a class");
  requireCore(cls.core_).checkUsable(Core::info(cls));
}

ObjectConstructor::~ObjectConstructor() = default;

void ObjectConstructor::bindSource(const PropertyRef& property, ValueType type, const void* source,
                                   SourceReader reader) {
  Core& core = requireCore(class_.core_);
  const detail::PropertyInfo* p = Core::info(property);
  core.checkUsable(p);
  if (Core::core(property) != &core) core.usage("the property \"" + p->name + "\" belongs to another repository");
  if (!Core::info(class_)->conformsTo(p->owner)) {
    core.usage("the property \"" + p->name + "\" does not belong to the class \"" + class_.qualifiedName() + "\"");
  }
  if (!p->inClassTable()) {
    core.usage("the property \"" + p->name +
               "\" is multi-valued or composite: write it after creation, or give ownership with "
               "setCompositionMembershipSource");
  }
  if (p->valueType != type) {
    core.usage("the property \"" + p->name + "\" cannot take a source of another value type");
  }
  if (source == nullptr) core.usage("a null source was bound for the property \"" + p->name + "\"");
  auto& sources = state_->sources;
  auto same = std::find_if(sources.begin(), sources.end(), [&](const Core::BoundSource& s) { return s.property == p; });
  if (same != sources.end()) {
    same->type = type;
    same->address = source;
    same->reader = reader;
  } else {
    sources.push_back(Core::BoundSource{p, type, source, reader});
    state_->plan.generation = ~std::uint64_t{0};
  }
}

ObjectRef ObjectConstructor::createObject(const DataModelRef& dataModel) {
  Core& core = requireCore(class_.core_);
  if (dataModel.core_.get() != &core) core.usage("the data model belongs to another repository");
  const detail::PropertyInfo* membership = nullptr;
  ObjectId ownerId = 0;
  std::int32_t ordinal = 0;
  if (membershipProperty_ != nullptr && !membershipProperty_->isNull()) {
    if (Core::core(*membershipProperty_) != &core) core.usage("the membership property belongs to another repository");
    membership = Core::info(*membershipProperty_);
    ownerId = membershipOwner_ ? *membershipOwner_ : 0;
    ordinal = membershipOrdinal_ ? *membershipOrdinal_ : 0;
    if (ownerId == 0) core.usage("a membership property was given without an owner id");
  }
  const ObjectId id = nextId_;
  const boost::uuids::uuid uuid = nextUuid_;
  nextId_ = 0;
  nextUuid_ = boost::uuids::uuid{};
  return core.construct(Core::info(class_), state_->plan, state_->sources, id, uuid, membership, ownerId, ordinal);
}

// ---------------------------------------------------------------- repository

DataModelRepository::DataModelRepository() = default;
DataModelRepository::~DataModelRepository() { close(); }
DataModelRepository::DataModelRepository(DataModelRepository&&) noexcept = default;
DataModelRepository& DataModelRepository::operator=(DataModelRepository&& other) noexcept {
  if (this != &other) {
    close();
    core_ = std::move(other.core_);
  }
  return *this;
}

void DataModelRepository::open(const std::string& connectionString, const std::string& baseMetamodelPath,
                               const ServiceOptions& options) {
  open(fl::i18n::utf8_to_ustring(connectionString), fl::i18n::utf8_to_ustring(baseMetamodelPath), options);
}

void DataModelRepository::open(const std::u16string& connectionString, const std::u16string& baseMetamodelPath,
                               const ServiceOptions& options) {
  if (isOpen()) throw UsageError("the repository is open already", core_->filespec());
  const std::unique_ptr<Uri> uri = Uri::parse(connectionString);
  if (!uri) {
    throw OpenError("the connection string is not valid: \"" + fl::i18n::ustring_to_utf8(connectionString) + "\"");
  }
  if (uri->kind() != Uri::localFile) {
    throw OpenError("this build opens SQLite repositories only; PostgreSQL is not available yet", uri->redacted());
  }
  Core::OpenOptions o;
  o.path = uri->getLocation();
  o.filespec = uri->getLocation();
  o.filespecUtf16 = fl::i18n::utf8_to_ustring(o.filespec);
  o.baseMetamodelPath = fl::i18n::ustring_to_utf8(baseMetamodelPath);
  if (options.maxGenerations < 1) {
    throw UsageError("maxGenerations must be 1 or more, not " + std::to_string(options.maxGenerations), o.filespec);
  }
  if (options.journalMode < 0 || options.journalMode > 2) {
    throw UsageError("the journal mode must be 0, 1 or 2, not " + std::to_string(options.journalMode), o.filespec);
  }
  if (options.lockTimeoutSeconds < 0) throw UsageError("the lock timeout cannot be negative", o.filespec);
  o.maxGenerations = options.maxGenerations;
  o.readOnly = options.readOnly != 0;
  o.createIfMissing = options.createIfMissing != 0;
  o.lockTimeoutMs = options.lockTimeoutSeconds * 1000;
  o.journalMode = options.journalMode;
  core_ = Core::openSqlite(o);
}

bool DataModelRepository::isOpen() const noexcept { return core_ && core_->isOpen(); }
const std::u16string& DataModelRepository::filespec() const noexcept {
  return isOpen() ? core_->filespecUtf16() : emptyText16;
}
void DataModelRepository::close() noexcept {
  if (core_) core_->close();
  core_.reset();
}

MetamodelRef DataModelRepository::metamodel() const {
  requireCore(core_).checkOpen();
  return MetamodelRef(core_);
}
DataModelRef DataModelRepository::defaultDataModel() const {
  requireCore(core_).checkOpen();
  return DataModelRef(core_);
}

ClassRef DataModelRepository::createClass(const std::string& qualifiedName, const std::set<ClassRef>& superclasses) {
  Core& core = requireCore(core_);
  std::vector<detail::ClassInfo*> supers;
  for (const ClassRef& s : superclasses) {
    if (s.isNull()) core.usage("a null superclass was given for \"" + qualifiedName + "\"");
    if (s.core_ != core_) core.usage("a superclass of another repository was given for \"" + qualifiedName + "\"");
    supers.push_back(const_cast<detail::ClassInfo*>(Core::info(s)));
  }
  return core.classRef(core.createClass(qualifiedName, supers));
}

PropertyRef DataModelRepository::appendPropertyToClass(const ClassRef& cls, const std::string& name,
                                                       const std::string& typeName, const std::string& documentation,
                                                       std::uint32_t lower, std::uint32_t upper, bool composite,
                                                       bool ordered, bool valueIsOptional,
                                                       const std::string& oppositeName,
                                                       AssociationByOption association, const std::string& annotation,
                                                       const boost::uuids::uuid& propertyUuid, bool unique) {
  Core& core = requireCore(core_);
  if (cls.core_ != core_) core.usage("the class belongs to another repository");
  detail::PropertyInfo d;
  d.name = name;
  d.typeName = typeName;
  d.documentation = documentation;
  d.lower = lower;
  d.upper = upper;
  d.composite = composite;
  d.ordered = ordered;
  d.optional = valueIsOptional;
  d.opposite = oppositeName;
  d.association = association;
  d.annotation = annotation;
  d.uuid = propertyUuid;
  d.unique = unique;
  return core.propertyRef(core.appendProperty(const_cast<detail::ClassInfo*>(Core::info(cls)), d));
}

EnumerationRef DataModelRepository::createEnumeration(const std::string& qualifiedName,
                                                      const std::vector<std::pair<std::string, int>>& literals) {
  Core& core = requireCore(core_);
  return core.enumerationRef(core.createEnumeration(qualifiedName, literals));
}

void DataModelRepository::beginTransaction() { requireCore(core_).beginTransaction(); }
void DataModelRepository::commitTransaction() { requireCore(core_).commitTransaction(true); }
void DataModelRepository::rollbackTransaction() { requireCore(core_).rollbackTransaction(); }
void DataModelRepository::unsafeCommitPotentiallyFailingTransaction() { requireCore(core_).commitTransaction(false); }
bool DataModelRepository::inTransaction() const noexcept { return core_ && core_->inTransaction(); }
void DataModelRepository::performDictionaryFunction(const boost::function<void()>& f) {
  requireCore(core_).performDictionaryFunction(f);
}
void DataModelRepository::allocateObjectIds(std::size_t count, ObjectId& first) {
  requireCore(core_).allocateObjectIds(count, first);
}
ObjectRef DataModelRepository::getObjectRef(ObjectId id, const ClassRef& cls) const {
  Core& core = requireCore(core_);
  core.checkUsable(ownClass(core, cls));
  return core.makeObjectRef(Core::info(cls), id);
}
void DataModelRepository::setTraceCallback(TraceCallback callback, void* context) {
  requireCore(core_).setTrace(callback, context);
}

}  // namespace vlt
