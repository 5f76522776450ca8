#pragma once
// Text forms of values that a store keeps as text: property serializers for
// primitive types, datatype serializers for the default and fallback values
// of datatypes, and the process-wide registry of both.

#include <qm/zero/Value.hpp>

#include <memory>
#include <string>

namespace qm::zero::meta {

/// Turns values of one primitive type into text and back, in one format.
/// Registered serializers are shared by every thread: implementations must
/// be stateless or thread-safe.
class QM0_API PropertySerializer {
 public:
  virtual ~PropertySerializer();
  /// The text of a present value of the serializer's type.
  virtual std::u16string serializeValue(const Value& value) const = 0;
  /// The value `text` stands for, of `type`; throws
  /// qm0:messages:InvalidValue when it stands for none.
  virtual Value deserializeValue(const std::u16string& text, const Type& type) const = 0;
  /// The value of a property whose text is absent: the empty value of `type`
  /// unless the serializer says otherwise.
  virtual Value defaultValue(const Type& type) const;
  /// Called once for every value made by `deserializeValue` after the caller
  /// has stored it, last value first, for serializers that track their
  /// values. Default: nothing.
  virtual void releaseValue(const Value& value, const Type& type) const;
};

/// What a store uses for a datatype value whose text is absent (`defaultValue`)
/// or does not read back as one value of the datatype (`fallbackValue`).
class QM0_API DatatypeSerializer {
 public:
  virtual ~DatatypeSerializer();
  virtual Value defaultValue(const Type& type) const = 0;
  virtual Value fallbackValue() const = 0;
};

/// The serializers by type and format name. The standard primitive types
/// (all but QxArray) have a serializer under the empty format name from the
/// start: decimal numbers, shortest round-trip reals, "true"/"false", the
/// 36-character lower-case uuid, ISO 8601 extended date-times (and
/// "not-a-date-time", "-infinity", "+infinity"), the string itself for
/// String and StdString, a JSON object for StringToStringMap. Registered
/// serializers live until the program ends; lookups and registration are
/// thread-safe.
class QM0_API PropertySerializerRegistry {
 public:
  /// The registry; lives for the whole program.
  static PropertySerializerRegistry* getInstance();
  PropertySerializerRegistry(const PropertySerializerRegistry&) = delete;
  PropertySerializerRegistry& operator=(const PropertySerializerRegistry&) = delete;

  /// The serializer of `type` in `format` ("" is the store's text form);
  /// null when there is none. The registry owns it.
  PropertySerializer* getPropertySerializer(const Type& type, const std::string& format) const;
  /// The datatype serializer of `type`; null when there is none.
  DatatypeSerializer* getDatatypeSerializer(const DataType& type) const;

  /// Registers a serializer; false (and `serializer` dropped) when `type` has
  /// one in `format` already. Throws std::invalid_argument for a null type
  /// or serializer.
  bool registerPropertySerializer(const Type& type, const std::string& format,
                                  std::unique_ptr<PropertySerializer> serializer);
  bool registerDatatypeSerializer(const DataType& type, std::unique_ptr<DatatypeSerializer> serializer);

 private:
  PropertySerializerRegistry();
  ~PropertySerializerRegistry();
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qm::zero::meta
