// Elements fetched from the repository: by identity, while a proxy is
// resolved, and one repository object turned into a proxy or a populated
// element.

#include <vlt_datasource/DataSource.hpp>

#include "datasource/ClassMapper.hpp"
#include "datasource/Diagnostics.hpp"
#include "datasource/read/InstanceLoaders.hpp"
#include "datasource/read/ReadGrouped.hpp"
#include "external/Model.hpp"

#include <fl/i18n/Unicode.hpp>

#include <boost/lexical_cast.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <cstddef>
#include <limits>
#include <utility>

namespace vlt_datasource {

namespace meta = qm::zero::meta;

namespace {
bool unbounded(const DataSource::FetchDepth& depth) {
  return depth.subtree || depth.depth == std::numeric_limits<std::uint64_t>::max();
}
}  // namespace

qm::zero::ModelElement DataSource::fetchElement(const boost::uuids::uuid& uuid) {
  joinWorkThread();
  return doFetchElement(qm::zero::ModelElement::metaClass(), uuid);
}

qm::zero::ModelElement DataSource::findElement(const meta::Class& cls, const qm::zero::ElementId& id) {
  joinWorkThread();
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
  return doFetchElement(cls, uuid);
}

qm::zero::ModelElement DataSource::doFetchElement(const meta::Class& cls, const boost::uuids::uuid& uuid) {
  requestSnapshot();
  // The model's tables are looked at after the repository's lookup: their
  // cache misses overlap it.
  getModel()->prefetchElement(uuid);
  qm::zero::ModelElement element;
  readGrouped([&] {
    const vlt::ClassRef vltClass = classMapper->getVltClass(cls, true);
    if (!vltClass) return;
    const vlt::ObjectRef object = repository.defaultDataModel().findObject(uuid, vltClass);
    if (!object) return;
    const qm::zero::Model model = getModel();
    qm::zero::datasource::LoadingTransaction loading = beginLoadingTransaction();
    const FetchResult result = fetchQM0Object(object, model, FetchDepth{1, false});
    if (result.newlyLoaded) loadAncestors(object, result.element, model);
    loading.commit();
    element = result.element;
  });
  return element;
}

DataSource::InstanceLoader* DataSource::getInstanceLoader(const meta::Class& cls, const vlt::ClassRef& vltClass) {
  // One loader per repository class read as `cls`: usually one, more when a
  // type-evolution provider reads several stored classes as the same
  // framework class. Loaders are never replaced while a read runs: a
  // children query's rows may still be read through one while another is
  // made. A rollback forgets them all (registerTransactionHooks).
  std::vector<std::unique_ptr<InstanceLoader>>& loaders = instanceLoaders[cls.get()];
  for (const std::unique_ptr<InstanceLoader>& loader : loaders)
    if (loader->repositoryClass() == vltClass) return loader.get();
  loaders.push_back(classMapper->loadsReflectively()
                        ? makeReflectiveInstanceLoader(cls, vltClass, repository, privilegedTag)
                        : makeReifiedInstanceLoader(cls, vltClass, repository));
  return loaders.back().get();
}

DataSource::FetchResult DataSource::fetchQM0Object(const vlt::ObjectRef& object, const qm::zero::Model& model,
                                                   const FetchDepth& depth, InstanceLoader* filled) {
  StartedFetch started = startQM0Object(object, model, depth, filled);
  if (!unbounded(depth)) {
    finishQM0Object(object, started, model, depth);
    return std::move(started.result);
  }
  FetchResult result = started.result;
  // Left for later, an element reached by a link is not filled as a child
  // of the level being read then: its links are read on their own.
  fillOrLeave(object, std::move(started), model, depth,
              unfilled ? FillContext{} : FillContext{childLinks, levelPlace, nullptr});
  return result;
}

void DataSource::fillOrLeave(const vlt::ObjectRef& object, StartedFetch started, const qm::zero::Model& model,
                             const FetchDepth& depth, FillContext context) {
  if (!started.loader) return;
  if (!unbounded(depth)) {
    const Setting<ChildLinks*> links(childLinks, context.links);
    const Setting<LevelPlace> place(levelPlace, context.place);
    finishQM0Object(object, started, model, depth);
    return;
  }
  UnfilledElements::Element element{object, std::move(started), depth, std::move(context)};
  if (unfilled) {
    unfilled->stack.push_back(std::move(element));
    return;
  }
  UnfilledElements outermost;
  outermost.stack.push_back(std::move(element));
  fillUnfilled(outermost, model);
}

void DataSource::fillUnfilled(UnfilledElements& elements, const qm::zero::Model& model) {
  const Setting<UnfilledElements*> active(unfilled, &elements);
  for (std::size_t filled = 1; !elements.stack.empty(); ++filled) {
    if (filled % 4096 == 0) throwIfAbandoned();
    const UnfilledElements::Element next = std::move(elements.stack.back());
    elements.stack.pop_back();
    const std::size_t before = elements.stack.size();
    {
      const Setting<ChildLinks*> links(childLinks, next.context.links);
      const Setting<LevelPlace> place(levelPlace, next.context.place);
      finishQM0Object(next.object, next.started, model, next.depth);
    }
    // What filling it made is filled first, first made first.
    std::reverse(elements.stack.begin() + static_cast<std::ptrdiff_t>(before), elements.stack.end());
  }
}

DataSource::StartedFetch DataSource::startQM0Object(const vlt::ObjectRef& object, const qm::zero::Model& model,
                                                    const FetchDepth& depth, InstanceLoader* filled) {
  const boost::uuids::uuid uuid = object.objectIdentity();
  // Destroyed in the open transaction, and not written yet (a passive data
  // source writes after the commit): as good as gone.
  if (modelImpl->isDestroyedInTransaction(uuid) && !model->findElement(uuid, qm::zero::InMemoryOnly)) return {};
  const vlt::ClassRef vltClass = object.objectClass();
  const meta::Class& cls = classMapper->frameworkClassOf(vltClass);
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
  started.loader = filled && filled->repositoryClass() == vltClass ? filled : getInstanceLoader(cls, vltClass);
  started.result.newlyLoaded = !element;
  if (started.result.newlyLoaded) {
    element = started.loader == filled ? started.loader->make(uuid, model) : started.loader->load(object, uuid, model);
    // No row: the object is gone.
    if (!element) return {};
    if (readScope) readScope->add(object.objectId(), element);
    // A copy: loading what this element holds may read other objects
    // through the same loader.
    started.targets = started.loader->storedTargets();
  }
  started.result.element = std::move(element);
  return started;
}

void DataSource::finishQM0Object(const vlt::ObjectRef& object, const StartedFetch& started,
                                 const qm::zero::Model& model, const FetchDepth& depth) {
  if (!started.loader) return;
  const bool newlyLoaded = started.result.newlyLoaded;
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
                                   storedTarget);
    } else {
      setQM0ElementPropertyValue(property, unloaded.propRef, object, model, depth, started.result.element,
                                 storedTarget);
    }
  }
}

}  // namespace vlt_datasource
