// ObjectQuery: what a query is told, checked as it is told; execute() and
// the rows it fetched.

#include "Query.hpp"

#include "Core.hpp"

#include <vlt/Repository.hpp>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>

namespace vlt {

using detail::Core;
using detail::HandleAccess;
using detail::QueryState;

namespace detail {

QueryState::~QueryState() {
  // The statement in the cache is this query's alone.
  if (core && core->isOpen()) core->statements().release(this);
}

namespace {

// Every compiled statement gets a version of its own: a query at the address
// of a destroyed one never finds the other's statement.
std::uint64_t nextCompilation() {
  static std::atomic<std::uint64_t> counter{0};
  return ++counter;
}

}  // namespace

const void* readSmallInteger(const void* cell, ValueType property, void* scratch) {
  const std::uint8_t v = *static_cast<const std::uint8_t*>(cell);
  if (property == ValueType::int32) return new (scratch) std::int32_t(v);
  if (property == ValueType::uint32) return new (scratch) std::uint32_t(v);
  if (property == ValueType::int64) return new (scratch) std::int64_t(v);
  return new (scratch) std::uint64_t(v);
}

void writeSmallInteger(void* cell, ValueType property, const void* canonical) {
  if (canonical == nullptr) {
    *static_cast<std::uint8_t*>(cell) = 0;
    return;
  }
  // Every integer value type, widened without loss: a value fits when it is
  // 0 to 255.
  std::string text;
  bool fits = false;
  std::uint8_t small = 0;
  auto take = [&](auto v) {
    text = std::to_string(v);
    fits = v >= 0 && v <= 255;
    small = static_cast<std::uint8_t>(v);
  };
  if (property == ValueType::int32) {
    take(*static_cast<const std::int32_t*>(canonical));
  } else if (property == ValueType::uint32) {
    take(static_cast<std::int64_t>(*static_cast<const std::uint32_t*>(canonical)));
  } else if (property == ValueType::int64) {
    take(*static_cast<const std::int64_t*>(canonical));
  } else {
    const std::uint64_t v = *static_cast<const std::uint64_t*>(canonical);
    take(static_cast<std::int64_t>(v > 255 ? 256 : v));
    text = std::to_string(v);
  }
  if (!fits) throw UsageError("the value " + text + " does not fit a std::uint8_t cell");
  *static_cast<std::uint8_t*>(cell) = small;
}

}  // namespace detail
namespace {

using detail::ValueCondition;

Core& coreOf(const QueryState& q) {
  q.core->checkOpen();
  return *q.core;
}

const detail::ClassInfo* classOf(const QueryState& q, const ClassRef& cls) {
  Core& core = coreOf(q);
  if (cls.isNull()) core.usage("a query was given a null class");
  if (HandleAccess::core(cls) != &core) {
    core.usage("the class \"" + cls.qualifiedName() + "\" belongs to another repository");
  }
  core.schema().checkUsable(HandleAccess::info(cls));
  return HandleAccess::info(cls);
}

const detail::PropertyInfo* propertyOf(const QueryState& q, const PropertyRef& property) {
  Core& core = coreOf(q);
  if (property.isNull()) core.usage("a query was given a null property");
  if (HandleAccess::core(property) != &core) {
    core.usage("the property \"" + property.name() + "\" belongs to another repository");
  }
  core.schema().checkUsable(HandleAccess::info(property));
  return HandleAccess::info(property);
}

// The index's class: as given before, or `implied` (with subclasses) for an
// index that has none yet.
detail::QueryIndex& indexFor(QueryState& q, std::size_t index, const detail::ClassInfo* implied) {
  if (index > 1000) coreOf(q).usage("the class index " + std::to_string(index) + " is out of range");
  if (q.indexes.size() <= index) q.indexes.resize(index + 1);
  detail::QueryIndex& entry = q.indexes[index];
  if (entry.cls == nullptr) entry.cls = implied;
  q.changed = true;
  return entry;
}

// `property` of the object at `index`: its class must have it.
void checkBelongs(QueryState& q, std::size_t index, const detail::PropertyInfo* property) {
  const detail::QueryIndex& entry = indexFor(q, index, property->owner);
  if (!entry.cls->conformsTo(property->owner)) {
    coreOf(q).usage("the property \"" + property->name + "\" of class \"" + property->owner->qualifiedName +
                    "\" does not belong to the class \"" + entry.cls->qualifiedName + "\" of the query's index " +
                    std::to_string(index));
  }
}

void checkCell(const QueryState& q, const detail::PropertyInfo* property, const detail::QueryCell& cell) {
  const ValueType type = property->valueType;
  const bool fits = cell.anyInteger ? (type == ValueType::int32 || type == ValueType::uint32 ||
                                       type == ValueType::int64 || type == ValueType::uint64)
                                    : cell.type == type;
  if (!fits) {
    coreOf(q).usage("the cell does not fit the property \"" + property->name + "\" of type \"" + property->typeName +
                    "\"");
  }
}

ValueCondition valueCondition(QueryState& q, const PropertyRef& propertyRef, int relation,
                              const detail::QueryCell& cell, std::size_t index) {
  const detail::PropertyInfo* property = propertyOf(q, propertyRef);
  checkBelongs(q, index, property);
  checkCell(q, property, cell);
  const bool text = property->valueType == ValueType::ustring || property->valueType == ValueType::string;
  const bool stringRelation = relation == 1 || relation == 7 || relation == 8 || relation == 9;
  if (relation < 0 || relation > 11 || (stringRelation && !text && !(relation == 1 && property->multi)) ||
      (property->composite && relation != 0 && relation != 2 && relation != 10 && relation != 11)) {
    coreOf(q).usage("the relation " + std::to_string(relation) + " cannot apply to the property \"" + property->name +
                    "\" of type \"" + property->typeName + "\"");
  }
  return ValueCondition{property, relation, cell, index};
}

}  // namespace

// ---------------------------------------------------------------- disjunctions

DisjunctionMatchConstraint::DisjunctionMatchConstraint() : state_(std::make_shared<detail::DisjunctionState>()) {}
DisjunctionMatchConstraint::~DisjunctionMatchConstraint() = default;
DisjunctionMatchConstraint::DisjunctionMatchConstraint(const DisjunctionMatchConstraint&) = default;
DisjunctionMatchConstraint& DisjunctionMatchConstraint::operator=(const DisjunctionMatchConstraint&) = default;

// Members are kept as given and checked when the disjunction is added to a
// query (which knows the repository and the indexes).
void DisjunctionMatchConstraint::addValue(const PropertyRef& property, int relation, const detail::QueryCell& cell,
                                          std::size_t index) {
  state_->members.push_back(ValueCondition{HandleAccess::info(property), relation, cell, index});
  state_->properties.push_back(property);
}
void DisjunctionMatchConstraint::addConstraint(const PropertyRef& property, bool positive, const EnumeralRef* cell,
                                               std::size_t index) {
  addValue(property, positive ? 10 : 11, detail::QueryCellTraits<EnumeralRef>::of(const_cast<EnumeralRef*>(cell)),
           index);
}
void DisjunctionMatchConstraint::addConstraint(const PropertyRef& property, bool positive,
                                               const boost::optional<EnumeralRef>* cell, std::size_t index) {
  using Optional = boost::optional<EnumeralRef>;
  addValue(property, positive ? 10 : 11, detail::QueryCellTraits<Optional>::of(const_cast<Optional*>(cell)), index);
}

// ---------------------------------------------------------------- constraints

ObjectQuery::ObjectQuery(const DataModelRepository& repository)
    : state_(std::make_unique<QueryState>(Core::of(repository.core_, "a query needs an open repository").shared_from_this())) {
  state_->core->checkOpen();
}

ObjectQuery::~ObjectQuery() = default;

void ObjectQuery::addSearchClass(const ClassRef& clsRef, std::size_t index, SearchClassMatchMode mode) {
  const detail::ClassInfo* cls = classOf(*state_, clsRef);
  detail::QueryIndex& entry = indexFor(*state_, index, cls);
  if (entry.searchClass) coreOf(*state_).usage("the query's index " + std::to_string(index) + " has a search class");
  entry.cls = cls;
  entry.withSubclasses = mode == classAndSubclasses;
  entry.searchClass = true;
}

void ObjectQuery::excludeClass(const ClassRef& clsRef, std::size_t index) {
  const detail::ClassInfo* cls = classOf(*state_, clsRef);
  indexFor(*state_, index, nullptr).excluded.push_back(cls);
}

void ObjectQuery::addValue(const PropertyRef& property, int relation, const detail::QueryCell& cell,
                           std::size_t index) {
  ValueCondition c = valueCondition(*state_, property, relation, cell, index);
  if (c.property->composite) {
    // Owned objects: a reference constraint.
    state_->references.push_back(detail::ReferenceCondition{c.property, relation == 0 || relation == 10,
                                                            static_cast<const ObjectRef*>(cell.address), index});
  } else {
    state_->values.push_back(c);
  }
}

void ObjectQuery::addConstraint(const PropertyRef& property, bool positive, const EnumeralRef* cell,
                                std::size_t index) {
  addValue(property, positive ? 10 : 11, detail::QueryCellTraits<EnumeralRef>::of(const_cast<EnumeralRef*>(cell)),
           index);
}

void ObjectQuery::addConstraint(const PropertyRef& property, bool positive, const boost::optional<EnumeralRef>* cell,
                                std::size_t index) {
  using Optional = boost::optional<EnumeralRef>;
  addValue(property, positive ? 10 : 11, detail::QueryCellTraits<Optional>::of(const_cast<Optional*>(cell)), index);
}

void ObjectQuery::addConstraint(const PropertyRef& property1, PVMR_wrapper::PropertyValueMatchRelation relation,
                                const PropertyRef& property2, std::size_t index1, std::size_t index2) {
  const detail::PropertyInfo* left = propertyOf(*state_, property1);
  const detail::PropertyInfo* right = propertyOf(*state_, property2);
  checkBelongs(*state_, index1, left);
  checkBelongs(*state_, index2, right);
  if (!left->inClassTable() || !right->inClassTable() || left->valueType != right->valueType ||
      (relation != 0 && (relation < 2 || relation > 6) && relation != 10 && relation != 11)) {
    coreOf(*state_).usage("the properties \"" + left->name + "\" and \"" + right->name +
                          "\" cannot be related: both must be single values of one type, the relation 0, 2 to 6, "
                          "10 or 11");
  }
  state_->relations.push_back(detail::PropertyRelation{left, right, relation, index1, index2});
}

void ObjectQuery::addConstraint(const DisjunctionMatchConstraint& disjunction) {
  std::vector<ValueCondition> members;
  const auto& state = *disjunction.state_;
  for (std::size_t k = 0; k < state.members.size(); ++k) {
    const ValueCondition& m = state.members[k];
    members.push_back(valueCondition(*state_, state.properties[k], m.relation, m.cell, m.index));
    if (members.back().property->composite) {
      coreOf(*state_).usage("a disjunction cannot hold a constraint on owned objects (\"" +
                            members.back().property->name + "\")");
    }
  }
  state_->disjunctions.push_back(std::move(members));
  state_->changed = true;
}

void ObjectQuery::addObjectConstraint(const ClassRef& cls, const ObjectRef* object, std::size_t index) {
  indexFor(*state_, index, classOf(*state_, cls));
  state_->references.push_back(detail::ReferenceCondition{nullptr, true, object, index});
}

void ObjectQuery::addObjectConstraint(const ClassRef& cls, const std::vector<ObjectRef>* objects, std::size_t index) {
  if (objects == nullptr) coreOf(*state_).usage("a query was given no objects to choose among");
  indexFor(*state_, index, classOf(*state_, cls));
  state_->references.push_back(detail::ReferenceCondition{nullptr, true, nullptr, index, objects});
}

void ObjectQuery::addObjectConstraint(const PropertyRef& propertyRef, bool positive, const ObjectRef* object,
                                      std::size_t index) {
  const detail::PropertyInfo* property = propertyOf(*state_, propertyRef);
  checkBelongs(*state_, index, property);
  if (property->valueType != ValueType::object) {
    coreOf(*state_).usage("the property \"" + property->name + "\" holds no objects");
  }
  state_->references.push_back(detail::ReferenceCondition{property, positive, object, index});
}

void ObjectQuery::addSubObjectConstraint(const PropertyRef& propertyRef, const ClassRef* subClass,
                                         std::size_t ownerIndex, std::size_t subIndex) {
  const detail::PropertyInfo* property = propertyOf(*state_, propertyRef);
  if (!property->composite) coreOf(*state_).usage("the property \"" + property->name + "\" owns no objects");
  checkBelongs(*state_, ownerIndex, property);
  const detail::ClassInfo* sub = subClass ? classOf(*state_, *subClass) : property->typeClass;
  indexFor(*state_, subIndex, sub);
  state_->subObjects.push_back(detail::SubObjectCondition{property, ownerIndex, subIndex});
}

void ObjectQuery::addIsTopLevelObjectConstraint(const ClassRef& cls, std::size_t index) {
  indexFor(*state_, index, classOf(*state_, cls));
  state_->topLevel.push_back(index);
}

// ---------------------------------------------------------------- results and order

void ObjectQuery::addResultObject(const ClassRef& cls, ObjectRef* object, std::size_t index) {
  indexFor(*state_, index, classOf(*state_, cls));
  state_->results.push_back(detail::ResultColumn{detail::ResultColumn::Kind::object, nullptr,
                                                 detail::QueryCellTraits<ObjectRef>::of(object), index});
}

void ObjectQuery::addResult(const PropertyRef& propertyRef, const detail::QueryCell& cell, std::size_t index) {
  const detail::PropertyInfo* property = propertyOf(*state_, propertyRef);
  checkBelongs(*state_, index, property);
  checkCell(*state_, property, cell);
  if (!property->inClassTable()) {
    coreOf(*state_).usage("the property \"" + property->name + "\" is not a single value: it cannot be a result");
  }
  state_->results.push_back(detail::ResultColumn{detail::ResultColumn::Kind::property, property, cell, index});
}

void ObjectQuery::addResultCount(std::int32_t* count) {
  detail::QueryCell cell = detail::QueryCellTraits<std::int32_t>::of(count);
  state_->results.push_back(detail::ResultColumn{detail::ResultColumn::Kind::count, nullptr, cell, 0});
  state_->changed = true;
}

void ObjectQuery::setOrderByProperty(const PropertyRef& propertyRef, SortOrder order, bool absentLast,
                                     std::size_t index) {
  const detail::PropertyInfo* property = propertyOf(*state_, propertyRef);
  checkBelongs(*state_, index, property);
  if (!property->inClassTable()) coreOf(*state_).usage("only single values order a query (\"" + property->name + "\")");
  state_->orderings.push_back(detail::Ordering{detail::Ordering::Kind::property, property, order != ascending, absentLast, index});
}

void ObjectQuery::setOrderByObjectID(const ClassRef& cls, SortOrder order, std::size_t index) {
  indexFor(*state_, index, classOf(*state_, cls));
  state_->orderings.push_back(detail::Ordering{detail::Ordering::Kind::objectId, nullptr, order != ascending, false, index});
}

void ObjectQuery::setOrderByCollectionOrdinal(const PropertyRef& propertyRef, SortOrder order, std::size_t index) {
  const detail::PropertyInfo* property = propertyOf(*state_, propertyRef);
  if (!property->multi || property->valueType != ValueType::object) {
    coreOf(*state_).usage("the property \"" + property->name + "\" is no collection of objects");
  }
  indexFor(*state_, index, property->typeClass);
  state_->orderings.push_back(detail::Ordering{detail::Ordering::Kind::ordinal, property, order != ascending, false, index});
}

namespace {
std::int64_t rowCount(const QueryState& q, std::uint64_t n, const char* what) {
  if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
    coreOf(q).usage(std::string("the ") + what + " " + std::to_string(n) + " is above 2^31 - 1");
  }
  return static_cast<std::int64_t>(n);
}
}  // namespace

