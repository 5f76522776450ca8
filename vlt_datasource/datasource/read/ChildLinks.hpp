#pragma once
// DataSource::Loader::ChildLinks: the link collections of the objects one
// statement loads, read for all of them at once.

#include "datasource/read/Loader.hpp"

#include <algorithm>
#include <cstddef>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vlt_datasource {

// The entries of the collections of links of the objects that one
// loadChildren call loads (or one statement of a level's, for many owners),
// read for all of them with one statement per property before any is
// fetched; or those of one object fetched at depth 1, its collections of
// links and of owned objects read in one statement. They are handed down (FillContext::links) while those objects
// are filled: a nested call (the children of a child) has its own.
class DataSource::Loader::ChildLinks {
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
  /// The entries of `holder`'s collection `link`, read by the caller.
  void put(vlt::ObjectId holder, const vlt::PropertyRef& link, const std::vector<vlt::ObjectRef>& targets) {
    scratch_.clear();
    for (const vlt::ObjectRef& target : targets) scratch_.push_back({holder, target});
    keep(link);
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

}  // namespace vlt_datasource
