#include "Containment.hpp"

namespace vlt::detail {

std::vector<ObjectRef> Containment::children(ObjectId owner, const PropertyInfo* property) {
  std::vector<ObjectRef> out;
  {
    sql::StatementUse s(statements_.fixed(
        "SELECT id, class_id, uuid FROM vlt_object WHERE owner_id = ?1 AND owner_property_id = ?2 "
        "ORDER BY ordinal, id"));
    s->bindInt64(1, owner);
    s->bindInt64(2, property->id);
    while (s->step()) out.push_back(access_.objectAt(*s, 0, property->typeClass));
  }
  // Owning nothing and not existing look alike: ask, unless the owner was
  // just seen.
  if (out.empty() && !objects_.knownToExist(owner)) access_.requireObject(owner);
  return out;
}

// `child` may become owned by `owner` through `property`: it exists, its
// class fits, and it does not own `owner` (nothing may own itself).
void Containment::checkChild(ObjectId owner, const PropertyInfo* property, ObjectId child) {
  const ClassInfo* cls = access_.requireObject(child);
  if (!cls->conformsTo(property->typeClass)) {
    database_.usage("an object of class \"" + cls->qualifiedName + "\" cannot be owned through \"" + property->name +
                    "\" of type \"" + property->typeName + "\"");
  }
  sql::Statement& ownerOf = statements_.fixed("SELECT owner_id FROM vlt_object WHERE id = ?1");
  for (std::int64_t current = owner; current != 0;) {
    if (current == child) {
      database_.usage("the object " + std::to_string(child) + " cannot be owned by " + std::to_string(owner) +
                      ": it would own itself");
    }
    sql::StatementUse s(ownerOf);
    s->bindInt64(1, current);
    current = s->step() && !s->columnIsNull(0) ? s->columnInt64(0) : 0;
  }
}

void Containment::attach(ObjectId owner, const PropertyInfo* property, const std::vector<ObjectId>& childIds) {
  for (std::size_t i = 0; i < childIds.size(); ++i) {
    checkChild(owner, property, childIds[i]);
    sql::StatementUse s(statements_.fixed(
        "UPDATE vlt_object SET owner_id = ?1, owner_property_id = ?2, ordinal = ?3 WHERE id = ?4"));
    s->bindInt64(1, owner);
    s->bindInt64(2, property->id);
    s->bindInt64(3, static_cast<std::int64_t>(i));
    s->bindInt64(4, childIds[i]);
    s->step();
  }
}

void Containment::append(ObjectId owner, const PropertyInfo* property, ObjectId child) {
  checkChild(owner, property, child);
  sql::StatementUse s(statements_.fixed(
      "UPDATE vlt_object SET owner_id = ?1, owner_property_id = ?2, ordinal = (SELECT coalesce(max(ordinal), -1) + 1 "
      "FROM vlt_object WHERE owner_id = ?1 AND owner_property_id = ?2) WHERE id = ?3"));
  s->bindInt64(1, owner);
  s->bindInt64(2, property->id);
  s->bindInt64(3, child);
  s->step();
}

void Containment::detach(ObjectId child) {
  sql::StatementUse s(statements_.fixed(
      "UPDATE vlt_object SET owner_id = NULL, owner_property_id = NULL, ordinal = 0 WHERE id = ?1"));
  s->bindInt64(1, child);
  s->step();
}

std::pair<std::int64_t, std::int64_t> Containment::placeOf(ObjectId child) {
  sql::StatementUse s(statements_.fixed("SELECT owner_id, owner_property_id FROM vlt_object WHERE id = ?1"));
  s->bindInt64(1, child);
  if (!s->step()) access_.notFound(child);
  return {s->columnIsNull(0) ? 0 : s->columnInt64(0), s->columnIsNull(1) ? 0 : s->columnInt64(1)};
}

void Containment::ownership(const ObjectRef& object, ObjectRef& owner, PropertyRef& property, std::uint64_t* ordinal) {
  database_.checkOpen();
  if (object.isNull()) database_.usage("the ownership of a null object was asked for");
  ObjectRef foundOwner;
  const PropertyInfo* foundProperty = nullptr;
  std::int64_t storedOrdinal = 0;
  if (const ObjectStore::Place* place = objects_.knownPlace(object.objectId())) {
    // Read with the lookup that found the object, in this transaction.
    if (place->owner != 0) {
      foundOwner = handles_.objectRef(place->ownerClass, place->owner, place->ownerUuid);
      foundProperty = schema_.propertyById(place->property);
      storedOrdinal = place->ordinal;
    }
  } else {
    sql::StatementUse s(statements_.fixed(
        "SELECT o.owner_id, w.class_id, w.uuid, o.owner_property_id, o.ordinal FROM vlt_object o "
        "LEFT JOIN vlt_object w ON w.id = o.owner_id WHERE o.id = ?1"));
    s->bindInt64(1, object.objectId());
    if (!s->step()) access_.notFound(object.objectId());
    if (!s->columnIsNull(0)) {
      foundOwner = access_.objectAt(*s, 0, nullptr);
      foundProperty = schema_.propertyById(s->columnInt64(3));
      storedOrdinal = s->columnInt64(4);
    }
  }
  std::uint64_t position = 0;
  if (ordinal != nullptr && foundProperty != nullptr && foundProperty->multi && foundProperty->ordered) {
    // The position is the rank in the owner's collection: stored ordinals may
    // have gaps (children created at given positions, or removed).
    sql::StatementUse s(statements_.fixed(
        "SELECT count(*) FROM vlt_object WHERE owner_id = ?1 AND owner_property_id = ?2 "
        "AND (ordinal < ?3 OR (ordinal = ?3 AND id < ?4))"));
    s->bindInt64(1, foundOwner.objectId());
    s->bindInt64(2, foundProperty->id);
    s->bindInt64(3, storedOrdinal);
    s->bindInt64(4, object.objectId());
    if (s->step()) position = static_cast<std::uint64_t>(s->columnInt64(0));
  }
  owner = foundOwner;
  property = foundProperty ? handles_.propertyRef(foundProperty) : PropertyRef();
  if (ordinal != nullptr) *ordinal = position;
}

}  // namespace vlt::detail
