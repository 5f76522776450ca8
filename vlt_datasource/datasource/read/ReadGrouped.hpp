#pragma once
// DataSource::readGrouped: the read operations' repository transaction; the
// elements a subtree's load has loaded, by object id.

#include <vlt_datasource/DataSource.hpp>

#include "external/Model.hpp"
#include "external/Repository.hpp"

#include <algorithm>
#include <exception>
#include <memory>
#include <vector>

namespace vlt_datasource {

// Elements by object id in a vector, from the first id kept on: ids are
// handed out densely, in creation order, so a subtree's ids lie above its
// root's, and a hash map cost as much as the lookups it saved. An id below
// the first, or far beyond what was kept, is not kept (the vector would grow
// for it alone).
struct DataSource::ReadScope {
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

// Gives `slot` the value `value` while it lives, and its own back after.
template <class T>
class Setting {
 public:
  Setting(T& slot, T value) : slot_(slot), outer_(slot) { slot_ = value; }
  ~Setting() { slot_ = outer_; }
  Setting(const Setting&) = delete;
  Setting& operator=(const Setting&) = delete;

 private:
  T& slot_;
  T outer_;
};

// What filling an element reads besides its own row: the link collections
// read with it and its sibling owners, and its place in its level; `keep`
// keeps both alive while it waits to be filled.
struct DataSource::FillContext {
  ChildLinks* links = nullptr;
  LevelPlace place;
  std::shared_ptr<const void> keep;
};

// Filling an element loads what it holds, which makes and fills further
// elements: by recursion, a tree N levels deep (or a chain of N links) would
// take N frames and overflow the stack of a deep one. An unbounded load
// therefore fills what it makes here, one element after the other, in the
// outermost call (see fetchQM0Object).
struct DataSource::UnfilledElements {
  struct Element {
    vlt::ObjectRef object;
    StartedFetch started;
    FetchDepth depth;
    FillContext context;
  };
  std::vector<Element> stack;  // the last is filled next
};

// The links a load of everything sets at its end (see loadEverything).
struct DataSource::PendingLinks {
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

// Keeps a read scope while a whole subtree is loaded, unless an outer one is
// kept already. It ends with the load: a rollback of the model's transaction
// could take the elements away afterwards.
class DataSource::SubtreeReadScope {
 public:
  explicit SubtreeReadScope(DataSource& source) : source_(source) {
    if (source_.readScope) return;
    own_ = std::make_unique<ReadScope>();
    source_.readScope = own_.get();
  }
  ~SubtreeReadScope() {
    if (own_) source_.readScope = nullptr;
  }
  SubtreeReadScope(const SubtreeReadScope&) = delete;
  SubtreeReadScope& operator=(const SubtreeReadScope&) = delete;

 private:
  DataSource& source_;
  std::unique_ptr<ReadScope> own_;
};

// A read may also write: mapping a class on the way records the version of
// its package. The transaction is therefore committed when the read ends,
// and rolled back (with the versions it recorded forgotten) when it fails.
// It takes the write lock only if it writes, so that readers of one file do
// not queue behind each other; when that write finds another connection
// writing, the read starts again in a transaction that waits for the lock.
template <class Read>
void DataSource::readGrouped(Read&& read) {
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
      rollBackOwnTransaction();
      if (mostlyRead) continue;
      throw;
    } catch (...) {
      rollBackOwnTransaction();
      throw;
    }
    break;
  }
  commitOwnTransaction();
}

}  // namespace vlt_datasource