void ObjectQuery::setLimit(std::uint64_t limit) {
  const bool had = state_->limit.has_value();
  state_->limit = rowCount(*state_, limit, "limit");
  state_->changed = state_->changed || !had;
}

void ObjectQuery::setOffset(std::uint64_t offset) {
  const bool had = state_->offset.has_value();
  state_->offset = rowCount(*state_, offset, "offset");
  state_->changed = state_->changed || !had;
}

void ObjectQuery::clear() { state_ = std::make_unique<QueryState>(state_->core); }

void ObjectQuery::resetResults() {
  state_->results.clear();
  state_->changed = true;
}

// ---------------------------------------------------------------- executing

namespace {

// Binds the parameters from the cells as they are now.
void bindParameters(Core& core, const detail::CompiledQuery& compiled, const QueryState& q, sql::Statement& s) {
  int n = 0;
  for (const auto& p : compiled.parameters) {
    ++n;
    using Parameter = detail::CompiledQuery::Parameter;
    if (p.source == Parameter::Source::limit) {
      s.bindInt64(n, *q.limit);
    } else if (p.source == Parameter::Source::offset) {
      s.bindInt64(n, q.offset ? *q.offset : 0);
    } else if (p.source == Parameter::Source::object || p.source == Parameter::Source::objectAmong) {
      const ObjectRef* o = p.object;
      if (p.source == Parameter::Source::objectAmong) {
        const std::vector<ObjectRef>& among = *p.among;
        if (among.size() > ObjectQuery::maxObjectsAmong) {
          core.usage("a query was given " + std::to_string(among.size()) + " objects to choose among, more than " +
                     std::to_string(ObjectQuery::maxObjectsAmong));
        }
        // Fewer objects repeat the last one: the statement stays the same.
        o = among.empty() ? nullptr : &among[std::min(p.position, among.size() - 1)];
      }
      if (o == nullptr || o->isNull()) {
        s.bindNull(n);
      } else {
        if (HandleAccess::core(*o) != &core) core.usage("a query was given an object of another repository");
        s.bindInt64(n, o->objectId());
      }
    } else {
      alignas(16) unsigned char scratch[16];
      const void* canonical = p.cell.read(p.cell.address, p.property->valueType, scratch);
      if (canonical == nullptr) {
        s.bindNull(n);
      } else if (p.source == Parameter::Source::pattern) {
        // The stored text of the pattern, its wildcards in the engine's form.
        s.bindText(n, core.connection().dialect().wildcardPattern(p.property->traits->key(canonical)));
      } else {
        p.property->traits->bind(s, n, canonical, core.access().site(p.property));
      }
    }
  }
}

// Copies every row out of the statement, so that the statement is free again
// at once (no read stays open while the caller iterates, writes or runs
// other queries).
void fetchRows(sql::Statement& s, detail::QueryResults& results) {
  // The rows of a large result are not kept for the next ones: up to a few
  // MiB (the results of a level of a load, say) they serve again, buffers and
  // all, where making them afresh at every execute cost as much as reading.
  if (results.cells.size() > 65536) std::vector<detail::Cell>().swap(results.cells);
  results.filled = 0;
  results.next = 0;
  results.width = 0;
  for (const detail::ResultColumn& c : results.columns) {
    results.width += c.kind == detail::ResultColumn::Kind::object ? 3 : 1;
  }
  auto nextCell = [&results]() -> detail::Cell& {
    if (results.filled == results.cells.size()) results.cells.emplace_back();
    return results.cells[results.filled++];
  };
  while (s.step()) {
    int column = 0;
    for (const detail::ResultColumn& c : results.columns) {
      if (c.kind == detail::ResultColumn::Kind::object) {
        for (sql::StoredForm form : {sql::StoredForm::integer, sql::StoredForm::integer, sql::StoredForm::bytes}) {
          detail::capture(s, column++, form, nextCell());
        }
      } else {
        const sql::StoredForm form = c.kind == detail::ResultColumn::Kind::count ? sql::StoredForm::integer
                                                                           : c.property->traits->form;
        detail::capture(s, column++, form, nextCell());
      }
    }
  }
}

}  // namespace

