#pragma once
// DataSource::Loader: one read of the repository into the model, from the
// repository transaction it runs in to the elements it makes and fills.

#include <vlt_datasource/DataSource.hpp>

#include "datasource/read/InstanceLoaders.hpp"
#include "external/Model.hpp"
#include "external/Repository.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vlt_datasource {

/// One read of the data source's repository into its model. Each read
/// operation makes one (a fetch, a collection's or a subtree's load, the
/// opening's load of the stored elements, a query's search and its results)
/// and drops it when it ends: what a read keeps while it runs (the elements
/// a subtree's load made, the links a load of everything sets at its end,
/// the elements an unbounded load has made but not filled) ends with it.
///
/// Borrows the data source (its repository, class mapper and instance
/// loaders), which must outlive it; used on the data source's thread only.
class DataSource::Loader {
 public:
  /// How deep a fetch loads: `depth` levels of referenced elements (0: a
  /// proxy), and with `subtree` everything the element owns.
  struct FetchDepth {
    std::uint64_t depth = 1;
    bool subtree = false;
  };
  /// What one fetch gave: the element (null when the object's class has no
  /// framework class), and whether this fetch made it from the repository.
  struct FetchResult {
    qm::zero::ModelElement element;
    bool newlyLoaded = false;
  };

  explicit Loader(DataSource& source);
  Loader(const Loader&) = delete;
  Loader& operator=(const Loader&) = delete;

  /// Runs `read` inside a repository transaction, one of its own when none
  /// is open: reads outside a transaction pay for a lock and a look at the
  /// file per statement. Rethrows what `read` throws, the transaction of its
  /// own rolled back.
  template <class Read>
  void readGrouped(Read&& read);

  // The data source's read operations, each inside readGrouped.
  /// The element of `uuid` at depth 1 with its owners (an instance of `cls`
  /// looked for); null when the repository holds none.
  qm::zero::ModelElement fetchElement(const qm::zero::meta::Class& cls, const boost::uuids::uuid& uuid);
  void loadCollectionContents(qm::zero::ReferenceCollection& collection);
  bool hasCollectionContents(const qm::zero::ModelElement& element, const qm::zero::meta::Property& property);
  void loadElementSubtree(const qm::zero::ModelElement& element);
  /// The opening's load: the stored top-level objects (of
  /// `modelElementClass`), each alone or, with `everything`, with all they
  /// own and link to.
  void loadStoredElements(bool everything, const vlt::ClassRef& modelElementClass);

  // What a query reads with: the model's changes so far handed over first
  // (requestSnapshot), then its results loaded in a loading transaction.
  void requestSnapshot();
  qm::zero::Model model() const;
  qm::zero::datasource::LoadingTransaction beginLoading();
  /// `object` as an element of `model` at depth 1, in memory or loaded.
  FetchResult fetch(const vlt::ObjectRef& object, const qm::zero::Model& model);
  /// The owners of the newly loaded `element` (of `object`), up to the first
  /// one in memory.
  void loadAncestors(const vlt::ObjectRef& object, const qm::zero::ModelElement& element,
                     const qm::zero::Model& model);

 private:
  // The parts of a read, each in read/: the link collections of many
  // objects read at once (ChildLinks.hpp), an unbounded load's levels
  // (Levels.hpp).
  class ChildLinks;
  struct ChildLevel;
  struct ReadScope;
  struct PendingLinks;

  // The level of the element being filled and its position in it (no level
  // outside an unbounded load by levels).
  struct LevelPlace {
    ChildLevel* level = nullptr;
    std::size_t position = 0;
  };
  // What filling one element reads besides its own row: the link
  // collections read with it and its siblings, and its place in its level.
  // Handed down the calls that fill it; `keep` keeps both alive while the
  // element waits to be filled.
  struct FillContext {
    ChildLinks* links = nullptr;
    LevelPlace place;
    std::shared_ptr<const void> keep;
  };
  static const FillContext outside;  // nothing read with the element

