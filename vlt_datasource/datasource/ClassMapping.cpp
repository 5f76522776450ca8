// Framework classes and enumerations to repository classes and enumerations.
// The repository's metamodel is the only cache: every lookup asks it first.

#include <vlt_datasource/DataSource.hpp>

#include "datasource/Diagnostics.hpp"

#include <foundation/core/except/Exception.hpp>
#include <fl/i18n/Unicode.hpp>
#include <qm/zero/Messages.hpp>
#include <qm/zero/meta/PropertySerializer.hpp>
#include <qm/zero/meta/StandardTypes.hpp>

#include <algorithm>
#include <vector>

namespace vlt_datasource {
namespace {

namespace meta = qm::zero::meta;
using fl::i18n::ustring_to_utf8;

// The repository's type name of a primitive type; empty when it has none.
std::string primitiveTypeName(const meta::PrimitiveType& type) {
  using meta::StandardTypes;
  static const std::pair<const meta::PrimitiveType*, const char*> names[] = {
      {&StandardTypes::integerMeta(), "int32"},       {&StandardTypes::unlimitedNaturalMeta(), "uint32"},
      {&StandardTypes::integer64Meta(), "int64"},     {&StandardTypes::uinteger64Meta(), "uint64"},
      {&StandardTypes::realMeta(), "real64"},         {&StandardTypes::stringMeta(), "ustring"},
      {&StandardTypes::stdstringMeta(), "string"},    {&StandardTypes::dateTimeMeta(), "DateTime"},
      {&StandardTypes::uuidMeta(), "UUID"},           {&StandardTypes::booleanMeta(), "bool"},
      {&StandardTypes::qxArrayMeta(), "qxarray"}};
  for (const auto& [standard, name] : names)
    if (*standard == type) return name;
  // Other primitive values are stored as the text of their serializer.
  if (meta::PropertySerializerRegistry::getInstance()->getPropertySerializer(type, std::string())) return "ustring";
  return {};
}

}  // namespace

vlt::ClassRef DataSource::getVltClass(const meta::Class& cls, bool addWholePackage) {
  const std::string name = ustring_to_utf8(cls->getQualifiedName());
  if (vlt::ClassRef found = repository.metamodel().findClass(name)) return found;

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

  for (const meta::Property& property : properties) {
    const meta::Type type = property->getType();
    const meta::Class typeClass = meta::Class::downcast(type);
    std::string typeName;
    if (typeClass) {
      getVltClass(typeClass, true);
      typeName = ustring_to_utf8(typeClass->getQualifiedName());
    } else if (const meta::Enum enumType = meta::Enum::downcast(type)) {
      getVltEnumeratedType(enumType);
      typeName = ustring_to_utf8(enumType->getQualifiedName());
    } else if (const meta::PrimitiveType primitive = meta::PrimitiveType::downcast(type)) {
      typeName = primitiveTypeName(primitive);
    } else if (meta::DataType::downcast(type) && property->isStoredSerialized()) {
      typeName = "ustring";
    }
    if (typeName.empty()) {
      debugLog.log(severity::detail, "unsupported property type: ", type ? type->getQualifiedName() : u"");
      continue;
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
  }

  if (addWholePackage) {
    debugLog.log(severity::detail, "Adding other classes from the same package, too");
    for (const meta::Type& type : cls->getPackage()->getOwnedTypes())
      if (const meta::Class other = meta::Class::downcast(type)) getVltClass(other, false);
  }
  return classRef;
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
