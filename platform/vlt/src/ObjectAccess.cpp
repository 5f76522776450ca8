// Checking handles against properties, and the objects seen existing.

#include "ObjectAccess.hpp"

#include <algorithm>
#include <cstring>

namespace vlt::detail {
namespace {

const char* typeLabel(ValueType type) {
  if (type == ValueType::enumeral) return "enumeral";
  if (type == ValueType::object) return "object";
  return builtinTypeName(type);
}

}  // namespace

const PropertyInfo* ObjectAccess::checkProperty(const PropertyRef& propertyRef) const {
  const PropertyInfo* property = HandleAccess::info(propertyRef);
  schema_.checkUsable(property);
  if (!handles_.ours(propertyRef)) {
    database_.usage("the property \"" + property->name + "\" belongs to another repository");
  }
  return property;
}

const PropertyInfo* ObjectAccess::checkAccess(const ObjectRef& object, const PropertyRef& propertyRef,
                                              ValueType type) const {
  const PropertyInfo* property = checkProperty(propertyRef);
  if (object.isNull()) database_.usage("a null object handle was used");
  const ClassInfo* cls = HandleAccess::classOf(object);
  if (cls == nullptr) database_.usage("the object handle carries no class");
  if (cls->retired) database_.usage("the class \"" + cls->qualifiedName + "\" was rolled back");
  if (!cls->conformsTo(property->owner)) {
    database_.usage("the property \"" + property->name + "\" of class \"" + property->owner->qualifiedName +
                    "\" does not belong to the class \"" + cls->qualifiedName + "\" of object " +
                    std::to_string(object.objectId()));
  }
  if (property->valueType != type) {
    database_.usage(std::string("the property \"") + property->name + "\" holds " + typeLabel(property->valueType) +
                    " values, not " + typeLabel(type));
  }
  return property;
}

const ClassInfo* ObjectAccess::runtimeClass(ObjectId id) {
  database_.checkOpen();
  std::int64_t classId = 0;
  {
    sql::StatementUse s(statements_.fixed("SELECT class_id FROM vlt_object WHERE id = ?1"));
    s->bindInt64(1, id);
    if (!s->step()) return nullptr;
    classId = s->columnInt64(0);
  }
  const ClassInfo* cls = schema_.classById(classId);
  if (cls == nullptr) {
    throw StorageError("the object " + std::to_string(id) + " has an unknown class", database_.filespec());
  }
  return cls;
}

// Two ways per set, the newer first: a window of objects looked up together
// and then written (a few hundred) seldom has three in one set, where with
// one way one in twenty evicted another and was looked up again.
void ObjectAccess::noteSeen(ObjectId id, const ClassInfo* cls) noexcept {
  if (!transaction_.active()) return;
  Seen* set = &seen_[(id & (seen_.size() / 2 - 1)) * 2];
  if (set[0].id != id) set[1] = set[0];
  set[0] = {id, cls, transaction_.removalSerial()};
}

const ClassInfo* ObjectAccess::seenClass(ObjectId id) {
  if (!transaction_.active()) return nullptr;
  const Seen* set = &seen_[(id & (seen_.size() / 2 - 1)) * 2];
  const Seen& seen = set[0].id == id ? set[0] : set[1];
  if (seen.id == id && seen.serial == transaction_.removalSerial()) return seen.cls;
  return foundSerial_ == transaction_.removalSerial() ? foundClass(id) : nullptr;
}

void ObjectAccess::noteFound(ObjectId id, const ClassInfo* cls) {
  if (!transaction_.active()) return;
  if (foundSerial_ != transaction_.removalSerial()) {
    forgetFound();
    foundSerial_ = transaction_.removalSerial();
  }
  // Lookups come in runs of one class: the last one is tried first.
  if (foundClasses_.empty() || foundClasses_[lastFoundClass_] != cls) {
    const auto [place, added] = foundClassPlaces_.emplace(cls, static_cast<std::uint32_t>(foundClasses_.size()));
    if (added) foundClasses_.push_back(cls);
    lastFoundClass_ = place->second;
  }
  found_.push_back({id, lastFoundClass_});
}

// A deque's clear frees every block but one.
void ObjectAccess::forgetFound() noexcept {
  found_.clear();
  foundClasses_.clear();
  foundClassPlaces_.clear();
  lastFoundClass_ = 0;
  foundSorted_ = 0;
}

// Lookups come in uuid order and the questions in id order: what was added
// since the last question is sorted and merged in once.
const ClassInfo* ObjectAccess::foundClass(ObjectId id) {
  const auto byId = [](const Found& a, const Found& b) { return a.id < b.id; };
  if (foundSorted_ != found_.size()) {
    const auto middle = found_.begin() + static_cast<std::ptrdiff_t>(foundSorted_);
    std::sort(middle, found_.end(), byId);
    std::inplace_merge(found_.begin(), middle, found_.end(), byId);
    foundSorted_ = found_.size();
  }
  const auto at = std::lower_bound(found_.begin(), found_.end(), Found{id, 0}, byId);
  return at != found_.end() && at->id == id ? foundClasses_[at->cls] : nullptr;
}

void ObjectAccess::transactionEnded(bool) noexcept {
  forgetFound();
  links_.clear();
}

const ClassInfo* ObjectAccess::requireObject(ObjectId id) {
  if (const ClassInfo* seen = seenClass(id)) return seen;
  const ClassInfo* cls = runtimeClass(id);
  if (cls == nullptr) notFound(id);
  return cls;
}

// A handle may carry a class the stored object does not have (getObjectRef,
// or a reference typed by a superclass); a write through it would land in
// another class's table.
const ClassInfo* ObjectAccess::requireConforming(ObjectId id, const PropertyInfo* property) {
  const ClassInfo* actual = requireObject(id);
  if (!actual->conformsTo(property->owner)) {
    database_.usage("the object " + std::to_string(id) + " is of class \"" + actual->qualifiedName +
                    "\", which has no property \"" + property->name + "\" of class \"" +
                    property->owner->qualifiedName + "\"");
  }
  return actual;
}

void ObjectAccess::notFound(ObjectId id) const {
  throw ObjectNotFoundError("the object " + std::to_string(id) + " does not exist", database_.filespec());
}

void ObjectAccess::bind(sql::Statement& statement, int index, const PropertyInfo* property, const void* value) const {
  if (value == nullptr) return statement.bindNull(index);
  property->traits->bind(statement, index, value, site(property));
}

void ObjectAccess::bindWritten(sql::Statement& statement, int index, const PropertyInfo* property,
                               const void* value) {
  bind(statement, index, property, value);
  if (value == nullptr || property->valueType != ValueType::object) return;
  const auto& target = *static_cast<const ObjectRef*>(value);
  if (target.isNull()) return;
  const ObjectId id = target.objectId();
  if (seenClass(id) == nullptr && !links_.createdHere(id)) links_.noteUnsure(property, id);
}

ObjectRef ObjectAccess::objectAt(sql::Statement& s, int column, const ClassInfo* fallback) {
  const auto id = static_cast<ObjectId>(s.columnInt64(column));
  if (s.columnIsNull(column + 1)) return handles_.objectRef(fallback, id);
  const ClassInfo* cls = schema_.classById(s.columnInt64(column + 1));
  boost::uuids::uuid uuid{};
  const std::string_view bytes = s.columnBlob(column + 2);
  if (bytes.size() == 16) std::memcpy(uuid.data, bytes.data(), 16);
  if (cls != nullptr) return handles_.objectRef(cls, id, uuid);
  // A class this connection does not know: the handle carries the fallback.
  const ObjectRef object = handles_.objectRef(fallback, id);
  HandleAccess::rememberIdentity(object, uuid);
  return object;
}

}  // namespace vlt::detail