  /// fetchQM0Object in two halves: the element made (or found), then what
  /// it holds transferred. A load of a whole level makes every element of
  /// the level before it fills any.
  struct StartedFetch {
    FetchResult result;
    InstanceLoader* loader = nullptr;     ///< null: nothing left to transfer
    std::vector<vlt::ObjectRef> targets;  ///< the single links' stored targets, read with the values
  };
  // Filling an element loads what it holds, which makes and fills further
  // elements: by recursion, a tree N levels deep (or a chain of N links)
  // would take N frames and overflow the stack of a deep one. An unbounded
  // load therefore fills what it makes here, one element after the other,
  // in the outermost call (see fetchQM0Object).
  struct UnfilledElements {
    struct Element {
      vlt::ObjectRef object;
      StartedFetch started;
      FetchDepth depth;
      FillContext context;
    };
    std::vector<Element> stack;  // the last is filled next
  };

  // Fetching.cpp
  /// `object` as a proxy or an element of `model` at `depth`, filled in
  /// `context`; `filled`, when of the object's class, is a loader whose
  /// cells hold the object's values already (a row of its children query).
  FetchResult fetchQM0Object(const vlt::ObjectRef& object, const qm::zero::Model& model, const FetchDepth& depth,
                             const FillContext& context, InstanceLoader* filled = nullptr);
  /// `readingIn`, when given, is the context the element will be filled
  /// in: the collections read at once then go out with its values.
  StartedFetch startQM0Object(const vlt::ObjectRef& object, const qm::zero::Model& model, const FetchDepth& depth,
                              InstanceLoader* filled, const FillContext* readingIn = nullptr);
  void finishQM0Object(const vlt::ObjectRef& object, const StartedFetch& started, const qm::zero::Model& model,
                       const FetchDepth& depth, const FillContext& context);
  /// The context in which a newly loaded element at depth 1 is filled: its
  /// collections that the fill transfers read at once into `own` (false:
  /// none, `context` stays).
  bool readCollectionsAtOnce(const vlt::ObjectRef& object, const InstanceLoader& loader, const FetchDepth& depth,
                             const FillContext& context, FillContext& own);
  /// On a server: sends the collections of the element of `uuid`, when of
  /// exactly `cls`, ahead of its lookup.
  void requestCollections(const qm::zero::meta::Class& cls, const vlt::ClassRef& vltClass,
                          const boost::uuids::uuid& uuid);
  /// On a server: sends the reads of the owner of `object` ahead when it is
  /// not in memory (loadAncestors then loads it).
  void requestOwner(const vlt::ObjectRef& object, const qm::zero::Model& model);
  /// The collections readCollectionsAtOnce reads (none: it reads nothing).
  std::vector<vlt::PropertyRef> collectionsAtOnce(const InstanceLoader& loader, const FetchDepth& depth,
                                                  const FillContext& context) const;
  /// Fills `started` (made by startQM0Object) reading in `context`: at once
  /// at a bounded depth, else left to the outermost call of the load.
  void fillOrLeave(const vlt::ObjectRef& object, StartedFetch started, const qm::zero::Model& model,
                   const FetchDepth& depth, FillContext context);
  /// Fills the elements of `unfilled`, and what filling them makes, until
  /// none is left: in the order a recursion would fill them.
  void fillUnfilled(const qm::zero::Model& model);
  InstanceLoader& instanceLoader(const qm::zero::meta::Class& cls, const vlt::ClassRef& vltClass);

