#pragma once
// Stored text for values without a repository column type of their own:
// primitive values that the framework serializes itself, and datatype values
// of properties stored serialized. The converters format nothing themselves:
// primitive values go through the framework's property serializers, datatype
// values through its JSON writer and reader.

#include "external/Metamodel.hpp"
#include "external/Model.hpp"

#include <string>

namespace vlt_datasource {

/// A value to its stored text.
class Stringifier {
 public:
  virtual ~Stringifier() = default;
  virtual std::u16string stringify(const qm::zero::Value& value) = 0;
};

/// Stored text back to a value.
class Unstringifier {
 public:
  virtual ~Unstringifier() = default;
  /// The value for present text (an empty text included).
  virtual qm::zero::Value unstringify(const std::u16string& text, const qm::zero::meta::Type& type) = 0;
  /// The value when the repository holds no text.
  virtual qm::zero::Value absentValue(const qm::zero::meta::Type& type) = 0;
};

/// Through a property serializer of the framework's registry (borrowed; the
/// registry keeps it for the life of the process).
class PrimitiveSerializerStringifier final : public Stringifier {
 public:
  explicit PrimitiveSerializerStringifier(const qm::zero::meta::PropertySerializer* propertySerializer)
      : serializer(propertySerializer) {}
  std::u16string stringify(const qm::zero::Value& value) override { return serializer->serializeValue(value); }

 private:
  const qm::zero::meta::PropertySerializer* serializer;
};

class PrimitiveSerializerUnstringifier final : public Unstringifier {
 public:
  explicit PrimitiveSerializerUnstringifier(const qm::zero::meta::PropertySerializer* propertySerializer)
      : serializer(propertySerializer) {}
  qm::zero::Value unstringify(const std::u16string& text, const qm::zero::meta::Type& type) override {
    return serializer->deserializeValue(text, type);
  }
  qm::zero::Value absentValue(const qm::zero::meta::Type& type) override { return serializer->defaultValue(type); }

 private:
  const qm::zero::meta::PropertySerializer* serializer;
};

/// A datatype value as the framework's JSON text.
class DatatypeSerializerStringifier final : public Stringifier {
 public:
  std::u16string stringify(const qm::zero::Value& value) override;
};

/// JSON text back to a datatype value; text that is not exactly one item of
/// the expected datatype reads as the datatype serializer's fallback value
/// (borrowed from the registry). Without a serializer (a datatype that has
/// none registered) the fallback and the absent value are the empty value.
class DatatypeSerializerUnstringifier final : public Unstringifier {
 public:
  explicit DatatypeSerializerUnstringifier(const qm::zero::meta::DatatypeSerializer* datatypeSerializer)
      : serializer(datatypeSerializer) {}
  qm::zero::Value unstringify(const std::u16string& text, const qm::zero::meta::Type& type) override;
  qm::zero::Value absentValue(const qm::zero::meta::Type& type) override;

 private:
  const qm::zero::meta::DatatypeSerializer* serializer;
};

/// The text to store for `value`: a primitive value through its serializer,
/// a datatype value as JSON. Throws qm0:messages:CannotCastIncompatibleTypes
/// for any other value, and for a primitive type without serializer.
std::u16string toStoredText(const qm::zero::Value& value);

}  // namespace vlt_datasource
