// What a plain fetch leaves for later: the owners of a loaded element up to
// the first one in memory, the contents of reference collections, whole
// subtrees (the opening's load of everything among them), and the other end
// of two-way references.

#include <vlt_datasource/DataSource.hpp>

#include "datasource/ClassMapper.hpp"
#include "datasource/Diagnostics.hpp"
#include "datasource/Opening.hpp"
#include "datasource/read/ChildLinks.hpp"
#include "datasource/read/Loader.hpp"
#include "external/Model.hpp"

#include <fl/i18n/Unicode.hpp>

#include <boost/uuid/uuid_io.hpp>

#include <limits>
#include <memory>
#include <utility>
#include <vector>

namespace vlt_datasource {

namespace meta = qm::zero::meta;
using fl::i18n::ustring_to_utf8;

void DataSource::Loader::loadAncestors(const vlt::ObjectRef& object, const qm::zero::ModelElement& element,
                                       const qm::zero::Model& model) {
  loadAncestors(object, element, model, outside);
}

void DataSource::Loader::loadAncestors(const vlt::ObjectRef& object, const qm::zero::ModelElement& element,
                                       const qm::zero::Model& model, const FillContext& context) {
  vlt::ObjectRef current = object;
  qm::zero::ModelElement child = element;
  for (;;) {
    vlt::ObjectRef owner;
    vlt::PropertyRef owningProperty;
    current.getOwnership(owner, owningProperty);
    if (!owner) return;
    const std::string ownerText = proxyLog.isEnabled(severity::detail) ? boost::uuids::to_string(owner.objectIdentity())
                                                                        : std::string();
    proxyLog.log(severity::detail, "---> Fetching ancestor '", ownerText, "'");
    const FetchResult fetched = fetchQM0Object(owner, model, FetchDepth{1, false}, context);
    // An owner without a framework class, or without the property: the
    // chain cannot be followed further.
    if (!fetched.element) return;
    const meta::Property property =
        fetched.element.getMetaClass()->findProperty(fl::i18n::utf8_to_ustring(owningProperty.name()));
    if (!property) return;
    // The child is mostly there already (a newly loaded owner read it, a
    // loaded owner's proxy of it has just been resolved): then setting it
    // changes nothing, and its position, a count of the stored siblings
    // before it, is not looked up.
    if (child.getOwner() != fetched.element || child.getOwningProperty() != property) {
      std::uint64_t ordinal = 0;
      current.getOwnership(owner, owningProperty, ordinal);
      source.propagateDataSourceValueToMemory(fetched.element, property, child, ordinal);
    }
    if (!fetched.newlyLoaded) {
      proxyLog.log(severity::detail, "---> Ancestor '", ownerText, "' was already in QM0 ");
      return;
    }
    proxyLog.log(severity::detail, "---> Loaded ancestor '", ownerText, "'");
    current = owner;
    child = fetched.element;
  }
}

void DataSource::loadCollectionContents(qm::zero::ReferenceCollection& collection) {
  opening->join();
  Loader(*this).loadCollectionContents(collection);
}

void DataSource::Loader::loadCollectionContents(qm::zero::ReferenceCollection& collection) {
  source.requestSnapshot();
  readGrouped([&] {
    const qm::zero::ModelElement& owner = collection.getOwner();
    const vlt::ClassRef vltClass = mapper.getVltClass(owner.getMetaClass(), true);
    if (!vltClass) return;
    const std::string name = ustring_to_utf8(collection.getCollectionProperty()->getName());
    if (byLevel) {
      // On a server the collection goes out with the owner's lookup.
      const vlt::PropertyRef requested = vltClass.findProperty(name);
      if (requested && requested.isMultiValue())
        repository.defaultDataModel().requestCollections(owner.getUUID(), vltClass, {requested});
    }
    const vlt::ObjectRef object = repository.defaultDataModel().findObject(owner.getUUID(), vltClass);
    if (!object) return;
    const vlt::PropertyRef propRef = object.objectClass().findProperty(name);
    if (!propRef) return;
    qm::zero::datasource::LoadingTransaction loading = source.beginLoadingTransaction();
    doLoadCollectionContent(owner, collection.getCollectionProperty(), object, propRef, owner.getModel(),
                            FetchDepth{0, false}, outside);
    loading.commit();
  });
}

void DataSource::Loader::doLoadCollectionContent(const qm::zero::ModelElement& element,
                                                 const meta::Property& property, const vlt::ObjectRef& owner,
                                                 const vlt::PropertyRef& propRef, const qm::zero::Model& model,
                                                 const FetchDepth& depth, const FillContext& context) {
  std::vector<qm::zero::ModelElement> elements;
  // Read with the owner's other collections (owned objects too, at depth 1),
  // or left to a statement of its own.
  std::vector<vlt::ObjectRef> stored;
  const bool read = context.links && context.links->find(owner.objectId(), propRef, stored);
  if (read || !loadChildren(owner, propRef, model, depth, context, elements)) {
    if (!read) readCollection(owner, propRef, stored);
    if (pendingLinks && !property->hasOpposite()) {
      pendingLinks->collections.push_back({element, property, std::move(stored)});
      return;
    }
    elements.reserve(stored.size());
    for (const vlt::ObjectRef& member : stored) model->prefetchElement(member.objectIdentity());
    for (const vlt::ObjectRef& member : stored) {
      const FetchResult fetched = fetchQM0Object(member, model, depth, context);
      // A linked element loaded whole knows its owner, as every loaded
      // element does (an owned one is put into its owner's collection).
      if (fetched.newlyLoaded && !propRef.isComposite()) loadAncestors(member, fetched.element, model, context);
      elements.push_back(fetched.element);
    }
  }
  source.propagateDataSourceValuesToMemory(element, property, std::move(elements));
}

// On a server as one of an object's collections (ObjectRef::getCollections),
// which reads what was sent ahead with the object's lookup.
void DataSource::Loader::readCollection(const vlt::ObjectRef& owner, const vlt::PropertyRef& propRef,
                                        std::vector<vlt::ObjectRef>& stored) {
  if (!byLevel || !propRef.isMultiValue()) {
    owner.getPropertyValue(propRef, stored);
    return;
  }
  std::vector<std::vector<vlt::ObjectRef>> entries;
  owner.getCollections({propRef}, entries);
  stored = std::move(entries.front());
}

// Loading a subtree, one statement per owner and composite property instead
// of one per owned object; at an unbounded depth on a server, one per many
// owners.
bool DataSource::Loader::loadChildren(const vlt::ObjectRef& owner, const vlt::PropertyRef& propRef,
                                      const qm::zero::Model& model, const FetchDepth& depth,
                                      const FillContext& context, std::vector<qm::zero::ModelElement>& elements) {
  if (!propRef.isComposite() || (depth.depth == 0 && !depth.subtree)) return false;
  const vlt::ClassRef childClass = propRef.typeClass();
  const meta::Class cls = childClass ? mapper.frameworkClassOf(childClass) : meta::Class();
  if (!cls) return false;
  InstanceLoader* loader = &instanceLoader(cls, childClass);
  if (byLevel && unbounded(depth)) {
    loadChildrenOfLevel(owner, propRef, *loader, model, depth, context, elements);
    return true;
  }
  // The collections of links the fetches below transfer, read for every
  // child at once instead of one statement per child and property.
  const auto prefetched = std::make_shared<ChildLinks>();
  prefetched->readFor(owner, propRef, *loader, depth, pendingLinks != nullptr);
  vlt::ObjectQuery::ResultIterator rows = loader->children(owner, propRef);
  while (rows.getNextResult()) {
    const vlt::ObjectRef child = loader->child();
    prefetched->add(child.objectId());
    // A child of a subclass: the query did not read its values, the fetch does.
    InstanceLoader* filled = child.objectClass() == childClass ? loader : nullptr;
    StartedFetch started = startQM0Object(child, model, depth, filled);
    elements.push_back(started.result.element);
    fillOrLeave(child, std::move(started), model, depth, {prefetched.get(), context.place, prefetched});
  }
  return true;
}

void DataSource::Loader::loadStoredElements(bool everything, const vlt::ClassRef& modelElementClass) {
  readGrouped([&] {
    keepReadScope();
    qm::zero::datasource::LoadingTransaction loading = source.beginLoadingTransaction();
    const qm::zero::Model model = source.getModel();
    vlt::ObjectQuery topLevel(repository);
    vlt::ObjectRef object;
    topLevel.addIsTopLevelObjectConstraint(modelElementClass, 0);
    topLevel.addResultObject(modelElementClass, &object, 0);
    // Read first: loading runs queries of its own.
    std::vector<vlt::ObjectRef> topLevelObjects;
    vlt::ObjectQuery::ResultIterator results = topLevel.execute();
    while (results.getNextResult()) topLevelObjects.push_back(object);
    results.clear();
    if (!everything) {
      for (const vlt::ObjectRef& stored : topLevelObjects) fetchQM0Object(stored, model, FetchDepth{1, false}, outside);
    } else {
      loadEverything(topLevelObjects, model);
    }
    loading.commit();
  });
}

// Everything under the top-level objects, then the links between what was
// loaded: a target that is not loaded yet when its link is read would become
// a proxy (a lookup of its class and uuid, an entry in the model) only to be
// filled in later in the same load. Links of properties with an opposite
// keep the order of a plain load, in which each end sees the other as it is
// set.
void DataSource::Loader::loadEverything(const std::vector<vlt::ObjectRef>& topLevelObjects,
                                        const qm::zero::Model& model) {
  keepReadScope();
  PendingLinks pending;
  pendingLinks = &pending;
  try {
    for (const vlt::ObjectRef& stored : topLevelObjects) {
      source.opening->throwIfAbandoned();
      fetchQM0Object(stored, model, FetchDepth{std::numeric_limits<std::uint64_t>::max(), false}, outside);
    }
  } catch (...) {
    pendingLinks = nullptr;
    throw;
  }
  pendingLinks = nullptr;
  // A target outside every loaded tree (or of a class without a framework
  // class) is fetched as in any load: a proxy, or nothing.
  // The handles carry the property's class (and maybe no uuid): the fetch
  // needs the target's own.
  const auto elementOf = [&](const vlt::ObjectRef& target) {
    qm::zero::ModelElement known = readScope->find(target.objectId());
    if (known) return known;
    const vlt::ObjectRef stored = repository.defaultDataModel().objectById(target.objectId());
    return stored ? fetchQM0Object(stored, model, FetchDepth{0, false}, outside).element : qm::zero::ModelElement();
  };
  for (const PendingLinks::Collection& links : pending.collections) {
    std::vector<qm::zero::ModelElement> elements;
    elements.reserve(links.targets.size());
    for (const vlt::ObjectRef& target : links.targets) elements.push_back(elementOf(target));
    source.propagateDataSourceValuesToMemory(links.owner, links.property, std::move(elements));
  }
  for (const PendingLinks::Single& link : pending.singles)
    source.propagateDataSourceValueToMemory(link.owner, link.property, elementOf(link.target));
}

void DataSource::Loader::keepReadScope() {
  if (!readScope) readScope = std::make_unique<ReadScope>();
}

bool DataSource::hasCollectionContents(const qm::zero::ModelElement& element, const meta::Property& property) {
  opening->join();
  return Loader(*this).hasCollectionContents(element, property);
}

bool DataSource::Loader::hasCollectionContents(const qm::zero::ModelElement& element,
                                               const meta::Property& property) {
  bool contents = false;
  readGrouped([&] {
    const vlt::ClassRef vltClass = mapper.getVltClass(element.getMetaClass(), true);
    if (!vltClass) return;
    const vlt::ObjectRef object = repository.defaultDataModel().findObject(element.getUUID(), vltClass);
    if (!object) return;
    const vlt::PropertyRef propRef = object.objectClass().findProperty(ustring_to_utf8(property->getName()));
    if (!propRef) return;
    vlt::CollectionRef collection;
    object.getPropertyValue(propRef, collection);
    contents = collection.size() != 0;
  });
  return contents;
}

void DataSource::loadElementSubtree(const qm::zero::ModelElement& element) {
  opening->join();
  Loader(*this).loadElementSubtree(element);
}

void DataSource::Loader::loadElementSubtree(const qm::zero::ModelElement& element) {
  source.requestSnapshot();
  readGrouped([&] {
    const vlt::ClassRef vltClass = mapper.getVltClass(element.getMetaClass(), true);
    if (!vltClass) return;
    const vlt::ObjectRef object = repository.defaultDataModel().findObject(element.getUUID(), vltClass);
    if (!object) return;
    const qm::zero::Model model = element.getModel();
    keepReadScope();
    qm::zero::datasource::LoadingTransaction loading = source.beginLoadingTransaction();
    fetchQM0Object(object, model, FetchDepth{std::numeric_limits<std::uint64_t>::max(), true}, outside);
    loading.commit();
  });
}

void DataSource::Loader::resolveOne(const qm::zero::ModelElement& target, const meta::Property& opposite,
                                    const qm::zero::ModelElement& referrer) {
  std::uint64_t position = 0;
  if (opposite->getUpper() != 1 && opposite->isOrdered()) {
    const vlt::ClassRef targetClass = mapper.getVltClass(target.getMetaClass(), true);
    const vlt::PropertyRef propRef = targetClass.findProperty(ustring_to_utf8(opposite->getName()));
    const vlt::DataModelRef dataModel = repository.defaultDataModel();
    const vlt::ObjectRef targetObject = dataModel.findObject(target.getUUID(), targetClass);
    const vlt::ObjectRef referrerObject =
        dataModel.findObject(referrer.getUUID(), mapper.getVltClass(referrer.getMetaClass(), true));
    if (propRef && targetObject) {
      vlt::CollectionRef collection;
      targetObject.getPropertyValue(propRef, collection);
      position = collection.indexOf(referrerObject);
    }
  }
  source.propagateDataSourceValueToMemory(target, opposite, referrer, position);
}

}  // namespace vlt_datasource
