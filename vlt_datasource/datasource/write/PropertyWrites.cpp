// Property values written into existing objects: the changed properties of
// modified elements, and what new objects receive after their creation. Each
// value is written whole, or, for an ordered collection whose history the
// report carries, as that history replayed on the stored collection.

#include "datasource/write/ChangeWriter.hpp"

#include <vlt_datasource/Messages.hpp>

#include "datasource/Diagnostics.hpp"
#include "datasource/write/ObjectConstructorCache.hpp"
#include "external/Metamodel.hpp"
#include "external/Model.hpp"
#include "serialization/ValueText.hpp"

#include <foundation/core/except/Exception.hpp>
#include <fl/i18n/Unicode.hpp>

#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <unordered_map>

namespace vlt_datasource {

namespace meta = qm::zero::meta;
using fl::i18n::ustring_to_utf8;
using qm::zero::OCDChange;
using qm::zero::Value;

namespace {

// A single value is written as an optional one whatever its lower bound: a
// value the element does not hold is stored absent, so that it reads back
// unset rather than as 0 or an empty text.
bool isSingle(const meta::Property& property) { return property->getUpper() <= 1; }

// What the element holds for `property`, read only when it reports the
// property set (a string map is always read: its empty map is a value).
boost::optional<Value> currentValue(const qm::zero::ModelElement& element, const meta::Property& property,
                                    qm::zero::PrivilegedTag tag) {
  if (element.isSet(property, tag) || property->getType() == meta::StandardTypes::stringToStringMapMeta())
    return element.get(property, tag);
  return boost::none;
}

// A value of a built-in repository type: T is what the framework holds,
// Stored what the repository stores.
template <class T, class Stored = T>
void writeBuiltin(const meta::Property& property, const Value* value, const vlt::PropertyRef& propRef,
                  vlt::ObjectRef& object) {
  const bool present = value && !value->isEmpty();
  if (isSingle(property)) {
    boost::optional<Stored> single;
    if (present) single = Stored(value->get<T>());
    object.setPropertyValue(propRef, single);
  } else {
    std::vector<Stored> all;
    if (value) {
      all.reserve(value->size());
      for (std::size_t i = 0; i < value->size(); ++i) all.push_back(Stored(value->get<T>(i)));
    }
    object.setPropertyValue(propRef, all);
  }
}

void writeArrays(const Value* value, const vlt::PropertyRef& propRef, vlt::ObjectRef& object) {
  const bool present = value && !value->isEmpty();
  if (!propRef.isMultiValue()) {
    const matrix::qxArray_tag* array = present ? value->get<matrix::qxArray_tag*>() : nullptr;
    object.setPropertyValue(propRef, array);
  } else {
    std::vector<const matrix::qxArray_tag*> all;
    if (value)
      for (std::size_t i = 0; i < value->size(); ++i) all.push_back(value->get<matrix::qxArray_tag*>(i));
    object.setPropertyValue(propRef, all);
  }
}

// Values stored as their text. An absent value is absent text: the
// stringifier never sees it.
void writeTexts(const meta::Property& property, const Value* value, const vlt::PropertyRef& propRef,
                vlt::ObjectRef& object, Stringifier& stringifier) {
  const bool present = value && !value->isEmpty();
  if (isSingle(property)) {
    boost::optional<std::u16string> single;
    if (present) single = stringifier.stringify(*value);
    object.setPropertyValue(propRef, single);
  } else {
    std::vector<std::u16string> all;
    if (value) {
      all.reserve(value->size());
      for (const qm::zero::Entry& entry : value->getEntries())
        all.push_back(stringifier.stringify(Value(value->getMeta(), qm::zero::Entries{entry})));
    }
    object.setPropertyValue(propRef, all);
  }
}

// ---------------------------------------------------------------------------
// Ordered-collection histories replayed on the stored collection.

template <class C>
class OCDChangeProcessor {
 public:
  virtual ~OCDChangeProcessor() = default;
  virtual void insert(const OCDChange& change) = 0;
  virtual void remove(const OCDChange& change) = 0;
  virtual void replace(const OCDChange& change) = 0;

  /// Whether the stored collection is the one the history starts from: it
  /// is not when an earlier write of this report took a child away (a child
  /// moved between owners), or when a passive data source's memory went
  /// its own way after a failed report.
  bool startsFrom(const qm::zero::OCDChangeList& changes, std::size_t finalSize) const {
    std::size_t inserted = 0;
    std::size_t removed = 0;
    for (const auto& change : changes) {
      if (change->getKind() == OCDChange::Insert) ++inserted;
      if (change->getKind() == OCDChange::Remove) ++removed;
    }
    return collection.size() + inserted == finalSize + removed;
  }

