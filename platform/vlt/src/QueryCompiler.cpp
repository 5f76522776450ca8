// An ObjectQuery as one SQL statement.
//
// Each class index i is a row of the object table, o<i>, restricted to its
// classes. Single values come from the class tables, left-joined per (index,
// class) as t<i>_<class>; a condition on a collection is an EXISTS over its
// table (the owned objects, for a composite one). Missing tables and columns
// (ValueTables) read as NULL. An index whose class has no subclasses and
// whose own class table must hold a row for every answer (a condition that
// no absent value satisfies) is read from that table alone, without the
// object table, when nothing else of the object is asked for: a filtered
// count then costs what a hand-written one does.

#include "Query.hpp"

#include "Core.hpp"

#include <algorithm>
#include <set>

namespace vlt::detail {
namespace {

// A condition that holds for no row, in every dialect.
constexpr const char* never = "(1 = 0)";

// Relations that no absent value satisfies.
bool rejectsAbsent(int relation) { return relation >= 0 && relation <= 9; }

const char* comparison(int relation) {
  switch (relation) {
    case 0: return "=";
    case 2: return "<>";
    case 3: return "<";
    case 4: return "<=";
    case 5: return ">";
    case 6: return ">=";
    default: return nullptr;
  }
}

class Compiler {
 public:
  explicit Compiler(const QueryState& q)
      : q_(q), core_(*q.core), tables_(core_.tables()), dialect_(core_.connection().dialect()) {}

  CompiledQuery run() {
    for (std::size_t i = 0; i < q_.indexes.size(); ++i) driver_.push_back(chooseDriver(i));
    for (const ReferenceCondition& r : q_.references) {
      if (r.among == nullptr) continue;
      offClassIndex_.insert(r.index);
      for (const SubObjectCondition& sub : q_.subObjects)
        if (r.index == sub.owner) offClassIndex_.insert(sub.sub);
    }
    std::vector<std::string> where;
    for (std::size_t i = 0; i < q_.indexes.size(); ++i) {
      if (driver_[i] == nullptr) where.push_back(classFilter(i));
    }
    for (const ValueCondition& c : q_.values) where.push_back(value(c));
    for (const auto& members : q_.disjunctions) where.push_back(disjunction(members));
    for (const PropertyRelation& r : q_.relations) where.push_back(relation(r));
    for (const ReferenceCondition& r : q_.references) where.push_back(reference(r));
    for (const SubObjectCondition& s : q_.subObjects) {
      where.push_back(objectAlias(s.sub) + ".owner_id = " + idOf(s.owner) + " AND " + objectAlias(s.sub) +
                      ".owner_property_id = " + std::to_string(s.property->id));
    }
    for (std::size_t i : q_.topLevel) where.push_back(objectAlias(i) + ".owner_id IS NULL");
    const bool counting = std::any_of(q_.results.begin(), q_.results.end(),
                                      [](const ResultColumn& r) { return r.kind == ResultColumn::Kind::count; });
    const std::string select = counting ? std::string("1") : selectList();
    const std::string order = counting && !q_.limit && !q_.offset ? std::string() : orderBy();
    std::string sql = "SELECT " + select + " FROM " + fromList();
    if (!where.empty()) sql += " WHERE " + join(where, " AND ");
    if (!order.empty()) sql += " ORDER BY " + order;
    sql += limitClause();
    if (counting) sql = "SELECT count(*) FROM (" + sql + ") AS counted";
    out_.sql = std::move(sql);
    return std::move(out_);
  }

 private:
  static std::string join(const std::vector<std::string>& parts, const char* separator) {
    std::string out;
    for (const std::string& p : parts) out += (out.empty() ? "" : separator) + p;
    return out;
  }

  std::string parameter(CompiledQuery::Parameter p) {
    out_.parameters.push_back(p);
    return "?" + std::to_string(out_.parameters.size());
  }

  std::string objectAlias(std::size_t i) const { return "o" + std::to_string(i); }

  // The class table an index is read from instead of the object table, or
  // null (see the file comment).
  const ClassInfo* chooseDriver(std::size_t i) {
    const ClassInfo* cls = q_.indexes[i].cls;
    if (!q_.indexes[i].excluded.empty() || !cls->subclasses.empty()) return nullptr;
    if (cls->rowColumns == 0 || !tables_.classTable(cls).exists) return nullptr;
    for (const ResultColumn& r : q_.results) {
      if (r.index == i && r.kind == ResultColumn::Kind::object) return nullptr;
    }
    for (const Ordering& o : q_.orderings) {
      if (o.index == i && o.kind == Ordering::Kind::ordinal) return nullptr;
    }
    if (std::count(q_.topLevel.begin(), q_.topLevel.end(), i) != 0) return nullptr;
    for (const SubObjectCondition& s : q_.subObjects) {
      if (s.owner == i || s.sub == i) return nullptr;
    }
    auto ownColumn = [&](const PropertyInfo* p, std::size_t index) {
      return index == i && p->owner == cls && p->inClassTable();
    };
    for (const ValueCondition& c : q_.values) {
      if (ownColumn(c.property, c.index) && rejectsAbsent(c.relation)) return cls;
    }
    for (const PropertyRelation& r : q_.relations) {
      if ((ownColumn(r.left, r.leftIndex) || ownColumn(r.right, r.rightIndex)) && rejectsAbsent(r.relation)) return cls;
    }
    return nullptr;
  }

