// Collections: table-stored values and links, and composite collections.

#include "CollectionStore.hpp"

#include <matrix/Array.hpp>

#include <algorithm>
#include <set>
#include <tuple>
#include <utility>

namespace vlt::detail {

void CollectionStore::beyondEnd(const PropertyInfo* property, std::size_t index, std::size_t size) const {
  database_.usage("the index " + std::to_string(index) + " is beyond the end of the collection \"" + property->name +
                  "\" (size " + std::to_string(size) + ")");
}

// A collection holds values, never a null handle or array.
void CollectionStore::checkEntry(const PropertyInfo* property, ValueType type, const void* value) const {
  if (traitsOf(type).absent(value)) {
    database_.usage("a collection cannot hold a null value (\"" + property->name + "\")");
  }
}

void CollectionStore::checkUniqueness(const PropertyInfo* property, ValueType type, const void* vector) const {
  const ValueTraits& traits = traitsOf(type);
  std::set<std::string> keys;
  for (std::size_t i = 0, n = traits.count(vector); i < n; ++i) {
    if (!keys.insert(traits.key(traits.element(vector, i))).second) {
      throw ConstraintError("the unique collection \"" + property->name + "\" was given a value twice",
                            database_.filespec());
    }
  }
}

// A finite upper bound (below the unbounded 0xFFFFFFFF) is kept: a
// collection never holds more.
void CollectionStore::checkUpperBound(const PropertyInfo* property, std::size_t count) const {
  if (property->upper != 0xFFFFFFFFu && count > property->upper) {
    throw ConstraintError("the collection \"" + property->name + "\" may hold at most " +
                              std::to_string(property->upper) + " values, not " + std::to_string(count),
                          database_.filespec());
  }
}

void CollectionStore::open(const ObjectRef& object, const PropertyRef& propertyRef, ValueType type) {
  database_.checkOpen();
  const PropertyInfo* property = access_.checkAccess(object, propertyRef, type);
  if (!property->multi) {
    database_.usage("the property \"" + property->name + "\" is single-valued: it has no collection");
  }
}

// ---------------------------------------------------------------- one value

bool CollectionStore::readSingle(const ObjectRef& object, const PropertyRef& propertyRef, ValueType type, void* out) {
  database_.checkOpen();
  const PropertyInfo* property = access_.checkAccess(object, propertyRef, type);
  if (property->inClassTable()) return objects_.readValue(object, property, out);
  if (property->inOwnTable()) return readFirst(object.objectId(), property, type, out);
  const std::vector<ObjectRef> kids = containment_.children(object.objectId(), property);
  if (kids.empty()) return false;
  *static_cast<ObjectRef*>(out) = kids.front();
  return true;
}

bool CollectionStore::readFirst(ObjectId owner, const PropertyInfo* property, ValueType type, void* out) {
  if (!tables_.collectionTable(property)) {
    access_.requireObject(owner);
    return false;
  }
  const bool links = type == ValueType::object;
  sql::StatementUse s(statements_.forProperty(*property, links ? PropertyStatement::linkAt
                                                               : PropertyStatement::valueAt));
  s->bindInt64(1, owner);
  s->bindInt64(2, 0);
  if (!s->step()) {
    s->reset();
    access_.requireObject(owner);
    return false;
  }
  if (links) {
    *static_cast<ObjectRef*>(out) = access_.objectAt(*s, 0, property->typeClass);
    return true;
  }
  Cell cell;
  capture(*s, 0, property->traits->form, cell);
  if (cell.null) return false;
  property->traits->read(cell, out, access_.site(property));
  return true;
}

void CollectionStore::writeSingle(const ObjectRef& object, const PropertyRef& propertyRef, ValueType type,
                                  const void* in) {
  database_.checkOpen();
  const PropertyInfo* property = access_.checkAccess(object, propertyRef, type);
  const ObjectId id = object.objectId();
  // A plain column write is one statement: atomic without a savepoint.
  WriteScope scope(transaction_, !property->inClassTable());
  if (property->inClassTable()) {
    objects_.writeValue(id, property, in);
  } else if (property->composite) {
    access_.requireConforming(id, property);
    const auto* child = static_cast<const ObjectRef*>(in);
    for (const ObjectRef& kid : containment_.children(id, property)) containment_.detach(kid.objectId());
    if (child != nullptr && !child->isNull()) containment_.attach(id, property, {child->objectId()});
  } else {
    access_.requireConforming(id, property);
    // A single value written into a collection replaces it by zero or one entry.
    replaceAll(id, property, in);
  }
  scope.commit();
}

// ---------------------------------------------------------------- whole collections

void CollectionStore::readEntries(ObjectId owner, const PropertyInfo* property, void* vector) {
  const bool links = property->valueType == ValueType::object;
  const ValueSite site = access_.site(property);
  bool empty = true;
  // Arrays read before a later entry fails are the caller's only once the
  // call returned: free them on the way out.
  struct ArrayGuard {
    void* vector;
    std::size_t before;
    bool active;
    ~ArrayGuard() {
      if (!active) return;
      auto& arrays = *static_cast<std::vector<matrix::qxArray_tag*>*>(vector);
      for (std::size_t k = before; k < arrays.size(); ++k) matrix::destroyArray(arrays[k]);
      arrays.resize(before);
    }
  };
  const bool arrays = property->valueType == ValueType::qxarray;
  ArrayGuard guard{vector, arrays ? static_cast<std::vector<matrix::qxArray_tag*>*>(vector)->size() : 0, arrays};
  if (tables_.collectionTable(property)) {
    sql::StatementUse s(statements_.forProperty(*property, links ? PropertyStatement::readLinks
                                                                 : PropertyStatement::readValues));
    s->bindInt64(1, owner);
    Cell cell;
    while (s->step()) {
      empty = false;
      if (links) {
        static_cast<std::vector<ObjectRef>*>(vector)->push_back(access_.objectAt(*s, 0, property->typeClass));
      } else {
        capture(*s, 0, property->traits->form, cell);
        if (!cell.null) property->traits->append(cell, vector, site);
      }
    }
  }
  // An empty collection and a missing owner look alike: ask, unless the
  // owner was just seen.
  if (empty && !objects_.knownToExist(owner)) access_.requireObject(owner);
  guard.active = false;
}

void CollectionStore::readAll(const ObjectRef& object, const PropertyRef& propertyRef, ValueType type, void* vector) {
  database_.checkOpen();
  const PropertyInfo* property = access_.checkAccess(object, propertyRef, type);
  if (property->composite) {
    *static_cast<std::vector<ObjectRef>*>(vector) = containment_.children(object.objectId(), property);
  } else if (!property->multi) {
    objects_.readValueAsVector(object, property, vector);
  } else {
    readEntries(object.objectId(), property, vector);
  }
}

namespace {

// The branch of collectionsQuery for the `k`th property: its entries as
// (k, ordinal, target id, target class, target uuid); `owner` is the
// owner's id.
std::string collectionBranch(const PropertyInfo* property, std::size_t k, const char* owner) {
  const std::string tag = std::to_string(k);
  if (property->composite) {
    return "SELECT " + tag + ", c.ordinal, c.id, c.class_id, c.uuid FROM vlt_object c WHERE c.owner_id = " + owner +
           " AND c.owner_property_id = " + std::to_string(property->id);
  }
  return "SELECT " + tag + ", v.ordinal, v.value, t.class_id, t.uuid FROM " + property->table +
         " v LEFT JOIN vlt_object t ON t.id = v.value WHERE v.object_id = " + owner;
}

// Made per class of the handle and list of properties (a reader asks the
// same lists of a class again and again), each by the owner's id and by its
// uuid: the lists' purposes start here, two apart.
constexpr int firstCollectionsPurpose = 1000;

}  // namespace

// The properties of a collections read, null where nothing is stored yet
// (no table): `check` checks each for the object's class.
template <class Check>
bool CollectionStore::collectionInfos(const std::vector<PropertyRef>& properties, Check&& check,
                                      std::vector<const PropertyInfo*>& infos) {
  database_.checkOpen();
  infos.clear();
  bool anyStored = false;
  for (const PropertyRef& propertyRef : properties) {
    const PropertyInfo* property = check(propertyRef);
    if (!property->multi) database_.usage("the property \"" + property->name + "\" is single-valued");
    const bool stored = property->composite || tables_.collectionTable(property);
    infos.push_back(stored ? property : nullptr);
    anyStored = anyStored || stored;
  }
  return anyStored;
}

// One statement for all of them, the collections' entries one after the
// other, each in its order (composite ones as Containment::children orders
// them); a collection without a table yet has no branch. The owner is ?1,
// its id, or with `byUuid` its uuid.
sql::Statement& CollectionStore::collectionsStatement(const ClassInfo* cls,
                                                      const std::vector<const PropertyInfo*>& infos, bool byUuid) {
  auto list = collectionLists_.find(infos);
  if (list == collectionLists_.end()) {
    const int purpose = firstCollectionsPurpose + 2 * static_cast<int>(collectionLists_.size());
    list = collectionLists_.emplace(infos, purpose).first;
  }
  const char* owner = byUuid ? "(SELECT id FROM vlt_object WHERE uuid = ?1)" : "?1";
  return statements_.keyed(cls, list->second + (byUuid ? 1 : 0), tables_.version(), [&] {
    std::string text;
    for (std::size_t k = 0; k < infos.size(); ++k) {
      if (infos[k] != nullptr) text += (text.empty() ? "" : " UNION ALL ") + collectionBranch(infos[k], k, owner);
    }
    return text + " ORDER BY 1, 2, 3";
  });
}

// What requestCollectionsOf sent for `object` is read by the statement that
// sent it; anything else reads by id.
sql::Statement* CollectionStore::boundCollectionsStatement(const ObjectRef& object,
                                                           const std::vector<PropertyRef>& properties,
                                                           std::vector<const PropertyInfo*>& infos) {
  const auto check = [&](const PropertyRef& p) { return access_.checkAccess(object, p, ValueType::object); };
  if (!collectionInfos(properties, check, infos)) return nullptr;
  const ClassInfo* cls = HandleAccess::classOf(object);
  if (requestedByUuid(object, infos)) {
    sql::Statement& s = collectionsStatement(cls, infos, true);
    s.bindBlob(1, uuidRequest_.uuid.data, 16);
    return &s;
  }
  sql::Statement& s = collectionsStatement(cls, infos, false);
  s.bindInt64(1, object.objectId());
  return &s;
}

bool CollectionStore::requestedByUuid(const ObjectRef& object, const std::vector<const PropertyInfo*>& infos) const {
  const boost::uuids::uuid* uuid = HandleAccess::knownIdentity(object);
  return uuidRequest_.cls == HandleAccess::classOf(object) && uuid != nullptr && uuidRequest_.uuid == *uuid &&
         uuidRequest_.infos == infos;
}

void CollectionStore::readCollections(const ObjectRef& object, const std::vector<PropertyRef>& properties,
                                      std::vector<std::vector<ObjectRef>>& out) {
  std::vector<const PropertyInfo*> infos;
  sql::Statement* statement = boundCollectionsStatement(object, properties, infos);
  if (statement != nullptr && requestedByUuid(object, infos)) uuidRequest_ = UuidRequest{};  // read now
  out.assign(properties.size(), {});
  bool empty = true;
  if (statement != nullptr) {
    sql::StatementUse s(*statement);
    while (s->step()) {
      empty = false;
      const auto k = static_cast<std::size_t>(s->columnInt64(0));
      out[k].push_back(access_.objectAt(*s, 2, infos[k]->typeClass));
    }
  }
  if (empty && !objects_.knownToExist(object.objectId())) access_.requireObject(object.objectId());
}

void CollectionStore::requestCollections(const ObjectRef& object, const std::vector<PropertyRef>& properties) {
  std::vector<const PropertyInfo*> infos;
  if (sql::Statement* statement = boundCollectionsStatement(object, properties, infos)) statement->sendAhead();
}

// Only where a statement is a round trip: elsewhere reading by uuid costs
// the subquery and spares nothing.
void CollectionStore::requestCollectionsOf(const boost::uuids::uuid& uuid, const ClassInfo* cls,
                                           const std::vector<PropertyRef>& properties) {
  const auto check = [&](const PropertyRef& p) {
    const PropertyInfo* property = access_.checkProperty(p);
    if (!cls->conformsTo(property->owner) || property->valueType != ValueType::object) {
      database_.usage("the property \"" + property->name + "\" is not a collection of objects of class \"" +
                      cls->qualifiedName + "\"");
    }
    return property;
  };
  std::vector<const PropertyInfo*> infos;
  if (!collectionInfos(properties, check, infos) || !database_.connection().dialect().statementsAreRoundTrips) return;
  sql::Statement& s = collectionsStatement(cls, infos, true);
  s.bindBlob(1, uuid.data, 16);
  s.sendAhead();
  uuidRequest_ = UuidRequest{uuid, cls, std::move(infos)};
}

std::pair<const PropertyInfo*, const PropertyInfo*> CollectionStore::checkOwnedLinks(const ObjectRef& owner,
                                                                                    const PropertyRef& owningRef,
                                                                                    const PropertyRef& propertyRef) {
  const PropertyInfo* owning = access_.checkAccess(owner, owningRef, ValueType::object);
  if (!owning->composite) database_.usage("the property \"" + owning->name + "\" is not composite: it owns no objects");
  const PropertyInfo* property = access_.checkProperty(propertyRef);
  if (!property->inOwnTable() || property->valueType != ValueType::object) {
    database_.usage("the property \"" + property->name + "\" is not a collection of links");
  }
  // Owned objects are of the owning property's class or of a subclass: the
  // property must be one of theirs or of a subclass's.
  const ClassInfo* owned = owning->typeClass;
  if (!owned->conformsTo(property->owner) && !property->owner->conformsTo(owned)) {
    database_.usage("the property \"" + property->name + "\" of class \"" + property->owner->qualifiedName +
                    "\" belongs to no object owned through \"" + owning->name + "\"");
  }
  return {owning, property};
}

// The holder at `column`, then the target: its id, with its class and uuid
// when `targetIdentity`.
LinkEntry CollectionStore::linkEntry(sql::Statement& s, int column, const PropertyInfo* property,
                                     bool targetIdentity) {
  const auto holder = static_cast<ObjectId>(s.columnInt64(column));
  return LinkEntry{holder, targetIdentity ? access_.objectAt(s, column + 1, property->typeClass)
                                          : handles_.objectRef(property->typeClass,
                                                               static_cast<ObjectId>(s.columnInt64(column + 1)))};
}

void CollectionStore::readOwnedLinks(const ObjectRef& owner, const PropertyRef& owningRef,
                                     const PropertyRef& propertyRef, std::vector<LinkEntry>& out,
                                     bool targetIdentity) {
  database_.checkOpen();
  const auto [owning, property] = checkOwnedLinks(owner, owningRef, propertyRef);
  out.clear();
  const ObjectId id = owner.objectId();
  if (!tables_.collectionTable(property)) {
    // Nothing was ever stored; a missing owner is still one.
    if (!objects_.knownToExist(id)) access_.requireObject(id);
    return;
  }
  sql::StatementUse s(statements_.forProperty(
      *property, targetIdentity ? PropertyStatement::ownedLinks : PropertyStatement::ownedLinkIds));
  s->bindInt64(1, id);
  s->bindInt64(2, owning->id);
  bool found = false;
  while (s->step()) {
    found = true;
    if (s->columnIsNull(1)) continue;  // an owned object without links, or none owned
    out.push_back(linkEntry(*s, 0, property, targetIdentity));
  }
  if (!found) access_.notFound(id);
}

void CollectionStore::readOwnedLinks(const std::vector<ObjectRef>& owners, const PropertyRef& owningRef,
                                     const PropertyRef& propertyRef, std::vector<LinkEntry>& out,
                                     bool targetIdentity) {
  database_.checkOpen();
  out.clear();
  const PropertyInfo* owning = nullptr;
  const PropertyInfo* property = nullptr;
  for (const ObjectRef& owner : owners) std::tie(owning, property) = checkOwnedLinks(owner, owningRef, propertyRef);
  if (owners.empty()) return;
  if (!tables_.collectionTable(property)) {
    for (const ObjectRef& owner : owners)
      if (!objects_.knownToExist(owner.objectId())) access_.requireObject(owner.objectId());
    return;
  }
  sql::Statement& statement = statements_.forProperty(
      *property, targetIdentity ? PropertyStatement::ownedLinksAmong : PropertyStatement::ownedLinkIdsAmong);
  std::vector<ObjectId> found;  // the owners that have a row, ascending
  for (std::size_t first = 0; first < owners.size(); first += inListSize) {
    const std::size_t last = std::min(first + inListSize, owners.size());
    found.clear();
    sql::StatementUse s(statement);
    s->bindInt64(1, owning->id);
    for (std::size_t k = 0; k < inListSize; ++k)
      s->bindInt64(static_cast<int>(k + 2), owners[std::min(first + k, last - 1)].objectId());
    while (s->step()) {
      const auto owner = static_cast<ObjectId>(s->columnInt64(0));
      if (found.empty() || found.back() != owner) found.push_back(owner);
      if (s->columnIsNull(2)) continue;  // an owned object without links, or none owned
      out.push_back(linkEntry(*s, 1, property, targetIdentity));
    }
    for (std::size_t k = first; k < last; ++k)
      if (!std::binary_search(found.begin(), found.end(), owners[k].objectId())) access_.notFound(owners[k].objectId());
  }
}

void CollectionStore::writeAll(const ObjectRef& object, const PropertyRef& propertyRef, ValueType type,
                               const void* vector, bool objectIsNew) {
  database_.checkOpen();
  const PropertyInfo* property = access_.checkAccess(object, propertyRef, type);
  const ValueTraits& traits = traitsOf(type);
  const std::size_t count = traits.count(vector);
  const ObjectId id = object.objectId();
  if (!property->multi) {
    if (count > 1) {
      database_.usage("the single-valued property \"" + property->name + "\" was given " + std::to_string(count) +
                      " values");
    }
    writeSingle(object, propertyRef, type, count == 1 ? traits.element(vector, 0) : nullptr);
    return;
  }
  for (std::size_t i = 0; i < count; ++i) checkEntry(property, type, traits.element(vector, i));
  if (property->unique || property->composite) checkUniqueness(property, type, vector);
  checkUpperBound(property, count);
  // A new object exists, of the class its handle carries (checkAccess saw
  // the property there): asking would cost a statement per collection, on
  // a server a round trip that also waits for every queued write.
  const bool fresh = objectIsNew && !property->composite;
  WriteScope scope(transaction_, !fresh);
  if (!fresh) access_.requireConforming(id, property);
  if (property->composite) {
    replaceChildren(id, property, *static_cast<const std::vector<ObjectRef>*>(vector));
  } else {
    writeEntries(id, property, traits, vector, objectIsNew);
  }
  scope.commit();
}

// The objects owned before and not among `children` become roots.
void CollectionStore::replaceChildren(ObjectId owner, const PropertyInfo* property,
                                      const std::vector<ObjectRef>& children) {
  std::vector<ObjectId> ids;
  for (const ObjectRef& o : children) ids.push_back(o.objectId());
  for (const ObjectRef& kid : containment_.children(owner, property)) {
    if (std::find(ids.begin(), ids.end(), kid.objectId()) == ids.end()) containment_.detach(kid.objectId());
  }
  containment_.attach(owner, property, ids);
}

// A new object's collection is empty, so a failure half-way is undone by
// clearing it again rather than by a savepoint (the caller opened none): on
// a server a savepoint is a command that the rows batched for one statement
// cannot cross.
void CollectionStore::writeEntries(ObjectId owner, const PropertyInfo* property, const ValueTraits& traits,
                                   const void* vector, bool objectIsNew) {
  tables_.prepareCollectionTable(property);
  const auto clear = [&] {
    sql::StatementUse s(statements_.forProperty(*property, PropertyStatement::deleteAll));
    s->bindInt64(1, owner);
    s->step();
  };
  if (!objectIsNew) clear();
  sql::Statement& insert = statements_.forProperty(*property, PropertyStatement::insert);
  try {
    for (std::size_t i = 0, count = traits.count(vector); i < count; ++i) {
      sql::StatementUse s(insert);
      s->bindInt64(1, owner);
      s->bindInt64(2, static_cast<std::int64_t>(i));
      access_.bindWritten(*s, 3, property, traits.element(vector, i));
      s->run();
    }
  } catch (...) {
    if (objectIsNew) {
      try {
        clear();
      } catch (...) {
        // The transaction's rollback removes them.
      }
    }
    throw;
  }
}

void CollectionStore::replaceAll(ObjectId owner, const PropertyInfo* property, const void* value) {
  tables_.prepareCollectionTable(property);
  {
    sql::StatementUse clear(statements_.forProperty(*property, PropertyStatement::deleteAll));
    clear->bindInt64(1, owner);
    clear->step();
  }
  if (value == nullptr || property->traits->absent(value)) return;
  sql::StatementUse s(statements_.forProperty(*property, PropertyStatement::insert));
  s->bindInt64(1, owner);
  s->bindInt64(2, 0);
  access_.bindWritten(*s, 3, property, value);
  s->step();
}

// ---------------------------------------------------------------- entries

std::size_t CollectionStore::size(const ObjectRef& object, const PropertyInfo* property) {
  schema_.checkUsable(property);
  if (!property->composite && !tables_.collectionTable(property)) return 0;
  sql::StatementUse s(property->composite
                          ? statements_.fixed(
                                "SELECT count(*) FROM vlt_object WHERE owner_id = ?1 AND owner_property_id = ?2")
                          : statements_.forProperty(*property, PropertyStatement::count));
  s->bindInt64(1, object.objectId());
  if (property->composite) s->bindInt64(2, property->id);
  return s->step() ? static_cast<std::size_t>(s->columnInt64(0)) : 0;
}

std::size_t CollectionStore::indexOf(const ObjectRef& object, const PropertyInfo* property, ValueType type,
                                     const void* value) {
  schema_.checkUsable(property);
  if (property->composite) {
    const ObjectId wanted = static_cast<const ObjectRef*>(value)->objectId();
    const std::vector<ObjectRef> kids = containment_.children(object.objectId(), property);
    for (std::size_t i = 0; i < kids.size(); ++i) {
      if (kids[i].objectId() == wanted) return i;
    }
    return CollectionRefBase::npos;
  }
  (void)type;
  if (!tables_.collectionTable(property)) return CollectionRefBase::npos;
  sql::StatementUse s(statements_.forProperty(*property, PropertyStatement::indexOf));
  s->bindInt64(1, object.objectId());
  access_.bind(*s, 2, property, value);
  if (!s->step() || s->columnIsNull(0)) return CollectionRefBase::npos;
  return static_cast<std::size_t>(s->columnInt64(0));
}

void CollectionStore::insertComposite(const ObjectRef& object, const PropertyInfo* property, const ObjectRef& child,
                                      const boost::optional<std::uint64_t>& index) {
  const ObjectId id = object.objectId();
    if (!index || *index == size(object, property)) {
    // Appending an object that is not in this collection yet: one update, at
    // the ordinal after the last one, instead of renumbering them all.
    const auto place = containment_.placeOf(child.objectId());
    if (place.first != id || place.second != property->id) {
      containment_.append(id, property, child.objectId());
      return;
    }
  }
  std::vector<ObjectId> ids;
  for (const ObjectRef& kid : containment_.children(id, property)) {
    if (kid.objectId() != child.objectId()) ids.push_back(kid.objectId());
  }
  const std::size_t at = index ? static_cast<std::size_t>(*index) : ids.size();
  if (at > ids.size()) beyondEnd(property, at, ids.size());
  ids.insert(ids.begin() + static_cast<std::ptrdiff_t>(at), child.objectId());
  containment_.attach(id, property, ids);
}

void CollectionStore::insertEntry(const ObjectRef& object, const PropertyInfo* property, const void* value,
                                  const boost::optional<std::uint64_t>& index) {
  const ObjectId id = object.objectId();
  if (property->unique && indexOf(object, property, property->valueType, value) != CollectionRefBase::npos) {
    throw ConstraintError("the unique collection \"" + property->name + "\" of object " + std::to_string(id) +
                              " holds the value already",
                          database_.filespec());
  }
  const std::size_t count = size(object, property);
  const std::size_t at = index ? static_cast<std::size_t>(*index) : count;
  if (at > count) beyondEnd(property, at, count);
  checkUpperBound(property, count + 1);
  tables_.prepareCollectionTable(property);
  if (at < count) {
    sql::StatementUse s(statements_.forProperty(*property, PropertyStatement::shiftUp));
    s->bindInt64(1, id);
    s->bindInt64(2, static_cast<std::int64_t>(at));
    s->step();
  }
  sql::StatementUse s(statements_.forProperty(*property, PropertyStatement::insert));
  s->bindInt64(1, id);
  s->bindInt64(2, static_cast<std::int64_t>(at));
  access_.bindWritten(*s, 3, property, value);
  s->step();
}

void CollectionStore::insert(const ObjectRef& object, const PropertyInfo* property, ValueType type, const void* value,
                             const boost::optional<std::uint64_t>& index) {
  schema_.checkUsable(property);
  checkEntry(property, type, value);
  WriteScope scope(transaction_);
  access_.requireConforming(object.objectId(), property);
  if (property->composite) {
    const auto& child = *static_cast<const ObjectRef*>(value);
    const auto place = containment_.placeOf(child.objectId());
    const bool alreadyHere = place.first == object.objectId() && place.second == property->id;
    if (!alreadyHere) checkUpperBound(property, size(object, property) + 1);
    insertComposite(object, property, child, index);
  } else {
    insertEntry(object, property, value, index);
  }
  scope.commit();
}

void CollectionStore::replaceComposite(ObjectId owner, const PropertyInfo* property, std::size_t index,
                                       const ObjectRef& child) {
  std::vector<ObjectId> ids;
  for (const ObjectRef& kid : containment_.children(owner, property)) ids.push_back(kid.objectId());
  if (index >= ids.size()) beyondEnd(property, index, ids.size());
  const ObjectId old = ids[index];
  if (old == child.objectId()) return;
  auto existing = std::find(ids.begin(), ids.end(), child.objectId());
  if (existing != ids.end()) {
    if (static_cast<std::size_t>(existing - ids.begin()) < index) --index;
    ids.erase(existing);
  }
  ids[index] = child.objectId();
  containment_.detach(old);
  containment_.attach(owner, property, ids);
}

void CollectionStore::replace(const ObjectRef& object, const PropertyInfo* property, std::size_t index, ValueType type,
                              const void* value) {
  schema_.checkUsable(property);
  checkEntry(property, type, value);
  WriteScope scope(transaction_);
  const ObjectId id = object.objectId();
  access_.requireConforming(id, property);
  if (property->composite) {
    replaceComposite(id, property, index, *static_cast<const ObjectRef*>(value));
  } else {
    if (property->unique) {
      const std::size_t at = indexOf(object, property, type, value);
      if (at != CollectionRefBase::npos && at != index) {
        throw ConstraintError("the unique collection \"" + property->name + "\" of object " + std::to_string(id) +
                                  " holds the value already",
                              database_.filespec());
      }
    }
    if (!tables_.collectionTable(property)) beyondEnd(property, index, 0);
    {
      sql::StatementUse s(statements_.forProperty(*property, PropertyStatement::replaceAt));
      s->bindInt64(1, id);
      s->bindInt64(2, static_cast<std::int64_t>(index));
      access_.bindWritten(*s, 3, property, value);
      s->step();
    }
    if (database_.connection().changes() == 0) beyondEnd(property, index, size(object, property));
  }
  scope.commit();
}

void CollectionStore::removeEntry(ObjectId owner, const PropertyInfo* property, std::int64_t ordinal) {
  if (!tables_.collectionTable(property)) beyondEnd(property, static_cast<std::size_t>(ordinal), 0);
  {
    sql::StatementUse s(statements_.forProperty(*property, PropertyStatement::deleteAt));
    s->bindInt64(1, owner);
    s->bindInt64(2, ordinal);
    s->step();
  }
  if (database_.connection().changes() == 0) {
    database_.usage("the index " + std::to_string(ordinal) + " is beyond the end of the collection \"" +
                    property->name + "\" of object " + std::to_string(owner));
  }
  sql::StatementUse s(statements_.forProperty(*property, PropertyStatement::shiftDown));
  s->bindInt64(1, owner);
  s->bindInt64(2, ordinal);
  s->step();
}

void CollectionStore::removeAt(const ObjectRef& object, const PropertyInfo* property, std::size_t index) {
  schema_.checkUsable(property);
  WriteScope scope(transaction_);
  const ObjectId id = object.objectId();
  access_.requireConforming(id, property);
  if (property->composite) {
    const std::vector<ObjectRef> kids = containment_.children(id, property);
    if (index >= kids.size()) beyondEnd(property, index, kids.size());
    containment_.detach(kids[index].objectId());
  } else {
    removeEntry(id, property, static_cast<std::int64_t>(index));
  }
  scope.commit();
}

void CollectionStore::at(const ObjectRef& object, const PropertyInfo* property, std::size_t index, ValueType type,
                         void* out) {
  schema_.checkUsable(property);
  if (property->composite) {
    const std::vector<ObjectRef> kids = containment_.children(object.objectId(), property);
    if (index >= kids.size()) beyondEnd(property, index, kids.size());
    *static_cast<ObjectRef*>(out) = kids[index];
    return;
  }
  const bool links = type == ValueType::object;
  if (!tables_.collectionTable(property)) beyondEnd(property, index, 0);
  sql::StatementUse s(statements_.forProperty(*property, links ? PropertyStatement::linkAt
                                                               : PropertyStatement::valueAt));
  s->bindInt64(1, object.objectId());
  s->bindInt64(2, static_cast<std::int64_t>(index));
  if (!s->step()) {
    s->reset();
    beyondEnd(property, index, size(object, property));
  }
  if (links) {
    *static_cast<ObjectRef*>(out) = access_.objectAt(*s, 0, property->typeClass);
    return;
  }
  Cell cell;
  capture(*s, 0, property->traits->form, cell);
  if (!cell.null) property->traits->read(cell, out, access_.site(property));
}

}  // namespace vlt::detail
