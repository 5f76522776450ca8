#pragma once
// Instance loaders: for one framework class, how an object's single values
// are read, worked out once. One object is read through the repository's row
// of it: inside a transaction one statement brings every single value of the
// object's lineage (none when a lookup by uuid just brought it). The objects
// an owner holds through one composite property are read with their values
// by one prepared query, the same cells bound to both.

#include <vlt_datasource/DataSource.hpp>

#include "external/Model.hpp"
#include "external/RepositoryStatements.hpp"

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vlt_datasource {

/// Result cells of one type, bound by address: a list, so that cells never
/// move while more are added.
class PropertyValues {
 public:
  virtual ~PropertyValues() = default;
};
template <class T>
class TypedPropertyValues final : public PropertyValues {
 public:
  T& add() { return cells.emplace_back(); }

 private:
  std::list<T> cells;
};

class DataSource::InstanceLoader {
 public:
  /// A loader of the objects of `vltClass` (the repository class of `cls`)
  /// in `repository`, which must outlive it.
  InstanceLoader(const qm::zero::meta::Class& cls, const vlt::ClassRef& vltClass,
                 const vlt::DataModelRepository& repository);
  virtual ~InstanceLoader();
  InstanceLoader(const InstanceLoader&) = delete;
  InstanceLoader& operator=(const InstanceLoader&) = delete;

  /// A new element of `model` for `object`, holding the values it reads;
  /// null when the repository no longer holds the object. Runs inside a
  /// repository transaction (outside one, every value is a statement).
  qm::zero::ModelElement load(const vlt::ObjectRef& object, const boost::uuids::uuid& uuid,
                              const qm::zero::Model& model);
  /// A new element of `model` holding the values in the cells: those of
  /// the last `load`, or of the row of `children` read last.
  virtual qm::zero::ModelElement make(const boost::uuids::uuid& uuid, const qm::zero::Model& model) = 0;

  /// Runs the query of the objects `owner` holds through the composite
  /// `owning` (whose objects are of this loader's class or its subclasses),
  /// in collection order: each getNextResult puts one of them into child()
  /// and, when it is of this loader's very class, its values into the cells.
  /// The rows are read at once, so the iterator may be used across other
  /// loads, this loader's included.
  vlt::ObjectQuery::ResultIterator children(const vlt::ObjectRef& owner, const vlt::PropertyRef& owning);
  const vlt::ObjectRef& child() const noexcept { return childCell; }
  /// The same for every owner in `owners` (at most
  /// vlt::ObjectQuery::maxObjectsAmong of them) at once, in collection order
  /// per owner: each getNextResult also puts the child's owner into owner().
  vlt::ObjectQuery::ResultIterator childrenOf(const std::vector<vlt::ObjectRef>& owners,
                                              const vlt::PropertyRef& owning);
  const vlt::ObjectRef& owner() const noexcept { return ownerResultCell; }
  /// Runs the query of the objects in `objects` (at most
  /// vlt::ObjectQuery::maxObjectsAmong, all of this loader's very class):
  /// each getNextResult puts one of them into child() and its values into
  /// the cells, in no particular order; a gone object has no row.
  vlt::ObjectQuery::ResultIterator among(const std::vector<vlt::ObjectRef>& objects);

  /// A property left to a transfer of its own, with its repository property
  /// (null when the repository class has none); for a single-valued link,
  /// the index of its stored target in storedTargets().
  struct Unloaded {
    qm::zero::meta::Property property;
    vlt::PropertyRef propRef;
    int storedTarget = -1;
    bool reference = false;  ///< typed by a class: its values are elements
  };
  const std::vector<Unloaded>& unloadedProperties() const noexcept { return unloaded; }
  /// The stored targets of the single-valued links, read with the values.
  const std::vector<vlt::ObjectRef>& storedTargets() const noexcept { return targetCells; }
  const vlt::ClassRef& repositoryClass() const noexcept { return vltClass; }

 protected:
  using Setter = std::function<qm::zero::Value()>;
  const std::vector<std::pair<qm::zero::meta::Property, Setter>>& setters() const noexcept { return resultSetters; }
  const qm::zero::meta::Class& frameworkClass() const noexcept { return cls; }

 private:
  /// Reads the values of `object` into the cells: false when it is gone.
  bool read(const vlt::ObjectRef& object);
  template <class Stored, class T = Stored>
  void bindPrimitive(const qm::zero::meta::Property& property, const vlt::PropertyRef& propRef);
  void bindEnumeration(const qm::zero::meta::Property& property, const vlt::PropertyRef& propRef);
  template <class Cell>
  Cell& cellFor(const qm::zero::meta::Type& type, bool required);
  template <class Cell>
  void bindCell(const vlt::PropertyRef& propRef, Cell& cell);
  template <class ConstrainOwner>
  std::unique_ptr<vlt::ObjectQuery> childQuery(const vlt::PropertyRef& owning, ConstrainOwner&& constrainOwner);

  qm::zero::meta::Class cls;
  vlt::ClassRef vltClass;
  const vlt::DataModelRepository* repo;
  std::map<std::pair<const void*, bool>, std::unique_ptr<PropertyValues>> valueStore;
  std::vector<std::pair<qm::zero::meta::Property, Setter>> resultSetters;
  // Per bound cell: fills it from an object's row, binds it to a query index.
  std::vector<std::function<void(const vlt::ObjectRef&)>> cellReaders;
  std::vector<std::function<void(vlt::ObjectQuery&, std::size_t)>> cellBinders;
  std::vector<Unloaded> unloaded;
  std::vector<vlt::ObjectRef> targetCells;  // sized once, then bound by address
  // The children queries, by owning property.
  std::map<vlt::PropertyRef, std::unique_ptr<vlt::ObjectQuery>> childQueries;
  std::map<vlt::PropertyRef, std::unique_ptr<vlt::ObjectQuery>> levelQueries;  // childrenOf's
  std::unique_ptr<vlt::ObjectQuery> amongQuery;
  std::vector<vlt::ObjectRef> amongCell;
  vlt::ObjectRef ownerCell;
  std::vector<vlt::ObjectRef> ownersCell;
  vlt::ObjectRef ownerResultCell;
  vlt::ObjectRef childCell;
};

/// Makes a reflective element and sets the values into it with `tag`.
std::unique_ptr<DataSource::InstanceLoader> makeReflectiveInstanceLoader(const qm::zero::meta::Class& cls,
                                                                        const vlt::ClassRef& vltClass,
                                                                        const vlt::DataModelRepository& repository,
                                                                        qm::zero::PrivilegedTag tag);
/// Makes the element through the class's builder, the values given at once.
std::unique_ptr<DataSource::InstanceLoader> makeReifiedInstanceLoader(const qm::zero::meta::Class& cls,
                                                                     const vlt::ClassRef& vltClass,
                                                                     const vlt::DataModelRepository& repository);

/// The instance loaders of a data source: one per framework class and
/// repository class read as it, made when first needed, kept until a
/// repository transaction rolls back (they may be bound to classes and
/// properties it made) or the data source disconnects. Borrows the
/// repository, which must outlive it.
class InstanceLoaders {
 public:
  InstanceLoaders(const vlt::DataModelRepository& repository, qm::zero::PrivilegedTag tag);
  ~InstanceLoaders();
  InstanceLoaders(const InstanceLoaders&) = delete;
  InstanceLoaders& operator=(const InstanceLoaders&) = delete;

  /// The loader of the objects of `vltClass` read as `cls`: a reflective
  /// one when `reflective`. It stays valid until clear().
  DataSource::InstanceLoader& of(const qm::zero::meta::Class& cls, const vlt::ClassRef& vltClass, bool reflective);
  void clear() noexcept;

 private:
  const vlt::DataModelRepository& repository;
  qm::zero::PrivilegedTag tag;
  std::unordered_map<const void*, std::vector<std::unique_ptr<DataSource::InstanceLoader>>> byClass;
};

}  // namespace vlt_datasource
