#include "external/Metamodel.hpp"
#include "external/Model.hpp"
#include "serialization/ValueText.hpp"

#include <foundation/core/except/Exception.hpp>

namespace vlt_datasource {
namespace {

namespace meta = qm::zero::meta;

[[noreturn]] void cannotCast(const meta::Type& type) {
  foundation::core::except::throwException(
      qm0::messages::CannotCastIncompatibleTypes(type ? type->getQualifiedName() : std::u16string()));
}

}  // namespace

std::u16string DatatypeSerializerStringifier::stringify(const qm::zero::Value& value) {
  const std::unique_ptr<qm::zero::io::Serializer> writer = qm::zero::io::Serializer::create("json");
  std::u16string text;
  {
    const std::unique_ptr<qm::zero::io::SerializationOutput> output =
        qm::zero::io::SerializationOutput::forUTF16String(text);
    writer->serialize(value, *output);
  }
  return text;
}

qm::zero::Value DatatypeSerializerUnstringifier::unstringify(const std::u16string& text, const meta::Type& type) {
  const std::unique_ptr<qm::zero::io::Parser> reader = qm::zero::io::Parser::create("json");
  reader->parseString(text);
  const std::vector<qm::zero::io::ParseItem>& items = reader->getCreatedTopLevelItems();
  // The same type object, not merely one of the same name.
  if (items.size() == 1 && items.front().getMetaClass().get() == type.get()) return items.front().getValue();
  return serializer ? serializer->fallbackValue() : qm::zero::Value(type, boost::none);
}

qm::zero::Value DatatypeSerializerUnstringifier::absentValue(const meta::Type& type) {
  return serializer ? serializer->defaultValue(type) : qm::zero::Value(type, boost::none);
}

std::u16string toStoredText(const qm::zero::Value& value) {
  const meta::Type& type = value.getType();
  if (const meta::PrimitiveType primitive = meta::PrimitiveType::downcast(type)) {
    const meta::PropertySerializer* serializer =
        meta::PropertySerializerRegistry::getInstance()->getPropertySerializer(primitive, std::string());
    if (!serializer) cannotCast(type);
    return PrimitiveSerializerStringifier(serializer).stringify(value);
  }
  if (meta::DataType::downcast(type)) return DatatypeSerializerStringifier().stringify(value);
  cannotCast(type);
}

}  // namespace vlt_datasource