  // PropertyTransfer.cpp
  /// One property of `element` (of `object`) transferred, the repository
  /// property found already (null: none), and for a single-valued
  /// reference perhaps its stored target read already.
  void setQM0ElementPropertyValue(const qm::zero::meta::Property& property, const vlt::PropertyRef& propRef,
                                  const vlt::ObjectRef& object, const qm::zero::Model& model,
                                  const FetchDepth& depth, const qm::zero::ModelElement& element,
                                  const FillContext& context, const vlt::ObjectRef* storedTarget);
  /// `values` into `element`: all of them, or the first as a single value.
  void setQM0PropertyValues(const qm::zero::meta::Property& property, const vlt::PropertyRef& propRef,
                            const qm::zero::ModelElement& element, const std::vector<qm::zero::Value>& values);
  void setQM0ArrayPropertyValue(const qm::zero::meta::Property& property, const vlt::ObjectRef& object,
                                const vlt::PropertyRef& propRef, const qm::zero::ModelElement& element);
  /// Values stored as the text of `serializer`.
  void setQM0PrimitivePropertyValue(const qm::zero::meta::Property& property, const vlt::ObjectRef& object,
                                    const vlt::PropertyRef& propRef, const qm::zero::ModelElement& element,
                                    const qm::zero::meta::PropertySerializer& serializer);
  void setQM0EnumPropertyValue(const qm::zero::meta::Property& property, const vlt::ObjectRef& object,
                               const vlt::PropertyRef& propRef, const qm::zero::ModelElement& element);
  void setQM0SerializedStructPropertyValue(const qm::zero::meta::Property& property, const vlt::ObjectRef& object,
                                           const vlt::PropertyRef& propRef, const qm::zero::ModelElement& element);
  void setQM0ReferencePropertyValue(const qm::zero::meta::Property& property, const vlt::ObjectRef& object,
                                    const vlt::PropertyRef& propRef, const qm::zero::Model& model,
                                    const FetchDepth& depth, const qm::zero::ModelElement& element,
                                    const FillContext& context, const vlt::ObjectRef* storedTarget);
  void resolveOne(const qm::zero::ModelElement& target, const qm::zero::meta::Property& opposite,
                  const qm::zero::ModelElement& referrer);

  // AncestorsAndCollections.cpp
  void loadAncestors(const vlt::ObjectRef& object, const qm::zero::ModelElement& element,
                     const qm::zero::Model& model, const FillContext& context);
  /// The collection `property` of `element` (of `owner`) loaded: a load
  /// fills every collection of every element it makes, and a
  /// ReferenceCollection of one would read the collection's value first.
  void doLoadCollectionContent(const qm::zero::ModelElement& element, const qm::zero::meta::Property& property,
                               const vlt::ObjectRef& owner, const vlt::PropertyRef& propRef,
                               const qm::zero::Model& model, const FetchDepth& depth, const FillContext& context);
  /// The stored entries of the collection `propRef` of `owner`.
  void readCollection(const vlt::ObjectRef& owner, const vlt::PropertyRef& propRef,
                      std::vector<vlt::ObjectRef>& stored);
  /// The objects `owner` holds through the composite `propRef`, loaded at
  /// `depth` (not 0) with their values read by one query, and the entries of
  /// their collections of links that the load transfers by one query per
  /// property, appended to `elements`; false (nothing done) when the
  /// property is no composite or its class has no framework class.
  bool loadChildren(const vlt::ObjectRef& owner, const vlt::PropertyRef& propRef, const qm::zero::Model& model,
                    const FetchDepth& depth, const FillContext& context,
                    std::vector<qm::zero::ModelElement>& elements);
  void loadEverything(const std::vector<vlt::ObjectRef>& topLevelObjects, const qm::zero::Model& model);
  /// Keeps the elements loaded from here to the end of the read by object
  /// id (see ReadScope), unless they are kept already.
  void keepReadScope();

  // Levels.cpp
  /// loadChildren at an unbounded depth: the children of `owner`'s siblings
  /// in its level (`context.place`) are read with its own, up to
  /// vlt::ObjectQuery::maxObjectsAmong owners per statement (see ChildLevel).
  void loadChildrenOfLevel(const vlt::ObjectRef& owner, const vlt::PropertyRef& propRef, InstanceLoader& loader,
                           const qm::zero::Model& model, const FetchDepth& depth, const FillContext& context,
                           std::vector<qm::zero::ModelElement>& elements);
  /// Reads the children of the owner at `place` and of the next owners of
  /// its level whose children are not read yet, making them (see ChildLevel).
  void readChildrenOfLevel(const LevelPlace& place, const vlt::PropertyRef& propRef, InstanceLoader& loader,
                           const qm::zero::Model& model, const FetchDepth& depth);
  /// Starts the children of `childClass` (a subclass of the one a level's
  /// query read), each into its place, a statement per
  /// vlt::ObjectQuery::maxObjectsAmong of them.
  void startOfSubclass(const vlt::ClassRef& childClass,
                       const std::vector<std::pair<vlt::ObjectRef, StartedFetch*>>& places,
                       const qm::zero::Model& model, const FetchDepth& depth);

