// Framework classes and enumerations to repository classes and enumerations.
// The repository's metamodel is the only cache: every lookup asks it first.
// The package-version records: one "qm.zero.vlt_datasource.PackageInfo"
// object per family whose classes the repository stores, with the version
// that wrote them.

#include "datasource/ClassMapper.hpp"

#include "datasource/Diagnostics.hpp"
#include "datasource/TransactionHooks.hpp"
#include "datasource/ValueKinds.hpp"
#include "external/Model.hpp"
#include "external/RepositoryStatements.hpp"
#include "services/TypeProviders.hpp"

#include <vlt_datasource/Messages.hpp>
#include <vlt_datasource/TypeProvider.hpp>

#include <foundation/core/except/Exception.hpp>
#include <fl/i18n/Unicode.hpp>

#include <algorithm>
#include <vector>

namespace vlt_datasource {
namespace {

namespace meta = qm::zero::meta;
using fl::i18n::ustring_to_utf8;

// What a property is stored as, in the notation of StoredClassMismatch.
std::string storedForm(const std::string& typeName, bool many, bool composite) {
  return typeName + (many ? " [*]" : " [0..1]") + (composite ? " composite" : "");
}

}  // namespace

DataSource::ClassMapper::ClassMapper(DataSource& source, bool reflectiveElements, bool evolveTypes)
    : dataSource(source), repository(source.repository), reflective(reflectiveElements), evolve(evolveTypes) {
  registerTransactionHooks();
}

DataSource::ClassMapper::~ClassMapper() = default;

void DataSource::ClassMapper::registerTransactionHooks() {
  TransactionHooks& hooks = *dataSource.transactionHooks;
  // The records of a rolled-back transaction are gone from the repository;
  // the map must not claim them, or the family would never be recorded again.
  hooks.onRollback([this] {
    for (const std::u16string& family : uncommittedFamilies) packageVersions.erase(family);
    uncommittedFamilies.clear();
  });
  hooks.onCommit([this] { uncommittedFamilies.clear(); });
  // The classes compared with their stored form (and perhaps grown) are
  // compared again: what a rolled-back transaction appended is gone.
  hooks.onRollback([this] { checkedClasses.clear(); });
}

void DataSource::ClassMapper::chooseTypeProvider(const std::u16string& connectionString,
                                                 const std::unordered_set<std::u16string>& requiredFamilies) {
  // A repository opened for type evolution without an evolution provider
  // would be read as if its stored versions were current: refuse instead.
  std::unique_ptr<TypeProvider> provider =
      evolve ? TypeProvider::Factory::createEvolutionTypeProvider() : createMetaRegistryBasedTypeProvider();
  if (!provider)
    foundation::core::except::throwException(m2t_vlt::datasource::NoTypeEvolutionProvider(masked(connectionString)));
  typeProvider = std::move(provider);
  frameworkClasses.clear();
  for (const std::u16string& family : requiredFamilies) typeProvider->addRequiredFamily(family);
}

void DataSource::ClassMapper::indexStoredClasses() {
  for (const vlt::PackageRef& package : repository.metamodel().packages()) {
    for (const vlt::ClassRef& cls : package.classes()) {
      const meta::Class qm0Class = typeProvider->getClass(fl::i18n::utf8_to_ustring(cls.qualifiedName()));
      if (qm0Class) processIncomingPropertiesFrom(qm0Class);
    }
  }
}

void DataSource::ClassMapper::disconnect() {
  packageVersionQuery.reset();
  packageVersionConstructor.reset();
  frameworkClasses.clear();
}

// A reference into the map: every loaded object asks, and a copy would
// count a handle.
const meta::Class& DataSource::ClassMapper::frameworkClassOf(const vlt::ClassRef& vltClass) {
  const auto known = frameworkClasses.find(vltClass.qualifiedName());
  if (known != frameworkClasses.end()) return known->second;
  meta::Class cls = typeProvider->getClass(fl::i18n::utf8_to_ustring(vltClass.qualifiedName()));
  if (cls) checkStoredClass(cls, vltClass, false);
  return frameworkClasses.emplace(vltClass.qualifiedName(), std::move(cls)).first->second;
}

vlt::ClassRef DataSource::ClassMapper::getVltClass(const meta::Class& cls, bool addWholePackage) {
  const std::string name = ustring_to_utf8(cls->getQualifiedName());
  if (vlt::ClassRef found = repository.metamodel().findClass(name)) {
    checkStoredClass(cls, found, true);
    return found;
  }

  std::set<vlt::ClassRef> superclasses;
  if (const meta::Class superclass = cls->getSuperclass()) superclasses.insert(getVltClass(superclass, true));
  // The superclass's package may have brought this class along.
  if (vlt::ClassRef found = repository.metamodel().findClass(name)) return found;

  debugLog.log(severity::detail, "adding ", name, " to VLT metamodel");
  checkAndStoreVltPackage(cls->getPackage());
  processIncomingPropertiesFrom(cls);
  const vlt::ClassRef classRef = repository.createClass(name, superclasses);

  std::vector<meta::Property> properties;
  for (const auto& [propertyName, property] : cls->getOwnedAttributes())
    if (!property->isNotStored()) properties.push_back(property);
  std::stable_sort(properties.begin(), properties.end(), [](const meta::Property& a, const meta::Property& b) {
    return a->getPositionIndex() < b->getPositionIndex();
  });

  // Made from the class as it is: nothing to compare, also while its
  // properties' types are mapped (and find it half made).
  checkedClasses.insert(cls.get());
  for (const meta::Property& property : properties) appendStoredProperty(classRef, property);

  if (addWholePackage) {
    debugLog.log(severity::detail, "Adding other classes from the same package, too");
    for (const meta::Type& type : cls->getPackage()->getOwnedTypes())
      if (const meta::Class other = meta::Class::downcast(type)) getVltClass(other, false);
  }
  return classRef;
}

bool DataSource::ClassMapper::appendStoredProperty(const vlt::ClassRef& classRef, const meta::Property& property) {
  const meta::Type type = property->getType();
  const meta::Class typeClass = meta::Class::downcast(type);
  if (typeClass)
    getVltClass(typeClass, true);
  else if (const meta::Enum enumType = meta::Enum::downcast(type))
    getVltEnumeratedType(enumType);
  const std::string typeName = repositoryTypeName(property);
  if (typeName.empty()) {
    debugLog.log(severity::detail, "unsupported property type: ", type ? type->getQualifiedName() : u"");
    return false;
  }
  const std::uint32_t upper = property->getUpper();
  const bool composite = typeClass && property->isComposite();
  const bool optional = property->isValueOptional() ||
                        (upper == 1 && !property->isComposite() && typeClass && !property->hasOpposite());
  repository.appendPropertyToClass(classRef, ustring_to_utf8(property->getName()), typeName, std::string(),
                                   property->getLower(), upper, composite, upper >= 2 && property->isOrdered(),
                                   optional, std::string(), vlt::DataModelRepository::AssociationByOption(0),
                                   std::string(), boost::uuids::uuid{}, upper <= 1 || property->isUnique());
  debugLog.log(severity::detail, "   prop: '", property->getName(), "'", " : '", typeName, "'");
  return true;
}

// A stored class made by an earlier version of the metamodel is used as long
// as what is stored reads the same: properties may come (appended) and go
// (their values kept), but a value is never read as another type, and the
// objects of a class never change the classes they are found under.
void DataSource::ClassMapper::checkStoredClass(const meta::Class& cls, const vlt::ClassRef& stored, bool grow) {
  if (evolve || checkedClasses.count(cls.get()) != 0) return;
  const std::u16string& className = cls->getQualifiedName();
  const meta::Class superclass = cls->getSuperclass();
  const std::string expectedSuperclass = superclass ? ustring_to_utf8(superclass->getQualifiedName()) : std::string();
  std::string storedSuperclass;
  for (const vlt::ClassRef& s : stored.superclasses())
    storedSuperclass += (storedSuperclass.empty() ? "" : ", ") + s.qualifiedName();
  if (storedSuperclass != expectedSuperclass)
    foundation::core::except::throwException(m2t_vlt::datasource::StoredClassMismatch(
        className, std::u16string(), "superclass " + storedSuperclass, "superclass " + expectedSuperclass));

  std::vector<meta::Property> gained;
  for (const auto& [name, property] : cls->getOwnedAttributes()) {
    if (property->isNotStored()) continue;
    const std::string typeName = repositoryTypeName(property);
    if (typeName.empty()) continue;
    const vlt::PropertyRef column = stored.findProperty(ustring_to_utf8(name));
    if (!column) {
      gained.push_back(property);
      continue;
    }
    const bool many = property->getUpper() >= 2;
    const bool composite = meta::Class::downcast(property->getType()) && property->isComposite();
    if (column.typeName() != typeName || column.isMultiValue() != many || column.isComposite() != composite)
      foundation::core::except::throwException(m2t_vlt::datasource::StoredClassMismatch(
          className, name, storedForm(column.typeName(), column.isMultiValue(), column.isComposite()),
          storedForm(typeName, many, composite)));
  }
  for (const vlt::PropertyRef& column : stored.ownProperties()) {
    const meta::Property property = cls->getOwnedAttributes().find(fl::i18n::utf8_to_ustring(column.name()));
    if (!property || property->isNotStored())
      debugLog.log(severity::warning, "the stored property ", column.name(), " of ", stored.qualifiedName(),
                   " is no property of the framework class: its stored values are kept and not read");
  }
  // A read leaves the stored class as it is: nothing is stored for what
  // the class gained, and a read loads each class once per connection.
  if (!grow) return;
  checkedClasses.insert(cls.get());  // before its properties' types are mapped, which may find it
  std::stable_sort(gained.begin(), gained.end(), [](const meta::Property& a, const meta::Property& b) {
    return a->getPositionIndex() < b->getPositionIndex();
  });
  for (const meta::Property& property : gained)
    if (appendStoredProperty(stored, property))
      debugLog.log(severity::warning, "the property ", property->getName(), " of ", className,
                   " is new to the stored class: added");
}

void DataSource::ClassMapper::processIncomingPropertiesFrom(const meta::Class& cls) {
  for (const auto& [name, property] : cls->getOwnedAttributes()) {
    if (property->isNotStored() || property->hasOpposite() || property->isComposite()) continue;
    if (const meta::Class target = meta::Class::downcast(property->getType()))
      incoming[target].insert(property);
  }
}

vlt::EnumerationRef DataSource::ClassMapper::getVltEnumeratedType(const meta::Enum& enumType) {
  const std::string name = ustring_to_utf8(enumType->getQualifiedName());
  if (vlt::EnumerationRef found = repository.metamodel().findEnumeration(name)) return found;
  debugLog.log(severity::detail, "    enum type: ", name);
  std::vector<std::pair<std::string, int>> literals;
  for (const auto& [literal, value] : enumType->getLiterals()) {
    debugLog.log(severity::detail, "       ", literal, ": ", value);
    literals.emplace_back(ustring_to_utf8(literal), value);
  }
  return repository.createEnumeration(name, literals);
}

vlt::EnumeralRef DataSource::ClassMapper::getVltEnumeral(const meta::Type& type, const qm::zero::Value& value) {
  const vlt::EnumerationRef enumeration = getVltEnumeratedType(meta::Enum::downcast(type));
  const meta::Type& valueType = value.getType();
  if (valueType != meta::StandardTypes::integerMeta() && !meta::Enum::downcast(valueType))
    foundation::core::except::throwException(
        qm0::messages::CannotCastIncompatibleTypes(valueType ? valueType->getQualifiedName() : std::u16string()));
  return enumeration.findEnumeral(value.isEmpty() ? 0 : value.get<std::int32_t>());
}

// ---------------------------------------------------------------------------
// Package versions

void DataSource::ClassMapper::establishPackageVersionQueryCtor() {
  if (packageVersionQuery) return;
  const vlt::ClassRef packageInfo = repository.metamodel().findClass("qm.zero.vlt_datasource.PackageInfo");
  const vlt::PropertyRef family = packageInfo ? packageInfo.findProperty("family") : vlt::PropertyRef();
  const vlt::PropertyRef version = family ? packageInfo.findProperty("version") : vlt::PropertyRef();
  if (!version) foundation::core::except::throwException(m2t_vlt::messages::ObsoleteSchema());
  auto query = std::make_unique<vlt::ObjectQuery>(repository);
  query->addResultProperty(family, &packageFamilyBuffer, 0);
  query->addResultProperty(version, &packageVersionBuffer, 0);
  auto constructor = std::make_unique<vlt::ObjectConstructor>(packageInfo);
  constructor->setPropertyValueSource(family, &packageFamilyBuffer);
  constructor->setPropertyValueSource(version, &packageVersionBuffer);
  packageVersionQuery = std::move(query);
  packageVersionConstructor = std::move(constructor);
}

void DataSource::ClassMapper::loadAndCheckVltPackageVersions() {
  establishPackageVersionQueryCtor();
  packageVersions.clear();
  uncommittedFamilies.clear();
  // One statement, in no transaction of its own: one that may write would
  // take the writer lock on PostgreSQL, and a host that only reads opens
  // beside a writer.
  vlt::ObjectQuery::ResultIterator results = packageVersionQuery->execute();
  // The first record of a family wins.
  while (results.getNextResult()) packageVersions.emplace(packageFamilyBuffer, packageVersionBuffer);
  results.clear();
  typeProvider->validatePackageVersionsAndRequiredFamilies(dataSource, packageVersions);
}

void DataSource::ClassMapper::checkAndStoreVltPackageVersions() {
  for (const meta::Package& package : dataSource.modelImpl->getUsedPackages()) checkAndStoreVltPackage(package);
}

bool DataSource::ClassMapper::packageVersionsToRecord() const {
  for (const meta::Package& package : dataSource.modelImpl->getUsedPackages())
    if (packageVersions.count(meta::MetaRegistry::parseUri(package->getUri()).second) == 0) return true;
  return false;
}

void DataSource::ClassMapper::restoreVltPackageVersions() {
  for (const auto& [family, version] : packageVersions) storeVltPackageVersion(family, version);
}

void DataSource::ClassMapper::checkAndStoreVltPackage(const meta::Package& package) {
  const auto [version, family] = meta::MetaRegistry::parseUri(package->getUri());
  const auto recorded = packageVersions.find(family);
  if (recorded != packageVersions.end()) {
    if (recorded->second == version) return;
    foundation::core::except::throwException(
        m2t_vlt::datasource::PackageVersionMismatch(repository.filespec(), family, recorded->second, version));
  }
  storeVltPackageVersion(family, version);
  packageVersions.emplace(family, version);
  if (repository.inTransaction()) uncommittedFamilies.push_back(family);
}

void DataSource::ClassMapper::storeVltPackageVersion(const std::u16string& family, const std::u16string& version) {
  establishPackageVersionQueryCtor();
  packageFamilyBuffer = family;
  packageVersionBuffer = version;
  packageVersionConstructor->createObject(repository.defaultDataModel());
}

}  // namespace vlt_datasource
