#pragma once
// DataSource::readGrouped: the read operations' repository transaction.

#include <vlt_datasource/DataSource.hpp>

#include <qm/zero/ModelElement.hpp>

#include <exception>
#include <memory>
#include <algorithm>
#include <vector>

namespace vlt_datasource {

// Elements by object id in a vector: ids are handed out densely, and a hash
// map cost as much as the lookups it saved. An id far beyond what was loaded
// is not kept (the vector would grow for it alone).
struct DataSource::ReadScope {
  void add(vlt::ObjectId id, const qm::zero::ModelElement& element) {
    const auto at = static_cast<std::size_t>(id);
    if (id < 0 || at >= (count + 4096) * 8) return;
    if (at >= byId.size()) byId.resize(std::max(at + 1, byId.size() * 2));
    byId[at] = element;
    ++count;
  }
  /// Null when not loaded in this read.
  qm::zero::ModelElement find(vlt::ObjectId id) const {
    const auto at = static_cast<std::size_t>(id);
    return id >= 0 && at < byId.size() ? byId[at] : qm::zero::ModelElement();
  }

 private:
  std::vector<qm::zero::ModelElement> byId;
  std::size_t count = 0;
};

// The outermost read keeps its scope until it ends: a rollback of the model's
// transaction could take its elements away afterwards.
//
// A read may also write: mapping a class on the way records the version of
// its package. The transaction is therefore committed when the read ends,
// and rolled back (with the versions it recorded forgotten) when it fails.
template <class Read>
void DataSource::readGrouped(Read&& read) {
  std::unique_ptr<ReadScope> scope;
  if (!readScope) {
    scope = std::make_unique<ReadScope>();
    readScope = scope.get();
  }
  struct Leave {
    DataSource& source;
    bool outermost;
    ~Leave() {
      if (outermost) source.readScope = nullptr;
    }
  } leave{*this, scope != nullptr};
  if (repository.inTransaction()) {
    read();
    return;
  }
  repository.beginTransaction();
  try {
    read();
  } catch (...) {
    try {
      repository.rollbackTransaction();
    } catch (...) {
    }
    forgetUncommittedPackageVersions();
    throw;
  }
  repository.commitTransaction();
  uncommittedFamilies.clear();
}

}  // namespace vlt_datasource
