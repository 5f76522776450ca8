#pragma once
// VLTQuery: the framework's reflective query over a data source's repository.
// Every call is translated at once into a call on one repository ObjectQuery;
// constraint values are copied into cells that the repository query reads by
// address at each execute, and result rows come back as model elements,
// loaded from the repository when they are not in memory.

#include <vlt_datasource/DataSource.hpp>

#include "external/FrameworkQuery.hpp"
#include "external/RepositoryStatements.hpp"

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace vlt_datasource {

class PropertyValues;
class ReflectiveVLTDisjunction;

class VLTQuery final : public qm::zero::query::ReflectiveQuery {
 public:
  class VLTResultIterator;

  /// A query on `repository`, the repository of `dataSource`, whose classes
  /// `classMapper` maps; all three must outlive it. Its results are loaded
  /// into the data source's model by loaders of the data source.
  VLTQuery(DataSource& dataSource, vlt::DataModelRepository& repository, DataSource::ClassMapper& classMapper);
  ~VLTQuery() override;

  void reset() override;
  std::size_t addSearchClass(const qm::zero::meta::Class& cls, std::uint32_t matchMode) override;
  void addPropertyRelationConstraint(const qm::zero::meta::Property& property1,
                                     qm::zero::query::ValueMatchRelation relation,
                                     const qm::zero::meta::Property& property2, std::size_t index1,
                                     std::size_t index2) override;
  void addPropertyValueConstraint(const qm::zero::meta::Property& property,
                                  qm::zero::query::ValueMatchRelation relation, const qm::zero::Value& value,
                                  std::size_t index) override;
  void addTopLevelConstraint(std::size_t index) override;
  void addObjectConstraint(const qm::zero::meta::Class& cls, const qm::zero::ModelElement& element,
                           std::size_t index) override;
  void addSubObjectConstraint(const qm::zero::meta::Property& property, std::size_t ownerIndex,
                              std::size_t subIndex) override;
  qm::zero::query::ReflectiveDisjunction* createDisjunction() override;
  void setLimit(std::uint64_t limit) override;
  void setOffset(std::uint64_t offset) override;
  void setOrderByProperty(const qm::zero::meta::Property& property, std::size_t index, int order) override;
  void setOrderByObjectId(std::size_t index, int order) override;
  void setOrderByCollectionOrdinal(const qm::zero::meta::Property& property, std::size_t index,
                                   int order) override;
  std::vector<qm::zero::ModelElement> firstResult(const std::vector<std::size_t>& resultClassIndexes) override;
  std::unique_ptr<ResultIterator> execute(const std::vector<std::size_t>& resultClassIndexes) override;
  std::uint64_t count() override;

 private:
  friend class ReflectiveVLTDisjunction;
  friend class VLTResultIterator;

  /// What the bound results are.
  enum ResultState : std::uint32_t { nothingBound = 0, objectsBound = 1, countBound = 2 };

  const vlt::ClassRef& searchClass(std::size_t index) const;
  /// The repository property of `property`'s name on search class `index`.
  vlt::PropertyRef propertyOn(const qm::zero::meta::Property& property, std::size_t index) const;
  /// A new constraint cell of type `Cell` kept under (`type`, `required`).
  template <class Cell>
  Cell& newCell(const qm::zero::meta::Type& type, bool required);
  /// Adds to `target` (the query or a disjunction) a constraint on a property
  /// whose values, stored texts or enumerals the repository compares; false,
  /// adding nothing, for links and values stored as text no relation compares.
  template <class Target, class NewCell>
  static bool addComparedConstraint(Target& target, NewCell&& newCell, VLTQuery& query,
                                    const qm::zero::meta::Property& property, const vlt::PropertyRef& propRef,
                                    qm::zero::query::ValueMatchRelation relation, const qm::zero::Value& value,
                                    std::size_t index);
  /// A constraint on a link: equal to (or, single-valued, not equal to), or
  /// holding, the object of the element `value` holds.
  void addObjectValueConstraint(const qm::zero::meta::Property& property, const vlt::PropertyRef& propRef,
                                qm::zero::query::ValueMatchRelation relation, const qm::zero::Value& value,
                                std::size_t index);
  /// The element of the result cell `object`, from memory or loaded.
  qm::zero::ModelElement resultElement(const vlt::ObjectRef& object, const qm::zero::Model& model);
  /// Runs `read` in a read of the data source (DataSource::Loader::readGrouped).
  template <class Read>
  void readGrouped(Read&& read);
  /// The repository object of `element` (null: none), looked up by uuid in
  /// a read of its own after the changes so far were handed over.
  vlt::ObjectRef storedObjectOf(const qm::zero::ModelElement& element);

  DataSource* dataSource;
  DataSource::ClassMapper* mapper;
  vlt::DataModelRepository* repository;
  vlt::ObjectQuery objectQuery;
  std::vector<vlt::ClassRef> searchClasses;
  std::map<std::pair<const void*, bool>, std::unique_ptr<PropertyValues>> valueStore;
  std::vector<std::unique_ptr<ReflectiveVLTDisjunction>> disjunctions;
  std::uint32_t resultState = nothingBound;
  std::vector<std::size_t> resultClassIndexes;
  std::list<vlt::ObjectRef> resultObjects;
  std::int32_t resultCount = 0;
};

}  // namespace vlt_datasource
