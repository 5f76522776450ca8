#include "ObjectFactory.hpp"

#include <vlt/Errors.hpp>

#include <algorithm>
#include <cstring>

namespace vlt::detail {

namespace {

// What a transaction creates before its indexes are deferred: a load this
// small gains little, and its indexes are remade at the commit.
constexpr std::uint64_t bulkLoadObjects = 10000;

std::size_t slotOf(const boost::uuids::uuid& uuid, std::size_t mask) noexcept {
  std::uint64_t a;
  std::uint64_t b;
  std::memcpy(&a, uuid.data, 8);
  std::memcpy(&b, uuid.data + 8, 8);
  std::uint64_t h = (a ^ (b >> 29) ^ (b << 35)) * 0x9e3779b97f4a7c15u;
  return static_cast<std::size_t>(h ^ (h >> 32)) & mask;
}

std::string inUse(ObjectId id) { return "the object id " + std::to_string(id) + " or the uuid is in use already"; }

}  // namespace

bool UuidSet::insert(const boost::uuids::uuid& uuid) {
  if ((size_ + 1) * 4 > slots_.size() * 3) grow();
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = slotOf(uuid, mask);; i = (i + 1) & mask) {
    if (slots_[i].is_nil()) {
      slots_[i] = uuid;
      ++size_;
      return true;
    }
    if (slots_[i] == uuid) return false;
  }
}

void UuidSet::grow() {
  decltype(slots_) old(std::max<std::size_t>(1024, slots_.size() * 2), boost::uuids::uuid{});
  old.swap(slots_);
  size_ = 0;
  for (const boost::uuids::uuid& uuid : old) {
    if (!uuid.is_nil()) insert(uuid);
  }
}

void UuidSet::clear() noexcept {
  decltype(slots_)().swap(slots_);
  size_ = 0;
}

// A plan is made again when the metamodel changes, or what is known of the
// value tables (a rollback may have dropped a table it inserts into).
std::uint64_t ObjectFactory::planVersion() const noexcept {
  return (schema_.generation() << 32) ^ tables_.version();
}

ConstructorPlan::ConstructorPlan() = default;
ConstructorPlan::~ConstructorPlan() = default;

// One INSERT per class of the lineage that has bound sources, in lineage
// order; the other classes get no row (their values read as absent).
void ObjectFactory::prepare(const ClassInfo* cls, ConstructorPlan& plan, const std::vector<BoundSource>& sources) {
  plan.inserts.clear();
  for (const BoundSource& source : sources) schema_.checkUsable(source.property);
  for (const ClassInfo* c : cls->lineage) {
    ConstructorPlan::ClassInsert insert;
    insert.cls = c;
    std::string columns = "id";
    std::string values = "?1";
    for (std::size_t i = 0; i < sources.size(); ++i) {
      if (sources[i].property->owner != c) continue;
      insert.sources.push_back(i);
      columns += ", " + sources[i].property->column;
      values += ", ?" + std::to_string(insert.sources.size() + 1);
    }
    if (insert.sources.empty()) continue;
    tables_.prepareClassTable(c);
    insert.statement = database_.connection().prepare(
        sql::fillIn("INSERT INTO {table} ({columns}) VALUES ({values})",
                    {{"table", c->table}, {"columns", columns}, {"values", values}}));
    plan.inserts.push_back(std::move(insert));
  }
  plan.generation = planVersion();
}

void ObjectFactory::insertObjectRow(ObjectId id, const boost::uuids::uuid& uuid, const ClassInfo* cls,
                                    const Membership& membership) {
  sql::StatementUse s(statements_.fixed(
      "INSERT INTO vlt_object (id, uuid, class_id, owner_id, owner_property_id, ordinal) "
      "VALUES (?1, ?2, ?3, ?4, ?5, ?6)"));
  s->bindInt64(1, id);
  s->bindBlob(2, uuid.data, 16);
  s->bindInt64(3, cls->id);
  if (membership.property != nullptr) {
    s->bindInt64(4, membership.owner);
    s->bindInt64(5, membership.property->id);
    s->bindInt64(6, membership.ordinal);
  } else {
    s->bindNull(4);
    s->bindNull(5);
    s->bindInt64(6, 0);
  }
  try {
    s->run();
  } catch (const ConstraintError& e) {
    throw ConstraintError(inUse(id), database_.filespec(), e.backendCode(), e.backendMessage(), e.statement());
  }
}

void ObjectFactory::insertClassRows(ObjectId id, ConstructorPlan& plan, const std::vector<BoundSource>& sources) {
  for (auto& insert : plan.inserts) {
    sql::StatementUse s(*insert.statement);
    s->bindInt64(1, id);
    int parameter = 2;
    for (std::size_t index : insert.sources) {
      const BoundSource& source = sources[index];
      alignas(16) unsigned char scratch[16];
      access_.bindWritten(*s, parameter++, source.property, source.reader(source.address, scratch));
    }
    s->run();
  }
}

