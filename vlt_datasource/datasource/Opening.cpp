// Opening a data source's repository and the initial synchronisation of model
// and repository.

#include <vlt_datasource/DataSource.hpp>

#include "datasource/ClassMapper.hpp"
#include "datasource/Connectors.hpp"
#include "datasource/Diagnostics.hpp"
#include "datasource/read/Loader.hpp"
#include "datasource/write/ChangeWriter.hpp"
#include "external/RepositoryStatements.hpp"

#include <vlt_datasource/Messages.hpp>

#include <foundation/core/except/Exception.hpp>

#include <boost/uuid/uuid_io.hpp>

#include <fl/i18n/Unicode.hpp>

#include <limits>
#include <vector>

namespace vlt_datasource {

void DataSource::doOpenAndInitialSync(const std::u16string& connectionString, const ConnectionOptions& options,
                                      ToModelSync toModel, ToDataSourceSync toDataSource, SyncTiming) {
  const vlt::ClassRef modelElementClass = openRepository(connectionString, options);

  std::vector<qm::zero::ModelElement> initialElements;
  if (modelImpl->getElementCount() != 0 && toDataSource == SyncAllToDataSource) {
    qm::zero::FreezeGuard freeze = modelImpl->freeze();
    initialElements = modelImpl->getAllElements(qm::zero::InMemoryOnly);
  }

  if (toModel != NoSyncToModel) loadStoredElements(toModel, modelElementClass);

  // Only a version to record takes the write lock: a host that only reads
  // opens beside a writer.
  if (initialElements.empty()) {
    if (classMapper->packageVersionsToRecord())
      repository.performDictionaryFunction([this] { classMapper->checkAndStoreVltPackageVersions(); });
    else
      classMapper->checkAndStoreVltPackageVersions();
    return;
  }
  pushModelElements(initialElements, modelElementClass);
}

vlt::ClassRef DataSource::openRepository(const std::u16string& connectionString, const ConnectionOptions& options) {
  classMapper->chooseTypeProvider(connectionString, options.requiredFamilies);

  debugLog.log(severity::detail, "Opening repository ", maskedUtf8(connectionString));
  std::unique_ptr<DBConnector> connector = createConnector(connectionString, options);
  connector->openRepository(repository);
  throwIfAbandoned();
  loadsByLevel = connector->statementsAreRoundTrips();
  if (options.trace) repository.setTraceCallback(traceToStandardOutput);

  const vlt::MetamodelRef metamodel = repository.metamodel();
  const vlt::ClassRef modelElementClass = metamodel.findClass("ModelElement");
  if (!modelElementClass) foundation::core::except::throwException(m2t_vlt::messages::ObsoleteSchema());

  classMapper->loadAndCheckVltPackageVersions();
  classMapper->indexStoredClasses();
  return modelElementClass;
}

void DataSource::loadStoredElements(ToModelSync toModel, const vlt::ClassRef& modelElementClass) {
  debugLog.log(severity::detail, "Loading the stored elements into the model");
  throwIfAbandoned();
  setWorkThreadState(1);
  Loader(*this).loadStoredElements(toModel != SyncTopLevelToModel, modelElementClass);
}

void DataSource::pushModelElements(const std::vector<qm::zero::ModelElement>& elements,
                                   const vlt::ClassRef& modelElementClass) {
  debugLog.log(severity::detail, "Writing the model's elements into the repository");
  throwIfAbandoned();
  setWorkThreadState(2);
  qm::zero::FreezeGuard freeze = modelImpl->freeze();
  repository.performDictionaryFunction([&] {
    ChangeWriter writer = ChangeWriter::of(*this);
    writer.reserveNewObjects(elements.size());
    const vlt::DataModelRef dataModel = repository.defaultDataModel();
    // Only a repository that holds elements can hold these already.
    const bool holdsElements =
        dataModel.countObjects(modelElementClass) >
        dataModel.countObjects(repository.metamodel().findClass("qm.zero.vlt_datasource.PackageInfo"));
    for (const qm::zero::ModelElement& element : elements) {
      if (holdsElements && dataModel.findObject(element.getUUID(), modelElementClass)) {
        debugLog.log(severity::warning, " object '", boost::uuids::to_string(element.getUUID()),
                     "' is already in VLT ");
        continue;
      }
      writer.insertNewObject(element);
    }
    writer.addObjects();
    classMapper->checkAndStoreVltPackageVersions();
  });
}

}  // namespace vlt_datasource
