// What a plain fetch leaves for later: the owners of a loaded element up to
// the first one in memory, the contents of reference collections, whole
// subtrees, and the other end of two-way references.

#include <vlt_datasource/DataSource.hpp>

#include "datasource/ClassMapper.hpp"
#include "datasource/Diagnostics.hpp"
#include "datasource/read/InstanceLoaders.hpp"
#include "datasource/read/ReadGrouped.hpp"
#include "external/Model.hpp"

#include <fl/i18n/Unicode.hpp>

#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <limits>
#include <map>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vlt_datasource {

namespace meta = qm::zero::meta;
using fl::i18n::ustring_to_utf8;

void DataSource::loadAncestors(const vlt::ObjectRef& object, const qm::zero::ModelElement& element,
                               const qm::zero::Model& model) {
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
    const FetchResult fetched = fetchQM0Object(owner, model, FetchDepth{1, false});
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
      propagateDataSourceValueToMemory(fetched.element, property, child, ordinal);
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
  joinWorkThread();
  requestSnapshot();
  readGrouped([&] {
    const qm::zero::ModelElement& owner = collection.getOwner();
    const vlt::ClassRef vltClass = classMapper->getVltClass(owner.getMetaClass(), true);
    if (!vltClass) return;
    const vlt::ObjectRef object = repository.defaultDataModel().findObject(owner.getUUID(), vltClass);
    if (!object) return;
    const vlt::PropertyRef propRef =
        object.objectClass().findProperty(ustring_to_utf8(collection.getCollectionProperty()->getName()));
    if (!propRef) return;
    qm::zero::datasource::LoadingTransaction loading = beginLoadingTransaction();
    doLoadCollectionContent(collection, object, propRef, owner.getModel(), FetchDepth{0, false});
    loading.commit();
  });
}

// The entries of the collections of links of the objects that one
// loadChildren call loads (or one statement of a level's, for many owners),
// read for all of them with one statement per property before any is
// fetched. They are in use (childLinks) while those objects are filled: a
// nested call (the children of a child) has its own, and the outer ones are
// back when it returns.
class DataSource::ChildLinks {
 public:
  /// Reads the link collections that filling the objects `owner` holds
  /// through `owning` transfers, of those read by `loader`: a deferred
  /// collection is transferred only in a subtree's load, and the links a
  /// load of everything sets at its end need no target's identity.
  void readFor(const vlt::ObjectRef& owner, const vlt::PropertyRef& owning, const InstanceLoader& loader,
               const FetchDepth& depth, bool loadingEverything) {
    readFor(loader, depth, loadingEverything, [&](const vlt::PropertyRef& link, bool targetIdentity) {
      owner.getLinksOfOwnedObjects(owning, link, scratch_, targetIdentity);
    });
  }
  /// The same for what every object of `owners` holds, a statement per
  /// many owners.
  void readFor(const vlt::DataModelRef& data, const std::vector<vlt::ObjectRef>& owners,
               const vlt::PropertyRef& owning, const InstanceLoader& loader, const FetchDepth& depth,
               bool loadingEverything) {
    readFor(loader, depth, loadingEverything, [&](const vlt::PropertyRef& link, bool targetIdentity) {
      data.getLinksOfOwnedObjects(owners, owning, link, scratch_, targetIdentity);
    });
  }
  /// `child` is one of those objects: a collection that has no entries read
  /// is empty.
  void add(vlt::ObjectId child) {
    for (Property& read : properties_) read.byChild.try_emplace(child, 0, 0);
  }
  /// The targets of `child`'s `link` into `targets`; false when they were
  /// not read here.
  bool find(vlt::ObjectId child, const vlt::PropertyRef& link, std::vector<vlt::ObjectRef>& targets) const {
    for (const Property& read : properties_) {
      if (read.link != link) continue;
      const auto at = read.byChild.find(child);
      if (at == read.byChild.end()) return false;
      for (std::size_t i = at->second.first; i < at->second.second; ++i) targets.push_back(read.entries[i].target);
      return true;
    }
    return false;
  }