ObjectRef ObjectFactory::construct(const ClassInfo* cls, ConstructorPlan& plan, const std::vector<BoundSource>& sources,
                                   ObjectId id, const boost::uuids::uuid& uuid, const Membership& membership) {
  schema_.checkUsable(cls);
  if (plan.generation != planVersion()) prepare(cls, plan, sources);
  if (membership.property != nullptr) {
    schema_.checkUsable(membership.property);
    if (!membership.property->composite) {
      database_.usage("the membership property \"" + membership.property->name + "\" is not composite");
    }
    if (!cls->conformsTo(membership.property->typeClass)) {
      database_.usage("an object of class \"" + cls->qualifiedName + "\" cannot be owned through \"" +
                      membership.property->name + "\" of type \"" + membership.property->typeName + "\"");
    }
  }
  // Without a savepoint (this is the bulk path): a failure undoes the rows
  // written so far itself.
  if (id != 0) ids_.checkReserved(id);
  WriteScope scope(transaction_, false);
  const ObjectId objectId = id != 0 ? id : ids_.next();
  const boost::uuids::uuid objectUuid = uuid.is_nil() ? uuidGenerator_() : uuid;
  if (bulkLoad_ && checkingUuids() && !uuids_.insert(objectUuid)) {
    throw ConstraintError(inUse(objectId), database_.filespec());
  }
  try {
    insertObjectRow(objectId, objectUuid, cls, membership);
  } catch (...) {
    uuidsStale_ = bulkLoad_;  // the set holds a uuid that is not stored
    throw;
  }
  try {
    insertClassRows(objectId, plan, sources);
  } catch (...) {
    try {
      objects_.deleteRows(objectId, cls);
    } catch (...) {
      // The transaction's rollback removes them.
    }
    throw;
  }
  ++createdInTransaction_;  // before an implicit transaction's commit counts it
  access_.noteCreated(objectId);
  scope.commit();
  // The usual next step writes the new object's collections: they need not
  // ask whether it exists.
  access_.noteSeen(objectId, cls);
  if (createdInTransaction_ == bulkLoadObjects) startBulkLoad();
  return handles_.objectRef(cls, objectId, objectUuid);
}

// Every index, only where every object was made by this transaction:
// remaking the indexes of a table that held rows before would cost more than
// it saves. A server still defers those of the tables the transaction made.
void ObjectFactory::startBulkLoad() {
  bool everyRowNew = false;
  {
    // Counting no further than it matters: the table may hold millions.
    sql::StatementUse count(
        statements_.fixed("SELECT count(*) FROM (SELECT 1 FROM vlt_object LIMIT ?1) AS first"));
    count->bindInt64(1, static_cast<std::int64_t>(createdInTransaction_) + 1);
    everyRowNew = count->step() && count->columnInt64(0) <= static_cast<std::int64_t>(createdInTransaction_);
  }
  if (everyRowNew) {
    sql::StatementUse all(statements_.fixed("SELECT uuid FROM vlt_object"));
    while (all->step()) {
      boost::uuids::uuid uuid;
      const std::string_view bytes = all->columnBlob(0);
      if (bytes.size() != uuid.size()) continue;  // not this repository's: no index would hold it either
      std::memcpy(uuid.data, bytes.data(), uuid.size());
      uuids_.insert(uuid);
    }
  }
  bulkLoad_ = database_.connection().deferIndexes(Schema::metamodelTableNames(), everyRowNew) && everyRowNew;
  if (!bulkLoad_) uuids_.clear();
}

// Whether the set still stands for the uuid index: a statement that reads has
// had the back end make the indexes again, which check from then on.
bool ObjectFactory::checkingUuids() {
  sql::Connection& connection = database_.connection();
  if (uuidsStale_ && connection.indexesDeferred()) connection.restoreIndexes();
  if (!connection.indexesDeferred()) stopBulkLoad();
  return bulkLoad_;
}

void ObjectFactory::stopBulkLoad() noexcept {
  bulkLoad_ = false;
  uuidsStale_ = false;
  uuids_.clear();
}

void ObjectFactory::transactionEnded(bool committed) noexcept {
  if (committed) created_ += createdInTransaction_;
  createdInTransaction_ = 0;
  stopBulkLoad();
  if (created_ - createdAtRefresh_ < std::max<std::uint64_t>(10000, createdAtRefresh_)) return;
  createdAtRefresh_ = created_;
  try {
    database_.connection().refreshStatistics();
  } catch (...) {
    // Only plans are at stake: the next large commit tries again.
  }
}

}  // namespace vlt::detail
