// The public handles: thin forwarding to the repository core.

#include "Core.hpp"

#include <vlt/Repository.hpp>

#include <algorithm>

namespace vlt {

using detail::Core;
using detail::HandleAccess;

namespace {
const std::string emptyText;
const boost::uuids::uuid nilUuid{};

}  // namespace

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
  const detail::PropertyInfo* p = core_->schema().lookUpProperty(info_, name);
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
  for (const auto* c : core_->schema().classes()) {
    if (c->packageName == name_) out.push_back(core_->handles().classRef(c));
  }
  return out;
}

std::vector<PackageRef> MetamodelRef::packages() const {
  std::vector<PackageRef> out;
  if (!core_) return out;
  std::vector<std::string> names;
  for (const auto* c : core_->schema().classes()) names.push_back(c->packageName);
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  for (auto& n : names) out.push_back(PackageRef(core_, n));
  return out;
}
std::vector<ClassRef> MetamodelRef::classes() const {
  std::vector<ClassRef> out;
  if (!core_) return out;
  for (const auto* c : core_->schema().classes()) out.push_back(core_->handles().classRef(c));
  return out;
}
std::vector<EnumerationRef> MetamodelRef::enumerations() const {
  std::vector<EnumerationRef> out;
  if (!core_) return out;
  for (const auto* e : core_->schema().enumerations()) out.push_back(core_->handles().enumerationRef(e));
  return out;
}
ClassRef MetamodelRef::findClass(const std::string& qualifiedName) const {
  if (!core_) return ClassRef();
  const auto* c = core_->schema().findClass(qualifiedName);
  return c ? core_->handles().classRef(c) : ClassRef();
}
EnumerationRef MetamodelRef::findEnumeration(const std::string& qualifiedName) const {
  if (!core_) return EnumerationRef();
  const auto* e = core_->schema().findEnumeration(qualifiedName);
  return e ? core_->handles().enumerationRef(e) : EnumerationRef();
}

// ---------------------------------------------------------------- objects

ClassRef ObjectRef::objectClass() const { return class_ ? ClassRef(core_, class_) : ClassRef(); }

const boost::uuids::uuid& ObjectRef::objectIdentity() const {
  if (uuidKnown_) return uuid_;
  return Core::of(core_).objects().identity(*this);
}

ClassRef ObjectRef::objectRuntimeClass() const {
  if (isNull() || !core_) return ClassRef();
  const auto* c = core_->access().runtimeClass(id_);
  return c ? ClassRef(core_, c) : ClassRef();
}

bool ObjectRef::exists() const { return !isNull() && core_ && core_->access().runtimeClass(id_) != nullptr; }

void ObjectRef::getOwnership(ObjectRef& owner, PropertyRef& property, std::uint64_t& ordinal) const {
  Core::of(core_).containment().ownership(*this, owner, property, &ordinal);
}

void ObjectRef::getOwnership(ObjectRef& owner, PropertyRef& property) const {
  Core::of(core_).containment().ownership(*this, owner, property, nullptr);
}

void ObjectRef::deleteObject() { Core::of(core_).removal().deleteObject(*this); }

void ObjectRef::processIncomingMultiValuedUnidirectionalAssociations(
    const std::function<void(CollectionRef&, std::size_t)>& callback) const {
  Core::of(core_).objects().processIncoming(*this, callback);
}