ObjectQuery::ResultIterator ObjectQuery::execute() {
  QueryState& q = *state_;
  Core& core = coreOf(q);
  if (q.results.empty()) core.usage("a query needs a result (an object, a property or the count) to execute");
  const bool counting = std::any_of(q.results.begin(), q.results.end(), [](const detail::ResultColumn& r) {
    return r.kind == detail::ResultColumn::Kind::count;
  });
  if (counting && q.results.size() > 1) core.usage("a query that counts gives no other results");
  for (std::size_t i = 0; i < q.indexes.size(); ++i) {
    if (q.indexes[i].cls == nullptr) core.usage("the query's index " + std::to_string(i) + " has no class");
    core.schema().checkUsable(q.indexes[i].cls);
  }
  // Compiled again when the query, the metamodel or the value tables
  // changed (a new subclass, a table made or rolled back).
  core.tables().refresh();
  const std::uint64_t schema = (core.schema().generation() << 32) ^ core.tables().version();
  if (q.changed || q.schemaVersion != schema) {
    q.compiled = detail::compileQuery(q);
    q.compiled.version = detail::nextCompilation();
    q.schemaVersion = schema;
    q.changed = false;
  }
  sql::StatementUse s(core.statements().keyed(&q, 0, q.compiled.version, [&] { return q.compiled.sql; }));
  bindParameters(core, q.compiled, q, *s);
  if (!q.reusable || q.reusable.use_count() > 1) q.reusable = std::make_shared<detail::QueryResults>();
  detail::QueryResults& results = *q.reusable;
  results.core = q.core;
  results.columns = q.results;
  fetchRows(*s, results);
  ResultIterator iterator;
  iterator.results_ = q.reusable;
  return iterator;
}

