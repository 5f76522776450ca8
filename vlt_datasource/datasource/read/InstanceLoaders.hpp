#pragma once
// Instance loaders: for one framework class, the readers of an object's
// single values, worked out once. They read through the repository's row of
// the object: inside a transaction one statement brings every single value
// of the object's lineage (none when a lookup by uuid just brought it), and
// the other values are answered from memory.

#include <vlt_datasource/DataSource.hpp>

#include <vlt/Object.hpp>

#include <qm/zero/Value.hpp>

#include <functional>
#include <list>
#include <memory>
#include <utility>
#include <vector>

namespace vlt_datasource {

class DataSource::InstanceLoader {
 public:
  /// A loader of the objects of `vltClass` (the repository class of `cls`).
  InstanceLoader(const qm::zero::meta::Class& cls, const vlt::ClassRef& vltClass);
  virtual ~InstanceLoader();
  InstanceLoader(const InstanceLoader&) = delete;
  InstanceLoader& operator=(const InstanceLoader&) = delete;

  /// A new element of `model` for `object`, holding the values it reads;
  /// null when the repository no longer holds the object. Must run inside a
  /// repository transaction (outside one, every value is a statement).
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
  /// Reads the values of `object` into values() (in the order of
  /// properties()) and the stored targets of single links into their cells:
  /// false when the object is gone.
  bool read(const vlt::ObjectRef& object);
  const std::vector<qm::zero::meta::Property>& properties() const noexcept { return readProperties; }
  const std::vector<qm::zero::Value>& values() const noexcept { return readValues; }
  /// Whether `load` reads anything.
  bool reads() const noexcept { return !readers.empty() || !targets.empty(); }
  const qm::zero::meta::Class& frameworkClass() const noexcept { return cls; }

 private:
  using Reader = std::function<qm::zero::Value(const vlt::ObjectRef&)>;
  template <class Stored, class T = Stored>
  void bindPrimitive(const qm::zero::meta::Property& property, const vlt::PropertyRef& propRef);
  void bindEnumeration(const qm::zero::meta::Property& property, const vlt::PropertyRef& propRef);

  struct StoredTarget {
    vlt::PropertyRef propRef;
    vlt::ObjectRef cell;
  };

  qm::zero::meta::Class cls;
  vlt::ClassRef vltClass;
  std::vector<qm::zero::meta::Property> readProperties;
  std::vector<Reader> readers;  // one per property of readProperties
  std::vector<qm::zero::Value> readValues;
  std::vector<Unloaded> unloaded;
  std::list<StoredTarget> targets;  // a list: Unloaded::storedTarget points into it
};

/// Makes a reflective element and sets the values into it with `tag`.
std::unique_ptr<DataSource::InstanceLoader> makeReflectiveInstanceLoader(const qm::zero::meta::Class& cls,
                                                                        const vlt::ClassRef& vltClass,
                                                                        qm::zero::PrivilegedTag tag);
/// Makes the element through the class's builder, the values given at once.
std::unique_ptr<DataSource::InstanceLoader> makeReifiedInstanceLoader(const qm::zero::meta::Class& cls,
                                                                     const vlt::ClassRef& vltClass);

}  // namespace vlt_datasource
