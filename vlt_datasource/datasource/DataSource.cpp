// The data source's lifecycle: the factories, connecting, the waits,
// disconnecting and destruction; the transaction calls; the
// operations of the read path.

#include <vlt_datasource/DataSource.hpp>

#include "datasource/ClassMapper.hpp"
#include "datasource/ConnectionOptions.hpp"
#include "datasource/Diagnostics.hpp"
#include "datasource/Opening.hpp"
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
      opening(std::make_unique<Opening>(*this)),
      transactionHooks(std::make_unique<TransactionHooks>()),
      isActiveFlag(active),
      instanceLoaders(std::make_unique<InstanceLoaders>(repository, privilegedTag)) {
  // What each cache forgets when a repository transaction is rolled back (or
  // fails to commit); the class mapper registers its own when the data
  // source connects.
  TransactionHooks& hooks = *transactionHooks;
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

vlt::DataModelRepository::RoundTrips DataSource::roundTrips() const {
  if (opening->workerHoldsRepository() || !repository.isOpen()) return {};
  return repository.roundTrips();
}

const std::u16string& DataSource::getConnectionString() const {
  static const std::u16string none;
  // The worker opens the repository: none until it has ended.
  if (opening->workerHoldsRepository()) return none;
  return repository.isOpen() ? repository.filespec() : none;
}

// ---------------------------------------------------------------------------
// Connecting, waiting and disconnecting

void DataSource::connect(const std::u16string& connectionString, const ConnectionOptions& options,
                         ToModelSync toModel, ToDataSourceSync toDataSource, SyncTiming timing) {
  try {
    auto newListener = std::make_unique<Qm0Listener>(this);
    listener = std::move(newListener);
    classMapper = std::make_unique<ClassMapper>(*this, options.reflective, options.evolve);
    opening->start(connectionString, options, toModel, toDataSource, timing);
  } catch (...) {
    disconnect();
    throw;
  }
}

void DataSource::waitForInitialSyncCompletion() { opening->waitForEnd(); }

void DataSource::waitForIdle() {
  opening->waitForEnd();
  std::exception_ptr failure;
  if (!ChangeWriter::writeUnwrittenReports(*this, failure)) std::rethrow_exception(failure);
}

void DataSource::awaitBackgroundWork() { opening->join(); }

void DataSource::disconnect() {
  opening->abandon();
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
  opening->join();
  if (isActiveFlag) {
    debugLog.log(severity::detail, "beginTransaction on ", static_cast<const void*>(this));
    repository.beginTransaction();
  }
  return id;
}

void DataSource::snapshot(const qm::zero::ShallowChangeReport<qm::zero::ModelElement>& report) {
  opening->join();
  if (isActiveFlag) ChangeWriter::writeReport(*this, report);
}

void DataSource::precommit() { opening->join(); }

// A commit that fails has rolled the repository's transaction back already:
// what the data source remembers of it goes at once, since the model's
// rollback that follows finds no transaction to roll back.
void DataSource::commit() {
  opening->join();
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
  opening->join();
  if (!isActiveFlag) return;
  transactionHooks->rolledBack();
  if (repository.inTransaction()) repository.rollbackTransaction();
  debugLog.log(severity::detail, "rollback Transaction on ", static_cast<const void*>(this));
}

void DataSource::rollbackShallowTransaction() {
  opening->join();
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
  opening->join();
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

std::unique_ptr<qm::zero::query::ReflectiveQuery> DataSource::createQuery() {
  opening->join();
  return std::make_unique<VLTQuery>(*this, repository, *classMapper);
}

}  // namespace vlt_datasource
