#pragma once

#include <cstdint>

namespace qm::zero {

/// What one entry of a value holds. A primitive type names the entry type of
/// its values; enumerations hold `EnumLiteral` (the literal's int), classes
/// `Element`, datatypes `DataValue`.
enum class EntryType : std::uint8_t {
  None = 0,           ///< no type (a default-constructed value)
  Integer,            ///< std::int32_t
  UnlimitedNatural,   ///< std::uint32_t
  Integer64,          ///< std::int64_t
  UInteger8,          ///< std::uint8_t
  UInteger64,         ///< std::uint64_t
  Real,               ///< double
  String,             ///< std::u16string
  StdString,          ///< std::string (UTF-8 bytes)
  DateTime,           ///< boost::posix_time::ptime
  UUID,               ///< boost::uuids::uuid
  Boolean,            ///< bool
  QxArray,            ///< matrix::qxArray_tag* (borrowed, see Value)
  StringToStringMap,  ///< std::map<std::u16string, std::u16string>
  EnumLiteral,        ///< std::int32_t, the literal's value
  Element,            ///< ModelElement
  DataValue,          ///< qm::zero::DataValue
};

}  // namespace qm::zero
