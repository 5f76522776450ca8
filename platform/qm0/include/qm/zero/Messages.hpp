#pragma once
// Message identifiers of the "qm0:messages" group: what the framework throws
// when a value is read as the wrong type and when it refuses a change. The
// "qm0:query" group, for data sources implementing queries, is in
// <qm/zero/query/QueryMessages.hpp>.

#include <foundation/core/except/Exception.hpp>
#include <qm0/export.hpp>

#include <string>
#include <utility>

namespace qm0::messages {
inline constexpr const char* groupName = "qm0:messages";

/// A value was read as a type it does not have. Argument: the qualified name
/// of the value's type (UTF-16).
struct QM0_VISIBLE CannotCastIncompatibleTypes : resource_core::BaseMsgID {
  explicit CannotCastIncompatibleTypes(std::u16string valueTypeName)
      : BaseMsgID(groupName, "CannotCastIncompatibleTypes", {std::move(valueTypeName)}) {}
};

/// A typed value was taken from an optional that holds none, or text stands
/// for no value of its type.
FOUNDATION_DECLARE_MSG_ID(QM0_VISIBLE, InvalidValue);

/// A change was attempted while the model is frozen.
FOUNDATION_DECLARE_MSG_ID(QM0_VISIBLE, ModelIsFrozen);

/// A change was attempted outside a transaction.
FOUNDATION_DECLARE_MSG_ID(QM0_VISIBLE, NoOpenTransaction);

/// A transaction was begun while another one is open.
FOUNDATION_DECLARE_MSG_ID(QM0_VISIBLE, TransactionAlreadyOpen);

/// A listener tried, while the model was telling it something, to change the
/// model or to begin, commit or roll back a transaction.
FOUNDATION_DECLARE_MSG_ID(QM0_VISIBLE, ModelIsNotifying);

/// An entry was added to a collection that already holds as many as its
/// property allows. Arguments: the property's qualified name (UTF-16), its
/// upper bound (decimal, UTF-8).
struct QM0_VISIBLE UpperBoundExceeded : resource_core::BaseMsgID {
  UpperBoundExceeded(std::u16string property, std::string upper)
      : BaseMsgID(groupName, "UpperBoundExceeded", {std::move(property), std::move(upper)}) {}
};

/// An entry was added to a unique collection of values that already holds an
/// equal one (a collection with the uniqueness flag, the default). Argument:
/// the property's qualified name (UTF-16).
struct QM0_VISIBLE DuplicateEntry : resource_core::BaseMsgID {
  explicit DuplicateEntry(std::u16string property) : BaseMsgID(groupName, "DuplicateEntry", {std::move(property)}) {}
};

/// Text handed to a reader (io::Parser) is not in its format: malformed, more
/// than one document, or a value that does not fit its attribute. Arguments
/// (UTF-8): the format name, what is wrong.
struct QM0_VISIBLE UnparsableText : resource_core::BaseMsgID {
  UnparsableText(std::string format, std::string reason)
      : BaseMsgID(groupName, "UnparsableText", {std::move(format), std::move(reason)}) {}
};

/// An element was created with an identity the model already holds.
/// Argument: the uuid's text (UTF-8).
struct QM0_VISIBLE DuplicateElementId : resource_core::BaseMsgID {
  explicit DuplicateElementId(std::string uuid) : BaseMsgID(groupName, "DuplicateElementId", {std::move(uuid)}) {}
};

/// A property was used with an element whose class does not have it.
/// Arguments (UTF-16): the property's qualified owner and name, the class.
struct QM0_VISIBLE PropertyNotOfClass : resource_core::BaseMsgID {
  PropertyNotOfClass(std::u16string property, std::u16string cls)
      : BaseMsgID(groupName, "PropertyNotOfClass", {std::move(property), std::move(cls)}) {}
};

/// A destroyed element was changed or used as a target. Argument: the uuid's
/// text (UTF-8).
struct QM0_VISIBLE ElementDestroyed : resource_core::BaseMsgID {
  explicit ElementDestroyed(std::string uuid) : BaseMsgID(groupName, "ElementDestroyed", {std::move(uuid)}) {}
};

/// A package of the same family is already registered. Argument: its URI
/// (UTF-16).
struct QM0_VISIBLE PackageAlreadyRegistered : resource_core::BaseMsgID {
  explicit PackageAlreadyRegistered(std::u16string uri)
      : BaseMsgID(groupName, "PackageAlreadyRegistered", {std::move(uri)}) {}
};

}  // namespace qm0::messages
