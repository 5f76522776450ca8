#include "StatementCache.hpp"

#include "MetamodelInfo.hpp"

namespace vlt::detail {

namespace {

// The statements that read the links of what owners own: of one owner, or
// of the owners in an IN list.
const char* ownedLinksText(PropertyStatement which) {
  switch (which) {
    case PropertyStatement::ownedLinks:
      // Left joins from the owner's row: no row at all means no owner; an
      // owned object without links gives one row of NULL link. (PostgreSQL
      // needs statistics to plan it well: see ObjectFactory.)
      return "SELECT c.id, v.value, t.class_id, t.uuid FROM vlt_object w "
             "LEFT JOIN vlt_object c ON c.owner_id = w.id AND c.owner_property_id = ?2 "
             "LEFT JOIN {values} v ON v.object_id = c.id LEFT JOIN vlt_object t ON t.id = v.value "
             "WHERE w.id = ?1 ORDER BY c.ordinal, c.id, v.ordinal";
    case PropertyStatement::ownedLinkIds:
      return "SELECT c.id, v.value FROM vlt_object w "
             "LEFT JOIN vlt_object c ON c.owner_id = w.id AND c.owner_property_id = ?2 "
             "LEFT JOIN {values} v ON v.object_id = c.id WHERE w.id = ?1 ORDER BY c.ordinal, c.id, v.ordinal";
    case PropertyStatement::ownedLinksAmong: {
      static const std::string text = "SELECT w.id, c.id, v.value, t.class_id, t.uuid FROM vlt_object w "
                                      "LEFT JOIN vlt_object c ON c.owner_id = w.id AND c.owner_property_id = ?1 "
                                      "LEFT JOIN {values} v ON v.object_id = c.id "
                                      "LEFT JOIN vlt_object t ON t.id = v.value WHERE w.id IN (" +
                                      inListPlaceholders(2) + ") ORDER BY w.id, c.ordinal, c.id, v.ordinal";
      return text.c_str();
    }
    case PropertyStatement::ownedLinkIdsAmong: {
      static const std::string text = "SELECT w.id, c.id, v.value FROM vlt_object w "
                                      "LEFT JOIN vlt_object c ON c.owner_id = w.id AND c.owner_property_id = ?1 "
                                      "LEFT JOIN {values} v ON v.object_id = c.id WHERE w.id IN (" +
                                      inListPlaceholders(2) + ") ORDER BY w.id, c.ordinal, c.id, v.ordinal";
      return text.c_str();
    }
    default:
      return nullptr;
  }
}

// The text of each PropertyStatement, with the table of the property's
// collection ({values}), the owner's class table ({class}) and the column
// ({column}) filled in.
const char* propertyStatementText(PropertyStatement which) {
  switch (which) {
    case PropertyStatement::readValues:
      return "SELECT value FROM {values} WHERE object_id = ?1 ORDER BY ordinal";
    case PropertyStatement::readLinks:
      return "SELECT v.value, t.class_id, t.uuid FROM {values} v LEFT JOIN vlt_object t ON t.id = v.value "
             "WHERE v.object_id = ?1 ORDER BY v.ordinal";
    case PropertyStatement::ownedLinks:
    case PropertyStatement::ownedLinkIds:
    case PropertyStatement::ownedLinksAmong:
    case PropertyStatement::ownedLinkIdsAmong:
      return ownedLinksText(which);
    case PropertyStatement::valueAt:
      return "SELECT value FROM {values} WHERE object_id = ?1 AND ordinal = ?2";
    case PropertyStatement::linkAt:
      return "SELECT v.value, t.class_id, t.uuid FROM {values} v LEFT JOIN vlt_object t ON t.id = v.value "
             "WHERE v.object_id = ?1 AND v.ordinal = ?2";
    case PropertyStatement::count:
      return "SELECT count(*) FROM {values} WHERE object_id = ?1";
    case PropertyStatement::indexOf:
      return "SELECT min(ordinal) FROM {values} WHERE object_id = ?1 AND value = ?2";
    case PropertyStatement::insert:
      return "INSERT INTO {values} (object_id, ordinal, value) VALUES (?1, ?2, ?3)";
    case PropertyStatement::shiftUp:
      return "UPDATE {values} SET ordinal = ordinal + 1 WHERE object_id = ?1 AND ordinal >= ?2";
    case PropertyStatement::shiftDown:
      return "UPDATE {values} SET ordinal = ordinal - 1 WHERE object_id = ?1 AND ordinal > ?2";
    case PropertyStatement::deleteAt:
      return "DELETE FROM {values} WHERE object_id = ?1 AND ordinal = ?2";
    case PropertyStatement::deleteAll:
      return "DELETE FROM {values} WHERE object_id = ?1";
    case PropertyStatement::replaceAt:
      return "UPDATE {values} SET value = ?3 WHERE object_id = ?1 AND ordinal = ?2";
    case PropertyStatement::incoming:
      return "SELECT v.object_id, o.class_id, o.uuid, v.ordinal FROM {values} v JOIN vlt_object o ON "
             "o.id = v.object_id WHERE v.value = ?1 ORDER BY v.object_id, v.ordinal DESC";
    case PropertyStatement::upsert:
      return nullptr;  // the dialect's
    case PropertyStatement::nullify:
      return "UPDATE {class} SET {column} = NULL WHERE {column} = ?1";
  }
  return nullptr;
}

}  // namespace

std::string inListPlaceholders(int first) {
  std::string list;
  for (std::size_t k = 0; k < inListSize; ++k) list += (k > 0 ? ", ?" : "?") + std::to_string(first + static_cast<int>(k));
  return list;
}

void bindListValue(sql::Statement& s, int index, ObjectId id) { s.bindInt64(index, id); }
void bindListValue(sql::Statement& s, int index, const boost::uuids::uuid& uuid) {
  s.bindBlob(index, uuid.data, uuid.size());
}

std::string linksIntoText(const PropertyInfo& property, const std::string& targets) {
  return sql::fillIn(property.inClassTable()
                         ? "SELECT h.id, o.class_id, o.uuid, h.{column}, 0 FROM {class} h "
                           "JOIN vlt_object o ON o.id = h.id WHERE h.{column} IN {targets} ORDER BY h.id"
                         : "SELECT v.object_id, o.class_id, o.uuid, v.value, v.ordinal FROM {values} v "
                           "JOIN vlt_object o ON o.id = v.object_id WHERE v.value IN {targets} "
                           "ORDER BY v.object_id, v.ordinal DESC",
                     {{"class", property.owner->table}, {"column", property.column}, {"values", property.table},
                      {"targets", targets}});
}

sql::Statement& StatementCache::forProperty(const PropertyInfo& property, PropertyStatement which) {
  return keyed(&property, static_cast<int>(which), 0, [&] {
    const char* text = propertyStatementText(which);
    if (text == nullptr) text = database_.connection().dialect().upsertColumn;
    const std::string& owner = property.owner->table;
    return sql::fillIn(text, {{"values", property.table}, {"class", owner}, {"table", owner}, {"column", property.column}});
  });
}

sql::Statement& StatementCache::fixed(const char* literal) {
  auto it = fixed_.find(literal);
  if (it != fixed_.end()) return *it->second;
  auto prepared = database_.connection().prepare(literal);
  sql::Statement& result = *prepared;
  fixed_.emplace(literal, std::move(prepared));
  return result;
}

sql::Statement* StatementCache::find(const void* owner, int purpose, std::uint64_t version) const {
  auto it = keyed_.find(Key{owner, purpose});
  return it != keyed_.end() && it->second.version == version ? it->second.statement.get() : nullptr;
}

sql::Statement& StatementCache::store(const void* owner, int purpose, std::uint64_t version, const std::string& text) {
  Entry& entry = keyed_[Key{owner, purpose}];
  entry.statement.reset();
  entry.statement = database_.connection().prepare(text);
  entry.version = version;
  return *entry.statement;
}

void StatementCache::release(const void* owner) noexcept {
  for (auto it = keyed_.begin(); it != keyed_.end();) it = it->first.owner == owner ? keyed_.erase(it) : std::next(it);
}

void StatementCache::clear() noexcept {
  fixed_.clear();
  keyed_.clear();
}

}  // namespace vlt::detail