bool ObjectRef::readSingle(const PropertyRef& property, ValueType type, void* canonical) const {
  return Core::of(core_).collections().readSingle(*this, property, type, canonical);
}
void ObjectRef::writeSingle(const PropertyRef& property, ValueType type, const void* canonical) {
  Core::of(core_).collections().writeSingle(*this, property, type, canonical);
}
void ObjectRef::readMany(const PropertyRef& property, ValueType type, void* canonicalVector) const {
  Core::of(core_).collections().readAll(*this, property, type, canonicalVector);
}
void ObjectRef::writeMany(const PropertyRef& property, ValueType type, const void* canonicalVector, bool objectIsNew) {
  Core::of(core_).collections().writeAll(*this, property, type, canonicalVector, objectIsNew);
}
void ObjectRef::getCollections(const std::vector<PropertyRef>& properties,
                               std::vector<std::vector<ObjectRef>>& out) const {
  Core::of(core_).collections().readCollections(*this, properties, out);
}
void ObjectRef::requestValues() const { Core::of(core_).objects().requestRow(*this); }
void ObjectRef::requestCollections(const std::vector<PropertyRef>& properties) const {
  Core::of(core_).collections().requestCollections(*this, properties);
}
void ObjectRef::getLinksOfOwnedObjects(const PropertyRef& owning, const PropertyRef& property,
                                       std::vector<LinkEntry>& out, bool targetIdentity) const {
  Core::of(core_).collections().readOwnedLinks(*this, owning, property, out, targetIdentity);
}
void ObjectRef::openCollection(const PropertyRef& property, ValueType type, CollectionRefBase& out) const {
  Core::of(core_).collections().open(*this, property, type);
  HandleAccess::setCollection(out, *this, property);
}

// ---------------------------------------------------------------- collections

namespace {
Core& collectionCore(const ObjectRef& owner) {
  Core* core = HandleAccess::core(owner);
  if (core == nullptr || owner.isNull()) throw UsageError("a null collection handle was used");
  return *core;
}
}  // namespace

