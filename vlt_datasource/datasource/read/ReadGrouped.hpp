#pragma once
// DataSource::readGrouped: the read operations' repository transaction.

#include <vlt_datasource/DataSource.hpp>

#include <exception>

namespace vlt_datasource {

// A read may also write: mapping a class on the way records the version of
// its package. The transaction is therefore committed when the read ends,
// and rolled back (with the versions it recorded forgotten) when it fails.
template <class Read>
void DataSource::readGrouped(Read&& read) {
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
