#pragma once
// The reflective query interface. A model's data source creates queries
// (DataSource::createQuery) and implements them over its store; hosts build
// them with search classes and constraints and read the matching elements.
// The framework defines the contract only.

#include <qm/zero/Value.hpp>
#include <qm/zero/query/QueryMessages.hpp>
#include <qm/zero/query/ValueMatchRelation.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace qm::zero::query {

/// How a search class matches: only its own instances, or its subclasses'
/// too. Implementations treat every value other than 1 as 0.
enum SearchClassMatchMode : std::uint32_t { ExactClass = 0, WithSubclasses = 1 };

/// A group of value constraints of which at least one must hold. Owned by
/// its query; it takes effect once `finish()` was called (later calls do
/// nothing).
class QM0_API ReflectiveDisjunction {
 public:
  virtual ~ReflectiveDisjunction();
  /// As ReflectiveQuery::addPropertyValueConstraint, for primitive and
  /// enumeration properties.
  virtual void addPropertyValueConstraint(const meta::Property& property, ValueMatchRelation relation,
                                          const Value& value, std::size_t classIndex) = 0;
  virtual void finish() = 0;

 protected:
  ReflectiveDisjunction() = default;
};

/// A query: search classes, each named by its class index (0, 1, ... in the
/// order they were added), constraints on them, ordering, limit and offset,
/// then results. Errors are the "qm0:query" message identifiers
/// (QueryMessages.hpp: invalid search class, limit or offset of 2^31 or more,
/// unsupported relations and sorting, a result that cannot be loaded). A query
/// must not outlive the data source that made it; it is used by one thread at
/// a time.
class QM0_API ReflectiveQuery {
 public:
  /// Rows of result elements, one element per result class index.
  class QM0_API ResultIterator {
   public:
    virtual ~ResultIterator();
    /// Fills `row` with the next row's elements (loaded into the model when
    /// they are not in memory) and returns true; false at the end.
    virtual bool next(std::vector<ModelElement>& row) = 0;

   protected:
    ResultIterator() = default;
  };

  virtual ~ReflectiveQuery();

  /// Forgets search classes, constraints, disjunctions and bound results.
  virtual void reset() = 0;
  /// Adds a search class and returns its class index.
  virtual std::size_t addSearchClass(const meta::Class& cls, std::uint32_t matchMode) = 0;
  /// `property1` of search class `index1` relates to `property2` of `index2`
  /// (same type).
  virtual void addPropertyRelationConstraint(const meta::Property& property1, ValueMatchRelation relation,
                                             const meta::Property& property2, std::size_t index1,
                                             std::size_t index2) = 0;
  /// `property` of search class `index` relates to `value`.
  virtual void addPropertyValueConstraint(const meta::Property& property, ValueMatchRelation relation,
                                          const Value& value, std::size_t index) = 0;
  /// Search class `index` matches only elements without owner.
  virtual void addTopLevelConstraint(std::size_t index) = 0;
  /// Search class `index` matches only `element`.
  virtual void addObjectConstraint(const meta::Class& cls, const ModelElement& element, std::size_t index) = 0;
  /// Search class `subIndex` matches elements owned through `property` by a
  /// match of `ownerIndex`.
  virtual void addSubObjectConstraint(const meta::Property& property, std::size_t ownerIndex,
                                      std::size_t subIndex) = 0;
  /// A new disjunction, owned by the query.
  virtual ReflectiveDisjunction* createDisjunction() = 0;
  virtual void setLimit(std::uint64_t limit) = 0;
  virtual void setOffset(std::uint64_t offset) = 0;
  /// `order` 0 ascending, any other value descending.
  virtual void setOrderByProperty(const meta::Property& property, std::size_t index, int order) = 0;
  virtual void setOrderByObjectId(std::size_t index, int order) = 0;
  virtual void setOrderByCollectionOrdinal(const meta::Property& property, std::size_t index, int order) = 0;
  /// The first row (the limit becomes 1).
  virtual std::vector<ModelElement> firstResult(const std::vector<std::size_t>& resultClassIndexes) = 0;
  /// Runs the query; an empty list of result class indexes means every
  /// search class in index order. The caller owns the iterator.
  virtual std::unique_ptr<ResultIterator> execute(const std::vector<std::size_t>& resultClassIndexes) = 0;
  /// The number of matches.
  virtual std::uint64_t count() = 0;

 protected:
  ReflectiveQuery() = default;
};

}  // namespace qm::zero::query