std::size_t CollectionRefBase::size() const {
  return collectionCore(owner_).collections().size(owner_, HandleAccess::info(property_));
}
void CollectionRefBase::removeAt(std::size_t index) {
  collectionCore(owner_).collections().removeAt(owner_, HandleAccess::info(property_), index);
}
void CollectionRefBase::insertValue(ValueType type, const void* canonical, const boost::optional<std::uint64_t>& index) {
  collectionCore(owner_).collections().insert(owner_, HandleAccess::info(property_), type, canonical, index);
}
void CollectionRefBase::replaceValue(std::size_t index, ValueType type, const void* canonical) {
  collectionCore(owner_).collections().replace(owner_, HandleAccess::info(property_), index, type, canonical);
}
std::size_t CollectionRefBase::findValue(ValueType type, const void* canonical) const {
  return collectionCore(owner_).collections().indexOf(owner_, HandleAccess::info(property_), type, canonical);
}
void CollectionRefBase::valueAt(std::size_t index, ValueType type, void* canonical) const {
  collectionCore(owner_).collections().at(owner_, HandleAccess::info(property_), index, type, canonical);
}
void CollectionRefBase::readAll(ValueType type, void* canonicalVector) const {
  collectionCore(owner_).collections().readAll(owner_, property_, type, canonicalVector);
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

ObjectRef DataModelRef::findObject(const boost::uuids::uuid& uuid, const ClassRef& cls) const {
  Core& core = Core::of(core_);
  return core.objects().find(uuid, core.ownClass(cls), true);
}
void DataModelRef::requestCollections(const boost::uuids::uuid& uuid, const ClassRef& cls,
                                      const std::vector<PropertyRef>& properties) const {
  Core& core = Core::of(core_);
  const detail::ClassInfo* info = core.ownClass(cls);
  if (info == nullptr) core.usage("a null class handle was used");
  core.collections().requestCollectionsOf(uuid, info, properties);
}
ObjectRef DataModelRef::lookUpObject(const boost::uuids::uuid& uuid, const ClassRef& cls) const {
  Core& core = Core::of(core_);
  return core.objects().find(uuid, core.ownClass(cls), false);
}
std::vector<ObjectRef> DataModelRef::lookUpObjects(const std::vector<boost::uuids::uuid>& uuids,
                                                   const ClassRef& cls) const {
  Core& core = Core::of(core_);
  return core.objects().findAll(uuids, core.ownClass(cls));
}
std::vector<ObjectRef> DataModelRef::objectsById(const std::vector<ObjectId>& ids) const {
  return Core::of(core_).objects().byIds(ids);
}
std::vector<ObjectId> DataModelRef::lookUpObjectIds(const std::vector<boost::uuids::uuid>& uuids) const {
  return Core::of(core_).objects().findIds(uuids);
}
std::vector<ObjectId> DataModelRef::confirmObjectIds(const std::vector<ObjectId>& ids,
                                                     const std::vector<boost::uuids::uuid>& uuids) const {
  return Core::of(core_).objects().confirmIds(ids, uuids);
}
void DataModelRef::getLinksOfOwnedObjects(const std::vector<ObjectRef>& owners, const PropertyRef& owning,
                                          const PropertyRef& property, std::vector<LinkEntry>& out,
                                          bool targetIdentity) const {
  Core::of(core_).collections().readOwnedLinks(owners, owning, property, out, targetIdentity);
}
ObjectRef DataModelRef::objectById(ObjectId id) const {
  if (id == 0) return ObjectRef();
  return Core::of(core_).objects().byId(id);
}
std::vector<ObjectRef> DataModelRef::objectsOf(const ClassRef& cls, bool withSubclasses) const {
  Core& core = Core::of(core_);
  return core.objects().objectsOf(core.ownClass(cls), withSubclasses, nullptr);
}
std::size_t DataModelRef::countObjects(const ClassRef& cls, bool withSubclasses) const {
  std::size_t count = 0;
  Core& core = Core::of(core_);
  core.objects().objectsOf(core.ownClass(cls), withSubclasses, &count);
  return count;
}
std::vector<ObjectRef> DataModelRef::rootObjects() const { return Core::of(core_).objects().roots(); }
std::vector<IncomingLink> DataModelRef::linksInto(const PropertyRef& property,
                                                  const std::vector<ObjectRef>& targets) const {
  return Core::of(core_).objects().linksInto(property, targets);
}
void DataModelRef::deleteObjects(const std::vector<ObjectRef>& objects) {
  Core::of(core_).removal().deleteObjects(objects, nullptr, {});
}
namespace {
std::vector<CutLink> cutLinksOf(Core& core, detail::ObjectRemoval::CutLinks& cut) {
  std::vector<CutLink> out;
  out.reserve(cut.size());
  for (auto& c : cut) out.push_back(CutLink{core.handles().propertyRef(c.property), std::move(c.link), c.target});
  return out;
}
}  // namespace
std::vector<CutLink> DataModelRef::deleteObjectsCuttingLinks(const std::vector<ObjectRef>& objects,
                                                              const std::function<bool(const ObjectRef&)>& keeps) {
  Core& core = Core::of(core_);
  detail::ObjectRemoval::CutLinks cut;
  core.removal().deleteObjects(objects, &cut, keeps);
  return cutLinksOf(core, cut);
}
std::vector<CutLink> DataModelRef::deleteIdentifiedObjects(const std::vector<IdentifiedObjects>& groups,
                                                            const std::function<bool(const ObjectRef&)>& keeps,
                                                            std::vector<boost::uuids::uuid>* found) {
  Core& core = Core::of(core_);
  std::vector<detail::ObjectRemoval::Identified> identified;
  identified.reserve(groups.size());
  for (const IdentifiedObjects& group : groups) {
    if (!group.hints.empty() && group.hints.size() != group.identities.size())
      core.usage("deleteIdentifiedObjects needs a hint for every identity, or none");
    identified.push_back({core.ownClass(group.objectClass), &group.identities, &group.hints});
  }
  detail::ObjectRemoval::CutLinks cut;
  core.removal().deleteIdentified(identified, &cut, keeps, found);
  return cutLinksOf(core, cut);
}

void DataModelRef::deleteAllObjects() { Core::of(core_).removal().deleteAll(); }

}  // namespace vlt
