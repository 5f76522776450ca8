// Stored values transferred into a loaded element one property at a time:
// what the instance loader did not read in bulk (collections, references,
// datatypes, values of other primitive types).

#include <vlt_datasource/DataSource.hpp>

#include "datasource/Diagnostics.hpp"
#include "datasource/ValueKinds.hpp"
#include "datasource/read/Loader.hpp"
#include "external/Metamodel.hpp"
#include "external/Model.hpp"
#include "serialization/ValueText.hpp"

#include <fl/i18n/Unicode.hpp>
#include <matrix/Array.hpp>

#include <boost/date_time/posix_time/ptime.hpp>

namespace vlt_datasource {

namespace meta = qm::zero::meta;
using qm::zero::Value;

namespace {

// The values of `propRef` read as `Stored`, made into values of `type`
// holding them as `T`.
template <class Stored, class T = Stored>
std::vector<Value> readValues(const vlt::ObjectRef& object, const vlt::PropertyRef& propRef,
                              const meta::Property& property) {
  const meta::Type type = property->getType();
  std::vector<Value> values;
  if (propRef.isMultiValue()) {
    std::vector<Stored> stored;
    object.getPropertyValue(propRef, stored);
    values.reserve(stored.size());
    for (const Stored& v : stored) values.emplace_back(type, T(v));
  } else {
    // Required or not: an absent value is what the element held.
    boost::optional<Stored> stored;
    object.getPropertyValue(propRef, stored);
    values.push_back(stored ? Value(type, T(*stored)) : Value(type, boost::none));
  }
  return values;
}

// Stored text through `unstringifier`: one value per text of a collection,
// or the one value of a single property (absent text: the absent value, an
// empty text goes through `unstringify`).
std::vector<Value> readTexts(const vlt::ObjectRef& object, const vlt::PropertyRef& propRef, const meta::Type& type,
                             Unstringifier& unstringifier) {
  std::vector<Value> values;
  if (propRef.isMultiValue()) {
    std::vector<std::u16string> texts;
    object.getPropertyValue(propRef, texts);
    for (const std::u16string& text : texts) values.push_back(unstringifier.unstringify(text, type));
  } else {
    // Read as optional also where the repository property is not marked so:
    // a value the element did not hold was stored absent, and its absence,
    // not an empty text, is what comes back.
    boost::optional<std::u16string> text;
    object.getPropertyValue(propRef, text);
    values.push_back(text ? unstringifier.unstringify(*text, type) : unstringifier.absentValue(type));
  }
  return values;
}

}  // namespace

void DataSource::Loader::setQM0ElementPropertyValue(const meta::Property& property, const vlt::PropertyRef& propRef,
                                                    const vlt::ObjectRef& object, const qm::zero::Model& model,
                                                    const FetchDepth& depth, const qm::zero::ModelElement& element,
                                                    const FillContext& context, const vlt::ObjectRef* storedTarget) {
  if (!propRef) {
    if (!property->isNotStored())
      debugLog.log(severity::detail, "setQM0ElementPropertyValue() could not find property ", property->getName(),
                   " in VLT class ", element.getMetaClass()->getQualifiedName());
    return;
  }
  const PropertyStorage storage = storageOf(property);
  visitKind(storage.kind, [&](auto kind) {
    using K = decltype(kind);
    if constexpr (K::form == ValueForm::builtin)
      setQM0PropertyValues(property, propRef, element,
                           readValues<typename K::Stored, typename K::Framework>(object, propRef, property));
    else if constexpr (K::form == ValueForm::array)
      setQM0ArrayPropertyValue(property, object, propRef, element);
    else if constexpr (K::form == ValueForm::primitiveText)
      setQM0PrimitivePropertyValue(property, object, propRef, element, *storage.serializer);
    else if constexpr (K::form == ValueForm::datatypeText)
      setQM0SerializedStructPropertyValue(property, object, propRef, element);
    else if constexpr (K::form == ValueForm::enumeral)
      setQM0EnumPropertyValue(property, object, propRef, element);
    else if constexpr (K::form == ValueForm::object)
      setQM0ReferencePropertyValue(property, object, propRef, model, depth, element, context, storedTarget);
  });
}

void DataSource::Loader::setQM0PropertyValues(const meta::Property& property, const vlt::PropertyRef& propRef,
                                              const qm::zero::ModelElement& element,
                                              const std::vector<Value>& values) {
  if (propRef.isMultiValue())
    source.propagateDataSourceValuesToMemory(element, property, values);
  else
    source.propagateDataSourceValueToMemory(element, property, values.front());
}

// The stored arrays: a collection's every one, or the single one, optional
// or not (no stored array is an unset property). The element keeps copies of
// its own; the arrays read are destroyed whatever happens.
void DataSource::Loader::setQM0ArrayPropertyValue(const meta::Property& property, const vlt::ObjectRef& object,
                                                  const vlt::PropertyRef& propRef,
                                                  const qm::zero::ModelElement& element) {
  const meta::Type type = property->getType();
  if (propRef.isMultiValue()) {
    std::vector<matrix::qxArray_tag*> read;
    object.getPropertyValue(propRef, read);
    const std::vector<matrix::ArrayPtr> arrays(read.begin(), read.end());
    std::vector<Value> values;
    values.reserve(arrays.size());
    for (const matrix::ArrayPtr& array : arrays) values.emplace_back(type, array.get());
    source.propagateDataSourceValuesToMemory(element, property, values);
    return;
  }
  matrix::qxArray_tag* read = nullptr;
  object.getPropertyValue(propRef, read);
  const matrix::ArrayPtr array(read);
  source.propagateDataSourceValueToMemory(element, property,
                                          array ? Value(type, array.get()) : Value(type, boost::none));
}

void DataSource::Loader::setQM0PrimitivePropertyValue(const meta::Property& property, const vlt::ObjectRef& object,
                                                      const vlt::PropertyRef& propRef,
                                                      const qm::zero::ModelElement& element,
                                                      const meta::PropertySerializer& serializer) {
  const meta::Type type = property->getType();
  PrimitiveSerializerUnstringifier unstringifier(&serializer);
  const std::vector<Value> values = readTexts(object, propRef, type, unstringifier);
  setQM0PropertyValues(property, propRef, element, values);
  for (auto value = values.rbegin(); value != values.rend(); ++value) serializer.releaseValue(*value, type);
}

void DataSource::Loader::setQM0EnumPropertyValue(const meta::Property& property, const vlt::ObjectRef& object,
                                                 const vlt::PropertyRef& propRef,
                                                 const qm::zero::ModelElement& element) {
  const meta::Type type = property->getType();
  if (propRef.isMultiValue()) {
    std::vector<vlt::EnumeralRef> stored;
    object.getPropertyValue(propRef, stored);
    std::vector<Value> values;
    values.reserve(stored.size());
    for (const vlt::EnumeralRef& enumeral : stored) values.emplace_back(type, enumeral.id());
    source.propagateDataSourceValuesToMemory(element, property, values);
  } else {
    // No stored enumeral (the element held none, or a value without a
    // literal of its own): unset, rather than a literal the enumeration
    // lacks.
    boost::optional<vlt::EnumeralRef> stored;
    object.getPropertyValue(propRef, stored);
    source.propagateDataSourceValueToMemory(element, property,
                                            stored ? Value(type, stored->id()) : Value(type, boost::none));
  }
}

void DataSource::Loader::setQM0SerializedStructPropertyValue(const meta::Property& property,
                                                             const vlt::ObjectRef& object,
                                                             const vlt::PropertyRef& propRef,
                                                             const qm::zero::ModelElement& element) {
  const meta::Type type = property->getType();
  // A datatype without a serializer of its own is read all the same: its
  // JSON text needs none, only the fallback for text of another type does
  // (the empty value then).
  DatatypeSerializerUnstringifier unstringifier(
      meta::PropertySerializerRegistry::getInstance()->getDatatypeSerializer(meta::DataType::downcast(type)));
  setQM0PropertyValues(property, propRef, element, readTexts(object, propRef, type, unstringifier));
}

namespace {
// How deep the targets of a reference are fetched: children one level less
// than their owner (a subtree's load all the way down), other targets by
// themselves (in a subtree's load, with their single values).
using FetchDepth = DataSource::Loader::FetchDepth;
FetchDepth depthOfTargets(bool composite, const FetchDepth& depth) {
  if (!composite) return FetchDepth{depth.subtree ? 1u : 0u, false};
  FetchDepth targets = depth;
  if (!depth.subtree && depth.depth != ~std::uint64_t(0)) targets.depth = depth.depth - 1;
  return targets;
}
}  // namespace

void DataSource::Loader::setQM0ReferencePropertyValue(const meta::Property& property, const vlt::ObjectRef& object,
                                                      const vlt::PropertyRef& propRef, const qm::zero::Model& model,
                                                      const FetchDepth& depth, const qm::zero::ModelElement& element,
                                                      const FillContext& context,
                                                      const vlt::ObjectRef* storedTarget) {
  const bool composite = property->isComposite();
  const bool resolveOpposites = depth.subtree && !composite && property->hasOpposite();
  const FetchDepth targets = depthOfTargets(composite, depth);
  if (propRef.isMultiValue()) {
    doLoadCollectionContent(element, property, object, propRef, model, targets, context);
    if (resolveOpposites) {
      const qm::zero::ReferenceCollection collection =
          element.get(property, source.privilegedTag).get<qm::zero::ReferenceCollection>();
      for (const qm::zero::ModelElement& target : collection.getElements())
        if (target) resolveOne(target, property->getOpposite(), element);
    }
    return;
  }

  // The reference to the owner: set when the owner's children are.
  if (property->hasOpposite() && property->getOpposite()->isComposite()) return;
  vlt::ObjectRef target;
  if (storedTarget)
    target = *storedTarget;  // read with the object's other single values
  else
    object.getPropertyValue(propRef, target);
  if (target && !propRef.isComposite()) {
    // Loaded earlier in this subtree's load: no lookup.
    const qm::zero::ModelElement known = readScope ? readScope->find(target.objectId()) : qm::zero::ModelElement();
    if (known) {
      source.propagateDataSourceValueToMemory(element, property, known);
      if (resolveOpposites) resolveOne(known, property->getOpposite(), element);
      return;
    }
    if (pendingLinks && !property->hasOpposite()) {
      pendingLinks->singles.push_back({element, property, target});
      return;
    }
    // A handle carrying the property's class (a target of a class this
    // connection does not know): the fetch needs the target's own (and its
    // uuid, which this lookup brings along).
    if (!target.carriesOwnClass()) target = repository.defaultDataModel().objectById(target.objectId());
  }
  if (!target) {
    source.propagateDataSourceValueToMemory(element, property, qm::zero::ModelElement());
    return;
  }
  const FetchResult fetched = fetchQM0Object(target, model, targets, context);
  // A target loaded whole (in a subtree's load) knows its owner, as every
  // loaded element does.
  if (fetched.newlyLoaded && !composite) loadAncestors(target, fetched.element, model, context);
  source.propagateDataSourceValueToMemory(element, property, fetched.element);
  if (resolveOpposites && fetched.element) resolveOne(fetched.element, property->getOpposite(), element);
}

}  // namespace vlt_datasource
