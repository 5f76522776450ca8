#include "external/Metamodel.hpp"
#include "external/Model.hpp"
#include "query/VLTQuery.hpp"

#include "datasource/ClassMapper.hpp"
#include "datasource/ValueKinds.hpp"
#include "datasource/read/InstanceLoaders.hpp"
#include "datasource/read/Loader.hpp"
#include "serialization/ValueText.hpp"

#include <vlt_datasource/Messages.hpp>

#include <fl/i18n/Unicode.hpp>
#include <foundation/core/except/Exception.hpp>

#include <boost/date_time/posix_time/ptime.hpp>
#include <boost/optional/optional.hpp>

#include <iostream>
#include <stdexcept>
#include <string>

namespace vlt_datasource {

namespace meta = qm::zero::meta;
using qm::zero::Value;
using qm::zero::query::ValueMatchRelation;
using Relation = vlt::PVMR_wrapper::PropertyValueMatchRelation;
using foundation::core::except::throwException;

namespace {

// Relations reach the repository by number. Between two values that may be
// absent, "equal" and "notEqual" become the forms that also decide for
// absent values (both absent are equal, one absent differs).
Relation repositoryRelation(ValueMatchRelation relation, bool bothRequired) {
  if (relation > qm::zero::query::Matches) return vlt::PVMR_wrapper::equal;
  if (!bothRequired && relation == qm::zero::query::Equal) return vlt::PVMR_wrapper::equalOrBothAbsent;
  if (!bothRequired && relation == qm::zero::query::NotEqual) return vlt::PVMR_wrapper::notEqualOrOneAbsent;
  return static_cast<Relation>(relation);
}

vlt::SortOrder sortOrder(int order) { return order == 0 ? vlt::ascending : vlt::descending; }

bool isRequired(const meta::Property& property) { return property->getLower() > 0 || property->getUpper() > 1; }

// The records of the data source's package versions: bookkeeping stored
// under the common root class, never an element of a model.
constexpr const char* packageInfoClassName = "qm.zero.vlt_datasource.PackageInfo";

}  // namespace

// ---------------------------------------------------------------------------
// The disjunction

class ReflectiveVLTDisjunction final : public qm::zero::query::ReflectiveDisjunction {
 public:
  explicit ReflectiveVLTDisjunction(VLTQuery& owner) : query(&owner), objectQuery(&owner.objectQuery) {}

  void addPropertyValueConstraint(const meta::Property& property, ValueMatchRelation relation, const Value& value,
                                  std::size_t index) override;
  void finish() override {
    if (added) return;
    objectQuery->addConstraint(constraint);
    added = true;
  }

 private:
  VLTQuery* query;
  vlt::ObjectQuery* objectQuery;
  vlt::DisjunctionMatchConstraint constraint;
  bool added = false;
};

// ---------------------------------------------------------------------------
// Constraint cells, shared by the query and its disjunctions

template <class Cell>
Cell& VLTQuery::newCell(const meta::Type& type, bool required) {
  std::unique_ptr<PropertyValues>& values = valueStore[{type.get(), required}];
  if (!values) values = std::make_unique<TypedPropertyValues<Cell>>();
  return static_cast<TypedPropertyValues<Cell>&>(*values).add();
}

namespace {

// A value constraint on a primitive property, added to `target` (the query
// or a disjunction). A required property compares a plain cell (zero or
// empty for an empty value); an optional one an optional cell, absent
// unless the value holds exactly one entry.
struct PrimitiveConstraint {
  template <class T, class Target, class NewCell>
  static void add(Target& target, NewCell&& newCell, const meta::Property& property,
                  const vlt::PropertyRef& propRef, ValueMatchRelation relation, const Value& value,
                  std::size_t index) {
    const meta::Type type = property->getType();
    if (isRequired(property)) {
      T& cell = newCell(static_cast<T*>(nullptr), type, true);
      cell = value.isEmpty() ? T() : value.get<T>();
      target.addConstraint(propRef, repositoryRelation(relation, true), &cell, index);
    } else {
      auto& cell = newCell(static_cast<boost::optional<T>*>(nullptr), type, false);
      if (value.size() == 1) cell = value.get<T>();
      target.addConstraint(propRef, repositoryRelation(relation, false), &cell, index);
    }
  }