  static bool unbounded(const FetchDepth& depth) {
    return depth.subtree || depth.depth == ~std::uint64_t(0);
  }

  DataSource& source;
  ClassMapper& mapper;
  vlt::DataModelRepository& repository;
  InstanceLoaders& loaders;
  const bool byLevel;  // unbounded loads read by level (DataSource::loadsByLevel)
  // What a whole subtree's load has loaded, by object id: a link to an
  // element loaded earlier in it needs no lookup of its target. Null
  // outside such loads; it ends with the read, since a rollback of the
  // model's transaction could take the elements away afterwards.
  std::unique_ptr<ReadScope> readScope;
  // While everything is loaded at once: the links (of properties without an
  // opposite) whose targets are set only when every element is in memory,
  // so that none becomes a proxy first. Null otherwise.
  PendingLinks* pendingLinks = nullptr;
  // The elements an unbounded load has made but not filled yet; `filling`
  // while its outermost call fills them (fillUnfilled).
  UnfilledElements unfilled;
  bool filling = false;
};

// Elements by object id in a vector, from the first id kept on: ids are
// handed out densely, in creation order, so a subtree's ids lie above its
// root's, and a hash map cost as much as the lookups it saved. An id below
// the first, or far beyond what was kept, is not kept (the vector would grow
// for it alone).
struct DataSource::Loader::ReadScope {
  void add(vlt::ObjectId id, const qm::zero::ModelElement& element) {
    if (byId.empty()) base = id;
    if (id < base) return;
    const auto at = static_cast<std::size_t>(id - base);
    if (at >= (count + 4096) * 8) return;
    if (at >= byId.size()) byId.resize(std::max(at + 1, byId.size() * 2));
    byId[at] = element;
    ++count;
  }
  /// Null when not loaded in this read.
  qm::zero::ModelElement find(vlt::ObjectId id) const {
    const auto at = static_cast<std::size_t>(id) - static_cast<std::size_t>(base);
    return id >= base && at < byId.size() ? byId[at] : qm::zero::ModelElement();
  }

 private:
  std::vector<qm::zero::ModelElement> byId;
  vlt::ObjectId base = 0;
  std::size_t count = 0;
};

// The links a load of everything sets at its end (see loadEverything).
struct DataSource::Loader::PendingLinks {
  struct Collection {
    qm::zero::ModelElement owner;
    qm::zero::meta::Property property;
    std::vector<vlt::ObjectRef> targets;  ///< as the single target
  };
  struct Single {
    qm::zero::ModelElement owner;
    qm::zero::meta::Property property;
    vlt::ObjectRef target;  ///< carries the property's class, not necessarily its own
  };
  std::vector<Collection> collections;
  std::vector<Single> singles;
};

// A read may also write: mapping a class on the way records the version of
// its package. The transaction is therefore committed when the read ends,
// and rolled back (with the versions it recorded forgotten) when it fails.
// It takes the write lock only if it writes (on a server: with its first
// statement), so that readers of one file do not queue behind each other;
// when it finds another connection writing, the read starts again in a
// transaction that waits for the lock.
template <class Read>
void DataSource::Loader::readGrouped(Read&& read) {
  if (repository.inTransaction()) {
    read();
    return;
  }
  for (bool mostlyRead : {true, false}) {
    if (mostlyRead)
      repository.beginReadTransaction();
    else
      repository.beginTransaction();
    try {
      read();
    } catch (const vlt::LockedError&) {
      source.rollBackOwnTransaction();
      // The elements the first attempt made went with its rollback.
      readScope.reset();
      if (mostlyRead) continue;
      throw;
    } catch (...) {
      source.rollBackOwnTransaction();
      throw;
    }
    break;
  }
  source.commitOwnTransaction();
}

}  // namespace vlt_datasource
