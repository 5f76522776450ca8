#pragma once
// What an ObjectQuery says (QueryState), how it is compiled to one SQL
// statement (QueryCompiler.cpp), and the rows of one execute (QueryResults).

#include "ValueTraits.hpp"

#include <vlt/ObjectQuery.hpp>

#include <boost/optional/optional.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vlt::detail {

class Core;
struct ClassInfo;
struct PropertyInfo;

/// The class of one class index.
struct QueryIndex {
  const ClassInfo* cls = nullptr;
  bool withSubclasses = true;
  bool searchClass = false;  ///< given by addSearchClass, not taken from a constraint
  std::vector<const ClassInfo*> excluded;  ///< left out with their subclasses
};

/// `property` of the object at `index` in `relation` (0 to 11) to `cell`.
struct ValueCondition {
  const PropertyInfo* property;
  int relation;
  QueryCell cell;
  std::size_t index;
};

struct PropertyRelation {
  const PropertyInfo* left;
  const PropertyInfo* right;
  int relation;
  std::size_t leftIndex;
  std::size_t rightIndex;
};

/// The object at `index` is `*object` (no property), or its reference
/// `property` holds it (`positive`) or not; or it is one of `*among`.
struct ReferenceCondition {
  const PropertyInfo* property;
  bool positive;
  const ObjectRef* object;
  std::size_t index;
  const std::vector<ObjectRef>* among = nullptr;
};

struct SubObjectCondition {
  const PropertyInfo* property;
  std::size_t owner;
  std::size_t sub;
};

struct ResultColumn {
  enum class Kind { object, property, count } kind;
  const PropertyInfo* property;
  QueryCell cell;
  std::size_t index;
};

struct Ordering {
  enum class Kind { property, objectId, ordinal } kind;
  const PropertyInfo* property;
  bool descending;
  bool absentLast;
  std::size_t index;
};

struct DisjunctionState {
  std::vector<ValueCondition> members;
  std::vector<PropertyRef> properties;  ///< of the members, checked when the disjunction is added
};

/// The statement of a query and how to bind and read it.
struct CompiledQuery {
  struct Parameter {
    enum class Source { value, pattern, object, objectAmong, limit, offset } source;
    const PropertyInfo* property;  ///< value, pattern: whose encoding
    QueryCell cell;                ///< value, pattern
    const ObjectRef* object;       ///< object
    const std::vector<ObjectRef>* among = nullptr;  ///< objectAmong: the `position`th, or the last
    std::size_t position = 0;
  };
  std::string sql;
  std::vector<Parameter> parameters;  ///< ?1, ?2, ...
  std::uint64_t version = 0;          ///< the schema and tables it was made for
};

/// Everything an ObjectQuery was told.
struct QueryState {
  explicit QueryState(std::shared_ptr<Core> owner) : core(std::move(owner)) {}
  ~QueryState();

  std::shared_ptr<Core> core;
  std::vector<QueryIndex> indexes;
  std::vector<ValueCondition> values;
  std::vector<std::vector<ValueCondition>> disjunctions;
  std::vector<PropertyRelation> relations;
  std::vector<ReferenceCondition> references;
  std::vector<SubObjectCondition> subObjects;
  std::vector<std::size_t> topLevel;
  std::vector<ResultColumn> results;
  std::vector<Ordering> orderings;
  boost::optional<std::int64_t> limit;
  boost::optional<std::int64_t> offset;

  CompiledQuery compiled;
  std::uint64_t schemaVersion = 0;        ///< the metamodel and tables `compiled` was made for
  bool changed = true;                    ///< compile again before the next execute
  std::shared_ptr<QueryResults> reusable;  ///< the last rows, reused when no iterator holds them
};

/// The rows one execute fetched, written into the result cells on demand.
struct QueryResults {
  std::shared_ptr<Core> core;
  std::vector<ResultColumn> columns;
  std::size_t width = 0;  ///< SQL columns per row
  /// Rows one after another in the first `filled` cells; the cells past
  /// them are kept from an earlier execute, so that their text buffers
  /// serve again.
  std::vector<Cell> cells;
  std::size_t filled = 0;
  std::size_t next = 0;  ///< the next row
};

/// Compiles `state` for the repository's schema now (QueryCompiler.cpp).
CompiledQuery compileQuery(const QueryState& state);

/// The class ids an index stands for, now.
std::vector<const ClassInfo*> indexClasses(const QueryIndex& index);

}  // namespace vlt::detail
