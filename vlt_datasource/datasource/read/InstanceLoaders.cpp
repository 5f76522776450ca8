#include "datasource/read/InstanceLoaders.hpp"
#include "external/Model.hpp"
#include "external/Repository.hpp"

#include "datasource/ValueKinds.hpp"

#include <fl/i18n/Unicode.hpp>

namespace vlt_datasource {

namespace meta = qm::zero::meta;
using qm::zero::Value;

DataSource::InstanceLoader::InstanceLoader(const meta::Class& frameworkClass, const vlt::ClassRef& repositoryClass,
                                           const vlt::DataModelRepository& repository)
    : cls(frameworkClass), vltClass(repositoryClass), repo(&repository) {
  std::vector<vlt::PropertyRef> targets;
  for (meta::Class c = cls; c; c = c->getSuperclass()) {
    for (const auto& attribute : c->getOwnedAttributes()) {
      // Named, not a structured binding: the kind's lambda below uses it,
      // and a lambda cannot capture a binding before C++20.
      const std::u16string& name = attribute.first;
      const meta::Property& property = attribute.second;
      if (property->isNotStored()) {
        if (!property->isNotLoaded()) unloaded.push_back({property, vlt::PropertyRef()});
        continue;
      }
      const vlt::PropertyRef propRef = vltClass.findProperty(fl::i18n::ustring_to_utf8(name));
      if (property->getUpper() > 1) {
        unloaded.push_back({property, propRef});
        continue;
      }
      if (!propRef) continue;
      visitKind(storageOf(property).kind, [&](auto kind) {
        using K = decltype(kind);
        if constexpr (K::form == ValueForm::object) {
          // A single link is transferred on its own (its target is
          // fetched), but its stored target is read with the other single
          // values.
          int storedTarget = -1;
          if (!propRef.isComposite() && !propRef.isMultiValue()) {
            storedTarget = static_cast<int>(targets.size());
            targets.push_back(propRef);
          }
          unloaded.push_back({property, propRef, storedTarget});
        } else if constexpr (!K::bulkLoadable) {
          unloaded.push_back({property, propRef});
        } else if constexpr (K::form == ValueForm::enumeral) {
          bindEnumeration(property, propRef);
        } else {
          bindPrimitive<typename K::Stored, typename K::Framework>(property, propRef);
        }
      });
    }
  }
  for (Unloaded& u : unloaded) u.reference = meta::Class::downcast(u.property->getType()).operator bool();
  // Sized once: the cells are bound by address from here on.
  targetCells.resize(targets.size());
  for (std::size_t i = 0; i < targets.size(); ++i) bindCell(targets[i], targetCells[i]);
}

DataSource::InstanceLoader::~InstanceLoader() = default;

template <class Cell>
Cell& DataSource::InstanceLoader::cellFor(const meta::Type& type, bool required) {
  std::unique_ptr<PropertyValues>& values = valueStore[{type.get(), required}];
  if (!values) values = std::make_unique<TypedPropertyValues<Cell>>();
  return static_cast<TypedPropertyValues<Cell>&>(*values).add();
}

// A cell is filled either from the object's row (an absent value leaves it
// empty) or by a children query's row.
template <class Cell>
void DataSource::InstanceLoader::bindCell(const vlt::PropertyRef& propRef, Cell& cell) {
  cellReaders.emplace_back([propRef, &cell](const vlt::ObjectRef& object) {
    cell = Cell();
    object.getPropertyValue(propRef, cell);
  });
  cellBinders.emplace_back(
      [propRef, &cell](vlt::ObjectQuery& query, std::size_t index) { query.addResultProperty(propRef, &cell, index); });
}

// Required or not, an absent value reads as unset: that is what the element
// that wrote it held.
template <class Stored, class T>
void DataSource::InstanceLoader::bindPrimitive(const meta::Property& property, const vlt::PropertyRef& propRef) {
  const meta::Type type = property->getType();
  boost::optional<Stored>& cell = cellFor<boost::optional<Stored>>(type, false);
  bindCell(propRef, cell);
  resultSetters.emplace_back(property,
                             [type, &cell] { return cell ? Value(type, T(*cell)) : Value(type, boost::none); });
}

void DataSource::InstanceLoader::bindEnumeration(const meta::Property& property, const vlt::PropertyRef& propRef) {
  // Every enumeration shares one store: its cells hold enumerals.
  const meta::Type& enumMeta = meta::Enum::metaClass();
  const meta::Type type = property->getType();
  if (property->getLower() != 0) {
    vlt::EnumeralRef& cell = cellFor<vlt::EnumeralRef>(enumMeta, true);
    bindCell(propRef, cell);
    // No stored enumeral: unset, rather than a literal the enumeration lacks.
    resultSetters.emplace_back(property,
                               [type, &cell] { return cell ? Value(type, cell.id()) : Value(type, boost::none); });
  } else {
    boost::optional<vlt::EnumeralRef>& cell = cellFor<boost::optional<vlt::EnumeralRef>>(enumMeta, false);
    bindCell(propRef, cell);
    resultSetters.emplace_back(property, [type, property, &cell] {
      return cell ? Value(type, cell->id()) : Value::createEmptyValue(property);
    });
  }
}

bool DataSource::InstanceLoader::read(const vlt::ObjectRef& object) {
  try {
    for (const auto& reader : cellReaders) reader(object);
  } catch (const vlt::ObjectNotFoundError&) {
    return false;
  }
  return true;
}

qm::zero::ModelElement DataSource::InstanceLoader::load(const vlt::ObjectRef& object, const boost::uuids::uuid& uuid,
                                                        const qm::zero::Model& model) {
  if (!read(object)) return {};
  return make(uuid, model);
}

// The objects held through `owning` by the owner(s) at index 0 that
// `constrainOwner` names, at index 1, with their values in the cells, in
// collection order after any order `constrainOwner` sets.
template <class ConstrainOwner>
std::unique_ptr<vlt::ObjectQuery> DataSource::InstanceLoader::childQuery(const vlt::PropertyRef& owning,
                                                                         ConstrainOwner&& constrainOwner) {
  auto query = std::make_unique<vlt::ObjectQuery>(*repo);
  query->addSubObjectConstraint(owning, &vltClass, 0, 1);
  constrainOwner(*query);
  query->addResultObject(vltClass, &childCell, 1);
  for (const auto& bind : cellBinders) bind(*query, 1);
  query->setOrderByCollectionOrdinal(owning, vlt::ascending, 1);
  return query;
}

vlt::ObjectQuery::ResultIterator DataSource::InstanceLoader::children(const vlt::ObjectRef& owner,
                                                                      const vlt::PropertyRef& owning) {
  std::unique_ptr<vlt::ObjectQuery>& query = childQueries[owning];
  if (!query) {
    query = childQuery(owning,
                       [&](vlt::ObjectQuery& q) { q.addObjectConstraint(owning.owningClass(), &ownerCell, 0); });
  }
  ownerCell = owner;
  return query->execute();
}

vlt::ObjectQuery::ResultIterator DataSource::InstanceLoader::childrenOf(const std::vector<vlt::ObjectRef>& owners,
                                                                        const vlt::PropertyRef& owning) {
  std::unique_ptr<vlt::ObjectQuery>& query = levelQueries[owning];
  if (!query) {
    query = childQuery(owning, [&](vlt::ObjectQuery& q) {
      q.addObjectConstraint(owning.owningClass(), &ownersCell, 0);
      q.addResultObject(owning.owningClass(), &ownerResultCell, 0);
      // Owner by owner: SQLite then reads the owner index in its order and
      // sorts nothing.
      q.setOrderByObjectID(owning.owningClass(), vlt::ascending, 0);
    });
  }
  ownersCell = owners;
  return query->execute();
}

vlt::ObjectQuery::ResultIterator DataSource::InstanceLoader::among(const std::vector<vlt::ObjectRef>& objects) {
  if (!amongQuery) {
    amongQuery = std::make_unique<vlt::ObjectQuery>(*repo);
    amongQuery->addObjectConstraint(vltClass, &amongCell, 0);
    amongQuery->addResultObject(vltClass, &childCell, 0);
    for (const auto& bind : cellBinders) bind(*amongQuery, 0);
  }
  amongCell = objects;
  return amongQuery->execute();
}

namespace {

class ReflectiveInstanceLoader final : public DataSource::InstanceLoader {
 public:
  ReflectiveInstanceLoader(const meta::Class& frameworkType, const vlt::ClassRef& repositoryType,
                           const vlt::DataModelRepository& repository, qm::zero::PrivilegedTag tag)
      : InstanceLoader(frameworkType, repositoryType, repository), privilegedTag(tag) {}
  qm::zero::ModelElement make(const boost::uuids::uuid& uuid, const qm::zero::Model& model) override {
    qm::zero::ModelElement element = qm::zero::ModelElement::createReflective(model, frameworkClass(), uuid);
    for (const auto& [property, setter] : setters()) element.set(property, setter(), privilegedTag);
    return element;
  }

