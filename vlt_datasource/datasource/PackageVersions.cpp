// The package-version records: one "qm.zero.vlt_datasource.PackageInfo"
// object per family whose classes the repository stores, with the version
// that wrote them.

#include <vlt_datasource/DataSource.hpp>

#include "datasource/TransactionHooks.hpp"
#include "external/Metamodel.hpp"
#include "external/RepositoryStatements.hpp"

#include <vlt_datasource/Messages.hpp>
#include <vlt_datasource/TypeProvider.hpp>

#include <foundation/core/except/Exception.hpp>

#include <algorithm>

namespace vlt_datasource {

void DataSource::establishPackageVersionQueryCtor() {
  if (packageVersionQuery) return;
  const vlt::ClassRef packageInfo = repository.metamodel().findClass("qm.zero.vlt_datasource.PackageInfo");
  const vlt::PropertyRef family = packageInfo ? packageInfo.findProperty("family") : vlt::PropertyRef();
  const vlt::PropertyRef version = family ? packageInfo.findProperty("version") : vlt::PropertyRef();
  if (!version) foundation::core::except::throwException(m2t_vlt::messages::ObsoleteSchema());
  auto query = std::make_unique<vlt::ObjectQuery>(repository);
  query->addResultProperty(family, &packageFamilyBuffer, 0);
  query->addResultProperty(version, &packageVersionBuffer, 0);
  auto constructor = std::make_unique<vlt::ObjectConstructor>(packageInfo);
  constructor->setPropertyValueSource(family, &packageFamilyBuffer);
  constructor->setPropertyValueSource(version, &packageVersionBuffer);
  packageVersionQuery = std::move(query);
  packageVersionConstructor = std::move(constructor);
}

void DataSource::loadAndCheckVltPackageVersions() {
  establishPackageVersionQueryCtor();
  packageVersions.clear();
  uncommittedFamilies.clear();
  // One statement, in no transaction of its own: one that may write would
  // take the writer lock on PostgreSQL, and a host that only reads opens
  // beside a writer.
  vlt::ObjectQuery::ResultIterator results = packageVersionQuery->execute();
  // The first record of a family wins.
  while (results.getNextResult()) packageVersions.emplace(packageFamilyBuffer, packageVersionBuffer);
  results.clear();
  typeProvider->validatePackageVersionsAndRequiredFamilies(*this, packageVersions);
}

void DataSource::checkAndStoreVltPackageVersions() {
  for (const qm::zero::meta::Package& package : modelImpl->getUsedPackages()) checkAndStoreVltPackage(package);
}

bool DataSource::packageVersionsToRecord() const {
  for (const qm::zero::meta::Package& package : modelImpl->getUsedPackages())
    if (packageVersions.count(qm::zero::meta::MetaRegistry::parseUri(package->getUri()).second) == 0) return true;
  return false;
}

void DataSource::checkAndStoreVltPackage(const qm::zero::meta::Package& package) {
  const auto [version, family] = qm::zero::meta::MetaRegistry::parseUri(package->getUri());
  const auto recorded = packageVersions.find(family);
  if (recorded != packageVersions.end()) {
    if (recorded->second == version) return;
    foundation::core::except::throwException(
        m2t_vlt::datasource::PackageVersionMismatch(repository.filespec(), family, recorded->second, version));
  }
  storeVltPackageVersion(family, version);
  packageVersions.emplace(family, version);
  if (repository.inTransaction()) uncommittedFamilies.push_back(family);
}

void DataSource::storeVltPackageVersion(const std::u16string& family, const std::u16string& version) {
  establishPackageVersionQueryCtor();
  packageFamilyBuffer = family;
  packageVersionBuffer = version;
  packageVersionConstructor->createObject(repository.defaultDataModel());
}

void DataSource::rollBackOwnTransaction() noexcept {
  transactionHooks->rolledBack();
  try {
    if (repository.inTransaction()) repository.rollbackTransaction();
  } catch (...) {
    // The repository forgets the transaction anyway.
  }
}

void DataSource::commitOwnTransaction() {
  try {
    repository.commitTransaction();
  } catch (...) {
    rollBackOwnTransaction();
    throw;
  }
  transactionHooks->committed();
}

}  // namespace vlt_datasource