  void replay(const qm::zero::OCDChangeList& changes) {
    for (const auto& change : changes) {
      switch (change->getKind()) {
        case OCDChange::Insert: insert(*change); break;
        case OCDChange::Remove: remove(*change); break;
        case OCDChange::Replace: replace(*change); break;
        default: break;
      }
    }
  }

 protected:
  OCDChangeProcessor(const meta::Property& framework, vlt::ObjectRef& object, const vlt::PropertyRef& stored)
      : property(framework), propertyRef(stored) {
    object.getPropertyValue(propertyRef, collection);
  }
  meta::Property property;
  vlt::PropertyRef propertyRef;
  C collection;
};

// Values of built-in types.
template <class T, class StoredT>
class BuiltinOCDChangeProcessor final : public OCDChangeProcessor<vlt::BuiltinTypeCollectionRef<StoredT>> {
  using Base = OCDChangeProcessor<vlt::BuiltinTypeCollectionRef<StoredT>>;

 public:
  BuiltinOCDChangeProcessor(const meta::Property& framework, vlt::ObjectRef& object, const vlt::PropertyRef& stored)
      : Base(framework, object, stored) {}
  void insert(const OCDChange& change) override {
    this->collection.insert(change.getIndex(), StoredT(change.getPrimitiveValue<T>().value()));
  }
  void remove(const OCDChange& change) override { this->collection.removeAt(change.getIndex()); }
  void replace(const OCDChange& change) override {
    this->collection.setAt(change.getIndex(), StoredT(change.getPrimitiveValue<T>().value()));
  }
};

// Enumeration literals. The caller made sure that every literal has its
// enumeral.
class EnumOCDChangeProcessor final : public OCDChangeProcessor<vlt::EnumeralCollectionRef> {
 public:
  EnumOCDChangeProcessor(const meta::Property& framework, vlt::ObjectRef& object, const vlt::PropertyRef& stored,
                         vlt::EnumerationRef enumerationRef)
      : OCDChangeProcessor(framework, object, stored), enumeration(std::move(enumerationRef)) {}
  void insert(const OCDChange& change) override {
    collection.insert(change.getIndex(), enumeration.findEnumeral(change.getEnumValue()));
  }
  void remove(const OCDChange& change) override { collection.removeAt(change.getIndex()); }
  void replace(const OCDChange& change) override {
    collection.setAt(change.getIndex(), enumeration.findEnumeral(change.getEnumValue()));
  }

 private:
  vlt::EnumerationRef enumeration;
};

// Replays `changes` through `processor` when its stored collection is the
// one they start from.
template <class Processor>
bool replayFrom(Processor& processor, const qm::zero::OCDChangeList& changes, std::size_t finalSize) {
  if (!processor.startsFrom(changes, finalSize)) return false;
  processor.replay(changes);
  return true;
}

// Whether every literal the history puts into the collection has its enumeral.
bool haveEnumerals(const vlt::EnumerationRef& enumeration, const qm::zero::OCDChangeList& changes) {
  for (const auto& change : changes)
    if ((change->getKind() == OCDChange::Insert || change->getKind() == OCDChange::Replace) &&
        !enumeration.findEnumeral(change->getEnumValue()))
      return false;
  return true;
}

}  // namespace

void reportDroppedEntry(const qm::zero::ModelElement& element, const meta::Property& property, const char* what) {
  debugLog.log(severity::warning, "not stored: ", what, " in ", property->getName(), " of ",
               boost::uuids::to_string(element.getUUID()));
}

namespace {

// References: an insert keeps its index. The targets are looked up once, by
// `resolvable`, before anything is written.
class ClassOCDChangeProcessor final : public OCDChangeProcessor<vlt::CollectionRef> {
 public:
  ClassOCDChangeProcessor(const meta::Property& framework, vlt::ObjectRef& object, const vlt::PropertyRef& stored,
                          vlt::DataModelRef model)
      : OCDChangeProcessor(framework, object, stored), dataModel(std::move(model)), targetClass(stored.typeClass()) {}

  /// Whether every target of `changes` is stored, and, in a composite
  /// collection, ends in `finalValue`: putting a child into a composite
  /// collection takes it from its stored owner, so a child that only passed
  /// through this collection would be taken from where it belongs.
  bool resolvable(const qm::zero::OCDChangeList& changes, const Value& finalValue) {
    const bool composite = propertyRef.isComposite();
    for (const auto& change : changes) {
      if (change->getKind() != OCDChange::Insert && change->getKind() != OCDChange::Replace) continue;
      const boost::uuids::uuid id = change->getTargetId();
      if (targets.count(id) != 0) continue;
      if (composite && std::none_of(finalValue.getEntries().begin(), finalValue.getEntries().end(),
                                    [&](const qm::zero::Entry& entry) {
                                      const auto* child = std::get_if<qm::zero::ModelElement>(&entry);
                                      return child && child->getUUID() == id;
                                    }))
        return false;
      const vlt::ObjectRef target = dataModel.lookUpObject(id, targetClass);
      if (!target) return false;
      targets.emplace(id, target);
    }
    return true;
  }

