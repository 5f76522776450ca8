#pragma once

#include <qm/zero/meta/Metamodel.hpp>

#include <string>

namespace qm::zero::meta {

/// The standard primitive types, each the registry's type of that name. The
/// handles are created on first use and live for the whole program.
/// Thread-safe.
struct QM0_API StandardTypes {
  static const PrimitiveType& integerMeta();           ///< "Integer", std::int32_t
  static const PrimitiveType& unlimitedNaturalMeta();  ///< "UnlimitedNatural", std::uint32_t
  static const PrimitiveType& integer64Meta();         ///< "Integer64", std::int64_t
  static const PrimitiveType& uinteger8Meta();         ///< "UInteger8", std::uint8_t
  static const PrimitiveType& uinteger64Meta();        ///< "UInteger64", std::uint64_t
  static const PrimitiveType& realMeta();              ///< "Real", double
  static const PrimitiveType& stringMeta();            ///< "String", std::u16string
  static const PrimitiveType& stdstringMeta();         ///< "StdString", std::string
  static const PrimitiveType& dateTimeMeta();          ///< "DateTime", boost::posix_time::ptime
  static const PrimitiveType& uuidMeta();              ///< "UUID", boost::uuids::uuid
  static const PrimitiveType& booleanMeta();           ///< "Boolean", bool
  static const PrimitiveType& qxArrayMeta();           ///< "QxArray", matrix::qxArray_tag*
  static const PrimitiveType& stringToStringMapMeta(); ///< "StringToStringMap"
};

namespace internal {
/// The standard primitive type registered as `name`; null when none.
QM0_API PrimitiveType getPrimitiveTypeFromMetaRegistry(const std::u16string& name);
}  // namespace internal

}  // namespace qm::zero::meta