// ---------------------------------------------------------------- results

ObjectQuery::ResultIterator::ResultIterator() = default;
ObjectQuery::ResultIterator::~ResultIterator() = default;
ObjectQuery::ResultIterator::ResultIterator(const ResultIterator&) = default;
ObjectQuery::ResultIterator& ObjectQuery::ResultIterator::operator=(const ResultIterator&) = default;

void ObjectQuery::ResultIterator::clear() noexcept { results_.reset(); }

bool ObjectQuery::ResultIterator::getNextResult() {
  if (!results_ || results_->width == 0 || results_->next * results_->width >= results_->filled) return false;
  detail::QueryResults& r = *results_;
  const detail::Cell* cell = &r.cells[r.next * r.width];
  ++r.next;
  Core& core = *r.core;
  for (const detail::ResultColumn& c : r.columns) {
    if (c.kind == detail::ResultColumn::Kind::object) {
      const detail::ClassInfo* cls = core.schema().classById(cell[1].integer);
      boost::uuids::uuid uuid{};
      if (cell[2].bytes.size() == 16) std::memcpy(uuid.data, cell[2].bytes.data(), 16);
      const ObjectRef object = core.handles().objectRef(cls, static_cast<ObjectId>(cell[0].integer), uuid);
      c.cell.write(c.cell.address, ValueType::object, &object);
      cell += 3;
      continue;
    }
    if (c.kind == detail::ResultColumn::Kind::count) {
      *static_cast<std::int32_t*>(c.cell.address) = static_cast<std::int32_t>(cell->integer);
    } else if (cell->null) {
      c.cell.write(c.cell.address, c.property->valueType, nullptr);
    } else {
      struct Target {
        const detail::QueryCell* cell;
        ValueType type;
      } target{&c.cell, c.property->valueType};
      c.property->traits->withValue(*cell, core.access().site(c.property),
                                    [](const void* value, void* context) {
                                      auto* t = static_cast<Target*>(context);
                                      t->cell->write(t->cell->address, t->type, value);
                                    },
                                    &target);
    }
    ++cell;
  }
  return true;
}

}  // namespace vlt