  void insert(const OCDChange& change) override {
    collection.push_back(targets.at(change.getTargetId()), boost::optional<std::uint64_t>(change.getIndex()));
  }
  void remove(const OCDChange& change) override { collection.removeAt(change.getIndex()); }
  void replace(const OCDChange& change) override {
    collection.setAt(change.getIndex(), targets.at(change.getTargetId()));
  }

 private:
  vlt::DataModelRef dataModel;
  vlt::ClassRef targetClass;
  std::unordered_map<boost::uuids::uuid, vlt::ObjectRef, qm::zero::services::hashers::QM0Hasher<boost::uuids::uuid>>
      targets;
};

}  // namespace

void DataSource::ChangeWriter::modifyObject(const ChangeReport& report, std::size_t k, vlt::ObjectRef object) {
  const qm::zero::ModelElement& element = report.getModifiedElements()[k];
  if (!object && element) foundation::core::except::throwException(m2t_vlt::datasource::VltObjectNotFound());
  const bool logged = debugLog.isEnabled(severity::detail);
  if (logged) debugLog.log(severity::detail, "Element has been modified: ", element.toString());
  const qm::zero::ReportData& data = report.getReportData();
  for (const meta::Property& property : data.getChangedPropertiesAt(k)) {
    if (logged) debugLog.log(severity::detail, "   ", property->getName());
    setVltPropertyValue(element, property, object, data.getPropertyOCDChangesAt(k, property));
  }
}

void DataSource::ChangeWriter::setVltPropertyValue(const qm::zero::ModelElement& element,
                                                   const meta::Property& property, vlt::ObjectRef& object,
                                                   const qm::zero::OCDChangeList& changes) {
  const vlt::PropertyRef& propRef = vltPropertyOf(object.objectClass(), property);
  if (!propRef) {
    debugLog.log(severity::detail, "setVltPropertyValue() could not find property ", property->getName(),
                 " in VLT class ", element.getMetaClass()->getQualifiedName());
    return;
  }
  // A deferred collection that memory never loaded holds only what loads
  // put there: written whole it would lose the rest of what is stored. The
  // framework loads a collection before a reported change edits it, so
  // this is only ever a change the framework did not report as an edit.
  if (property->hasDeferredContents() && property->isMultiValued() &&
      !qm::zero::ReferenceCollection(element, property).isLoaded()) {
    debugLog.log(severity::warning, "not written: the unloaded collection ", property->getName(), " of ",
                 boost::uuids::to_string(element.getUUID()));
    return;
  }
  if (replayEdits && property->isOrdered() && !property->getQualifiedBy() && !changes.empty() &&
      replayOrderedChanges(element, property, propRef, object, changes))
    return;
  const boost::optional<Value> value = currentValue(element, property, privilegedTag);
  writeWholeValue(element, property, value ? &*value : nullptr, propRef, object, nullptr);
}

// `propRef` is the property of the object's class named like `property`,
// found when the class's plan was made.
void DataSource::ChangeWriter::setVltPropertyValueForNewObject(const qm::zero::ModelElement& element,
                                                               const meta::Property& property,
                                                               const vlt::PropertyRef& propRef,
                                                               vlt::ObjectRef& object) {
  if (!propRef) {
    debugLog.log(severity::detail, "setVltPropertyValue() could not find property ", property->getName(),
                 " in VLT class ", element.getMetaClass()->getQualifiedName());
    return;
  }
  const boost::optional<Value> value = currentValue(element, property, privilegedTag);
  // A new object's collections are empty already.
  if (!value && property->getUpper() > 1) return;
  writeWholeValue(element, property, value ? &*value : nullptr, propRef, object, &newObjects);
}

// False when the history cannot be replayed exactly (a target that is not
// stored, a composite collection changed meanwhile by another owner, an
// enumeration literal without its enumeral): the caller then writes the
// whole value.
bool DataSource::ChangeWriter::replayOrderedChanges(const qm::zero::ModelElement& element,
                                                    const meta::Property& property, const vlt::PropertyRef& propRef,
                                                    vlt::ObjectRef& object,
                                                    const qm::zero::OCDChangeList& changes) {
  const Value finalValue = element.get(property, privilegedTag);
  const std::size_t finalSize = finalValue.size();
  return visitKind(constructors.storage(property).kind, [&](auto kind) {
    using K = decltype(kind);
    if constexpr (!K::replayable) {
      return false;
    } else if constexpr (K::form == ValueForm::enumeral) {
      const vlt::EnumerationRef enumeration = vltEnumerationOf(property->getType());
      if (!haveEnumerals(enumeration, changes)) return false;
      EnumOCDChangeProcessor processor(property, object, propRef, enumeration);
      return replayFrom(processor, changes, finalSize);
    } else if constexpr (K::form == ValueForm::object) {
      ClassOCDChangeProcessor processor(property, object, propRef, repository.defaultDataModel());
      if (!processor.startsFrom(changes, finalSize) || !processor.resolvable(changes, finalValue)) return false;
      processor.replay(changes);
      return true;
    } else {
      BuiltinOCDChangeProcessor<typename K::Framework, typename K::Stored> processor(property, object, propRef);
      return replayFrom(processor, changes, finalSize);
    }
  });
}

void DataSource::ChangeWriter::writeWholeValue(const qm::zero::ModelElement& element, const meta::Property& property,
                                               const Value* value, const vlt::PropertyRef& propRef,
                                               vlt::ObjectRef& object, const NewObjectMap* newObjectsOfWrite) {
  const PropertyStorage& storage = constructors.storage(property);
  visitKind(storage.kind, [&](auto kind) {
    using K = decltype(kind);
    if constexpr (K::form == ValueForm::builtin) {
      writeBuiltin<typename K::Framework, typename K::Stored>(property, value, propRef, object);
    } else if constexpr (K::form == ValueForm::array) {
      writeArrays(value, propRef, object);
    } else if constexpr (K::form == ValueForm::primitiveText) {
      PrimitiveSerializerStringifier stringifier(storage.serializer);
      writeTexts(property, value, propRef, object, stringifier);
    } else if constexpr (K::form == ValueForm::datatypeText) {
      DatatypeSerializerStringifier stringifier;
      writeTexts(property, value, propRef, object, stringifier);
    } else if constexpr (K::form == ValueForm::enumeral) {
      writeEnumerals(element, property, value, propRef, object);
    } else if constexpr (K::form == ValueForm::object) {
      writeLinks(element, property, value, propRef, object, newObjectsOfWrite);
    }
  });
}

void DataSource::ChangeWriter::writeEnumerals(const qm::zero::ModelElement& element, const meta::Property& property,
                                              const Value* value, const vlt::PropertyRef& propRef,
                                              vlt::ObjectRef& object) {
  if (isSingle(property)) {
    boost::optional<vlt::EnumeralRef> single;
    if (value && !value->isEmpty()) single = vltEnumeralOf(property->getType(), *value);
    if (single && !*single) {
      reportDroppedEntry(element, property, "a literal without enumeral");
      single = boost::none;
    }
    object.setPropertyValue(propRef, single);
    return;
  }
  const vlt::EnumerationRef enumeration = vltEnumerationOf(property->getType());
  std::vector<vlt::EnumeralRef> all;
  if (value) {
    all.reserve(value->size());
    for (std::size_t i = 0; i < value->size(); ++i) {
      vlt::EnumeralRef enumeral = enumeration.findEnumeral(value->get<std::int32_t>(i));
      if (enumeral)
        all.push_back(std::move(enumeral));
      else
        reportDroppedEntry(element, property, "a literal without enumeral");
    }
  }
  object.setPropertyValue(propRef, all);
}

void DataSource::ChangeWriter::writeLinks(const qm::zero::ModelElement& element, const meta::Property& property,
                                          const Value* value, const vlt::PropertyRef& propRef, vlt::ObjectRef& object,
                                          const NewObjectMap* newObjectsOfWrite) {
  if (property->getUpper() == 1) {
    const qm::zero::ModelElement target = value && !value->isEmpty() ? value->getElement() : qm::zero::ModelElement();
    const vlt::ObjectRef stored = target ? vltTargetOf(target, newObjectsOfWrite) : vlt::ObjectRef();
    if (target && !stored) reportDroppedEntry(element, property, "a link to an element that is not stored");
    object.setPropertyValue(propRef, stored);
    return;
  }
  std::vector<vlt::ObjectRef> targets;
  if (value) {
    targets.reserve(value->size());
    for (std::size_t i = 0; i < value->size(); ++i) {
      vlt::ObjectRef target = vltTargetOf(value->getElement(i), newObjectsOfWrite);
      // A target the repository does not hold (deleted, links and all):
      // the link cannot be stored.
      if (target)
        targets.push_back(std::move(target));
      else
        reportDroppedEntry(element, property, "a link to an element that is not stored");
    }
  }
  object.setPropertyValue(propRef, targets, newObjectsOfWrite != nullptr);
}

}  // namespace vlt_datasource
