// Elements fetched from the repository: by identity, while a proxy is
// resolved, and one repository object turned into a proxy or a populated
// element.

#include <vlt_datasource/DataSource.hpp>

#include "datasource/ClassMapper.hpp"
#include "datasource/Diagnostics.hpp"
#include "datasource/Opening.hpp"
#include "datasource/read/ChildLinks.hpp"
#include "datasource/read/Loader.hpp"
#include "external/Model.hpp"

#include <fl/i18n/Unicode.hpp>

#include <boost/lexical_cast.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <cstddef>
#include <utility>

namespace vlt_datasource {

namespace meta = qm::zero::meta;

const DataSource::Loader::FillContext DataSource::Loader::outside{};

DataSource::Loader::Loader(DataSource& dataSource)
    : source(dataSource),
      mapper(*dataSource.classMapper),
      repository(dataSource.repository),
      loaders(*dataSource.instanceLoaders),
      byLevel(dataSource.loadsByLevel) {}

qm::zero::ModelElement DataSource::fetchElement(const boost::uuids::uuid& uuid) {
  opening->join();
  return Loader(*this).fetchElement(qm::zero::ModelElement::metaClass(), uuid);
}

qm::zero::ModelElement DataSource::findElement(const meta::Class& cls, const qm::zero::ElementId& id) {
  opening->join();
  if (id.getType() != qm::zero::ElementId::UUID_TYPE) return {};
  boost::uuids::uuid uuid;
  if (!qm::zero::ElementId::parseUUID(id.getId(), uuid)) {
    try {
      uuid = boost::lexical_cast<boost::uuids::uuid>(fl::i18n::ustring_to_utf8(id.getId()));  // braces
    } catch (const boost::bad_lexical_cast&) {
      return {};
    }
  }
  if (proxyLog.isEnabled(severity::detail))
    proxyLog.log(severity::detail, "VLT resolving proxy for ", boost::uuids::to_string(uuid));
  return Loader(*this).fetchElement(cls, uuid);
}

qm::zero::ModelElement DataSource::Loader::fetchElement(const meta::Class& cls, const boost::uuids::uuid& uuid) {
  source.requestSnapshot();
  // The model's tables are looked at after the repository's lookup: their
  // cache misses overlap it.
  source.getModel()->prefetchElement(uuid);
  qm::zero::ModelElement element;
  readGrouped([&] {
    const vlt::ClassRef vltClass = mapper.getVltClass(cls, true);
    if (!vltClass) return;
    if (byLevel && !cls->isAbstract()) requestCollections(cls, vltClass, uuid);
    const vlt::ObjectRef object = repository.defaultDataModel().findObject(uuid, vltClass);
    if (!object) return;
    const qm::zero::Model model = source.getModel();
    if (byLevel && !model->findElement(uuid, qm::zero::InMemoryOnly)) requestOwner(object, model);
    qm::zero::datasource::LoadingTransaction loading = source.beginLoadingTransaction();
    const FetchResult result = fetchQM0Object(object, model, FetchDepth{1, false}, outside);
    if (result.newlyLoaded) loadAncestors(object, result.element, model, outside);
    loading.commit();
    element = result.element;
  });
  return element;
}

// An element of the class asked (a proxy's, mostly) reads its collections
// next: on a server they go out with the lookup of its row, found by its
// uuid, and come back in the same round trip. An element of a subclass
// reads its own.
void DataSource::Loader::requestCollections(const meta::Class& cls, const vlt::ClassRef& vltClass,
                                            const boost::uuids::uuid& uuid) {
  const std::vector<vlt::PropertyRef> collections =
      collectionsAtOnce(instanceLoader(cls, vltClass), FetchDepth{1, false}, outside);
  if (!collections.empty()) repository.defaultDataModel().requestCollections(uuid, vltClass, collections);
}

// The owner of an element about to be loaded is loaded next, unless it is
// in memory: on a server (byLevel) its values and collections go out now and
// come back with the element's values, in one round trip.
void DataSource::Loader::requestOwner(const vlt::ObjectRef& object, const qm::zero::Model& model) {
  vlt::ObjectRef owner;
  vlt::PropertyRef owningProperty;
  object.getOwnership(owner, owningProperty);  // read with the object's row
  if (!owner || model->findElement(owner.objectIdentity(), qm::zero::InMemoryOnly)) return;
  const meta::Class& cls = mapper.frameworkClassOf(owner.objectClass());
  if (!cls) return;
  owner.requestValues();
  const std::vector<vlt::PropertyRef> collections =
      collectionsAtOnce(instanceLoader(cls, owner.objectClass()), FetchDepth{1, false}, outside);
  if (!collections.empty()) owner.requestCollections(collections);
}

void DataSource::Loader::requestSnapshot() { source.requestSnapshot(); }

qm::zero::Model DataSource::Loader::model() const { return source.getModel(); }

qm::zero::datasource::LoadingTransaction DataSource::Loader::beginLoading() {
  return source.beginLoadingTransaction();
}

DataSource::Loader::FetchResult DataSource::Loader::fetch(const vlt::ObjectRef& object,
                                                          const qm::zero::Model& model) {
  return fetchQM0Object(object, model, FetchDepth{1, false}, outside);
}

DataSource::InstanceLoader& DataSource::Loader::instanceLoader(const meta::Class& cls,
                                                               const vlt::ClassRef& vltClass) {
  return loaders.of(cls, vltClass, mapper.loadsReflectively());
}

DataSource::Loader::FetchResult DataSource::Loader::fetchQM0Object(const vlt::ObjectRef& object,
                                                                   const qm::zero::Model& model,
                                                                   const FetchDepth& depth,
                                                                   const FillContext& context,
                                                                   InstanceLoader* filled) {
  StartedFetch started = startQM0Object(object, model, depth, filled, &context);
  if (!unbounded(depth)) {
    finishQM0Object(object, started, model, depth, context);
    return std::move(started.result);
  }
  FetchResult result = started.result;
  // Left for later, an element reached by a link is not filled as a child
  // of the level being read then: its links are read on their own.
  fillOrLeave(object, std::move(started), model, depth,
              filling ? FillContext{} : FillContext{context.links, context.place, nullptr});
  return result;
}

void DataSource::Loader::fillOrLeave(const vlt::ObjectRef& object, StartedFetch started,
                                     const qm::zero::Model& model, const FetchDepth& depth, FillContext context) {
  if (!started.loader) return;
  if (!unbounded(depth)) {
    finishQM0Object(object, started, model, depth, context);
    return;
  }
  unfilled.stack.push_back({object, std::move(started), depth, std::move(context)});
  if (!filling) fillUnfilled(model);
}

void DataSource::Loader::fillUnfilled(const qm::zero::Model& model) {
  filling = true;
  try {
    for (std::size_t filled = 1; !unfilled.stack.empty(); ++filled) {
      if (filled % 4096 == 0) source.opening->throwIfAbandoned();
      const UnfilledElements::Element next = std::move(unfilled.stack.back());
      unfilled.stack.pop_back();
      const std::size_t before = unfilled.stack.size();
      finishQM0Object(next.object, next.started, model, next.depth, next.context);
      // What filling it made is filled first, first made first.
      std::reverse(unfilled.stack.begin() + static_cast<std::ptrdiff_t>(before), unfilled.stack.end());
    }
  } catch (...) {
    unfilled.stack.clear();
    filling = false;
    throw;
  }
  filling = false;
}

DataSource::Loader::StartedFetch DataSource::Loader::startQM0Object(const vlt::ObjectRef& object,
                                                                    const qm::zero::Model& model,
                                                                    const FetchDepth& depth, InstanceLoader* filled,
                                                                    const FillContext* readingIn) {
  const boost::uuids::uuid uuid = object.objectIdentity();
  // Destroyed in the open transaction, and not written yet (a passive data
  // source writes after the commit): as good as gone.
  if (source.modelImpl->isDestroyedInTransaction(uuid) && !model->findElement(uuid, qm::zero::InMemoryOnly)) return {};
  const vlt::ClassRef vltClass = object.objectClass();
  const meta::Class& cls = mapper.frameworkClassOf(vltClass);
  if (!cls) {
    debugLog.log(severity::detail, "failed to find corresponding QM0 metaclass ", vltClass.qualifiedName());
    return {};
  }
  const bool logging = debugLog.isEnabled(severity::detail) || proxyLog.isEnabled(severity::detail);
  const std::string uuidText = logging ? boost::uuids::to_string(uuid) : std::string();

  if (depth.depth == 0 && !depth.subtree) {
    proxyLog.log(severity::detail, "creating proxy for: '", uuidText, "' : ", cls->getName());
    // The element in memory, or its proxy (made now, or before): one look
    // at the model's tables instead of two.
    return {{qm::zero::ModelElement::createProxy(model, cls, uuid), false}, nullptr, {}};
  }
  qm::zero::ModelElement element = model->findElement(uuid, qm::zero::InMemoryOnly);
  if (element && !depth.subtree) {
    debugLog.log(severity::detail, " object '", uuidText, "' is already in QM0 ");
    proxyLog.log(severity::detail, " object '", uuidText, "' is already in QM0 ");
    return {{element, false}, nullptr, {}};
  }

  debugLog.log(severity::detail, "loading: '", uuidText, "' : ", cls->getName());
  proxyLog.log(severity::detail, "loading: '", uuidText, "' : ", cls->getName());
  StartedFetch started;
  started.loader = filled && filled->repositoryClass() == vltClass ? filled : &instanceLoader(cls, vltClass);
  started.result.newlyLoaded = !element;
  if (started.result.newlyLoaded) {
    if (started.loader != filled && readingIn != nullptr) {
      // On a server the collections come with the values, in one round trip.
      const std::vector<vlt::PropertyRef> collections = collectionsAtOnce(*started.loader, depth, *readingIn);
      if (!collections.empty()) object.requestCollections(collections);
    }
    element = started.loader == filled ? started.loader->make(uuid, model) : started.loader->load(object, uuid, model);
    // No row: the object is gone.
    if (!element) return {};
    // A later write to the element checks this id instead of looking it up.
    element.setStoreHint(object.objectId(), privilegedTag);
    if (readScope) readScope->add(object.objectId(), element);
    // A copy: loading what this element holds may read other objects
    // through the same loader.
    started.targets = started.loader->storedTargets();
  }
  started.result.element = std::move(element);
  return started;
}

void DataSource::Loader::finishQM0Object(const vlt::ObjectRef& object, const StartedFetch& started,
                                         const qm::zero::Model& model, const FetchDepth& depth,
                                         const FillContext& context) {
  if (!started.loader) return;
  const bool newlyLoaded = started.result.newlyLoaded;
  FillContext own;
  const FillContext& fillIn =
      newlyLoaded && readCollectionsAtOnce(object, *started.loader, depth, context, own) ? own : context;
  for (const InstanceLoader::Unloaded& unloaded : started.loader->unloadedProperties()) {
    const meta::Property& property = unloaded.property;
    const bool reference = unloaded.reference;
    if (newlyLoaded) {
      if (!depth.subtree && reference && property->getUpper() > 1 && property->hasDeferredContents()) continue;
    } else if (!reference) {
      continue;
    }
    // The stored target was read with the values only when this object was.
    const vlt::ObjectRef* storedTarget = newlyLoaded && unloaded.storedTarget >= 0
                                             ? &started.targets[static_cast<std::size_t>(unloaded.storedTarget)]
                                             : nullptr;
    if (reference && unloaded.propRef) {
      setQM0ReferencePropertyValue(property, object, unloaded.propRef, model, depth, started.result.element,
                                   fillIn, storedTarget);
    } else {
      setQM0ElementPropertyValue(property, unloaded.propRef, object, model, depth, started.result.element,
                                 fillIn, storedTarget);
    }
  }
}

// A fetch at depth 1 makes proxies of what the element's collections hold,
// links and owned objects alike: on a server, one statement for all of them
// instead of one each. On SQLite, where a statement waits for nothing, the
// union's sort and the collections handed over cost more than the
// statements they spare (a lazy walk of 80,665 elements: a tenth slower).
// Deeper loads read the owned objects' values with them (loadChildren), and
// a level's loads the collections of many objects at once: they keep their
// own reads.
bool DataSource::Loader::readCollectionsAtOnce(const vlt::ObjectRef& object, const InstanceLoader& loader,
                                               const FetchDepth& depth, const FillContext& context,
                                               FillContext& own) {
  const std::vector<vlt::PropertyRef> properties = collectionsAtOnce(loader, depth, context);
  if (properties.empty()) return false;
  std::vector<std::vector<vlt::ObjectRef>> entries;
  object.getCollections(properties, entries);
  const auto links = std::make_shared<ChildLinks>();
  for (std::size_t k = 0; k < properties.size(); ++k) links->put(object.objectId(), properties[k], entries[k]);
  links->add(object.objectId());
  own = FillContext{links.get(), context.place, links};
  return true;
}

std::vector<vlt::PropertyRef> DataSource::Loader::collectionsAtOnce(const InstanceLoader& loader,
                                                                    const FetchDepth& depth,
                                                                    const FillContext& context) const {
  std::vector<vlt::PropertyRef> properties;
  // byLevel: statements are round trips (DataSource::loadsByLevel).
  if (!byLevel || depth.depth != 1 || depth.subtree || context.links) return properties;
  for (const InstanceLoader::Unloaded& unloaded : loader.unloadedProperties()) {
    const meta::Property& property = unloaded.property;
    if (!unloaded.reference || !unloaded.propRef || !unloaded.propRef.isMultiValue()) continue;
    if (property->getUpper() > 1 && property->hasDeferredContents()) continue;  // left for later
    properties.push_back(unloaded.propRef);
  }
  return properties;
}

}  // namespace vlt_datasource
