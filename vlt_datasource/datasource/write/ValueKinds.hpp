#pragma once
// How a framework property's values are stored: the one classification that
// the value cells of new objects and the property writes share.

#include <qm/zero/meta/Metamodel.hpp>
#include <qm/zero/meta/PropertySerializer.hpp>

namespace vlt_datasource {

enum class ValueKind {
  none,                // not stored (no repository type)
  int32,               // Integer
  uint32,              // UnlimitedNatural
  int64,               // Integer64
  uint64,              // UInteger64
  real,                // Real
  ustring,             // String
  string,              // StdString
  dateTime,            // DateTime
  uuid,                // UUID
  boolean,             // Boolean
  qxarray,             // QxArray
  serializedPrimitive, // any other primitive type with a property serializer: its text
  serializedDatatype,  // a datatype of a property stored serialized: its JSON text
  enumeration,
  reference,
};

struct PropertyStorage {
  ValueKind kind = ValueKind::none;
  /// The serializer of a serializedPrimitive (the registry's, borrowed).
  const qm::zero::meta::PropertySerializer* serializer = nullptr;
};

/// How `property`'s values are stored; `none` for a storage-excluded
/// property and for types without a stored form.
PropertyStorage storageOf(const qm::zero::meta::Property& property);

}  // namespace vlt_datasource