 private:
  qm::zero::PrivilegedTag privilegedTag;
};

class ReifiedInstanceLoader final : public DataSource::InstanceLoader {
 public:
  using InstanceLoader::InstanceLoader;
  // The builder is made for each element: a builder holds its model, and
  // the model owns the data source that owns this loader.
  qm::zero::ModelElement make(const boost::uuids::uuid& uuid, const qm::zero::Model& model) override {
    const std::unique_ptr<qm::zero::ModelElement::Builder> builder = frameworkClass()->instantiateBuilder(model);
    for (const auto& [property, setter] : setters()) builder->set(property, setter());
    return builder->create(uuid);
  }
};

}  // namespace

std::unique_ptr<DataSource::InstanceLoader> makeReflectiveInstanceLoader(const meta::Class& cls,
                                                                        const vlt::ClassRef& vltClass,
                                                                        const vlt::DataModelRepository& repository,
                                                                        qm::zero::PrivilegedTag tag) {
  return std::make_unique<ReflectiveInstanceLoader>(cls, vltClass, repository, tag);
}

std::unique_ptr<DataSource::InstanceLoader> makeReifiedInstanceLoader(const meta::Class& cls,
                                                                     const vlt::ClassRef& vltClass,
                                                                     const vlt::DataModelRepository& repository) {
  return std::make_unique<ReifiedInstanceLoader>(cls, vltClass, repository);
}

InstanceLoaders::InstanceLoaders(const vlt::DataModelRepository& repo, qm::zero::PrivilegedTag privileged)
    : repository(repo), tag(privileged) {}

InstanceLoaders::~InstanceLoaders() = default;

DataSource::InstanceLoader& InstanceLoaders::of(const meta::Class& cls, const vlt::ClassRef& vltClass,
                                                bool reflective) {
  // Usually one loader per framework class, more when a type-evolution
  // provider reads several stored classes as the same framework class.
  // Loaders are never replaced while a read runs: a children query's rows
  // may still be read through one while another is made.
  std::vector<std::unique_ptr<DataSource::InstanceLoader>>& loaders = byClass[cls.get()];
  for (const std::unique_ptr<DataSource::InstanceLoader>& loader : loaders)
    if (loader->repositoryClass() == vltClass) return *loader;
  loaders.push_back(reflective ? makeReflectiveInstanceLoader(cls, vltClass, repository, tag)
                               : makeReifiedInstanceLoader(cls, vltClass, repository));
  return *loaders.back();
}

void InstanceLoaders::clear() noexcept { byClass.clear(); }

}  // namespace vlt_datasource
