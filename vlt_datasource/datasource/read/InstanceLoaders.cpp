#include "datasource/read/InstanceLoaders.hpp"

#include <fl/i18n/Unicode.hpp>
#include <qm/zero/ModelElement.hpp>
#include <qm/zero/ModelElementBuilder.hpp>
#include <qm/zero/meta/StandardTypes.hpp>

#include <boost/date_time/posix_time/ptime.hpp>

namespace vlt_datasource {

namespace meta = qm::zero::meta;
using qm::zero::Value;

DataSource::InstanceLoader::InstanceLoader(const meta::Class& frameworkClass, const vlt::ClassRef& repositoryClass,
                                           const vlt::DataModelRepository& repository)
    : cls(frameworkClass), vltClass(repositoryClass), query(repository) {
  query.addObjectConstraint(vltClass, &currentObject, 0);
  using meta::StandardTypes;
  for (meta::Class c = cls; c; c = c->getSuperclass()) {
    for (const auto& [name, property] : c->getOwnedAttributes()) {
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
      const meta::Type type = property->getType();
      if (meta::Class::downcast(type)) {
        // A single link is transferred on its own (its target is fetched),
        // but its stored target comes with the other single values.
        const vlt::ObjectRef* storedTarget = nullptr;
        if (!propRef.isComposite() && !propRef.isMultiValue()) {
          vlt::ObjectRef& cell = targetCells.emplace_back();
          query.addResultProperty(propRef, &cell, 0);
          storedTarget = &cell;
        }
        unloaded.push_back({property, propRef, storedTarget});
      } else if (meta::Enum::downcast(type)) {
        bindEnumeration(property, propRef);
      } else if (type == StandardTypes::integerMeta()) {
        bindPrimitive<std::int32_t>(property, propRef);
      } else if (type == StandardTypes::unlimitedNaturalMeta()) {
        bindPrimitive<std::uint32_t>(property, propRef);
      } else if (type == StandardTypes::integer64Meta()) {
        bindPrimitive<std::int64_t>(property, propRef);
      } else if (type == StandardTypes::uinteger64Meta()) {
        bindPrimitive<std::uint64_t>(property, propRef);
      } else if (type == StandardTypes::realMeta()) {
        bindPrimitive<double>(property, propRef);
      } else if (type == StandardTypes::stringMeta()) {
        bindPrimitive<std::u16string>(property, propRef);
      } else if (type == StandardTypes::stdstringMeta()) {
        bindPrimitive<std::string>(property, propRef);
      } else if (type == StandardTypes::uuidMeta()) {
        bindPrimitive<boost::uuids::uuid>(property, propRef);
      } else if (type == StandardTypes::dateTimeMeta()) {
        bindPrimitive<boost::posix_time::ptime>(property, propRef);
      } else if (type == StandardTypes::booleanMeta()) {
        bindPrimitive<bool>(property, propRef);
      } else {
        unloaded.push_back({property, propRef});
      }
    }
  }
}

DataSource::InstanceLoader::~InstanceLoader() = default;

template <class Cell>
Cell& DataSource::InstanceLoader::cellFor(const meta::Type& type, bool required) {
  std::unique_ptr<PropertyValues>& values = valueStore[{type.get(), required}];
  if (!values) values = std::make_unique<TypedPropertyValues<Cell>>();
  return static_cast<TypedPropertyValues<Cell>&>(*values).add();
}

template <class T>
void DataSource::InstanceLoader::bindPrimitive(const meta::Property& property, const vlt::PropertyRef& propRef) {
  const meta::Type type = property->getType();
  if (property->getLower() != 0) {
    T& cell = cellFor<T>(type, true);
    query.addResultProperty(propRef, &cell, 0);
    resultSetters.emplace_back(property, [type, &cell] { return Value(type, cell); });
  } else {
    boost::optional<T>& cell = cellFor<boost::optional<T>>(type, false);
    query.addResultProperty(propRef, &cell, 0);
    resultSetters.emplace_back(property,
                               [type, &cell] { return cell ? Value(type, *cell) : Value(type, boost::none); });
  }
}

void DataSource::InstanceLoader::bindEnumeration(const meta::Property& property, const vlt::PropertyRef& propRef) {
  // Every enumeration shares one store: its cells hold enumerals.
  const meta::Type& enumMeta = meta::Enum::metaClass();
  const meta::Type type = property->getType();
  if (property->getLower() != 0) {
    vlt::EnumeralRef& cell = cellFor<vlt::EnumeralRef>(enumMeta, true);
    query.addResultProperty(propRef, &cell, 0);
    // No stored enumeral: unset, rather than a literal the enumeration lacks.
    resultSetters.emplace_back(property,
                               [type, &cell] { return cell ? Value(type, cell.id()) : Value(type, boost::none); });
  } else {
    boost::optional<vlt::EnumeralRef>& cell = cellFor<boost::optional<vlt::EnumeralRef>>(enumMeta, false);
    query.addResultProperty(propRef, &cell, 0);
    resultSetters.emplace_back(property, [type, property, &cell] {
      return cell ? Value(type, cell->id()) : Value::createEmptyValue(property);
    });
  }
}

bool DataSource::InstanceLoader::read(const vlt::ObjectRef& object) {
  currentObject = object;
  vlt::ObjectQuery::ResultIterator results = query.execute();
  const bool found = results.getNextResult();
  results.clear();
  return found;
}

namespace {

class ReflectiveInstanceLoader final : public DataSource::InstanceLoader {
 public:
  ReflectiveInstanceLoader(const meta::Class& frameworkType, const vlt::ClassRef& repositoryType,
                           const vlt::DataModelRepository& repository, qm::zero::PrivilegedTag tag)
      : InstanceLoader(frameworkType, repositoryType, repository), privilegedTag(tag) {}
  qm::zero::ModelElement load(const vlt::ObjectRef& object, const boost::uuids::uuid& uuid,
                              const qm::zero::Model& model) override {
    if (reads() && !read(object)) return {};
    qm::zero::ModelElement element = qm::zero::ModelElement::createReflective(model, frameworkClass(), uuid);
    for (const auto& [property, setter] : setters())
      element.set(property, setter(), privilegedTag);
    return element;
  }

 private:
  qm::zero::PrivilegedTag privilegedTag;
};

class ReifiedInstanceLoader final : public DataSource::InstanceLoader {
 public:
  using InstanceLoader::InstanceLoader;
  // The builder is made for each load: a builder holds its model, and the
  // model owns the data source that owns this loader.
  qm::zero::ModelElement load(const vlt::ObjectRef& object, const boost::uuids::uuid& uuid,
                              const qm::zero::Model& model) override {
    if (reads() && !read(object)) return {};
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

}  // namespace vlt_datasource