 private:
  struct Property {
    vlt::PropertyRef link;
    std::vector<vlt::LinkEntry> entries;  // grouped by child
    std::unordered_map<vlt::ObjectId, std::pair<std::size_t, std::size_t>> byChild;  // [first, last) of entries
  };
  // `readLinks(link, targetIdentity)` reads the entries of a link
  // collection into scratch_.
  template <class ReadLinks>
  void readFor(const InstanceLoader& loader, const FetchDepth& depth, bool loadingEverything, ReadLinks&& readLinks) {
    for (const InstanceLoader::Unloaded& unloaded : loader.unloadedProperties()) {
      const vlt::PropertyRef& link = unloaded.propRef;
      const bool linkCollection = link && link.isMultiValue() && !link.isComposite() && unloaded.reference;
      const bool transferred = depth.subtree || !unloaded.property->hasDeferredContents();
      const bool byId = loadingEverything && !unloaded.property->hasOpposite();
      if (!linkCollection || !transferred) continue;
      readLinks(link, !byId);
      keep(link);
    }
  }
  // Keeps the entries of `link` just read.
  void keep(const vlt::PropertyRef& link) {
    auto known = std::find_if(properties_.begin(), properties_.end(),
                              [&](const Property& read) { return read.link == link; });
    Property& read = known != properties_.end() ? *known : properties_.emplace_back();
    read.link = link;
    for (const vlt::LinkEntry& entry : scratch_) {
      read.entries.push_back(entry);
      const std::size_t i = read.entries.size() - 1;
      read.byChild.try_emplace(entry.holder, i, i).first->second.second = i + 1;
    }
  }
  std::vector<Property> properties_;
  std::vector<vlt::LinkEntry> scratch_;
};

// The objects that one statement of an unbounded load made (the children of
// up to maxObjectsAmong owners), in the order they are filled. Their own
// children are read for many of them at once, from the first whose turn it
// is onwards, so that a level of a tree costs a statement per
// maxObjectsAmong owners and composite property instead of one per owner
// (on a server, a round trip each). The children wait, made but not
// filled, until their owner's turn; what a statement read goes with its
// last waiting group.
struct DataSource::ChildLevel {
  struct Statement {
    std::shared_ptr<ChildLevel> children;  // as the next level's owners
    ChildLinks links;
  };
  struct Waiting {
    std::vector<vlt::ObjectRef> objects;
    std::vector<StartedFetch> started;
    std::shared_ptr<Statement> readBy;  // null: none, or taken
    std::size_t first = 0;              // the position of the first in readBy->children
  };
  struct Read {
    std::vector<bool> done;         // by owner position
    std::vector<Waiting> waiting;  // by owner position
  };
  std::vector<vlt::ObjectRef> owners;
  std::map<vlt::PropertyRef, Read> reads;
};

void DataSource::doLoadCollectionContent(qm::zero::ReferenceCollection& collection, const vlt::ObjectRef& owner,
                                         const vlt::PropertyRef& propRef, const qm::zero::Model& model,
                                         const FetchDepth& depth) {
  doLoadCollectionContent(collection.getOwner(), collection.getCollectionProperty(), owner, propRef, model, depth);
}