  std::string tableAlias(std::size_t i, const ClassInfo* cls) const {
    return "t" + std::to_string(i) + "_" + std::to_string(cls->id);
  }

  std::string idOf(std::size_t i) const {
    return driver_[i] != nullptr ? tableAlias(i, driver_[i]) + ".id" : objectAlias(i) + ".id";
  }

  // The expression of a single value of the object at `i`; joins its class
  // table on first use.
  std::string column(std::size_t i, const PropertyInfo* p) {
    const ValueTables::ClassTable table = tables_.classTable(p->owner);
    if (!table.exists || !table.columns[static_cast<std::size_t>(p->rowColumn)]) return "NULL";
    const std::string alias = tableAlias(i, p->owner);
    if (driver_[i] != p->owner && joined_.insert(alias).second) {
      joins_[i] += " LEFT JOIN " + p->owner->table + " " + alias + " ON " + alias + ".id = " + idOf(i);
    }
    return alias + "." + p->column;
  }

  std::string fromList() const {
    std::vector<std::string> items;
    for (std::size_t i = 0; i < q_.indexes.size(); ++i) {
      const std::string first = driver_[i] != nullptr ? driver_[i]->table + " " + tableAlias(i, driver_[i])
                                                      : "vlt_object " + objectAlias(i);
      items.push_back(first + (i < joins_.size() ? joins_[i] : std::string()));
    }
    return join(items, ", ");
  }

  // A set of objects is found by their ids, and the objects they own
  // through the owner index. SQLite's planner, knowing no statistics, and
  // PostgreSQL's, whose statistics lag behind a table that just grew, take a
  // class for a handful of objects and would read every object of it to keep
  // those of the set (each level of a deep tree's load then reads the whole
  // class); the unary plus keeps them off the class index.
  std::string classFilter(std::size_t i) const {
    std::vector<std::string> ids;
    for (const ClassInfo* c : indexClasses(q_.indexes[i])) ids.push_back(std::to_string(c->id));
    if (ids.empty()) return never;
    const std::string column = (offClassIndex_.count(i) != 0 ? "+" : "") + objectAlias(i) + ".class_id";
    if (ids.size() == 1) return column + " = " + ids.front();
    return column + " IN (" + join(ids, ", ") + ")";
  }

  std::string compare(const std::string& a, int relation, const std::string& b) const {
    if (const char* op = comparison(relation)) return a + " " + op + " " + b;
    const char* text = relation == 1    ? dialect_.containsText
                       : relation == 7  ? dialect_.startsWithText
                       : relation == 8  ? dialect_.endsWithText
                       : relation == 9  ? dialect_.matchesPattern
                       : relation == 10 ? dialect_.sameAs
                                        : dialect_.notSameAs;
    return "(" + sql::fillIn(text, {{"a", a}, {"b", b}}) + ")";
  }

  // EXISTS over the entries of a collection of the object at `i`, with a
  // condition on `v.value` (or v.id for owned objects); false when the
  // collection's table does not exist.
  std::string entries(std::size_t i, const PropertyInfo* p, const std::string& condition) {
    std::string text;
    if (p->composite) {
      text = "EXISTS (SELECT 1 FROM vlt_object v WHERE v.owner_id = " + idOf(i) +
             " AND v.owner_property_id = " + std::to_string(p->id);
    } else if (tables_.collectionTable(p)) {
      text = "EXISTS (SELECT 1 FROM " + p->table + " v WHERE v.object_id = " + idOf(i);
    } else {
      return never;
    }
    return text + (condition.empty() ? std::string() : " AND " + condition) + ")";
  }

  std::string value(const ValueCondition& c) {
    const auto source = c.relation == 9 ? CompiledQuery::Parameter::Source::pattern : CompiledQuery::Parameter::Source::value;
    const std::string n = parameter({source, c.property, c.cell, nullptr});
    if (c.property->inClassTable()) return compare(column(c.index, c.property), c.relation, n);
    // A collection: some entry satisfies it ("contains" is membership).
    return entries(c.index, c.property, compare("v.value", c.relation == 1 ? 0 : c.relation, n));
  }

  std::string disjunction(const std::vector<ValueCondition>& members) {
    std::vector<std::string> parts;
    for (const ValueCondition& c : members) parts.push_back(value(c));
    return parts.empty() ? std::string(never) : "(" + join(parts, " OR ") + ")";
  }

  std::string relation(const PropertyRelation& r) {
    return compare(column(r.leftIndex, r.left), r.relation, column(r.rightIndex, r.right));
  }

