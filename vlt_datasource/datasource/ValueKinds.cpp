#include "datasource/ValueKinds.hpp"

#include <fl/i18n/Unicode.hpp>

#include <utility>
#include <vector>

namespace vlt_datasource {

namespace meta = qm::zero::meta;

namespace {

// The kinds of the framework's standard types, from the table.
const std::vector<std::pair<const meta::PrimitiveType*, ValueKind>>& standardKinds() {
  static const auto kinds = [] {
    std::vector<std::pair<const meta::PrimitiveType*, ValueKind>> all;
    forEachKind([&](auto kind) {
      if (const meta::PrimitiveType* type = decltype(kind)::frameworkType()) all.emplace_back(type, kind.kind);
    });
    return all;
  }();
  return kinds;
}

}  // namespace

PropertyStorage storageOfType(const meta::Type& type, bool storedSerialized) {
  if (meta::Class::downcast(type)) return {ValueKind::reference};
  if (meta::Enum::downcast(type)) return {ValueKind::enumeration};
  if (const meta::PrimitiveType primitive = meta::PrimitiveType::downcast(type)) {
    const meta::PropertySerializer* serializer = nullptr;
    for (const auto& [standard, kind] : standardKinds()) {
      if (*standard != primitive) continue;
      if (visitKind(kind, [](auto k) { return k.form != ValueForm::primitiveText; })) return {kind};
      serializer = meta::PropertySerializerRegistry::getInstance()->getPropertySerializer(primitive, std::string());
      return serializer ? PropertyStorage{kind, serializer} : PropertyStorage{};
    }
    // Any other primitive type is stored as its serializer's text.
    serializer = meta::PropertySerializerRegistry::getInstance()->getPropertySerializer(primitive, std::string());
    if (serializer) return {ValueKind::serializedPrimitive, serializer};
    return {};
  }
  if (meta::DataType::downcast(type) && storedSerialized) return {ValueKind::serializedDatatype};
  return {};
}

PropertyStorage storageOf(const meta::Property& property) {
  if (property->isNotStored()) return {};
  return storageOfType(property->getType(), property->isStoredSerialized());
}

std::string repositoryTypeName(const meta::Property& property) {
  const PropertyStorage storage = storageOf(property);
  if (storage.kind == ValueKind::reference || storage.kind == ValueKind::enumeration)
    return fl::i18n::ustring_to_utf8(property->getType()->getQualifiedName());
  const char* name = visitKind(storage.kind, [](auto kind) { return decltype(kind)::typeName; });
  return name ? name : std::string();
}

}  // namespace vlt_datasource