void DataSource::doLoadCollectionContent(const qm::zero::ModelElement& element, const meta::Property& property,
                                         const vlt::ObjectRef& owner, const vlt::PropertyRef& propRef,
                                         const qm::zero::Model& model, const FetchDepth& depth) {
  std::vector<qm::zero::ModelElement> elements;
  if (!loadChildren(owner, propRef, model, depth, elements)) {
    std::vector<vlt::ObjectRef> stored;
    if (!childLinks || !childLinks->find(owner.objectId(), propRef, stored)) owner.getPropertyValue(propRef, stored);
    if (pendingLinks && !property->hasOpposite()) {
      pendingLinks->collections.push_back({element, property, std::move(stored)});
      return;
    }
    elements.reserve(stored.size());
    for (const vlt::ObjectRef& member : stored) model->prefetchElement(member.objectIdentity());
    for (const vlt::ObjectRef& member : stored) {
      const FetchResult fetched = fetchQM0Object(member, model, depth);
      // A linked element loaded whole knows its owner, as every loaded
      // element does (an owned one is put into its owner's collection).
      if (fetched.newlyLoaded && !propRef.isComposite()) loadAncestors(member, fetched.element, model);
      elements.push_back(fetched.element);
    }
  }
  propagateDataSourceValuesToMemory(element, property, std::move(elements));
}

// Loading a subtree, one statement per owner and composite property instead
// of one per owned object; at an unbounded depth on a server, one per many
// owners.
bool DataSource::loadChildren(const vlt::ObjectRef& owner, const vlt::PropertyRef& propRef,
                              const qm::zero::Model& model, const FetchDepth& depth,
                              std::vector<qm::zero::ModelElement>& elements) {
  if (!propRef.isComposite() || (depth.depth == 0 && !depth.subtree)) return false;
  const vlt::ClassRef childClass = propRef.typeClass();
  const meta::Class cls = childClass ? classMapper->frameworkClassOf(childClass) : meta::Class();
  if (!cls) return false;
  InstanceLoader* loader = getInstanceLoader(cls, childClass);
  if (loadsByLevel && (depth.subtree || depth.depth == std::numeric_limits<std::uint64_t>::max())) {
    loadChildrenOfLevel(owner, propRef, *loader, model, depth, elements);
    return true;
  }
  // The collections of links the fetches below transfer, read for every
  // child at once instead of one statement per child and property.
  const auto prefetched = std::make_shared<ChildLinks>();
  prefetched->readFor(owner, propRef, *loader, depth, pendingLinks != nullptr);
  const Setting<ChildLinks*> inUse(childLinks, prefetched.get());
  vlt::ObjectQuery::ResultIterator rows = loader->children(owner, propRef);
  while (rows.getNextResult()) {
    const vlt::ObjectRef child = loader->child();
    prefetched->add(child.objectId());
    // A child of a subclass: the query did not read its values, the fetch does.
    InstanceLoader* filled = child.objectClass() == childClass ? loader : nullptr;
    StartedFetch started = startQM0Object(child, model, depth, filled);
    elements.push_back(started.result.element);
    fillOrLeave(child, std::move(started), model, depth, {prefetched.get(), levelPlace, prefetched});
  }
  return true;
}

