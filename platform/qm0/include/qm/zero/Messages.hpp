#pragma once
// Message identifiers of the framework's own refusals, in the "qm0:messages"
// group (next to CannotCastIncompatibleTypes and InvalidValue).

#include <foundation/core/except/MessageIds.hpp>

#include <string>
#include <utility>

namespace qm0::messages {

/// A change was attempted while the model is frozen.
struct FOUNDATION_VISIBLE ModelIsFrozen : resource_core::BaseMsgID {
  ModelIsFrozen() : BaseMsgID(groupName, "ModelIsFrozen") {}
};

/// A change was attempted outside a transaction.
struct FOUNDATION_VISIBLE NoOpenTransaction : resource_core::BaseMsgID {
  NoOpenTransaction() : BaseMsgID(groupName, "NoOpenTransaction") {}
};

/// A transaction was begun while another one is open.
struct FOUNDATION_VISIBLE TransactionAlreadyOpen : resource_core::BaseMsgID {
  TransactionAlreadyOpen() : BaseMsgID(groupName, "TransactionAlreadyOpen") {}
};

/// An element was created with an identity the model already holds.
/// Argument: the uuid's text (UTF-8).
struct FOUNDATION_VISIBLE DuplicateElementId : resource_core::BaseMsgID {
  explicit DuplicateElementId(std::string uuid) : BaseMsgID(groupName, "DuplicateElementId", {std::move(uuid)}) {}
};

/// A property was used with an element whose class does not have it.
/// Arguments (UTF-16): the property's qualified owner and name, the class.
struct FOUNDATION_VISIBLE PropertyNotOfClass : resource_core::BaseMsgID {
  PropertyNotOfClass(std::u16string property, std::u16string cls)
      : BaseMsgID(groupName, "PropertyNotOfClass", {std::move(property), std::move(cls)}) {}
};

/// A destroyed element was changed or used as a target.
struct FOUNDATION_VISIBLE ElementDestroyed : resource_core::BaseMsgID {
  explicit ElementDestroyed(std::string uuid) : BaseMsgID(groupName, "ElementDestroyed", {std::move(uuid)}) {}
};

/// A package of the same family is already registered. Argument: its URI.
struct FOUNDATION_VISIBLE PackageAlreadyRegistered : resource_core::BaseMsgID {
  explicit PackageAlreadyRegistered(std::u16string uri)
      : BaseMsgID(groupName, "PackageAlreadyRegistered", {std::move(uri)}) {}
};

}  // namespace qm0::messages
