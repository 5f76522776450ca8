#pragma once
// Every message identifier the platform's libraries throw. Each is a value
// type whose constructor takes the identifier's arguments in the order the
// host's message catalogue expects them. Namespaces follow the group:
// "m2t_vlt:datasource" is m2t_vlt::datasource.

#include <foundation/core/except/Exception.hpp>

#include <string>
#include <utility>

#define FOUNDATION_MSG_ID_WITHOUT_ARGUMENTS(Name)        \
  struct FOUNDATION_VISIBLE Name : resource_core::BaseMsgID { \
    Name() : BaseMsgID(groupName, #Name) {}                   \
  }

namespace m2t_vlt::messages {
inline constexpr const char* groupName = "m2t_vlt:messages";

/// The connection string could not be parsed. Arguments: the connection
/// string (UTF-16), then a UTF-8 detail text (empty when there is none).
struct FOUNDATION_VISIBLE CannotOpenVLTRepository : resource_core::BaseMsgID {
  CannotOpenVLTRepository(std::u16string connectionString, std::string detail)
      : BaseMsgID(groupName, "CannotOpenVLTRepository", {std::move(connectionString), std::move(detail)}) {}
};

/// The repository lacks a class or property that the library requires.
FOUNDATION_MSG_ID_WITHOUT_ARGUMENTS(ObsoleteSchema);
}  // namespace m2t_vlt::messages

namespace m2t_vlt::datasource {
inline constexpr const char* groupName = "m2t_vlt:datasource";

/// A data source was created for a model inside a transaction.
FOUNDATION_MSG_ID_WITHOUT_ARGUMENTS(CannotAttachInsideTransaction);

/// A stored package version is not acceptable. Arguments (UTF-16): the
/// repository file specification, the family, the recorded version, the
/// version in use.
struct FOUNDATION_VISIBLE PackageVersionMismatch : resource_core::BaseMsgID {
  PackageVersionMismatch(std::u16string filespec, std::u16string family, std::u16string recordedVersion,
                         std::u16string versionInUse)
      : BaseMsgID(groupName, "PackageVersionMismatch",
                  {std::move(filespec), std::move(family), std::move(recordedVersion), std::move(versionInUse)}) {}
};

/// A modified element has no repository object.
FOUNDATION_MSG_ID_WITHOUT_ARGUMENTS(VltObjectNotFound);

/// A query constrains a primitive type that cannot be translated. Argument:
/// the type name (UTF-16).
struct FOUNDATION_VISIBLE UnsupportedPrimitiveType : resource_core::BaseMsgID {
  explicit UnsupportedPrimitiveType(std::u16string typeName)
      : BaseMsgID(groupName, "UnsupportedPrimitiveType", {std::move(typeName)}) {}
};
}  // namespace m2t_vlt::datasource

namespace qm0::messages {
inline constexpr const char* groupName = "qm0:messages";

/// A value was read as a type it does not have. Argument: the qualified name
/// of the value's type (UTF-16).
struct FOUNDATION_VISIBLE CannotCastIncompatibleTypes : resource_core::BaseMsgID {
  explicit CannotCastIncompatibleTypes(std::u16string valueTypeName)
      : BaseMsgID(groupName, "CannotCastIncompatibleTypes", {std::move(valueTypeName)}) {}
};

/// A typed value was taken from an optional that holds none.
FOUNDATION_MSG_ID_WITHOUT_ARGUMENTS(InvalidValue);
}  // namespace qm0::messages

namespace qm0::query {
inline constexpr const char* groupName = "qm0:query";

FOUNDATION_MSG_ID_WITHOUT_ARGUMENTS(InvalidLimitOffsetValue);
FOUNDATION_MSG_ID_WITHOUT_ARGUMENTS(InvalidSearchClass);
FOUNDATION_MSG_ID_WITHOUT_ARGUMENTS(PropertyRelationObjectMultiValue);
FOUNDATION_MSG_ID_WITHOUT_ARGUMENTS(PropertyRelationPropertyTypeMismatch);
FOUNDATION_MSG_ID_WITHOUT_ARGUMENTS(QueryResultObjectNotFound);

/// A relation that cannot be applied to a type. Arguments: a UTF-8 text (the
/// relation), then a UTF-16 text (the type).
struct FOUNDATION_VISIBLE RelationAndTypeNotSupported : resource_core::BaseMsgID {
  RelationAndTypeNotSupported(std::string relation, std::u16string typeName)
      : BaseMsgID(groupName, "RelationAndTypeNotSupported", {std::move(relation), std::move(typeName)}) {}
};

FOUNDATION_MSG_ID_WITHOUT_ARGUMENTS(UnsupportedEnumConstraintRelation);
FOUNDATION_MSG_ID_WITHOUT_ARGUMENTS(UnsupportedObjectConstraintRelation);
FOUNDATION_MSG_ID_WITHOUT_ARGUMENTS(UnsupportedSorting);
}  // namespace qm0::query

#undef FOUNDATION_MSG_ID_WITHOUT_ARGUMENTS