  std::string reference(const ReferenceCondition& r) {
    if (r.among != nullptr) {
      std::vector<std::string> ns;
      for (std::size_t k = 0; k < ObjectQuery::maxObjectsAmong; ++k)
        ns.push_back(parameter({CompiledQuery::Parameter::Source::objectAmong, nullptr, QueryCell{}, nullptr, r.among, k}));
      return idOf(r.index) + " IN (" + join(ns, ", ") + ")";
    }
    const std::string n = parameter({CompiledQuery::Parameter::Source::object, nullptr, QueryCell{}, r.object});
    if (r.property == nullptr) return idOf(r.index) + " = " + n;
    if (r.property->inClassTable()) {
      return "(" + sql::fillIn(r.positive ? dialect_.sameAs : dialect_.notSameAs,
                               {{"a", column(r.index, r.property)}, {"b", n}}) +
             ")";
    }
    // A collection holds the object, or (for a null cell) holds nothing. The
    // cast gives the parameter a type where nothing else would (PostgreSQL).
    const std::string holds = "(CASE WHEN CAST(" + n + " AS " + dialect_.integerType + ") IS NULL THEN NOT " +
                              entries(r.index, r.property, "") + " ELSE " +
                              entries(r.index, r.property, (r.property->composite ? "v.id = " : "v.value = ") + n) +
                              " END)";
    return r.positive ? holds : "NOT " + holds;
  }

  std::string selectList() {
    std::vector<std::string> columns;
    for (const ResultColumn& r : q_.results) {
      if (r.kind == ResultColumn::Kind::object) {
        const std::string o = objectAlias(r.index);
        columns.push_back(o + ".id, " + o + ".class_id, " + o + ".uuid");
      } else {
        columns.push_back(column(r.index, r.property));
      }
    }
    return join(columns, ", ");
  }

  // The orderings given, then the objects' ids, so that every answer comes in
  // one order.
  std::string orderBy() {
    std::vector<std::string> keys;
    for (const Ordering& o : q_.orderings) {
      const char* direction = o.descending ? " DESC" : " ASC";
      if (o.kind == Ordering::Kind::property) {
        const bool absentFirst = !o.absentLast && !o.descending;
        keys.push_back(column(o.index, o.property) + direction + (absentFirst ? " NULLS FIRST" : " NULLS LAST"));
      } else if (o.kind == Ordering::Kind::objectId) {
        keys.push_back(idOf(o.index) + direction);
      } else if (o.property->composite) {
        keys.push_back(objectAlias(o.index) + ".ordinal" + direction);
      } else if (tables_.collectionTable(o.property)) {
        keys.push_back("(SELECT min(v.ordinal) FROM " + o.property->table + " v WHERE v.value = " + idOf(o.index) +
                       ")" + direction);
      }
    }
    for (std::size_t i = 0; i < q_.indexes.size(); ++i) keys.push_back(idOf(i));
    return join(keys, ", ");
  }

  std::string limitClause() {
    if (q_.limit) {
      const std::string count = parameter({CompiledQuery::Parameter::Source::limit, nullptr, QueryCell{}, nullptr});
      const std::string offset = parameter({CompiledQuery::Parameter::Source::offset, nullptr, QueryCell{}, nullptr});
      return " " + sql::fillIn(dialect_.limitOffset, {{"count", count}, {"offset", offset}});
    }
    if (q_.offset) {
      const std::string offset = parameter({CompiledQuery::Parameter::Source::offset, nullptr, QueryCell{}, nullptr});
      return " " + sql::fillIn(dialect_.offsetOnly, {{"offset", offset}});
    }
    return std::string();
  }

  const QueryState& q_;
  Core& core_;
  ValueTables& tables_;
  const sql::Dialect& dialect_;
  CompiledQuery out_;
  std::vector<const ClassInfo*> driver_;
  std::vector<std::string> joins_ = std::vector<std::string>(q_.indexes.size());
  std::set<std::string> joined_;
  // The objects owned by a set of objects: their class is not looked up in
  // the class index (see classFilter).
  std::set<std::size_t> offClassIndex_;  // a set's objects and those they own
};

}  // namespace

std::vector<const ClassInfo*> indexClasses(const QueryIndex& index) {
  const auto excluded = [&](const ClassInfo* cls) {
    return std::find(index.excluded.begin(), index.excluded.end(), cls) != index.excluded.end();
  };
  std::vector<const ClassInfo*> out;
  if (!excluded(index.cls)) out.push_back(index.cls);
  for (std::size_t k = 0; index.withSubclasses && k < out.size(); ++k) {
    for (const ClassInfo* sub : out[k]->subclasses) {
      if (sub->retired || excluded(sub)) continue;
      if (std::find(out.begin(), out.end(), sub) == out.end()) out.push_back(sub);
    }
  }
  return out;
}

CompiledQuery compileQuery(const QueryState& state) { return Compiler(state).run(); }

}  // namespace vlt::detail