void DataSource::loadChildrenOfLevel(const vlt::ObjectRef& owner, const vlt::PropertyRef& propRef,
                                     InstanceLoader& loader, const qm::zero::Model& model, const FetchDepth& depth,
                                     std::vector<qm::zero::ModelElement>& elements) {
  // An owner that is not the one being filled is a level of its own.
  LevelPlace place = levelPlace;
  std::shared_ptr<ChildLevel> alone;
  if (!place.level || place.level->owners[place.position].objectId() != owner.objectId()) {
    alone = std::make_shared<ChildLevel>();
    alone->owners.push_back(owner);
    place = {alone.get(), 0};
  }
  ChildLevel& level = *place.level;
  ChildLevel::Read& read = level.reads[propRef];
  if (read.done.empty()) {
    read.done.assign(level.owners.size(), false);
    read.waiting.resize(level.owners.size());
  }
  if (!read.done[place.position]) {
    // This owner and the next ones whose children are not read yet; the
    // level may hold owners of other classes, without this property.
    const vlt::ClassRef declaring = propRef.owningClass();
    std::vector<vlt::ObjectRef> owners;
    std::unordered_map<vlt::ObjectId, std::size_t> positions;
    for (std::size_t k = place.position;
         k < level.owners.size() && owners.size() < vlt::ObjectQuery::maxObjectsAmong; ++k) {
      if (read.done[k] || (k != place.position && !level.owners[k].objectClass().conformsTo(declaring))) continue;
      read.done[k] = true;
      owners.push_back(level.owners[k]);
      positions.emplace(level.owners[k].objectId(), k);
    }
    const auto statement = std::make_shared<ChildLevel::Statement>();
    statement->children = std::make_shared<ChildLevel>();
    statement->links.readFor(repository.defaultDataModel(), owners, propRef, loader, depth, pendingLinks != nullptr);
    // The rows come owner by owner.
    vlt::ObjectQuery::ResultIterator rows = loader.childrenOf(owners, propRef);
    ChildLevel::Waiting* group = nullptr;
    vlt::ObjectId groupOwner = 0;
    // Children of a subclass, whose values the query did not read: their
    // places, filled after it, a statement per class and many children.
    std::map<vlt::ClassRef, std::vector<std::pair<ChildLevel::Waiting*, std::size_t>>> ofSubclasses;
    while (rows.getNextResult()) {
      const vlt::ObjectRef child = loader.child();
      if (!group || loader.owner().objectId() != groupOwner) {
        groupOwner = loader.owner().objectId();
        group = &read.waiting[positions.at(groupOwner)];
        group->readBy = statement;
      }
      statement->links.add(child.objectId());
      if (child.objectClass() == loader.repositoryClass()) {
        group->started.push_back(startQM0Object(child, model, depth, &loader));
      } else {
        ofSubclasses[child.objectClass()].emplace_back(group, group->started.size());
        group->started.emplace_back();
      }
      group->objects.push_back(child);
    }
    for (const auto& [childClass, at] : ofSubclasses) {
      std::vector<std::pair<vlt::ObjectRef, StartedFetch*>> places;
      for (const auto& [waiting, k] : at) places.emplace_back(waiting->objects[k], &waiting->started[k]);
      startOfSubclass(childClass, places, model, depth);
    }
    // The next level in the order it is filled: owner by owner.
    std::vector<vlt::ObjectRef>& next = statement->children->owners;
    for (const vlt::ObjectRef& o : owners) {
      ChildLevel::Waiting& waiting = read.waiting[positions.at(o.objectId())];
      waiting.first = next.size();
      next.insert(next.end(), waiting.objects.begin(), waiting.objects.end());
    }
  }
  ChildLevel::Waiting children = std::move(read.waiting[place.position]);
  read.waiting[place.position] = {};
  if (!children.readBy) return;  // no children
  for (std::size_t i = 0; i < children.objects.size(); ++i) {
    elements.push_back(children.started[i].result.element);
    const LevelPlace childPlace{children.readBy->children.get(), children.first + i};
    fillOrLeave(children.objects[i], std::move(children.started[i]), model, depth,
                {&children.readBy->links, childPlace, children.readBy});
  }
}

void DataSource::startOfSubclass(const vlt::ClassRef& childClass,
                                 const std::vector<std::pair<vlt::ObjectRef, StartedFetch*>>& places,
                                 const qm::zero::Model& model, const FetchDepth& depth) {
  const meta::Class cls = classMapper->frameworkClassOf(childClass);
  InstanceLoader* loader = cls ? getInstanceLoader(cls, childClass) : nullptr;
  std::vector<vlt::ObjectRef> objects;
  std::unordered_map<vlt::ObjectId, std::size_t> unread;
  for (std::size_t first = 0; first < places.size(); first += vlt::ObjectQuery::maxObjectsAmong) {
    const std::size_t last = std::min(first + vlt::ObjectQuery::maxObjectsAmong, places.size());
    objects.clear();
    for (std::size_t k = first; k < last; ++k) {
      objects.push_back(places[k].first);
      unread.emplace(places[k].first.objectId(), k);
    }
    if (loader) {
      vlt::ObjectQuery::ResultIterator rows = loader->among(objects);
      while (rows.getNextResult()) {
        const auto at = unread.find(loader->child().objectId());
        if (at == unread.end()) continue;
        *places[at->second].second = startQM0Object(places[at->second].first, model, depth, loader);
        unread.erase(at);
      }
    }
    // Without a framework class, or gone: as a fetch of its own finds it.
    for (const auto& [id, k] : unread) *places[k].second = startQM0Object(places[k].first, model, depth, nullptr);
    unread.clear();
  }
}

