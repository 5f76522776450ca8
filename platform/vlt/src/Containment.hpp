#pragma once
// Composite ownership: which object owns which, through which property, at
// which position. It lives in the object table (owner_id, owner_property_id,
// ordinal); a composite collection is the owned objects in (ordinal, id)
// order.

#include "Database.hpp"
#include "HandleAccess.hpp"
#include "ObjectAccess.hpp"
#include "ObjectStore.hpp"
#include "Schema.hpp"
#include "StatementCache.hpp"

#include <vlt/Object.hpp>

#include <cstdint>
#include <vector>

namespace vlt::detail {

/// Not synchronised.
class Containment {
 public:
  Containment(Database& database, HandleAccess& handles, StatementCache& statements, Schema& schema,
              ObjectAccess& access, ObjectStore& objects)
      : database_(database),
        handles_(handles),
        statements_(statements),
        schema_(schema),
        access_(access),
        objects_(objects) {}

  /// The objects `owner` owns through `property`, in order, each carrying its
  /// own class. Throws ObjectNotFoundError when `owner` does not exist.
  std::vector<ObjectRef> children(ObjectId owner, const PropertyInfo* property);
  /// Makes `children` the objects `owner` owns through `property`, at
  /// positions 0, 1, ... (they leave a previous owner). Checks their class
  /// and that no object comes to own itself.
  void attach(ObjectId owner, const PropertyInfo* property, const std::vector<ObjectId>& children);
  /// Appends `child` to what `owner` owns through `property`, after the last
  /// one, in one statement.
  void append(ObjectId owner, const PropertyInfo* property, ObjectId child);
  /// Makes `child` a root.
  void detach(ObjectId child);
  /// Where `child` is owned now: the owner id (0 for a root) and property id.
  std::pair<std::int64_t, std::int64_t> placeOf(ObjectId child);
  /// See ObjectRef::getOwnership.
  /// `ordinal` null: the position is not asked for.
  void ownership(const ObjectRef& object, ObjectRef& owner, PropertyRef& property, std::uint64_t* ordinal);

 private:
  void checkChild(ObjectId owner, const PropertyInfo* property, ObjectId child);

  Database& database_;
  HandleAccess& handles_;
  StatementCache& statements_;
  Schema& schema_;
  ObjectAccess& access_;
  ObjectStore& objects_;
};

}  // namespace vlt::detail
