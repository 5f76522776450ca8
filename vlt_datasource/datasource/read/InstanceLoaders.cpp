#include "datasource/read/InstanceLoaders.hpp"

#include <fl/i18n/Unicode.hpp>
#include <qm/zero/ModelElement.hpp>
#include <qm/zero/ModelElementBuilder.hpp>
#include <qm/zero/meta/StandardTypes.hpp>

#include <vlt/Errors.hpp>

#include <boost/date_time/posix_time/ptime.hpp>

namespace vlt_datasource {

namespace meta = qm::zero::meta;
using qm::zero::Value;

DataSource::InstanceLoader::InstanceLoader(const meta::Class& frameworkClass, const vlt::ClassRef& repositoryClass)
    : cls(frameworkClass), vltClass(repositoryClass) {
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
        // but its stored target is read with the other single values, while
        // the object's row is at hand.
        const vlt::ObjectRef* storedTarget = nullptr;
        if (!propRef.isComposite() && !propRef.isMultiValue()) storedTarget = &targets.emplace_back(StoredTarget{propRef, {}}).cell;
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
        bindPrimitive<vlt::Boolean, bool>(property, propRef);
      } else {
        unloaded.push_back({property, propRef});
      }
    }
  }
  readValues.reserve(readers.size());
}

DataSource::InstanceLoader::~InstanceLoader() = default;

template <class Stored, class T>
void DataSource::InstanceLoader::bindPrimitive(const meta::Property& property, const vlt::PropertyRef& propRef) {
  const meta::Type type = property->getType();
  readProperties.push_back(property);
  if (property->getLower() != 0) {
    // An absent value of a required property reads as the type's zero.
    readers.emplace_back([type, propRef](const vlt::ObjectRef& object) {
      Stored stored{};
      object.getPropertyValue(propRef, stored);
      return Value(type, T(stored));
    });
  } else {
    readers.emplace_back([type, propRef](const vlt::ObjectRef& object) {
      boost::optional<Stored> stored;
      object.getPropertyValue(propRef, stored);
      return stored ? Value(type, T(*stored)) : Value(type, boost::none);
    });
  }
}

void DataSource::InstanceLoader::bindEnumeration(const meta::Property& property, const vlt::PropertyRef& propRef) {
  const meta::Type type = property->getType();
  readProperties.push_back(property);
  if (property->getLower() != 0) {
    // No stored enumeral: unset, rather than a literal the enumeration lacks.
    readers.emplace_back([type, propRef](const vlt::ObjectRef& object) {
      vlt::EnumeralRef stored;
      object.getPropertyValue(propRef, stored);
      return stored ? Value(type, stored.id()) : Value(type, boost::none);
    });
  } else {
    readers.emplace_back([type, property, propRef](const vlt::ObjectRef& object) {
      boost::optional<vlt::EnumeralRef> stored;
      object.getPropertyValue(propRef, stored);
      return stored ? Value(type, stored->id()) : Value::createEmptyValue(property);
    });
  }
}

bool DataSource::InstanceLoader::read(const vlt::ObjectRef& object) {
  readValues.clear();
  try {
    for (const Reader& reader : readers) readValues.push_back(reader(object));
    for (StoredTarget& target : targets) {
      target.cell = vlt::ObjectRef();
      object.getPropertyValue(target.propRef, target.cell);
    }
  } catch (const vlt::ObjectNotFoundError&) {
    return false;
  }
  return true;
}

namespace {

class ReflectiveInstanceLoader final : public DataSource::InstanceLoader {
 public:
  ReflectiveInstanceLoader(const meta::Class& frameworkType, const vlt::ClassRef& repositoryType,
                           qm::zero::PrivilegedTag tag)
      : InstanceLoader(frameworkType, repositoryType), privilegedTag(tag) {}
  qm::zero::ModelElement load(const vlt::ObjectRef& object, const boost::uuids::uuid& uuid,
                              const qm::zero::Model& model) override {
    if (reads() && !read(object)) return {};
    qm::zero::ModelElement element = qm::zero::ModelElement::createReflective(model, frameworkClass(), uuid);
    for (std::size_t i = 0; i < properties().size(); ++i) element.set(properties()[i], values()[i], privilegedTag);
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
    for (std::size_t i = 0; i < properties().size(); ++i) builder->set(properties()[i], values()[i]);
    return builder->create(uuid);
  }
};

}  // namespace

std::unique_ptr<DataSource::InstanceLoader> makeReflectiveInstanceLoader(const meta::Class& cls,
                                                                        const vlt::ClassRef& vltClass,
                                                                        qm::zero::PrivilegedTag tag) {
  return std::make_unique<ReflectiveInstanceLoader>(cls, vltClass, tag);
}

std::unique_ptr<DataSource::InstanceLoader> makeReifiedInstanceLoader(const meta::Class& cls,
                                                                     const vlt::ClassRef& vltClass) {
  return std::make_unique<ReifiedInstanceLoader>(cls, vltClass);
}

}  // namespace vlt_datasource
