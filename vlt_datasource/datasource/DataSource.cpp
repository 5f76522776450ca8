// The data source's lifecycle: the factories, connecting, the worker thread
// and its waits, disconnecting and destruction; the transaction calls; the
// operations of the read path.

#include <vlt_datasource/DataSource.hpp>

#include "datasource/ClassMapper.hpp"
#include "datasource/ConnectionOptions.hpp"
#include "datasource/Diagnostics.hpp"
#include "datasource/Qm0Listener.hpp"
#include "datasource/TransactionHooks.hpp"
#include "datasource/read/InstanceLoaders.hpp"
#include "datasource/read/Loader.hpp"
#include "datasource/write/ChangeWriter.hpp"
#include "datasource/write/ObjectConstructorCache.hpp"
#include "external/FrameworkQuery.hpp"
#include "external/Repository.hpp"
#include "external/RepositoryStatements.hpp"
#include "query/VLTQuery.hpp"

#include <vlt_datasource/Messages.hpp>

#include <foundation/core/except/Exception.hpp>
#include <fl/i18n/Unicode.hpp>
#include <foundation/diagnostics/StackTrace.hpp>

#include <stdexcept>
#include <system_error>

namespace vlt_datasource {

// ---------------------------------------------------------------------------
// Creation

namespace {

[[noreturn]] void refuse(const std::u16string& connectionString, const std::string& reason) {
  debugLog.log(severity::error, "Failed to connect to data source ", maskedUtf8(connectionString));
  foundation::core::except::throwException(
      m2t_vlt::messages::CannotOpenVLTRepository(masked(connectionString), reason));
}

// The parsed connection string; a string that does not parse is refused with
// the identifier a host's catalogue knows it by. So is one that the path
// would not name as given: cut at a NUL, or with an unpaired surrogate
// replaced (two different strings would open one file).
std::unique_ptr<vlt::Uri> parseOrRefuse(const std::u16string& connectionString) {
  if (connectionString.find(u'\0') != std::u16string::npos)
    refuse(connectionString, "the connection string holds a NUL character");
  if (fl::i18n::find_unpaired_surrogate(connectionString) != std::u16string::npos)
    refuse(connectionString, "the connection string holds an unpaired surrogate, which no file name can hold");
  std::unique_ptr<vlt::Uri> uri = vlt::Uri::parse(connectionString);
  if (!uri) refuse(connectionString, std::string());
  return uri;
}

}  // namespace

DataSource* DataSource::create(const std::u16string& connectionString, const qm::zero::Model& model,
                               ToModelSync toModel, ToDataSourceSync toDataSource, SyncTiming timing) {
  return doCreate(*parseOrRefuse(connectionString), model, toModel, toDataSource, timing, true);
}

DataSource* DataSource::create(const vlt::Uri& uri, const qm::zero::Model& model, ToModelSync toModel,
                               ToDataSourceSync toDataSource, SyncTiming timing) {
  return doCreate(uri, model, toModel, toDataSource, timing, true);
}

DataSource* DataSource::createPassive(const std::u16string& connectionString, const qm::zero::Model& model,
                                      ToModelSync toModel, ToDataSourceSync toDataSource, SyncTiming timing) {
  return doCreate(*parseOrRefuse(connectionString), model, toModel, toDataSource, timing, false);
}

DataSource* DataSource::doCreate(const vlt::Uri& uri, const qm::zero::Model& model, ToModelSync toModel,
                                 ToDataSourceSync toDataSource, SyncTiming timing, bool active) {
  if (!model) throw std::invalid_argument("vlt_datasource: a data source needs a model");
  // "%00" in a file: URI decodes to a NUL.
  if (uri.kind() == vlt::Uri::localFile && uri.getLocation().find('\0') != std::string::npos)
    refuse(uri.fullTextUtf16(), "the path holds a NUL character");
  if (model->isInTransaction())
    foundation::core::except::throwException(m2t_vlt::datasource::CannotAttachInsideTransaction());
  auto* dataSource = new DataSource(model, active);
  model->setDataSource(std::unique_ptr<qm::zero::datasource::DataSource>(dataSource));

  // Reading the connection string checks whether its file exists, which can
  // fail (a folder without search permission): that is a failed open too.
  std::string loggedString = uri.redacted();
  try {
    ConnectionTarget target = readConnectionTarget(uri);
    loggedString = maskedUtf8(target.connectionString);
    if (debugLog.isEnabled(severity::detail)) {
      debugLog.log(severity::detail, "Connecting ", static_cast<const void*>(dataSource), " to data source ",
                   loggedString);
      debugLog.log(severity::detail, foundation::diagnostics::StackTrace(128, 0, true));
    }
    dataSource->connect(target.connectionString, target.options, toModel, toDataSource, timing);
    debugLog.log(severity::detail, "Connected to data source ", loggedString);
  } catch (...) {
    model->resetDataSource();
    debugLog.log(severity::detail, "Failed to connect to data source ", loggedString);
    throw;
  }
  return dataSource;
}

DataSource::DataSource(const qm::zero::Model& model, bool active)
    : ActiveDataSource(*model),
      modelImpl(model.get()),
      transactionHooks(std::make_unique<TransactionHooks>()),
      isActiveFlag(active),
      instanceLoaders(std::make_unique<InstanceLoaders>(repository, privilegedTag)) {
  registerTransactionHooks();
}

void DataSource::registerTransactionHooks() {
  TransactionHooks& hooks = *transactionHooks;
  // (The class mapper registers its own when the data source connects.)
  // Constructors and loaders are bound to repository classes and properties,
  // which may be ones the transaction made. None is in use when a
  // transaction ends.
  hooks.onRollback([this] {
    if (constructorCache) constructorCache->forgetPlans();
  });
  hooks.onRollback([this] { instanceLoaders->clear(); });
}

DataSource::~DataSource() {
  try {
    disconnect();
  } catch (...) {
  }
}

namespace {
// The data source whose opening runs on this thread: its own calls into the
// data source while it opens need not, and must not, wait for it.
thread_local const DataSource* openingOnThisThread = nullptr;
}  // namespace

const std::u16string& DataSource::getConnectionString() const {
  static const std::u16string none;
  if (workThreadStarted && openingOnThisThread != this) {
    // The worker opens the repository: none until it has ended.
    std::lock_guard<std::mutex> lock(workThreadMutex);
    if (workThreadState != 3) return none;
  }
  return repository.isOpen() ? repository.filespec() : none;
}

// ---------------------------------------------------------------------------
// Connecting and the worker thread
//
// workThreadState, changed only under workThreadMutex and followed by a
// broadcast of workThreadCondition:
//   0  connected, nothing loaded yet
//   1  loading the stored top-level objects into the model
//   2  writing the model's elements into the repository
//   3  the worker has ended (its failure, if any, in workThreadException)

void DataSource::connect(const std::u16string& connectionString, const ConnectionOptions& options,
                         ToModelSync toModel, ToDataSourceSync toDataSource, SyncTiming timing) {
  try {
    auto newListener = std::make_unique<Qm0Listener>(this);
    listener = std::move(newListener);
    classMapper = std::make_unique<ClassMapper>(*this, options.reflective, options.evolve);
    if (timing == Synchronous) {
      doOpenAndInitialSync(connectionString, options, toModel, toDataSource, timing);
    } else if (timing == Asynchronous) {
      // The worker holds a handle of the model until its very last step, so
      // that the model cannot die under it. Should the host drop its own
      // handles meanwhile, the model then dies on the worker thread, after
      // the worker has published its end (see disconnect).
      workThreadStarted = true;
      workThread = std::thread([this, model = qm::zero::Model(modelImpl), connectionString, options, toModel,
                                toDataSource, timing]() mutable {
        qm::zero::Model last = std::move(model);
        vltWorkThreadFunction(connectionString, options, toModel, toDataSource, timing);
      });
    }
  } catch (...) {
    workThreadStarted = workThread.joinable();
    disconnect();
    throw;
  }
}

void DataSource::vltWorkThreadFunction(const std::u16string& connectionString, const ConnectionOptions& options,
                                       ToModelSync toModel, ToDataSourceSync toDataSource, SyncTiming timing) {
  openingOnThisThread = this;
  try {
    doOpenAndInitialSync(connectionString, options, toModel, toDataSource, timing);
  } catch (...) {
    std::lock_guard<std::mutex> lock(workThreadMutex);
    workThreadException = std::current_exception();
  }
  openingOnThisThread = nullptr;
  setWorkThreadState(3);
}

void DataSource::throwIfAbandoned() const {
  if (openAbandoned.load(std::memory_order_relaxed))
    throw vlt::OpenError("the opening was abandoned", maskedUtf8(repository.filespec()));
}

void DataSource::setWorkThreadState(std::uint32_t state) {
  {
    std::lock_guard<std::mutex> lock(workThreadMutex);
    workThreadState = state;
  }
  workThreadCondition.notify_all();
}

void DataSource::waitWhile(bool (*busy)(std::uint32_t state)) {
  {
    std::unique_lock<std::mutex> lock(workThreadMutex);
    // Without a worker the state never reaches 3: nothing to wait for.
    if (!workThreadStarted) return;
    workThreadCondition.wait(lock, [&] { return !busy(workThreadState); });
  }
  throwWorkThreadException();
}

void DataSource::waitForInitialSyncCompletion() {
  waitWhile([](std::uint32_t state) { return state < 3; });
}

void DataSource::waitForIdle() {
  waitWhile([](std::uint32_t state) { return state != 3; });
  std::exception_ptr failure;
  if (!ChangeWriter::writeUnwrittenReports(*this, failure)) std::rethrow_exception(failure);
}

// The stored exception stays: every later call rethrows it again. Read under
// the mutex, so that a call that races the worker's end is still safe.
void DataSource::throwWorkThreadException() {
  std::exception_ptr failure;
  {
    std::lock_guard<std::mutex> lock(workThreadMutex);
    failure = workThreadException;
  }
  if (failure) std::rethrow_exception(failure);
}

// Every operation of the host's begins here: until the worker has ended, the
// repository and the model are the worker's.
void DataSource::joinWorkThread() {
  if (openingOnThisThread == this) return;
  if (workThread.joinable()) workThread.join();
}

void DataSource::awaitBackgroundWork() { joinWorkThread(); }

void DataSource::disconnect() {
  if (workThread.joinable()) {
    // The model's last handle was the worker's: the model, and this data
    // source with it, are being destroyed on the worker thread itself, whose
    // remaining steps no longer touch the data source.
    if (workThread.get_id() == std::this_thread::get_id()) {
      workThread.detach();
    } else {
      // An opening still running is abandoned: a wait for a server ends at
      // once, a load at its next element.
      openAbandoned = true;
      repository.interruptOpen();
      workThread.join();
    }
  }
  // A last attempt; what still cannot be written was counted in a warning.
  std::exception_ptr failure;
  if (repository.isOpen() && !ChangeWriter::writeUnwrittenReports(*this, failure))
    debugLog.log(severity::warning, "disconnected with changes not written");
  unwrittenReports.clear();
  if (classMapper) classMapper->disconnect();
  constructorCache.reset();
  instanceLoaders->clear();
  repository.close();
  debugLog.log(severity::detail, "Disconnected ", static_cast<const void*>(this), " from data source");
  listener.reset();
}

// ---------------------------------------------------------------------------
// Transactions. A passive data source leaves them to the model and writes
// what its listener receives instead.

qm::zero::datasource::TransactionId DataSource::beginTransaction(const qm::zero::datasource::TransactionId& id) {
  joinWorkThread();
  if (isActiveFlag) {
    debugLog.log(severity::detail, "beginTransaction on ", static_cast<const void*>(this));
    repository.beginTransaction();
  }
  return id;
}

void DataSource::snapshot(const qm::zero::ShallowChangeReport<qm::zero::ModelElement>& report) {
  joinWorkThread();
  if (isActiveFlag) ChangeWriter::writeReport(*this, report);
}

void DataSource::precommit() { joinWorkThread(); }

// A commit that fails has rolled the repository's transaction back already:
// what the data source remembers of it goes at once, since the model's
// rollback that follows finds no transaction to roll back.
void DataSource::commit() {
  joinWorkThread();
  if (!isActiveFlag) return;
  try {
    repository.commitTransaction();
  } catch (...) {
    transactionHooks->rolledBack();
    throw;
  }
  transactionHooks->committed();
  debugLog.log(severity::detail, "commit Transaction on ", static_cast<const void*>(this));
}

void DataSource::rollback() {
  joinWorkThread();
  if (!isActiveFlag) return;
  transactionHooks->rolledBack();
  if (repository.inTransaction()) repository.rollbackTransaction();
  debugLog.log(severity::detail, "rollback Transaction on ", static_cast<const void*>(this));
}

void DataSource::rollbackShallowTransaction() {
  joinWorkThread();
  if (!isActiveFlag) return;
  try {
    repository.unsafeCommitPotentiallyFailingTransaction();
    transactionHooks->committed();
  } catch (...) {
    // The caller must see why the commit failed, not a complaint of the
    // rollback that cleans up after it.
    try {
      rollback();
    } catch (...) {
    }
    throw;
  }
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

// ---------------------------------------------------------------------------
// Queries

std::vector<qm::zero::ModelElement> DataSource::fetchAllElements() {
  joinWorkThread();
  std::unique_ptr<qm::zero::query::ReflectiveQuery> query = createQuery();
  query->addSearchClass(qm::zero::ModelElement::metaClass(), qm::zero::query::WithSubclasses);
  std::vector<qm::zero::ModelElement> all;
  // One repository transaction around every load, rather than one per row.
  Loader(*this).readGrouped([&] {
    const std::unique_ptr<qm::zero::query::ReflectiveQuery::ResultIterator> rows = query->execute({});
    std::vector<qm::zero::ModelElement> row;
    while (rows->next(row)) all.insert(all.end(), row.begin(), row.end());
  });
  return all;
}

vlt::ObjectRef DataSource::getVltObject(const qm::zero::ModelElement& element) {
  return repository.defaultDataModel().lookUpObject(element.getUUID(),
                                                    classMapper->getVltClass(element.getMetaClass(), true));
}

std::unique_ptr<qm::zero::query::ReflectiveQuery> DataSource::createQuery() {
  joinWorkThread();
  return std::make_unique<VLTQuery>(*this, repository, *classMapper);
}

}  // namespace vlt_datasource