// Everything under the top-level objects, then the links between what was
// loaded: a target that is not loaded yet when its link is read would become
// a proxy (a lookup of its class and uuid, an entry in the model) only to be
// filled in later in the same load. Links of properties with an opposite
// keep the order of a plain load, in which each end sees the other as it is
// set.
void DataSource::loadEverything(const std::vector<vlt::ObjectRef>& topLevelObjects, const qm::zero::Model& model) {
  SubtreeReadScope scope(*this);
  PendingLinks pending;
  pendingLinks = &pending;
  try {
    for (const vlt::ObjectRef& stored : topLevelObjects) {
      throwIfAbandoned();
      fetchQM0Object(stored, model, FetchDepth{std::numeric_limits<std::uint64_t>::max(), false});
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
    return stored ? fetchQM0Object(stored, model, FetchDepth{0, false}).element : qm::zero::ModelElement();
  };
  for (const PendingLinks::Collection& links : pending.collections) {
    std::vector<qm::zero::ModelElement> elements;
    elements.reserve(links.targets.size());
    for (const vlt::ObjectRef& target : links.targets) elements.push_back(elementOf(target));
    propagateDataSourceValuesToMemory(links.owner, links.property, std::move(elements));
  }
  for (const PendingLinks::Single& link : pending.singles)
    propagateDataSourceValueToMemory(link.owner, link.property, elementOf(link.target));
}

bool DataSource::hasCollectionContents(const qm::zero::ModelElement& element, const meta::Property& property) {
  joinWorkThread();
  bool contents = false;
  readGrouped([&] {
    const vlt::ClassRef vltClass = classMapper->getVltClass(element.getMetaClass(), true);
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
  joinWorkThread();
  requestSnapshot();
  readGrouped([&] {
    const vlt::ClassRef vltClass = classMapper->getVltClass(element.getMetaClass(), true);
    if (!vltClass) return;
    const vlt::ObjectRef object = repository.defaultDataModel().findObject(element.getUUID(), vltClass);
    if (!object) return;
    const qm::zero::Model model = element.getModel();
    SubtreeReadScope scope(*this);
    qm::zero::datasource::LoadingTransaction loading = beginLoadingTransaction();
    fetchQM0Object(object, model, FetchDepth{std::numeric_limits<std::uint64_t>::max(), true});
    loading.commit();
  });
}

void DataSource::resolveOne(const qm::zero::ModelElement& target, const meta::Property& opposite,
                            const qm::zero::ModelElement& referrer) {
  std::uint64_t position = 0;
  if (opposite->getUpper() != 1 && opposite->isOrdered()) {
    const vlt::ClassRef targetClass = classMapper->getVltClass(target.getMetaClass(), true);
    const vlt::PropertyRef propRef = targetClass.findProperty(ustring_to_utf8(opposite->getName()));
    const vlt::DataModelRef dataModel = repository.defaultDataModel();
    const vlt::ObjectRef targetObject = dataModel.findObject(target.getUUID(), targetClass);
    const vlt::ObjectRef referrerObject =
        dataModel.findObject(referrer.getUUID(), classMapper->getVltClass(referrer.getMetaClass(), true));
    if (propRef && targetObject) {
      vlt::CollectionRef collection;
      targetObject.getPropertyValue(propRef, collection);
      position = collection.indexOf(referrerObject);
    }
  }
  propagateDataSourceValueToMemory(target, opposite, referrer, position);
}

}  // namespace vlt_datasource
