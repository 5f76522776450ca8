#pragma once
// Instance loaders: for one framework class, one prepared repository query
// that reads an object's single values in one go, run again for every object
// of the class that is loaded, its result cells bound once.

#include <vlt_datasource/DataSource.hpp>

#include <vlt/ObjectQuery.hpp>

#include <qm/zero/Value.hpp>

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <unordered_set>
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
  /// in `repository`.
  InstanceLoader(const qm::zero::meta::Class& cls, const vlt::ClassRef& vltClass,
                 const vlt::DataModelRepository& repository);
  virtual ~InstanceLoader();
  InstanceLoader(const InstanceLoader&) = delete;
  InstanceLoader& operator=(const InstanceLoader&) = delete;

  /// A new element of `model` for `object`, holding the values the query
  /// reads; null when the query finds no row for the object.
  virtual qm::zero::ModelElement load(const vlt::ObjectRef& object, const boost::uuids::uuid& uuid,
                                      const qm::zero::Model& model) = 0;

  /// A property left to a transfer of its own, with its repository property
  /// (null when the repository class has none); for a single-valued link,
  /// the cell where `load` put the stored target.
  struct Unloaded {
    qm::zero::meta::Property property;
    vlt::PropertyRef propRef;
    const vlt::ObjectRef* storedTarget = nullptr;
  };
  const std::vector<Unloaded>& unloadedProperties() const noexcept { return unloaded; }
  const vlt::ClassRef& repositoryClass() const noexcept { return vltClass; }

 protected:
  using Setter = std::function<qm::zero::Value()>;
  /// Runs the query for `object`: false when it found no row.
  bool read(const vlt::ObjectRef& object);
  const std::vector<std::pair<qm::zero::meta::Property, Setter>>& setters() const noexcept { return resultSetters; }
  /// Whether `load` runs the query: it reads some value.
  bool reads() const noexcept { return !resultSetters.empty() || !targetCells.empty(); }
  const qm::zero::meta::Class& frameworkClass() const noexcept { return cls; }

 private:
  template <class T>
  void bindPrimitive(const qm::zero::meta::Property& property, const vlt::PropertyRef& propRef);
  void bindEnumeration(const qm::zero::meta::Property& property, const vlt::PropertyRef& propRef);
  template <class Cell>
  Cell& cellFor(const qm::zero::meta::Type& type, bool required);

  qm::zero::meta::Class cls;
  vlt::ClassRef vltClass;
  vlt::ObjectQuery query;
  vlt::ObjectRef currentObject;
  std::map<std::pair<const void*, bool>, std::unique_ptr<PropertyValues>> valueStore;
  std::vector<std::pair<qm::zero::meta::Property, Setter>> resultSetters;
  std::vector<Unloaded> unloaded;
  std::list<vlt::ObjectRef> targetCells;
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

}  // namespace vlt_datasource
