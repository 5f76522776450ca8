// What a plain fetch leaves for later: the owners of a loaded element up to
// the first one in memory, the contents of reference collections, whole
// subtrees, and the other end of two-way references.

#include <vlt_datasource/DataSource.hpp>

#include "datasource/Diagnostics.hpp"
#include "datasource/read/InstanceLoaders.hpp"
#include "datasource/read/ReadGrouped.hpp"

#include <fl/i18n/Unicode.hpp>
#include <qm/zero/ModelElement.hpp>
#include <qm/zero/ReferenceCollection.hpp>

#include <boost/uuid/uuid_io.hpp>

#include <limits>
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
  requestSnapshot();
  readGrouped([&] {
    const qm::zero::ModelElement& owner = collection.getOwner();
    const vlt::ClassRef vltClass = getVltClass(owner.getMetaClass(), true);
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
// loadChildren call loads, read for all of them with one statement per
// property before any is fetched. They are kept while that call runs: a
// nested call (the children of a child) keeps its own, and the outer ones
// are back when it returns.
class DataSource::ChildLinks {
 public:
  explicit ChildLinks(DataSource& source) : source_(source), outer_(source.childLinks) { source_.childLinks = this; }
  ~ChildLinks() { source_.childLinks = outer_; }
  ChildLinks(const ChildLinks&) = delete;
  ChildLinks& operator=(const ChildLinks&) = delete;

  /// Reads the entries of `link` of every object `owner` holds through
  /// `owning` (without `targetIdentity`: the targets' ids only).
  void read(const vlt::ObjectRef& owner, const vlt::PropertyRef& owning, const vlt::PropertyRef& link,
            bool targetIdentity) {
    Property& read = properties_.emplace_back();
    read.link = link;
    owner.getLinksOfOwnedObjects(owning, link, read.entries, targetIdentity);
    for (std::size_t i = 0; i < read.entries.size(); ++i) {
      const auto at = read.byChild.try_emplace(read.entries[i].holder, i, i).first;
      at->second.second = i + 1;
    }
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
  DataSource& source_;
  ChildLinks* outer_;
  std::vector<Property> properties_;
};

void DataSource::doLoadCollectionContent(qm::zero::ReferenceCollection& collection, const vlt::ObjectRef& owner,
                                         const vlt::PropertyRef& propRef, const qm::zero::Model& model,
                                         const FetchDepth& depth) {
  std::vector<qm::zero::ModelElement> elements;
  if (!loadChildren(owner, propRef, model, depth, elements)) {
    std::vector<vlt::ObjectRef> stored;
    if (!childLinks || !childLinks->find(owner.objectId(), propRef, stored)) owner.getPropertyValue(propRef, stored);
    if (pendingLinks && !collection.getCollectionProperty()->hasOpposite()) {
      pendingLinks->collections.push_back({collection.getOwner(), collection.getCollectionProperty(), std::move(stored)});
      return;
    }
    elements.reserve(stored.size());
    for (const vlt::ObjectRef& member : stored) elements.push_back(fetchQM0Object(member, model, depth).element);
  }
  propagateDataSourceValuesToMemory(collection.getOwner(), collection.getCollectionProperty(), elements);
}

// Loading a subtree, one statement per owner and composite property instead
// of one per owned object.
bool DataSource::loadChildren(const vlt::ObjectRef& owner, const vlt::PropertyRef& propRef,
                              const qm::zero::Model& model, const FetchDepth& depth,
                              std::vector<qm::zero::ModelElement>& elements) {
  if (!propRef.isComposite() || (depth.depth == 0 && !depth.subtree)) return false;
  const vlt::ClassRef childClass = propRef.typeClass();
  const meta::Class cls = childClass ? frameworkClassOf(childClass) : meta::Class();
  if (!cls) return false;
  InstanceLoader* loader = getInstanceLoader(cls, childClass);
  // The collections of links the fetches below transfer, read for every
  // child at once instead of one statement per child and property. A
  // deferred collection is transferred only in a subtree's load.
  ChildLinks prefetched(*this);
  for (const InstanceLoader::Unloaded& unloaded : loader->unloadedProperties()) {
    const vlt::PropertyRef& link = unloaded.propRef;
    const bool linkCollection =
        link && link.isMultiValue() && !link.isComposite() && unloaded.reference;
    const bool transferred = depth.subtree || !unloaded.property->hasDeferredContents();
    // Set at the end of a load of everything, by id: no target's identity is needed.
    const bool byId = pendingLinks && !unloaded.property->hasOpposite();
    if (linkCollection && transferred) prefetched.read(owner, propRef, link, !byId);
  }
  vlt::ObjectQuery::ResultIterator rows = loader->children(owner, propRef);
  while (rows.getNextResult()) {
    const vlt::ObjectRef child = loader->child();
    prefetched.add(child.objectId());
    // A child of a subclass: the query did not read its values, the fetch does.
    InstanceLoader* filled = child.objectClass() == childClass ? loader : nullptr;
    elements.push_back(fetchQM0Object(child, model, depth, filled).element);
  }
  return true;
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
    for (const vlt::ObjectRef& stored : topLevelObjects)
      fetchQM0Object(stored, model, FetchDepth{std::numeric_limits<std::uint64_t>::max(), false});
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
  std::vector<qm::zero::ModelElement> elements;
  for (const PendingLinks::Collection& links : pending.collections) {
    elements.clear();
    for (const vlt::ObjectRef& target : links.targets) elements.push_back(elementOf(target));
    propagateDataSourceValuesToMemory(links.owner, links.property, elements);
  }
  for (const PendingLinks::Single& link : pending.singles)
    propagateDataSourceValueToMemory(link.owner, link.property, elementOf(link.target));
}

bool DataSource::hasCollectionContents(const qm::zero::ModelElement& element, const meta::Property& property) {
  bool contents = false;
  readGrouped([&] {
    const vlt::ClassRef vltClass = getVltClass(element.getMetaClass(), true);
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
  requestSnapshot();
  readGrouped([&] {
    const vlt::ClassRef vltClass = getVltClass(element.getMetaClass(), true);
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
    const vlt::ClassRef targetClass = getVltClass(target.getMetaClass(), true);
    const vlt::PropertyRef propRef = targetClass.findProperty(ustring_to_utf8(opposite->getName()));
    const vlt::DataModelRef dataModel = repository.defaultDataModel();
    const vlt::ObjectRef targetObject = dataModel.findObject(target.getUUID(), targetClass);
    const vlt::ObjectRef referrerObject =
        dataModel.findObject(referrer.getUUID(), getVltClass(referrer.getMetaClass(), true));
    if (propRef && targetObject) {
      vlt::CollectionRef collection;
      targetObject.getPropertyValue(propRef, collection);
      position = collection.indexOf(referrerObject);
    }
  }
  propagateDataSourceValueToMemory(target, opposite, referrer, position);
}

}  // namespace vlt_datasource
