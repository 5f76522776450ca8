#pragma once
// Prepared statements, made once and reused. Fixed statements are keyed by
// the address of their text (a string literal); statements made for one
// metamodel element (a class's row query, a property's collection insert)
// by the element and a purpose, remade when the element's layout changes.

#include "Database.hpp"
#include "TransactionParticipant.hpp"
#include "backend/Backend.hpp"

#include <vlt/Types.hpp>

#include <boost/uuid/uuid.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

namespace vlt::detail {

struct PropertyInfo;

/// The statements of one property's stored values (see StatementCache.cpp
/// for their text). Collections are in the property's own table {object_id,
/// ordinal, value}; single values in a column of the owner's class table.
enum class PropertyStatement {
  readValues,  ///< (object) -> value of each entry in order
  readLinks,   ///< (object) -> value, class_id, uuid of each link in order
  ownedLinks,  ///< (owner, owning property) -> object_id, value, class_id, uuid of the links of what it owns
  ownedLinkIds,  ///< the same without the targets' class_id and uuid
  /// (owning property, inListSize owners, the last repeated) -> owner id,
  /// then as ownedLinks or ownedLinkIds, owner by owner
  ownedLinksAmong,
  ownedLinkIdsAmong,
  valueAt,     ///< (object, ordinal) -> value
  linkAt,      ///< (object, ordinal) -> value, class_id, uuid
  count,       ///< (object) -> number of entries
  indexOf,     ///< (object, value) -> the first ordinal holding it
  insert,      ///< (object, ordinal, value)
  shiftUp,     ///< (object, ordinal): entries at ordinal and above move up
  shiftDown,   ///< (object, ordinal): entries above ordinal move down
  deleteAt,    ///< (object, ordinal)
  deleteAll,   ///< (object)
  replaceAt,   ///< (object, ordinal, value)
  incoming,    ///< (target) -> object_id, class_id, uuid, ordinal of links to it, descending ordinal per object
  upsert,      ///< single value: (object, value)
  nullify,     ///< single reference: (target) clears references to it
};

/// The values of the IN list of a statement that looks many objects up at
/// once (uuids, owners): a shorter list repeats its last value, so that one
/// statement text serves every size.
constexpr std::size_t inListSize = 256;
/// "?first, ?first+1, ..." for such a list.
std::string inListPlaceholders(int first);
/// Binds one value of such a list at `index`.
void bindListValue(sql::Statement& s, int index, ObjectId id);
void bindListValue(sql::Statement& s, int index, const boost::uuids::uuid& uuid);
/// The links that objects hold through the non-composite link property
/// `property` to the targets `targets` names (an SQL set: "(?1, ?2)", "(SELECT
/// ...)"): holder id, class_id, uuid, target id, index (0 for a single
/// reference), by holder and a holder's entries from the last to the first.
std::string linksIntoText(const PropertyInfo& property, const std::string& targets);

/// Cleared when the connection closes or a
/// transaction rolls back (a rollback may drop tables that statements name).
/// Statements are prepared on the open connection; not synchronised.
class StatementCache final : public TransactionParticipant {
 public:
  explicit StatementCache(Database& database) : database_(database) {}

  /// The statement of `literal`, which must stay at its address while the
  /// connection is open (a string literal, or a dialect's text).
  sql::Statement& fixed(const char* literal);

  /// The statement for (`owner`, `purpose`) at `version`; `makeText()` gives
  /// its SQL when none is cached for that version.
  template <class MakeText>
  sql::Statement& keyed(const void* owner, int purpose, std::uint64_t version, MakeText&& makeText) {
    if (sql::Statement* cached = find(owner, purpose, version)) return *cached;
    return store(owner, purpose, version, makeText());
  }

  /// Forgets the statements made for `owner`.
  void release(const void* owner) noexcept;

  /// The statement `which` of `property`.
  sql::Statement& forProperty(const PropertyInfo& property, PropertyStatement which);

  void clear() noexcept;

  void transactionEnded(bool committed) noexcept override {
    if (!committed) clear();
  }

 private:
  sql::Statement* find(const void* owner, int purpose, std::uint64_t version) const;
  sql::Statement& store(const void* owner, int purpose, std::uint64_t version, const std::string& text);

  struct Key {
    const void* owner;
    int purpose;
    bool operator==(const Key& other) const noexcept { return owner == other.owner && purpose == other.purpose; }
  };
  struct KeyHash {
    std::size_t operator()(const Key& k) const noexcept {
      return std::hash<const void*>()(k.owner) * 31u + static_cast<std::size_t>(k.purpose);
    }
  };
  struct Entry {
    std::uint64_t version = 0;
    std::unique_ptr<sql::Statement> statement;
  };

  Database& database_;
  std::unordered_map<const char*, std::unique_ptr<sql::Statement>> fixed_;
  std::unordered_map<Key, Entry, KeyHash> keyed_;
};

}  // namespace vlt::detail
