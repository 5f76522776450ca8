#include "ObjectFactory.hpp"

#include "Core.hpp"

#include <algorithm>

namespace vlt::detail {

// A plan is made again when the metamodel changes, or what is known of the
// value tables (a rollback may have dropped a table it inserts into).
std::uint64_t ObjectFactory::planVersion() const noexcept {
  return (core_.schema().generation() << 32) ^ core_.tables().version();
}

ConstructorPlan::ConstructorPlan() = default;
ConstructorPlan::~ConstructorPlan() = default;

// One INSERT per class of the lineage that has bound sources, in lineage
// order; the other classes get no row (their values read as absent).
void ObjectFactory::prepare(const ClassInfo* cls, ConstructorPlan& plan, const std::vector<BoundSource>& sources) {
  plan.inserts.clear();
  for (const BoundSource& source : sources) core_.schema().checkUsable(source.property);
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
    core_.tables().prepareClassTable(c);
    insert.statement = core_.connection().prepare(
        sql::fillIn("INSERT INTO {table} ({columns}) VALUES ({values})",
                    {{"table", c->table}, {"columns", columns}, {"values", values}}));
    plan.inserts.push_back(std::move(insert));
  }
  plan.generation = planVersion();
}

void ObjectFactory::insertObjectRow(ObjectId id, const boost::uuids::uuid& uuid, const ClassInfo* cls,
                                    const Membership& membership) {
  sql::StatementUse s(core_.statements().fixed(
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
    throw ConstraintError("the object id " + std::to_string(id) + " or the uuid is in use already", core_.filespec(),
                          e.backendCode(), e.backendMessage(), e.statement());
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
      core_.objects().bind(*s, parameter++, source.property, source.reader(source.address, scratch));
    }
    s->run();
  }
}

ObjectRef ObjectFactory::construct(const ClassInfo* cls, ConstructorPlan& plan, const std::vector<BoundSource>& sources,
                                   ObjectId id, const boost::uuids::uuid& uuid, const Membership& membership) {
  core_.schema().checkUsable(cls);
  if (plan.generation != planVersion()) prepare(cls, plan, sources);
  if (membership.property != nullptr) {
    core_.schema().checkUsable(membership.property);
    if (!membership.property->composite) {
      core_.usage("the membership property \"" + membership.property->name + "\" is not composite");
    }
    if (!cls->conformsTo(membership.property->typeClass)) {
      core_.usage("an object of class \"" + cls->qualifiedName + "\" cannot be owned through \"" +
                  membership.property->name + "\" of type \"" + membership.property->typeName + "\"");
    }
  }
  // Without a savepoint (this is the bulk path): a failure undoes the rows
  // written so far itself.
  if (id != 0) core_.ids().checkReserved(id);
  WriteScope scope(core_, false);
  const ObjectId objectId = id != 0 ? id : core_.ids().next();
  const boost::uuids::uuid objectUuid = uuid.is_nil() ? uuidGenerator_() : uuid;
  insertObjectRow(objectId, objectUuid, cls, membership);
  try {
    insertClassRows(objectId, plan, sources);
  } catch (...) {
    try {
      core_.objects().deleteRows(objectId, cls);
    } catch (...) {
      // The transaction's rollback removes them.
    }
    throw;
  }
  ++createdInTransaction_;  // before an implicit transaction's commit counts it
  scope.commit();
  return core_.objectRef(cls, objectId, objectUuid);
}

void ObjectFactory::transactionEnded(bool committed) noexcept {
  if (committed) created_ += createdInTransaction_;
  createdInTransaction_ = 0;
  if (created_ - createdAtRefresh_ < std::max<std::uint64_t>(10000, createdAtRefresh_)) return;
  createdAtRefresh_ = created_;
  try {
    core_.connection().refreshStatistics();
  } catch (...) {
    // Only plans are at stake: the next large commit tries again.
  }
}

}  // namespace vlt::detail
