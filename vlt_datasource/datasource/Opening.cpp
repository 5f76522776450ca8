// Opening a data source's repository and the initial synchronisation of model
// and repository, on the host's thread or on a worker thread.

#include "datasource/Opening.hpp"

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

namespace vlt_datasource {

// ---------------------------------------------------------------------------
// The worker thread and its waits

namespace {
// The opening that runs on this thread: its own calls into the data source
// while it opens need not, and must not, wait for it.
thread_local const DataSource::Opening* openingOnThisThread = nullptr;
}  // namespace

DataSource::Opening::~Opening() = default;

void DataSource::Opening::start(const std::u16string& connectionString, const ConnectionOptions& options,
                                ToModelSync toModel, ToDataSourceSync toDataSource, SyncTiming timing) {
  if (timing == Synchronous) {
    openAndSynchronise(connectionString, options, toModel, toDataSource);
  } else if (timing == Asynchronous) {
    // The worker holds a handle of the model until its very last step, so
    // that the model cannot die under it. Should the host drop its own
    // handles meanwhile, the model then dies on the worker thread, after the
    // worker has published its end (see abandon).
    started = true;
    try {
      worker = std::thread([this, model = qm::zero::Model(source.modelImpl), connectionString, options, toModel,
                            toDataSource]() mutable {
        qm::zero::Model last = std::move(model);
        runOnWorker(connectionString, options, toModel, toDataSource);
      });
    } catch (...) {
      // No worker: the waits must not wait for one.
      started = false;
      throw;
    }
  }
}

void DataSource::Opening::runOnWorker(const std::u16string& connectionString, const ConnectionOptions& options,
                                      ToModelSync toModel, ToDataSourceSync toDataSource) {
  openingOnThisThread = this;
  try {
    openAndSynchronise(connectionString, options, toModel, toDataSource);
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex);
    failure = std::current_exception();
  }
  openingOnThisThread = nullptr;
  setState(3);
}

void DataSource::Opening::throwAbandoned() const {
  throw vlt::OpenError("the opening was abandoned", maskedUtf8(source.repository.filespec()));
}

void DataSource::Opening::setState(std::uint32_t newState) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    state = newState;
  }
  condition.notify_all();
}

// The stored failure stays: every later call rethrows it again. Read under
// the mutex, so that a call that races the worker's end is still safe.
void DataSource::Opening::waitForEnd() {
  std::exception_ptr failed;
  {
    std::unique_lock<std::mutex> lock(mutex);
    // Without a worker the state never reaches 3: nothing to wait for.
    if (!started) return;
    condition.wait(lock, [this] { return state == 3; });
    failed = failure;
  }
  if (failed) std::rethrow_exception(failed);
}

bool DataSource::Opening::workerHoldsRepository() const {
  if (!started || openingOnThisThread == this) return false;
  std::lock_guard<std::mutex> lock(mutex);
  return state != 3;
}

void DataSource::Opening::join() {
  if (openingOnThisThread == this) return;
  if (worker.joinable()) worker.join();
}

void DataSource::Opening::abandon() {
  if (!worker.joinable()) return;
  // The model's last handle was the worker's: the model, and the data source
  // with it, are being destroyed on the worker thread itself, whose remaining
  // steps no longer touch the data source.
  if (worker.get_id() == std::this_thread::get_id()) {
    worker.detach();
    return;
  }
  // An opening still running is abandoned: a wait for a server ends at once,
  // a load at its next element.
  abandoned = true;
  source.repository.interruptOpen();
  worker.join();
}

// ---------------------------------------------------------------------------
// The opening's steps

void DataSource::Opening::openAndSynchronise(const std::u16string& connectionString,
                                             const ConnectionOptions& options, ToModelSync toModel,
                                             ToDataSourceSync toDataSource) {
  const vlt::ClassRef modelElementClass = openRepository(connectionString, options);

  std::vector<qm::zero::ModelElement> initialElements;
  if (source.modelImpl->getElementCount() != 0 && toDataSource == SyncAllToDataSource) {
    qm::zero::FreezeGuard freeze = source.modelImpl->freeze();
    initialElements = source.modelImpl->getAllElements(qm::zero::InMemoryOnly);
  }

  if (toModel != NoSyncToModel) loadStoredElements(toModel, modelElementClass);

  // Only a version to record takes the write lock: a host that only reads
  // opens beside a writer.
  if (initialElements.empty()) {
    if (source.classMapper->packageVersionsToRecord())
      source.repository.performDictionaryFunction([this] { source.classMapper->checkAndStoreVltPackageVersions(); });
    else
      source.classMapper->checkAndStoreVltPackageVersions();
    return;
  }
  pushModelElements(initialElements, modelElementClass);
}

vlt::ClassRef DataSource::Opening::openRepository(const std::u16string& connectionString,
                                                  const ConnectionOptions& options) {
  source.classMapper->chooseTypeProvider(connectionString, options.requiredFamilies);

  debugLog.log(severity::detail, "Opening repository ", maskedUtf8(connectionString));
  std::unique_ptr<DBConnector> connector = createConnector(connectionString, options);
  connector->openRepository(source.repository);
  throwIfAbandoned();
  source.loadsByLevel = connector->statementsAreRoundTrips();
  if (options.trace) source.repository.setTraceCallback(traceToStandardOutput);

  const vlt::MetamodelRef metamodel = source.repository.metamodel();
  const vlt::ClassRef modelElementClass = metamodel.findClass("ModelElement");
  if (!modelElementClass) foundation::core::except::throwException(m2t_vlt::messages::ObsoleteSchema());

  source.classMapper->loadAndCheckVltPackageVersions();
  source.classMapper->indexStoredClasses();
  return modelElementClass;
}

void DataSource::Opening::loadStoredElements(ToModelSync toModel, const vlt::ClassRef& modelElementClass) {
  debugLog.log(severity::detail, "Loading the stored elements into the model");
  throwIfAbandoned();
  setState(1);
  Loader(source).loadStoredElements(toModel != SyncTopLevelToModel, modelElementClass);
}

void DataSource::Opening::pushModelElements(const std::vector<qm::zero::ModelElement>& elements,
                                            const vlt::ClassRef& modelElementClass) {
  debugLog.log(severity::detail, "Writing the model's elements into the repository");
  throwIfAbandoned();
  setState(2);
  qm::zero::FreezeGuard freeze = source.modelImpl->freeze();
  source.repository.performDictionaryFunction([&] {
    ChangeWriter writer = ChangeWriter::of(source);
    writer.reserveNewObjects(elements.size());
    const vlt::DataModelRef dataModel = source.repository.defaultDataModel();
    // Only a repository that holds elements can hold these already.
    const bool holdsElements =
        dataModel.countObjects(modelElementClass) >
        dataModel.countObjects(source.repository.metamodel().findClass("qm.zero.vlt_datasource.PackageInfo"));
    for (const qm::zero::ModelElement& element : elements) {
      if (holdsElements && dataModel.findObject(element.getUUID(), modelElementClass)) {
        debugLog.log(severity::warning, " object '", boost::uuids::to_string(element.getUUID()),
                     "' is already in VLT ");
        continue;
      }
      writer.insertNewObject(element);
    }
    writer.addObjects();
    source.classMapper->checkAndStoreVltPackageVersions();
  });
}

}  // namespace vlt_datasource
