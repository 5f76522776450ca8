// Objects, values and collections of the repository core.

#include "Core.hpp"

#include <matrix/Array.hpp>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <tuple>

namespace vlt::detail {
namespace {

const char* typeLabel(ValueType type) {
  switch (type) {
    case ValueType::enumeral:
      return "enumeral";
    case ValueType::object:
      return "object";
    default:
      return builtinTypeName(type);
  }
}

void capture(sql::Statement& s, int column, Cell& cell) {
  cell.kind = s.columnKind(column);
  switch (cell.kind) {
    case sql::ColumnKind::integer:
      cell.integer = s.columnInt64(column);
      break;
    case sql::ColumnKind::real:
      cell.real = s.columnDouble(column);
      break;
    case sql::ColumnKind::text:
      cell.bytes.assign(s.columnText(column));
      break;
    case sql::ColumnKind::blob:
      cell.bytes.assign(s.columnBlob(column));
      break;
    case sql::ColumnKind::null:
      break;
  }
}

// Calls f(element) for each element of a vector of the canonical type of `type`.
template <class F>
void forEachElement(ValueType type, const void* vector, F&& f) {
  auto each = [&](const auto* v) {
    for (const auto& e : *v) f(static_cast<const void*>(&e));
  };
  switch (type) {
    case ValueType::int32: each(static_cast<const std::vector<std::int32_t>*>(vector)); break;
    case ValueType::uint32: each(static_cast<const std::vector<std::uint32_t>*>(vector)); break;
    case ValueType::int64: each(static_cast<const std::vector<std::int64_t>*>(vector)); break;
    case ValueType::uint64: each(static_cast<const std::vector<std::uint64_t>*>(vector)); break;
    case ValueType::real64: each(static_cast<const std::vector<double>*>(vector)); break;
    case ValueType::ustring: each(static_cast<const std::vector<std::u16string>*>(vector)); break;
    case ValueType::string: each(static_cast<const std::vector<std::string>*>(vector)); break;
    case ValueType::dateTime: each(static_cast<const std::vector<boost::posix_time::ptime>*>(vector)); break;
    case ValueType::uuid: each(static_cast<const std::vector<boost::uuids::uuid>*>(vector)); break;
    case ValueType::boolean: each(static_cast<const std::vector<Boolean>*>(vector)); break;
    case ValueType::qxarray: each(static_cast<const std::vector<const matrix::qxArray_tag*>*>(vector)); break;
    case ValueType::enumeral: each(static_cast<const std::vector<EnumeralRef>*>(vector)); break;
    case ValueType::object: each(static_cast<const std::vector<ObjectRef>*>(vector)); break;
  }
}

template <class T>
void pushDecoded(void* vector, Core& core, const Cell& cell, ValueType type, const PropertyInfo* property,
                 bool (Core::*decode)(const Cell&, ValueType, void*, const PropertyInfo*)) {
  T value{};
  (core.*decode)(cell, type, &value, property);
  static_cast<std::vector<T>*>(vector)->push_back(std::move(value));
}

}  // namespace

// ---------------------------------------------------------------- values

void Core::bindValue(sql::Statement& s, int index, ValueType type, const void* value, const PropertyInfo* property) {
  if (value == nullptr) {
    s.bindNull(index);
    return;
  }
  switch (type) {
    case ValueType::int32:
      s.bindInt64(index, *static_cast<const std::int32_t*>(value));
      break;
    case ValueType::uint32:
      s.bindInt64(index, *static_cast<const std::uint32_t*>(value));
      break;
    case ValueType::int64:
      s.bindInt64(index, *static_cast<const std::int64_t*>(value));
      break;
    case ValueType::uint64:
      // Stored as the same 64 bits, read back the same way.
      s.bindInt64(index, static_cast<std::int64_t>(*static_cast<const std::uint64_t*>(value)));
      break;
    case ValueType::real64: {
      const double d = *static_cast<const double*>(value);
      if (std::isnan(d) || (d == 0 && std::signbit(d))) {
        // SQLite turns a NaN into NULL and -0.0 into 0; their exact bits are
        // kept as a blob.
        s.bindBlob(index, &d, sizeof d);
      } else {
        s.bindDouble(index, d);
      }
      break;
    }
    case ValueType::ustring:
      text_ = toStoredText(*static_cast<const std::u16string*>(value));
      s.bindText(index, text_);
      break;
    case ValueType::string:
      s.bindText(index, *static_cast<const std::string*>(value));
      break;
    case ValueType::dateTime:
      s.bindInt64(index, toStoredTime(*static_cast<const boost::posix_time::ptime*>(value)));
      break;
    case ValueType::uuid:
      s.bindBlob(index, static_cast<const boost::uuids::uuid*>(value)->data, 16);
      break;
    case ValueType::boolean:
      s.bindInt64(index, static_cast<const Boolean*>(value)->value);
      break;
    case ValueType::qxarray: {
      const matrix::qxArray_tag* array = *static_cast<const matrix::qxArray_tag* const*>(value);
      if (array == nullptr) {
        s.bindNull(index);
      } else {
        const std::string bytes = matrix::serializeArray(array);
        s.bindBlob(index, bytes.data(), bytes.size());
      }
      break;
    }
    case ValueType::enumeral: {
      const auto& e = *static_cast<const EnumeralRef*>(value);
      if (e.isNull()) {
        s.bindNull(index);
        break;
      }
      if (property != nullptr && property->typeEnumeration != nullptr && enumerationOf(e) != property->typeEnumeration) {
        usage("an enumeral of \"" + e.enumeration().qualifiedName() + "\" was given for the property \"" +
              property->name + "\" of type \"" + property->typeName + "\"");
      }
      s.bindInt64(index, e.id());
      break;
    }
    case ValueType::object: {
      const auto& o = *static_cast<const ObjectRef*>(value);
      if (o.isNull()) {
        s.bindNull(index);
        break;
      }
      if (core(o) != this) usage("an object of another repository was given");
      const ClassInfo* c = classOf(o);
      if (property != nullptr && property->typeClass != nullptr && c != nullptr && !c->conformsTo(property->typeClass)) {
        usage("an object of class \"" + c->qualifiedName + "\" was given for the property \"" + property->name +
              "\" of type \"" + property->typeName + "\"");
      }
      s.bindInt64(index, o.objectId());
      break;
    }
  }
}

bool Core::decodeValue(const Cell& cell, ValueType type, void* out, const PropertyInfo* property) {
  if (cell.kind == sql::ColumnKind::null) return false;
  switch (type) {
    case ValueType::int32:
      *static_cast<std::int32_t*>(out) = static_cast<std::int32_t>(cell.integer);
      break;
    case ValueType::uint32:
      *static_cast<std::uint32_t*>(out) = static_cast<std::uint32_t>(cell.integer);
      break;
    case ValueType::int64:
      *static_cast<std::int64_t*>(out) = cell.integer;
      break;
    case ValueType::uint64:
      *static_cast<std::uint64_t*>(out) = static_cast<std::uint64_t>(cell.integer);
      break;
    case ValueType::real64: {
      double d = cell.real;
      if (cell.kind == sql::ColumnKind::blob && cell.bytes.size() == sizeof d) {
        std::memcpy(&d, cell.bytes.data(), sizeof d);
      } else if (cell.kind == sql::ColumnKind::integer) {
        d = static_cast<double>(cell.integer);
      }
      *static_cast<double*>(out) = d;
      break;
    }
    case ValueType::ustring:
      *static_cast<std::u16string*>(out) = fromStoredText(cell.bytes);
      break;
    case ValueType::string:
      *static_cast<std::string*>(out) = cell.bytes;
      break;
    case ValueType::dateTime:
      *static_cast<boost::posix_time::ptime*>(out) = fromStoredTime(cell.integer);
      break;
    case ValueType::uuid: {
      auto& u = *static_cast<boost::uuids::uuid*>(out);
      if (cell.bytes.size() != 16) throw StorageError("a stored uuid does not have 16 bytes", filespec_);
      std::memcpy(u.data, cell.bytes.data(), 16);
      break;
    }
    case ValueType::boolean:
      *static_cast<Boolean*>(out) = Boolean::fromByte(static_cast<std::uint8_t>(cell.integer));
      break;
    case ValueType::qxarray:
      try {
        *static_cast<matrix::qxArray_tag**>(out) = matrix::deserializeArray(cell.bytes);
      } catch (const std::exception& e) {
        throw StorageError(std::string("a stored array cannot be read: ") + e.what(), filespec_);
      }
      break;
    case ValueType::enumeral: {
      auto& e = *static_cast<EnumeralRef*>(out);
      e = EnumeralRef();
      const EnumerationInfo* en = property ? property->typeEnumeration : nullptr;
      if (en != nullptr) {
        for (std::size_t i = 0; i < en->literals.size(); ++i) {
          if (en->literals[i].value == cell.integer) {
            e = enumeralRef(en, i);
            break;
          }
        }
      }
      break;
    }
    case ValueType::object:
      *static_cast<ObjectRef*>(out) =
          makeObjectRef(property ? property->typeClass : nullptr, static_cast<ObjectId>(cell.integer));
      break;
  }
  return true;
}

void Core::appendValue(void* vector, ValueType type, const Cell& cell, const PropertyInfo* property) {
  const auto decode = &Core::decodeValue;
  switch (type) {
    case ValueType::int32: pushDecoded<std::int32_t>(vector, *this, cell, type, property, decode); break;
    case ValueType::uint32: pushDecoded<std::uint32_t>(vector, *this, cell, type, property, decode); break;
    case ValueType::int64: pushDecoded<std::int64_t>(vector, *this, cell, type, property, decode); break;
    case ValueType::uint64: pushDecoded<std::uint64_t>(vector, *this, cell, type, property, decode); break;
    case ValueType::real64: pushDecoded<double>(vector, *this, cell, type, property, decode); break;
    case ValueType::ustring: pushDecoded<std::u16string>(vector, *this, cell, type, property, decode); break;
    case ValueType::string: pushDecoded<std::string>(vector, *this, cell, type, property, decode); break;
    case ValueType::dateTime: pushDecoded<boost::posix_time::ptime>(vector, *this, cell, type, property, decode); break;
    case ValueType::uuid: pushDecoded<boost::uuids::uuid>(vector, *this, cell, type, property, decode); break;
    case ValueType::boolean: pushDecoded<Boolean>(vector, *this, cell, type, property, decode); break;
    case ValueType::qxarray: pushDecoded<matrix::qxArray_tag*>(vector, *this, cell, type, property, decode); break;
    case ValueType::enumeral: pushDecoded<EnumeralRef>(vector, *this, cell, type, property, decode); break;
    case ValueType::object: pushDecoded<ObjectRef>(vector, *this, cell, type, property, decode); break;
  }
}

// A key that is equal for equal stored values, to find duplicates.
std::string Core::uniquenessKey(ValueType type, const void* value) {
  auto raw = [](const void* data, std::size_t size) { return std::string(static_cast<const char*>(data), size); };
  switch (type) {
    case ValueType::int32: return std::to_string(*static_cast<const std::int32_t*>(value));
    case ValueType::uint32: return std::to_string(*static_cast<const std::uint32_t*>(value));
    case ValueType::int64: return std::to_string(*static_cast<const std::int64_t*>(value));
    case ValueType::uint64: return std::to_string(*static_cast<const std::uint64_t*>(value));
    case ValueType::real64: return raw(value, sizeof(double));
    case ValueType::ustring: return toStoredText(*static_cast<const std::u16string*>(value));
    case ValueType::string: return *static_cast<const std::string*>(value);
    case ValueType::dateTime: return std::to_string(toStoredTime(*static_cast<const boost::posix_time::ptime*>(value)));
    case ValueType::uuid: return raw(static_cast<const boost::uuids::uuid*>(value)->data, 16);
    case ValueType::boolean: return std::to_string(static_cast<const Boolean*>(value)->value);
    case ValueType::qxarray: {
      const matrix::qxArray_tag* a = *static_cast<const matrix::qxArray_tag* const*>(value);
      return a ? matrix::serializeArray(a) : std::string();
    }
    case ValueType::enumeral: return std::to_string(static_cast<const EnumeralRef*>(value)->id());
    case ValueType::object: return std::to_string(static_cast<const ObjectRef*>(value)->objectId());
  }
  return std::string();
}

// ---------------------------------------------------------------- objects

ObjectRef Core::makeObjectRef(const ClassInfo* cls, ObjectId id) { return ObjectRef(shared_from_this(), cls, id); }

ObjectRef Core::makeObjectRef(const ClassInfo* cls, ObjectId id, const boost::uuids::uuid& uuid) {
  return ObjectRef(shared_from_this(), cls, id, uuid);
}

namespace {
// Reads an object handle from columns id, class_id, uuid (the last two NULL
// for an object that does not exist yet).
ObjectRef objectFromColumns(Core& core, sql::Statement& s, int column, const ClassInfo* fallback,
                            ClassInfo* (*lookup)(Core&, std::int64_t)) {
  const auto id = static_cast<ObjectId>(s.columnInt64(column));
  if (s.columnKind(column + 1) == sql::ColumnKind::null) return core.makeObjectRef(fallback, id);
  const ClassInfo* cls = lookup(core, s.columnInt64(column + 1));
  boost::uuids::uuid uuid{};
  const std::string_view bytes = s.columnBlob(column + 2);
  if (bytes.size() == 16) std::memcpy(uuid.data, bytes.data(), 16);
  return core.makeObjectRef(cls ? cls : fallback, id, uuid);
}
}  // namespace

ClassInfo* Core::requireObject(ObjectId id) {
  std::int64_t classId = 0;
  {
    sql::StatementUse s(statement("SELECT class_id FROM vlt_object WHERE id = " + p(1)));
    s->bindInt64(1, id);
    if (!s->step()) notFound(id);
    classId = s->columnInt64(0);
  }
  ClassInfo* cls = classById(classId);
  if (cls == nullptr) throw StorageError("the object " + std::to_string(id) + " has an unknown class", filespec_);
  return cls;
}

ObjectRef Core::findObject(const boost::uuids::uuid& uuid, const ClassInfo* cls) {
  checkUsable(cls);
  ObjectId id = 0;
  std::int64_t classId = 0;
  if (transaction_ != Transaction::none && cls->rowColumns > 0) {
    // Inside a transaction the row of the asked class comes with the lookup:
    // reading its properties next costs no further statement.
    ClassInfo* mutableClass = classesById_.at(cls->id);
    if (!mutableClass->findWithRow) {
      mutableClass->findWithRow = connection_->prepare("SELECT o.id, o.class_id, c.id, " + rowColumns(cls, "c.") +
                                                       " FROM vlt_object o LEFT JOIN " + cls->table +
                                                       " c ON c.id = o.id WHERE o.uuid = " + p(1));
    }
    sql::StatementUse s(*mutableClass->findWithRow);
    s->bindBlob(1, uuid.data, 16);
    if (!s->step()) return ObjectRef();
    id = static_cast<ObjectId>(s->columnInt64(0));
    classId = s->columnInt64(1);
    rowCache_.cls = cls;
    rowCache_.id = id;
    rowCache_.serial = writeSerial_;
    rowCache_.present = s->columnKind(2) != sql::ColumnKind::null;
    if (rowCache_.present) {
      rowCache_.cells.resize(static_cast<std::size_t>(cls->rowColumns));
      for (int i = 0; i < cls->rowColumns; ++i) capture(*s, 3 + i, rowCache_.cells[static_cast<std::size_t>(i)]);
    }
  } else {
    if (findByUuid_ == nullptr) findByUuid_ = &statement("SELECT id, class_id FROM vlt_object WHERE uuid = " + p(1));
    sql::StatementUse s(*findByUuid_);
    s->bindBlob(1, uuid.data, 16);
    if (!s->step()) return ObjectRef();
    id = static_cast<ObjectId>(s->columnInt64(0));
    classId = s->columnInt64(1);
  }
  const ClassInfo* actual = classById(classId);
  if (actual == nullptr || !actual->conformsTo(cls)) return ObjectRef();
  return makeObjectRef(actual, id, uuid);
}

std::string Core::rowColumns(const ClassInfo* cls, const char* alias) const {
  std::string columns;
  for (const PropertyInfo* q : cls->properties) {
    if (q->inClassTable()) columns += (columns.empty() ? "" : ", ") + std::string(alias) + q->column;
  }
  return columns;
}

std::vector<ObjectRef> Core::objectsOf(const ClassInfo* cls, bool withSubclasses, bool countOnly, std::size_t& count) {
  checkUsable(cls);
  std::vector<const ClassInfo*> classes{cls};
  for (std::size_t i = 0; withSubclasses && i < classes.size(); ++i) {
    for (const ClassInfo* sub : classes[i]->subclasses) {
      if (std::find(classes.begin(), classes.end(), sub) == classes.end()) classes.push_back(sub);
    }
  }
  std::string list;
  for (const ClassInfo* c : classes) list += (list.empty() ? "" : ", ") + std::to_string(c->id);
  std::vector<ObjectRef> out;
  if (countOnly) {
    auto s = connection_->prepare("SELECT count(*) FROM vlt_object WHERE class_id IN (" + list + ")");
    count = s->step() ? static_cast<std::size_t>(s->columnInt64(0)) : 0;
    return out;
  }
  auto s = connection_->prepare("SELECT id, class_id, uuid FROM vlt_object WHERE class_id IN (" + list + ") ORDER BY id");
  auto lookup = [](Core& c, std::int64_t id) { return c.classById(id); };
  while (s->step()) out.push_back(objectFromColumns(*this, *s, 0, cls, lookup));
  count = out.size();
  return out;
}

std::vector<ObjectRef> Core::rootObjects() {
  checkOpen();
  std::vector<ObjectRef> out;
  sql::StatementUse s(statement("SELECT id, class_id, uuid FROM vlt_object WHERE owner_id IS NULL ORDER BY id"));
  auto lookup = [](Core& c, std::int64_t id) { return c.classById(id); };
  while (s->step()) out.push_back(objectFromColumns(*this, *s, 0, nullptr, lookup));
  return out;
}

const boost::uuids::uuid& Core::objectIdentity(const ObjectRef& object) {
  checkOpen();
  if (object.isNull()) usage("the identity of a null object was asked for");
  sql::StatementUse s(statement("SELECT uuid FROM vlt_object WHERE id = " + p(1)));
  s->bindInt64(1, object.objectId());
  if (!s->step()) notFound(object.objectId());
  const std::string_view bytes = s->columnBlob(0);
  if (bytes.size() != 16) throw StorageError("a stored uuid does not have 16 bytes", filespec_);
  std::memcpy(object.uuid_.data, bytes.data(), 16);
  object.uuidKnown_ = true;
  return object.uuid_;
}

ClassInfo* Core::runtimeClass(ObjectId id) {
  checkOpen();
  std::int64_t classId = 0;
  {
    sql::StatementUse s(statement("SELECT class_id FROM vlt_object WHERE id = " + p(1)));
    s->bindInt64(1, id);
    if (!s->step()) return nullptr;
    classId = s->columnInt64(0);
  }
  return classById(classId);
}

void Core::getOwnership(const ObjectRef& object, ObjectRef& owner, PropertyRef& property, std::uint64_t& ordinal) {
  checkOpen();
  if (object.isNull()) usage("the ownership of a null object was asked for");
  ObjectRef foundOwner;
  const PropertyInfo* foundProperty = nullptr;
  std::int64_t storedOrdinal = 0;
  {
    sql::StatementUse s(statement(
        "SELECT o.owner_id, w.class_id, w.uuid, o.owner_property_id, o.ordinal FROM vlt_object o LEFT JOIN vlt_object "
        "w ON w.id = o.owner_id WHERE o.id = " + p(1)));
    s->bindInt64(1, object.objectId());
    if (!s->step()) notFound(object.objectId());
    if (s->columnKind(0) != sql::ColumnKind::null) {
      auto lookup = [](Core& c, std::int64_t id) { return c.classById(id); };
      foundOwner = objectFromColumns(*this, *s, 0, nullptr, lookup);
      auto it = propertiesById_.find(s->columnInt64(3));
      foundProperty = it == propertiesById_.end() ? nullptr : it->second;
      storedOrdinal = s->columnInt64(4);
    }
  }
  std::uint64_t position = 0;
  if (foundProperty != nullptr && foundProperty->multi && foundProperty->ordered) {
    // The position is the rank in the owner's collection: stored ordinals may
    // have gaps (children created at given positions, or removed).
    sql::StatementUse s(statement("SELECT count(*) FROM vlt_object WHERE owner_id = " + p(1) +
                                  " AND owner_property_id = " + p(2) + " AND (ordinal < " + p(3) + " OR (ordinal = " +
                                  p(3) + " AND id < " + p(4) + "))"));
    s->bindInt64(1, foundOwner.objectId());
    s->bindInt64(2, foundProperty->id);
    s->bindInt64(3, storedOrdinal);
    s->bindInt64(4, object.objectId());
    if (s->step()) position = static_cast<std::uint64_t>(s->columnInt64(0));
  }
  owner = foundOwner;
  property = foundProperty ? propertyRef(foundProperty) : PropertyRef();
  ordinal = position;
}

const PropertyInfo* Core::checkAccess(const ObjectRef& object, const PropertyRef& propertyRef, ValueType type) const {
  const PropertyInfo* property = info(propertyRef);
  checkUsable(property);
  if (core(propertyRef) != this) usage("the property \"" + property->name + "\" belongs to another repository");
  if (object.isNull()) usage("a null object handle was used");
  const ClassInfo* cls = classOf(object);
  if (cls == nullptr) usage("the object handle carries no class");
  if (cls->retired) usage("the class \"" + cls->qualifiedName + "\" was rolled back");
  if (!cls->conformsTo(property->owner)) {
    usage("the property \"" + property->name + "\" of class \"" + property->owner->qualifiedName +
          "\" does not belong to the class \"" + cls->qualifiedName + "\" of object " +
          std::to_string(object.objectId()));
  }
  if (property->valueType != type) {
    usage(std::string("the property \"") + property->name + "\" holds " + typeLabel(property->valueType) +
          " values, not " + typeLabel(type));
  }
  return property;
}

const std::vector<Cell>* Core::fetchRow(const ClassInfo* cls, ObjectId id) {
  const bool cacheable = transaction_ != Transaction::none;
  if (cacheable && rowCache_.cls == cls && rowCache_.id == id && rowCache_.serial == writeSerial_) {
    return rowCache_.present ? &rowCache_.cells : nullptr;
  }
  ClassInfo* mutableClass = classesById_.at(cls->id);
  if (!mutableClass->selectRow) {
    std::string columns = rowColumns(cls, "");
    if (columns.empty()) columns = "id";
    mutableClass->selectRow = connection_->prepare("SELECT " + columns + " FROM " + cls->table + " WHERE id = " + p(1));
  }
  sql::StatementUse s(*mutableClass->selectRow);
  s->bindInt64(1, id);
  rowCache_.cls = cls;
  rowCache_.id = id;
  rowCache_.serial = cacheable ? writeSerial_ : 0;
  rowCache_.present = s->step();
  if (rowCache_.present) {
    rowCache_.cells.resize(static_cast<std::size_t>(cls->rowColumns));
    for (int i = 0; i < cls->rowColumns; ++i) capture(*s, i, rowCache_.cells[static_cast<std::size_t>(i)]);
  }
  return rowCache_.present ? &rowCache_.cells : nullptr;
}

sql::Statement& Core::propertyStatement(const PropertyInfo* property, PropertyStatement which) {
  auto& slot = const_cast<PropertyInfo*>(property)->statements[which];
  if (slot) return *slot;
  const std::string& t = property->table;
  const bool links = property->valueType == ValueType::object;
  std::string sql;
  switch (which) {
    case psSelectAll:
      sql = links ? "SELECT l.value, o.class_id, o.uuid FROM " + t + " l LEFT JOIN vlt_object o ON o.id = l.value "
                    "WHERE l.object_id = " + p(1) + " ORDER BY l.ordinal"
                  : "SELECT value FROM " + t + " WHERE object_id = " + p(1) + " ORDER BY ordinal";
      break;
    case psSelectAt:
      sql = links ? "SELECT l.value, o.class_id, o.uuid FROM " + t + " l LEFT JOIN vlt_object o ON o.id = l.value "
                    "WHERE l.object_id = " + p(1) + " AND l.ordinal = " + p(2)
                  : "SELECT value FROM " + t + " WHERE object_id = " + p(1) + " AND ordinal = " + p(2);
      break;
    case psCount:
      sql = "SELECT count(*) FROM " + t + " WHERE object_id = " + p(1);
      break;
    case psIndexOf:
      sql = "SELECT min(ordinal) FROM " + t + " WHERE object_id = " + p(1) + " AND value = " + p(2);
      break;
    case psInsert:
      sql = "INSERT INTO " + t + " (object_id, ordinal, value) VALUES (" + p(1) + ", " + p(2) + ", " + p(3) + ")";
      break;
    case psShiftUp:
      sql = "UPDATE " + t + " SET ordinal = ordinal + 1 WHERE object_id = " + p(1) + " AND ordinal >= " + p(2);
      break;
    case psShiftDown:
      sql = "UPDATE " + t + " SET ordinal = ordinal - 1 WHERE object_id = " + p(1) + " AND ordinal > " + p(2);
      break;
    case psDeleteAt:
      sql = "DELETE FROM " + t + " WHERE object_id = " + p(1) + " AND ordinal = " + p(2);
      break;
    case psDeleteAll:
      sql = "DELETE FROM " + t + " WHERE object_id = " + p(1);
      break;
    case psReplaceAt:
      sql = "UPDATE " + t + " SET value = " + p(3) + " WHERE object_id = " + p(1) + " AND ordinal = " + p(2);
      break;
    case psIncoming:
      sql = "SELECT l.object_id, o.class_id, o.uuid, l.ordinal FROM " + t +
            " l JOIN vlt_object o ON o.id = l.object_id WHERE l.value = " + p(1) + " ORDER BY l.object_id, l.ordinal DESC";
      break;
    case psUpsert:
      sql = connection_->dialect().upsertColumn(property->owner->table, property->column);
      break;
    case psNullify:
      sql = "UPDATE " + property->owner->table + " SET " + property->column + " = NULL WHERE " + property->column +
            " = " + p(1);
      break;
    case psCountStatements:
      break;
  }
  slot = connection_->prepare(sql);
  return *slot;
}

std::vector<ObjectRef> Core::children(ObjectId owner, const PropertyInfo* property) {
  std::vector<ObjectRef> out;
  sql::StatementUse s(statement("SELECT id, class_id, uuid FROM vlt_object WHERE owner_id = " + p(1) +
                                " AND owner_property_id = " + p(2) + " ORDER BY ordinal, id"));
  s->bindInt64(1, owner);
  s->bindInt64(2, property->id);
  auto lookup = [](Core& c, std::int64_t id) { return c.classById(id); };
  while (s->step()) out.push_back(objectFromColumns(*this, *s, 0, property->typeClass, lookup));
  return out;
}

void Core::checkNoCycle(ObjectId owner, ObjectId child) {
  ObjectId current = owner;
  while (current != 0) {
    if (current == child) {
      usage("the object " + std::to_string(child) + " cannot be owned by " + std::to_string(owner) +
            ": it would own itself");
    }
    sql::StatementUse s(statement("SELECT owner_id FROM vlt_object WHERE id = " + p(1)));
    s->bindInt64(1, current);
    current = s->step() ? static_cast<ObjectId>(s->columnInt64(0)) : 0;
  }
}

// Makes `children` the owned objects of `owner` through `property`, at
// positions 0, 1, ... (they leave a previous owner).
void Core::attachChildren(ObjectId owner, const PropertyInfo* property, const std::vector<ObjectId>& childIds) {
  for (std::size_t i = 0; i < childIds.size(); ++i) {
    const ClassInfo* cls = requireObject(childIds[i]);
    if (!cls->conformsTo(property->typeClass)) {
      usage("an object of class \"" + cls->qualifiedName + "\" cannot be owned through \"" + property->name +
            "\" of type \"" + property->typeName + "\"");
    }
    checkNoCycle(owner, childIds[i]);
    sql::StatementUse s(statement("UPDATE vlt_object SET owner_id = " + p(1) + ", owner_property_id = " + p(2) +
                                  ", ordinal = " + p(3) + " WHERE id = " + p(4)));
    s->bindInt64(1, owner);
    s->bindInt64(2, property->id);
    s->bindInt64(3, static_cast<std::int64_t>(i));
    s->bindInt64(4, childIds[i]);
    s->step();
  }
}

void Core::detachChild(ObjectId child) {
  sql::StatementUse s(statement("UPDATE vlt_object SET owner_id = NULL, owner_property_id = NULL, ordinal = 0 WHERE id = " + p(1)));
  s->bindInt64(1, child);
  s->step();
}

void Core::removeLinkAt(ObjectId owner, const PropertyInfo* property, std::int64_t ordinal) {
  {
    sql::StatementUse s(propertyStatement(property, psDeleteAt));
    s->bindInt64(1, owner);
    s->bindInt64(2, ordinal);
    s->step();
  }
  if (connection_->changes() == 0) {
    usage("the index " + std::to_string(ordinal) + " is beyond the end of the collection \"" + property->name +
          "\" of object " + std::to_string(owner));
  }
  sql::StatementUse s(propertyStatement(property, psShiftDown));
  s->bindInt64(1, owner);
  s->bindInt64(2, ordinal);
  s->step();
}

bool Core::readSingle(const ObjectRef& object, const PropertyRef& propertyRef, ValueType type, void* out) {
  checkOpen();
  const PropertyInfo* property = checkAccess(object, propertyRef, type);
  const ObjectId id = object.objectId();
  if (property->composite) {
    std::vector<ObjectRef> kids = children(id, property);
    if (kids.empty()) {
      requireObject(id);
      return false;
    }
    *static_cast<ObjectRef*>(out) = kids.front();
    return true;
  }
  if (property->multi) {
    sql::StatementUse s(propertyStatement(property, psSelectAt));
    s->bindInt64(1, id);
    s->bindInt64(2, 0);
    if (!s->step()) {
      s->reset();
      requireObject(id);
      return false;
    }
    if (type == ValueType::object) {
      auto lookup = [](Core& c, std::int64_t cid) { return c.classById(cid); };
      *static_cast<ObjectRef*>(out) = objectFromColumns(*this, *s, 0, property->typeClass, lookup);
      return true;
    }
    Cell cell;
    capture(*s, 0, cell);
    return decodeValue(cell, type, out, property);
  }
  const std::vector<Cell>* row = fetchRow(property->owner, id);
  if (row == nullptr) {
    requireObject(id);
    return false;
  }
  return decodeValue((*row)[static_cast<std::size_t>(property->rowColumn)], type, out, property);
}

void Core::writeSingle(const ObjectRef& object, const PropertyRef& propertyRef, ValueType type, const void* in) {
  checkOpen();
  const PropertyInfo* property = checkAccess(object, propertyRef, type);
  const ObjectId id = object.objectId();
  if (property->multi) {
    // A single value written into a collection replaces it by zero or one entry.
    WriteScope scope(*this);
    requireObject(id);
    if (property->composite) {
      for (const ObjectRef& kid : children(id, property)) detachChild(kid.objectId());
      if (in != nullptr && !static_cast<const ObjectRef*>(in)->isNull()) {
        attachChildren(id, property, {static_cast<const ObjectRef*>(in)->objectId()});
      }
    } else {
      sql::StatementUse clear(propertyStatement(property, psDeleteAll));
      clear->bindInt64(1, id);
      clear->step();
      clear->reset();
      if (in != nullptr) {
        sql::StatementUse s(propertyStatement(property, psInsert));
        s->bindInt64(1, id);
        s->bindInt64(2, 0);
        bindValue(*s, 3, type, in, property);
        s->step();
      }
    }
    scope.commit();
    return;
  }
  // A plain column write is one statement: atomic without a savepoint.
  WriteScope scope(*this, property->composite);
  requireObject(id);
  if (property->composite) {
    for (const ObjectRef& kid : children(id, property)) detachChild(kid.objectId());
    if (in != nullptr && !static_cast<const ObjectRef*>(in)->isNull()) {
      attachChildren(id, property, {static_cast<const ObjectRef*>(in)->objectId()});
    }
  } else {
    sql::StatementUse s(propertyStatement(property, psUpsert));
    s->bindInt64(1, id);
    bindValue(*s, 2, type, in, property);
    s->step();
  }
  scope.commit();
}

void Core::readMany(const ObjectRef& object, const PropertyRef& propertyRef, ValueType type, void* out) {
  checkOpen();
  const PropertyInfo* property = checkAccess(object, propertyRef, type);
  const ObjectId id = object.objectId();
  bool empty = true;
  if (property->composite) {
    auto& v = *static_cast<std::vector<ObjectRef>*>(out);
    v = children(id, property);
    empty = v.empty();
  } else if (!property->multi) {
    const std::vector<Cell>* row = fetchRow(property->owner, id);
    if (row != nullptr) {
      const Cell& cell = (*row)[static_cast<std::size_t>(property->rowColumn)];
      if (cell.kind != sql::ColumnKind::null) appendValue(out, type, cell, property);
      return;
    }
  } else {
    sql::StatementUse s(propertyStatement(property, psSelectAll));
    s->bindInt64(1, id);
    Cell cell;
    auto lookup = [](Core& c, std::int64_t cid) { return c.classById(cid); };
    while (s->step()) {
      empty = false;
      if (type == ValueType::object) {
        static_cast<std::vector<ObjectRef>*>(out)->push_back(objectFromColumns(*this, *s, 0, property->typeClass, lookup));
      } else {
        capture(*s, 0, cell);
        appendValue(out, type, cell, property);
      }
    }
  }
  if (empty) requireObject(id);
}

void Core::writeMany(const ObjectRef& object, const PropertyRef& propertyRef, ValueType type, const void* in,
                     bool objectIsNew) {
  checkOpen();
  const PropertyInfo* property = checkAccess(object, propertyRef, type);
  const ObjectId id = object.objectId();
  std::size_t count = 0;
  forEachElement(type, in, [&](const void*) { ++count; });
  if (!property->multi) {
    if (count > 1) {
      usage("the single-valued property \"" + property->name + "\" was given " + std::to_string(count) + " values");
    }
    const void* first = nullptr;
    forEachElement(type, in, [&](const void* e) { first = e; });
    writeSingle(object, propertyRef, type, first);
    return;
  }
  WriteScope scope(*this);
  requireObject(id);
  if (property->composite) {
    std::vector<ObjectId> ids;
    for (const ObjectRef& o : *static_cast<const std::vector<ObjectRef>*>(in)) {
      if (o.isNull()) usage("a null object cannot be owned through \"" + property->name + "\"");
      if (std::find(ids.begin(), ids.end(), o.objectId()) != ids.end()) {
        throw ConstraintError("the object " + std::to_string(o.objectId()) + " is given twice for \"" +
                                  property->name + "\"",
                              filespec_);
      }
      ids.push_back(o.objectId());
    }
    for (const ObjectRef& kid : children(id, property)) {
      if (std::find(ids.begin(), ids.end(), kid.objectId()) == ids.end()) detachChild(kid.objectId());
    }
    attachChildren(id, property, ids);
  } else {
    if (property->unique) {
      std::set<std::string> keys;
      forEachElement(type, in, [&](const void* e) {
        if (!keys.insert(uniquenessKey(type, e)).second) {
          throw ConstraintError("the unique collection \"" + property->name + "\" was given a value twice", filespec_);
        }
      });
    }
    if (!objectIsNew) {
      sql::StatementUse clear(propertyStatement(property, psDeleteAll));
      clear->bindInt64(1, id);
      clear->step();
    }
    sql::Statement& insert = propertyStatement(property, psInsert);
    std::int64_t ordinal = 0;
    forEachElement(type, in, [&](const void* e) {
      if (type == ValueType::object && static_cast<const ObjectRef*>(e)->isNull()) {
        usage("a collection of links cannot hold a null object");
      }
      sql::StatementUse s(insert);
      s->bindInt64(1, id);
      s->bindInt64(2, ordinal++);
      bindValue(*s, 3, type, e, property);
      s->step();
    });
  }
  scope.commit();
}

// ---------------------------------------------------------------- deletion

void Core::deleteOne(ObjectId id, const ClassInfo* cls) {
  for (ClassInfo* c : cls->lineage) {
    if (!c->deleteRow) c->deleteRow = connection_->prepare("DELETE FROM " + c->table + " WHERE id = " + p(1));
    sql::StatementUse s(*c->deleteRow);
    s->bindInt64(1, id);
    s->step();
    s->reset();
    for (const PropertyInfo* q : c->properties) {
      if (!q->inOwnTable()) continue;
      sql::StatementUse d(propertyStatement(q, psDeleteAll));
      d->bindInt64(1, id);
      d->step();
    }
  }
  // Links that other objects hold to it.
  for (const auto& holder : propertyStore_) {
    const PropertyInfo* q = holder.get();
    if (q->retired || q->valueType != ValueType::object || q->composite || !cls->conformsTo(q->typeClass)) continue;
    if (q->inClassTable()) {
      sql::StatementUse s(propertyStatement(q, psNullify));
      s->bindInt64(1, id);
      s->step();
    } else {
      std::vector<std::pair<ObjectId, std::int64_t>> entries;
      {
        sql::StatementUse s(propertyStatement(q, psIncoming));
        s->bindInt64(1, id);
        while (s->step()) entries.emplace_back(static_cast<ObjectId>(s->columnInt64(0)), s->columnInt64(3));
      }
      for (const auto& [owner, ordinal] : entries) removeLinkAt(owner, q, ordinal);
    }
  }
  sql::StatementUse s(statement("DELETE FROM vlt_object WHERE id = " + p(1)));
  s->bindInt64(1, id);
  s->step();
}

void Core::deleteObject(const ObjectRef& object) {
  checkOpen();
  if (object.isNull()) usage("a null object cannot be deleted");
  WriteScope scope(*this);
  requireObject(object.objectId());
  std::vector<std::pair<ObjectId, std::int64_t>> doomed;
  {
    sql::StatementUse s(statement("WITH RECURSIVE sub(id) AS (SELECT " + p(1) +
                                  " UNION SELECT o.id FROM vlt_object o JOIN sub ON o.owner_id = sub.id) "
                                  "SELECT sub.id, o.class_id FROM sub JOIN vlt_object o ON o.id = sub.id"));
    s->bindInt64(1, object.objectId());
    while (s->step()) doomed.emplace_back(static_cast<ObjectId>(s->columnInt64(0)), s->columnInt64(1));
  }
  for (const auto& [id, classId] : doomed) {
    const ClassInfo* cls = classById(classId);
    if (cls == nullptr) throw StorageError("the object " + std::to_string(id) + " has an unknown class", filespec_);
    deleteOne(id, cls);
  }
  scope.commit();
}

void Core::deleteAllObjects() {
  WriteScope scope(*this);
  for (const auto& c : classStore_) {
    if (!c->retired) connection_->execute("DELETE FROM " + c->table);
  }
  for (const auto& q : propertyStore_) {
    if (!q->retired && q->inOwnTable()) connection_->execute("DELETE FROM " + q->table);
  }
  connection_->execute("DELETE FROM vlt_object");
  scope.commit();
}

void Core::processIncoming(const ObjectRef& object, const std::function<void(CollectionRef&, std::size_t)>& callback) {
  checkOpen();
  if (object.isNull()) usage("a null object has no incoming links");
  const ClassInfo* cls = requireObject(object.objectId());
  std::vector<std::tuple<ObjectRef, const PropertyInfo*, std::size_t>> entries;
  auto lookup = [](Core& c, std::int64_t cid) { return c.classById(cid); };
  for (const auto& holder : propertyStore_) {
    const PropertyInfo* q = holder.get();
    if (q->retired || !q->inOwnTable() || q->valueType != ValueType::object || !q->opposite.empty() ||
        !cls->conformsTo(q->typeClass)) {
      continue;
    }
    sql::StatementUse s(propertyStatement(q, psIncoming));
    s->bindInt64(1, object.objectId());
    while (s->step()) {
      entries.emplace_back(objectFromColumns(*this, *s, 0, q->owner, lookup), q,
                           static_cast<std::size_t>(s->columnInt64(3)));
    }
  }
  for (auto& [owner, property, index] : entries) {
    CollectionRef collection;
    setCollection(collection, owner, propertyRef(property));
    callback(collection, index);
  }
}

// ---------------------------------------------------------------- collections

void Core::checkCollection(const ObjectRef& object, const PropertyRef& propertyRef, ValueType type) {
  checkOpen();
  const PropertyInfo* property = checkAccess(object, propertyRef, type);
  if (!property->multi) usage("the property \"" + property->name + "\" is single-valued: it has no collection");
}

std::size_t Core::collectionSize(const ObjectRef& object, const PropertyInfo* property) {
  checkUsable(property);
  if (property->composite) {
    sql::StatementUse s(statement("SELECT count(*) FROM vlt_object WHERE owner_id = " + p(1) +
                                  " AND owner_property_id = " + p(2)));
    s->bindInt64(1, object.objectId());
    s->bindInt64(2, property->id);
    return s->step() ? static_cast<std::size_t>(s->columnInt64(0)) : 0;
  }
  sql::StatementUse s(propertyStatement(property, psCount));
  s->bindInt64(1, object.objectId());
  return s->step() ? static_cast<std::size_t>(s->columnInt64(0)) : 0;
}

std::size_t Core::collectionIndexOf(const ObjectRef& object, const PropertyInfo* property, ValueType type,
                                    const void* value) {
  checkUsable(property);
  if (property->composite) {
    const ObjectId wanted = static_cast<const ObjectRef*>(value)->objectId();
    const std::vector<ObjectRef> kids = children(object.objectId(), property);
    for (std::size_t i = 0; i < kids.size(); ++i) {
      if (kids[i].objectId() == wanted) return i;
    }
    return CollectionRefBase::npos;
  }
  sql::StatementUse s(propertyStatement(property, psIndexOf));
  s->bindInt64(1, object.objectId());
  bindValue(*s, 2, type, value, property);
  if (!s->step() || s->columnKind(0) == sql::ColumnKind::null) return CollectionRefBase::npos;
  return static_cast<std::size_t>(s->columnInt64(0));
}

void Core::collectionInsert(const ObjectRef& object, const PropertyInfo* property, ValueType type, const void* value,
                            const boost::optional<std::uint64_t>& index) {
  checkUsable(property);
  WriteScope scope(*this);
  const ObjectId id = object.objectId();
  requireObject(id);
  if (property->composite) {
    const auto& child = *static_cast<const ObjectRef*>(value);
    if (child.isNull()) usage("a null object cannot be owned through \"" + property->name + "\"");
    if (!index || *index == collectionSize(object, property)) {
      // Appending an object that is not in this collection yet: one update,
      // at the ordinal after the last one, instead of renumbering them all.
      std::int64_t currentOwner = 0;
      std::int64_t currentProperty = 0;
      {
        sql::StatementUse s(statement("SELECT owner_id, owner_property_id FROM vlt_object WHERE id = " + p(1)));
        s->bindInt64(1, child.objectId());
        if (!s->step()) notFound(child.objectId());
        currentOwner = s->columnInt64(0);
        currentProperty = s->columnInt64(1);
      }
      if (currentOwner != id || currentProperty != property->id) {
        const ClassInfo* cls = requireObject(child.objectId());
        if (!cls->conformsTo(property->typeClass)) {
          usage("an object of class \"" + cls->qualifiedName + "\" cannot be owned through \"" + property->name +
                "\" of type \"" + property->typeName + "\"");
        }
        checkNoCycle(id, child.objectId());
        {
          sql::StatementUse s(statement(
              "UPDATE vlt_object SET owner_id = " + p(1) + ", owner_property_id = " + p(2) +
              ", ordinal = (SELECT coalesce(max(ordinal), -1) + 1 FROM vlt_object WHERE owner_id = " + p(1) +
              " AND owner_property_id = " + p(2) + ") WHERE id = " + p(3)));
          s->bindInt64(1, id);
          s->bindInt64(2, property->id);
          s->bindInt64(3, child.objectId());
          s->step();
        }
        scope.commit();
        return;
      }
    }
    std::vector<ObjectId> ids;
    for (const ObjectRef& kid : children(id, property)) {
      if (kid.objectId() != child.objectId()) ids.push_back(kid.objectId());
    }
    const std::size_t at = index ? static_cast<std::size_t>(*index) : ids.size();
    if (at > ids.size()) {
      usage("the index " + std::to_string(at) + " is beyond the end of the collection \"" + property->name +
            "\" (size " + std::to_string(ids.size()) + ")");
    }
    ids.insert(ids.begin() + static_cast<std::ptrdiff_t>(at), child.objectId());
    attachChildren(id, property, ids);
  } else {
    if ((type == ValueType::object && static_cast<const ObjectRef*>(value)->isNull()) ||
        (type == ValueType::enumeral && static_cast<const EnumeralRef*>(value)->isNull())) {
      usage("a collection cannot hold a null handle (\"" + property->name + "\")");
    }
    if (property->unique && collectionIndexOf(object, property, type, value) != CollectionRefBase::npos) {
      throw ConstraintError("the unique collection \"" + property->name + "\" of object " + std::to_string(id) +
                                " holds the value already",
                            filespec_);
    }
    const std::size_t size = collectionSize(object, property);
    const std::size_t at = index ? static_cast<std::size_t>(*index) : size;
    if (at > size) {
      usage("the index " + std::to_string(at) + " is beyond the end of the collection \"" + property->name +
            "\" (size " + std::to_string(size) + ")");
    }
    if (at < size) {
      sql::StatementUse s(propertyStatement(property, psShiftUp));
      s->bindInt64(1, id);
      s->bindInt64(2, static_cast<std::int64_t>(at));
      s->step();
    }
    sql::StatementUse s(propertyStatement(property, psInsert));
    s->bindInt64(1, id);
    s->bindInt64(2, static_cast<std::int64_t>(at));
    bindValue(*s, 3, type, value, property);
    s->step();
  }
  scope.commit();
}

void Core::collectionReplace(const ObjectRef& object, const PropertyInfo* property, std::size_t index, ValueType type,
                             const void* value) {
  checkUsable(property);
  WriteScope scope(*this);
  const ObjectId id = object.objectId();
  requireObject(id);
  if (property->composite) {
    const auto& child = *static_cast<const ObjectRef*>(value);
    if (child.isNull()) usage("a null object cannot be owned through \"" + property->name + "\"");
    std::vector<ObjectId> ids;
    for (const ObjectRef& kid : children(id, property)) ids.push_back(kid.objectId());
    if (index >= ids.size()) {
      usage("the index " + std::to_string(index) + " is beyond the end of the collection \"" + property->name +
            "\" (size " + std::to_string(ids.size()) + ")");
    }
    const ObjectId old = ids[index];
    if (old != child.objectId()) {
      auto existing = std::find(ids.begin(), ids.end(), child.objectId());
      if (existing != ids.end()) {
        if (static_cast<std::size_t>(existing - ids.begin()) < index) --index;
        ids.erase(existing);
      }
      ids[index] = child.objectId();
      detachChild(old);
      attachChildren(id, property, ids);
    }
  } else {
    if ((type == ValueType::object && static_cast<const ObjectRef*>(value)->isNull()) ||
        (type == ValueType::enumeral && static_cast<const EnumeralRef*>(value)->isNull())) {
      usage("a collection cannot hold a null handle (\"" + property->name + "\")");
    }
    if (property->unique) {
      const std::size_t at = collectionIndexOf(object, property, type, value);
      if (at != CollectionRefBase::npos && at != index) {
        throw ConstraintError("the unique collection \"" + property->name + "\" of object " + std::to_string(id) +
                                  " holds the value already",
                              filespec_);
      }
    }
    {
      sql::StatementUse s(propertyStatement(property, psReplaceAt));
      s->bindInt64(1, id);
      s->bindInt64(2, static_cast<std::int64_t>(index));
      bindValue(*s, 3, type, value, property);
      s->step();
    }
    if (connection_->changes() == 0) {
      usage("the index " + std::to_string(index) + " is beyond the end of the collection \"" + property->name + "\"");
    }
  }
  scope.commit();
}

void Core::collectionRemoveAt(const ObjectRef& object, const PropertyInfo* property, std::size_t index) {
  checkUsable(property);
  WriteScope scope(*this);
  const ObjectId id = object.objectId();
  requireObject(id);
  if (property->composite) {
    const std::vector<ObjectRef> kids = children(id, property);
    if (index >= kids.size()) {
      usage("the index " + std::to_string(index) + " is beyond the end of the collection \"" + property->name +
            "\" (size " + std::to_string(kids.size()) + ")");
    }
    detachChild(kids[index].objectId());
  } else {
    removeLinkAt(id, property, static_cast<std::int64_t>(index));
  }
  scope.commit();
}

void Core::collectionAt(const ObjectRef& object, const PropertyInfo* property, std::size_t index, ValueType type,
                        void* out) {
  checkUsable(property);
  if (property->composite) {
    const std::vector<ObjectRef> kids = children(object.objectId(), property);
    if (index >= kids.size()) {
      usage("the index " + std::to_string(index) + " is beyond the end of the collection \"" + property->name +
            "\" (size " + std::to_string(kids.size()) + ")");
    }
    *static_cast<ObjectRef*>(out) = kids[index];
    return;
  }
  sql::StatementUse s(propertyStatement(property, psSelectAt));
  s->bindInt64(1, object.objectId());
  s->bindInt64(2, static_cast<std::int64_t>(index));
  if (!s->step()) {
    usage("the index " + std::to_string(index) + " is beyond the end of the collection \"" + property->name + "\"");
  }
  if (type == ValueType::object) {
    auto lookup = [](Core& c, std::int64_t cid) { return c.classById(cid); };
    *static_cast<ObjectRef*>(out) = objectFromColumns(*this, *s, 0, property->typeClass, lookup);
    return;
  }
  Cell cell;
  capture(*s, 0, cell);
  decodeValue(cell, type, out, property);
}

// ---------------------------------------------------------------- construction

ObjectRef Core::construct(const ClassInfo* cls, ConstructorPlan& plan, const std::vector<BoundSource>& sources,
                          ObjectId id, const boost::uuids::uuid& uuid, const PropertyInfo* membershipProperty,
                          ObjectId ownerId, std::int32_t ordinal) {
  checkUsable(cls);
  if (plan.generation != schemaGeneration_) {
    plan.inserts.clear();
    for (const BoundSource& source : sources) checkUsable(source.property);
    for (const ClassInfo* c : cls->lineage) {
      ConstructorPlan::ClassInsert insert;
      insert.cls = c;
      std::string columns = "id";
      std::string values = p(1);
      for (std::size_t i = 0; i < sources.size(); ++i) {
        if (sources[i].property->owner != c) continue;
        insert.sources.push_back(i);
        columns += ", " + sources[i].property->column;
        values += ", " + p(static_cast<int>(insert.sources.size()) + 1);
      }
      if (insert.sources.empty()) continue;
      insert.statement = connection_->prepare("INSERT INTO " + c->table + " (" + columns + ") VALUES (" + values + ")");
      plan.inserts.push_back(std::move(insert));
    }
    plan.generation = schemaGeneration_;
  }
  if (membershipProperty != nullptr) {
    checkUsable(membershipProperty);
    if (!membershipProperty->composite) {
      usage("the membership property \"" + membershipProperty->name + "\" is not composite");
    }
  }

  WriteScope scope(*this, false);
  const ObjectId objectId = id != 0 ? id : nextAutomaticId();
  const boost::uuids::uuid objectUuid = uuid.is_nil() ? uuidGenerator_() : uuid;
  {
    if (insertObject_ == nullptr) {
      insertObject_ = &statement("INSERT INTO vlt_object (id, uuid, class_id, owner_id, owner_property_id, ordinal) "
                                 "VALUES (" + p(1) + ", " + p(2) + ", " + p(3) + ", " + p(4) + ", " + p(5) + ", " + p(6) +
                                 ")");
    }
    sql::StatementUse s(*insertObject_);
    s->bindInt64(1, objectId);
    s->bindBlob(2, objectUuid.data, 16);
    s->bindInt64(3, cls->id);
    if (membershipProperty != nullptr) {
      s->bindInt64(4, ownerId);
      s->bindInt64(5, membershipProperty->id);
      s->bindInt64(6, ordinal);
    } else {
      s->bindNull(4);
      s->bindNull(5);
      s->bindInt64(6, 0);
    }
    try {
      s->step();
    } catch (const ConstraintError& e) {
      throw ConstraintError("the object id " + std::to_string(objectId) + " or the uuid is in use already", filespec_,
                            e.backendCode(), e.backendMessage(), e.statement());
    }
  }
  std::size_t done = 0;
  try {
    for (auto& insert : plan.inserts) {
      sql::StatementUse s(*insert.statement);
      s->bindInt64(1, objectId);
      int parameter = 2;
      for (std::size_t index : insert.sources) {
        const BoundSource& source = sources[index];
        alignas(16) unsigned char scratch[16];
        bindValue(*s, parameter++, source.type, source.reader(source.address, scratch), source.property);
      }
      s->step();
      ++done;
    }
  } catch (...) {
    // No half-made object stays behind: undo the rows written so far.
    try {
      for (std::size_t i = 0; i < done; ++i) {
        ClassInfo* c = classesById_.at(plan.inserts[i].cls->id);
        if (!c->deleteRow) c->deleteRow = connection_->prepare("DELETE FROM " + c->table + " WHERE id = " + p(1));
        sql::StatementUse d(*c->deleteRow);
        d->bindInt64(1, objectId);
        d->step();
      }
      sql::StatementUse d(statement("DELETE FROM vlt_object WHERE id = " + p(1)));
      d->bindInt64(1, objectId);
      d->step();
    } catch (...) {
      // The transaction's rollback will remove them.
    }
    throw;
  }
  scope.commit();
  return makeObjectRef(cls, objectId, objectUuid);
}

}  // namespace vlt::detail
