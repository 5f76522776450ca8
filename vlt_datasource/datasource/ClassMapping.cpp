// Framework classes and enumerations to repository classes and enumerations.
// The repository's metamodel is the only cache: every lookup asks it first.

#include <vlt_datasource/DataSource.hpp>

#include "datasource/Diagnostics.hpp"
#include "datasource/ValueKinds.hpp"
#include "external/Metamodel.hpp"
#include "external/Model.hpp"

#include <vlt_datasource/Messages.hpp>

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

vlt::ClassRef DataSource::getVltClass(const meta::Class& cls, bool addWholePackage) {
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

bool DataSource::appendStoredProperty(const vlt::ClassRef& classRef, const meta::Property& property) {
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
void DataSource::checkStoredClass(const meta::Class& cls, const vlt::ClassRef& stored, bool grow) {
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

void DataSource::processIncomingPropertiesFrom(const meta::Class& cls) {
  for (const auto& [name, property] : cls->getOwnedAttributes()) {
    if (property->isNotStored() || property->hasOpposite() || property->isComposite()) continue;
    if (const meta::Class target = meta::Class::downcast(property->getType()))
      incomingProperties[target].insert(property);
  }
}

vlt::EnumerationRef DataSource::getVltEnumeratedType(const meta::Enum& enumType) {
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

vlt::EnumeralRef DataSource::getVltEnumeral(const meta::Type& type, const qm::zero::Value& value) {
  const vlt::EnumerationRef enumeration = getVltEnumeratedType(meta::Enum::downcast(type));
  const meta::Type& valueType = value.getType();
  if (valueType != meta::StandardTypes::integerMeta() && !meta::Enum::downcast(valueType))
    foundation::core::except::throwException(
        qm0::messages::CannotCastIncompatibleTypes(valueType ? valueType->getQualifiedName() : std::u16string()));
  return enumeration.findEnumeral(value.isEmpty() ? 0 : value.get<std::int32_t>());
}

}  // namespace vlt_datasource