  // Small integers are stored as their text: they compare as stored, which
  // keeps equality exact but not order ("200" sorts before "3").
  template <class Target, class NewCell>
  static void addStoredText(Target& target, NewCell&& newCell, const meta::Property& property,
                            const vlt::PropertyRef& propRef, ValueMatchRelation relation, const Value& value,
                            std::size_t index) {
    const meta::Type type = property->getType();
    if (relation != qm::zero::query::Equal && relation != qm::zero::query::NotEqual)
      throwException(qm0::query::RelationAndTypeNotSupported(qm::zero::query::ValueMatchRelationName(relation),
                                                             type->getName()));
    if (isRequired(property)) {
      std::u16string& cell = newCell(static_cast<std::u16string*>(nullptr), type, true);
      cell = toStoredText(value.isEmpty() ? Value(type, std::uint8_t(0)) : value);
      target.addConstraint(propRef, repositoryRelation(relation, true), &cell, index);
    } else {
      auto& cell = newCell(static_cast<boost::optional<std::u16string>*>(nullptr), type, false);
      if (value.size() == 1) cell = toStoredText(value);
      target.addConstraint(propRef, repositoryRelation(relation, false), &cell, index);
    }
  }

  // A constraint on a property of a kind whose values or texts compare.
  template <class Target, class NewCell>
  static void dispatch(ValueKind kind, Target& target, NewCell&& newCell, const meta::Property& property,
                       const vlt::PropertyRef& propRef, ValueMatchRelation relation, const Value& value,
                       std::size_t index) {
    visitKind(kind, [&](auto k) {
      using K = decltype(k);
      if constexpr (K::query == QueryForm::value)
        add<typename K::Framework>(target, newCell, property, propRef, relation, value, index);
      else if constexpr (K::query == QueryForm::text)
        addStoredText(target, newCell, property, propRef, relation, value, index);
    });
  }
};

// The form of a value constraint on `property`. A primitive type without a
// stored form is refused as the primitive types the repository cannot
// compare are.
std::pair<ValueKind, QueryForm> queryFormOf(const meta::Property& property) {
  const meta::Type type = property->getType();
  const ValueKind kind = storageOfType(type, property->isStoredSerialized()).kind;
  if (kind == ValueKind::none && meta::PrimitiveType::downcast(type)) return {kind, QueryForm::unsupported};
  return {kind, visitKind(kind, [](auto k) { return k.query; })};
}

[[noreturn]] void refuseUnsupportedPrimitive(const meta::Property& property) {
  throwException(m2t_vlt::datasource::UnsupportedPrimitiveType(property->getType()->getQualifiedName()));
}

// An enumeration constraint: the value is, or is not, one enumeral.
// (`mapper`, the data source's ClassMapper, is a type of the data source's own.)
template <class Target, class NewCell, class Mapper>
void addEnumerationConstraint(Target& target, NewCell&& newCell, Mapper& mapper,
                              const meta::Property& property, const vlt::PropertyRef& propRef,
                              ValueMatchRelation relation, const Value& value, std::size_t index) {
  const meta::Type type = property->getType();
  const auto checkRelation = [&] {
    if (relation != qm::zero::query::Equal && relation != qm::zero::query::NotEqual)
      throwException(qm0::query::UnsupportedEnumConstraintRelation());
  };
  if (isRequired(property)) {
    vlt::EnumeralRef& cell = newCell(static_cast<vlt::EnumeralRef*>(nullptr), type, true);
    cell = mapper.getVltEnumeral(type, value);
    checkRelation();
    target.addConstraint(propRef, relation == qm::zero::query::Equal, &cell, index);
  } else {
    auto& cell = newCell(static_cast<boost::optional<vlt::EnumeralRef>*>(nullptr), type, false);
    if (value.size() == 1) cell = mapper.getVltEnumeral(type, value);
    checkRelation();
    target.addConstraint(propRef, relation == qm::zero::query::Equal, &cell, index);
  }
}

}  // namespace

void ReflectiveVLTDisjunction::addPropertyValueConstraint(const meta::Property& property,
                                                          ValueMatchRelation relation, const Value& value,
                                                          std::size_t index) {
  const vlt::PropertyRef propRef = query->propertyOn(property, index);
  const auto newCell = [this](auto* tag, const meta::Type& type, bool required) -> auto& {
    return query->newCell<std::remove_pointer_t<decltype(tag)>>(type, required);
  };
  if (VLTQuery::addComparedConstraint(constraint, newCell, *query, property, propRef, relation, value, index))
    return;
  // Links and datatype texts: not in a disjunction.
  const meta::Type type = property->getType();
  throwException(qm0::query::RelationAndTypeNotSupported(qm::zero::query::ValueMatchRelationName(relation),
                                                         type ? type->getName() : std::u16string()));
}

// ---------------------------------------------------------------------------
// The query

VLTQuery::VLTQuery(DataSource& source, vlt::DataModelRepository& repo, DataSource::ClassMapper& classMapper)
    : dataSource(&source), mapper(&classMapper), repository(&repo), objectQuery(repo) {}

VLTQuery::~VLTQuery() = default;

template <class Read>
void VLTQuery::readGrouped(Read&& read) {
  DataSource::Loader(*dataSource).readGrouped(std::forward<Read>(read));
}

void VLTQuery::reset() {
  objectQuery.clear();
  searchClasses.clear();
  valueStore.clear();
  disjunctions.clear();
  resultClassIndexes.clear();
  resultObjects.clear();
  resultState = nothingBound;
  resultCount = 0;
}

const vlt::ClassRef& VLTQuery::searchClass(std::size_t index) const {
  if (index >= searchClasses.size())
    throw std::out_of_range("vlt_datasource: the query has no search class with index " + std::to_string(index));
  return searchClasses[index];
}

vlt::PropertyRef VLTQuery::propertyOn(const meta::Property& property, std::size_t index) const {
  return searchClass(index).findProperty(fl::i18n::ustring_to_utf8(property->getName()));
}

std::size_t VLTQuery::addSearchClass(const meta::Class& cls, std::uint32_t matchMode) {
  if (!cls) throwException(qm0::query::InvalidSearchClass());
  vlt::ClassRef vltClass;
  readGrouped([&] { vltClass = mapper->getVltClass(cls, true); });
  const std::size_t index = searchClasses.size();
  const bool withSubclasses = matchMode == qm::zero::query::WithSubclasses;
  objectQuery.addSearchClass(vltClass, index, withSubclasses ? vlt::classAndSubclasses : vlt::exactClass);
  // A class that the package-version records descend from (the common root)
  // would otherwise give them as results, though no model holds them.
  const vlt::ClassRef packageInfo = repository->metamodel().findClass(packageInfoClassName);
  if (withSubclasses && packageInfo && packageInfo.conformsTo(vltClass)) objectQuery.excludeClass(packageInfo, index);
  searchClasses.push_back(vltClass);
  return index;
}

void VLTQuery::addPropertyRelationConstraint(const meta::Property& property1, ValueMatchRelation relation,
                                             const meta::Property& property2, std::size_t index1,
                                             std::size_t index2) {
  if (property1->getType() != property2->getType())
    throwException(qm0::query::PropertyRelationPropertyTypeMismatch());
  const bool bothRequired = property1->getLower() > 0 && property2->getLower() > 0;
  objectQuery.addConstraint(propertyOn(property1, index1), repositoryRelation(relation, bothRequired),
                            propertyOn(property2, index2), index1, index2);
}

void VLTQuery::addPropertyValueConstraint(const meta::Property& property, ValueMatchRelation relation,
                                          const Value& value, std::size_t index) {
  const vlt::PropertyRef propRef = propertyOn(property, index);
  const auto newCell = [this](auto* tag, const meta::Type& type, bool required) -> auto& {
    return this->newCell<std::remove_pointer_t<decltype(tag)>>(type, required);
  };
  if (addComparedConstraint(objectQuery, newCell, *this, property, propRef, relation, value, index)) return;
  // Datatypes are stored as text that no relation compares: no constraint.
  if (queryFormOf(property).second == QueryForm::object)
    addObjectValueConstraint(property, propRef, relation, value, index);
}

template <class Target, class NewCell>
bool VLTQuery::addComparedConstraint(Target& target, NewCell&& newCell, VLTQuery& query,
                                     const meta::Property& property, const vlt::PropertyRef& propRef,
                                     ValueMatchRelation relation, const Value& value, std::size_t index) {
  const auto [kind, form] = queryFormOf(property);
  switch (form) {
    case QueryForm::value:
    case QueryForm::text:
      PrimitiveConstraint::dispatch(kind, target, newCell, property, propRef, relation, value, index);
      return true;
    case QueryForm::enumeral:
      query.readGrouped([&] {
        addEnumerationConstraint(target, newCell, *query.mapper, property, propRef, relation, value, index);
      });
      return true;
    case QueryForm::unsupported: refuseUnsupportedPrimitive(property);
    case QueryForm::object:
    case QueryForm::uncompared: break;
  }
  return false;
}

void VLTQuery::addObjectValueConstraint(const meta::Property& property, const vlt::PropertyRef& propRef,
                                        ValueMatchRelation relation, const Value& value, std::size_t index) {
  const meta::Type type = property->getType();
  const bool multiValued = property->getUpper() != 1;
  if (multiValued && value.isEmpty()) throwException(qm0::query::PropertyRelationObjectMultiValue());
  const bool allowed = relation == qm::zero::query::Equal || (!multiValued && relation == qm::zero::query::NotEqual);
  if (!allowed) throwException(qm0::query::UnsupportedObjectConstraintRelation());
  vlt::ObjectRef& cell = newCell<vlt::ObjectRef>(type, isRequired(property));
  if (!value.isEmpty()) {
    cell = storedObjectOf(value.getElement());
  }
  objectQuery.addObjectConstraint(propRef, relation == qm::zero::query::Equal, &cell, index);
}

void VLTQuery::addTopLevelConstraint(std::size_t index) {
  objectQuery.addIsTopLevelObjectConstraint(searchClass(index), index);
}

void VLTQuery::addObjectConstraint(const meta::Class& cls, const qm::zero::ModelElement& element, std::size_t index) {
  vlt::ObjectRef& cell = newCell<vlt::ObjectRef>(cls, true);
  cell = storedObjectOf(element);
  objectQuery.addObjectConstraint(searchClass(index), &cell, index);
}

vlt::ObjectRef VLTQuery::storedObjectOf(const qm::zero::ModelElement& element) {
  // An element made in the open transaction is in the repository only once
  // the changes so far were handed over.
  DataSource::Loader loader(*dataSource);
  loader.requestSnapshot();
  vlt::ObjectRef object;
  loader.readGrouped([&] {
    object = repository->defaultDataModel().lookUpObject(element.getUUID(),
                                                         mapper->getVltClass(element.getMetaClass(), true));
  });
  return object;
}

void VLTQuery::addSubObjectConstraint(const meta::Property& property, std::size_t ownerIndex, std::size_t subIndex) {
  objectQuery.addSubObjectConstraint(propertyOn(property, ownerIndex), &searchClass(subIndex), ownerIndex, subIndex);
}

qm::zero::query::ReflectiveDisjunction* VLTQuery::createDisjunction() {
  disjunctions.push_back(std::make_unique<ReflectiveVLTDisjunction>(*this));
  return disjunctions.back().get();
}

namespace {
constexpr std::uint64_t limitOffsetBound = std::uint64_t(1) << 31;
}

void VLTQuery::setLimit(std::uint64_t limit) {
  if (limit >= limitOffsetBound) throwException(qm0::query::InvalidLimitOffsetValue());
  objectQuery.setLimit(limit);
}

void VLTQuery::setOffset(std::uint64_t offset) {
  if (offset >= limitOffsetBound) throwException(qm0::query::InvalidLimitOffsetValue());
  objectQuery.setOffset(offset);
}

void VLTQuery::setOrderByProperty(const meta::Property& property, std::size_t index, int order) {
  objectQuery.setOrderByProperty(propertyOn(property, index), sortOrder(order), false, index);
}

void VLTQuery::setOrderByObjectId(std::size_t index, int order) {
  objectQuery.setOrderByObjectID(searchClass(index), sortOrder(order), index);
}

void VLTQuery::setOrderByCollectionOrdinal(const meta::Property& property, std::size_t index, int order) {
  const meta::Class owner = meta::Class::downcast(property->getOwningType());
  if (!owner) throwException(qm0::query::UnsupportedSorting());
  vlt::PropertyRef propRef;
  readGrouped([&] {
    propRef = mapper->getVltClass(owner, true).findProperty(fl::i18n::ustring_to_utf8(property->getName()));
  });
  objectQuery.setOrderByCollectionOrdinal(propRef, sortOrder(order), index);
}

// ---------------------------------------------------------------------------
// Results

class VLTQuery::VLTResultIterator final : public qm::zero::query::ReflectiveQuery::ResultIterator {
 public:
  VLTResultIterator(VLTQuery& owner, vlt::ObjectQuery::ResultIterator rows, qm::zero::Model ofModel)
      : query(&owner), results(std::move(rows)), cells(&owner.resultObjects), model(std::move(ofModel)) {}
  ~VLTResultIterator() override { results.clear(); }

