#pragma once
// Message identifiers of the "qm0:query" group: what a data source's
// implementation of ReflectiveQuery throws when a query cannot be built or
// run. The framework declares them so that every data source reports the
// same identifiers; it throws none of them itself.

#include <foundation/core/except/Exception.hpp>
#include <qm0/export.hpp>

#include <string>
#include <utility>

namespace qm0::query {
inline constexpr const char* groupName = "qm0:query";

/// A limit or offset of 2^31 or more.
FOUNDATION_DECLARE_MSG_ID(QM0_VISIBLE, InvalidLimitOffsetValue);

/// A result element that the data source cannot load.
FOUNDATION_DECLARE_MSG_ID(QM0_VISIBLE, QueryResultObjectNotFound);

/// A relation that cannot be applied to a type. Arguments: a UTF-8 text (the
/// relation), then a UTF-16 text (the type).
struct QM0_VISIBLE RelationAndTypeNotSupported : resource_core::BaseMsgID {
  RelationAndTypeNotSupported(std::string relation, std::u16string typeName)
      : BaseMsgID(groupName, "RelationAndTypeNotSupported", {std::move(relation), std::move(typeName)}) {}
};

FOUNDATION_DECLARE_MSG_ID(QM0_VISIBLE, InvalidSearchClass);
FOUNDATION_DECLARE_MSG_ID(QM0_VISIBLE, PropertyRelationObjectMultiValue);
FOUNDATION_DECLARE_MSG_ID(QM0_VISIBLE, PropertyRelationPropertyTypeMismatch);
FOUNDATION_DECLARE_MSG_ID(QM0_VISIBLE, UnsupportedEnumConstraintRelation);
FOUNDATION_DECLARE_MSG_ID(QM0_VISIBLE, UnsupportedObjectConstraintRelation);
FOUNDATION_DECLARE_MSG_ID(QM0_VISIBLE, UnsupportedSorting);

}  // namespace qm0::query