  bool next(std::vector<qm::zero::ModelElement>& row) override {
    row.assign(cells->size(), qm::zero::ModelElement());
    if (!results.getNextResult()) return false;
    std::size_t at = 0;
    for (const vlt::ObjectRef& cell : *cells) row[at++] = query->resultElement(cell, model);
    return true;
  }

 private:
  VLTQuery* query;
  vlt::ObjectQuery::ResultIterator results;
  const std::list<vlt::ObjectRef>* cells;
  qm::zero::Model model;
};

qm::zero::ModelElement VLTQuery::resultElement(const vlt::ObjectRef& object, const qm::zero::Model& model) {
  qm::zero::ModelElement element = model->findElement(object.objectIdentity(), qm::zero::InMemoryOnly);
  if (!element) {
    DataSource::Loader loader(*dataSource);
    loader.readGrouped([&] {
      qm::zero::datasource::LoadingTransaction loading = loader.beginLoading();
      const DataSource::Loader::FetchResult fetched = loader.fetch(object, model);
      if (fetched.newlyLoaded) {
        // The element is a result even when its owners cannot be loaded.
        try {
          loader.loadAncestors(object, fetched.element, model);
        } catch (const std::exception& e) {
          std::cout << "Exception while loading query result object ancestors: " << e.what() << std::endl;
        }
      }
      loading.commit();
      element = fetched.element;
    });
  }
  if (!element) throwException(qm0::query::QueryResultObjectNotFound());
  return element;
}

std::unique_ptr<qm::zero::query::ReflectiveQuery::ResultIterator> VLTQuery::execute(
    const std::vector<std::size_t>& indexes) {
  DataSource::Loader loader(*dataSource);
  loader.requestSnapshot();
  if ((resultState == objectsBound && !indexes.empty() && indexes != resultClassIndexes) ||
      resultState == countBound) {
    objectQuery.resetResults();
    resultObjects.clear();
    resultState = nothingBound;
  }
  if (resultState == nothingBound) {
    resultClassIndexes.clear();
    const std::size_t count = indexes.empty() ? searchClasses.size() : indexes.size();
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t index = indexes.empty() ? k : indexes[k];
      objectQuery.addResultObject(searchClass(index), &resultObjects.emplace_back(), index);
      resultClassIndexes.push_back(index);
    }
    resultState = objectsBound;
  }
  vlt::ObjectQuery::ResultIterator rows;
  loader.readGrouped([&] { rows = objectQuery.execute(); });
  return std::make_unique<VLTResultIterator>(*this, std::move(rows), loader.model());
}

std::vector<qm::zero::ModelElement> VLTQuery::firstResult(const std::vector<std::size_t>& indexes) {
  setLimit(1);
  std::vector<qm::zero::ModelElement> row;
  execute(indexes)->next(row);
  return row;
}

std::uint64_t VLTQuery::count() {
  DataSource::Loader loader(*dataSource);
  loader.requestSnapshot();
  if (resultState != countBound) {
    if (resultState == objectsBound) {
      objectQuery.resetResults();
      resultObjects.clear();
      resultClassIndexes.clear();
    }
    objectQuery.addResultCount(&resultCount);
    resultState = countBound;
  }
  bool found = false;
  loader.readGrouped([&] {
    vlt::ObjectQuery::ResultIterator rows = objectQuery.execute();
    found = rows.getNextResult();
    rows.clear();
  });
  return found ? static_cast<std::uint64_t>(static_cast<std::int64_t>(resultCount)) : 0;
}

}  // namespace vlt_datasource
