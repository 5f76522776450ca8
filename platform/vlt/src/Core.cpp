// Opening and closing a repository.

#include "Core.hpp"

#include "MetamodelFile.hpp"

#include <set>

namespace vlt::detail {
namespace {

// The format of the stored data; a repository of another format is refused.
// 2: real64 and uint64 values are stored order-preserving (format 1 kept
// reals as REAL with blobs for NaN and -0.0, uint64 as their raw bits).
constexpr std::int64_t formatVersion = 2;

constexpr const char* repositoryTables[] = {"vlt_info",        "vlt_class",    "vlt_superclass", "vlt_property",
                                            "vlt_enumeration", "vlt_enumeral", "vlt_object"};

}  // namespace

Core::Core(std::unique_ptr<sql::Connection> connection, const OpenOptions& options)
    : connection_(std::move(connection)),
      filespec_(options.request.filespec),
      filespecUtf16_(options.filespecUtf16),
      readOnly_(options.request.readOnly),
      statements_(*this),
      transaction_(*this),
      schema_(*this),
      tables_(*this),
      ids_(*this),
      objects_(*this),
      containment_(*this),
      collections_(*this),
      factory_(*this) {
  transaction_.addParticipant(&statements_);
  transaction_.addParticipant(&schema_);
  transaction_.addParticipant(&tables_);
  transaction_.addParticipant(&ids_);
  transaction_.addParticipant(&factory_);
}

Core::~Core() { close(); }

void Core::close() noexcept {
  if (!connection_) return;
  transaction_.rollbackQuietly();
  statements_.clear();
  connection_.reset();
}

void Core::usage(const std::string& message) const { throw UsageError(message, filespec_); }

void Core::refuseFromTrace() const {
  throw UsageError("the repository was called from its trace callback, in the middle of a statement", filespec_);
}

void Core::notFound(ObjectId id) const {
  throw ObjectNotFoundError("the object " + std::to_string(id) + " does not exist", filespec_);
}

std::shared_ptr<Core> Core::open(const OpenOptions& options) {
  const sql::OpenRequest& request = options.request;
  std::unique_ptr<sql::Connection> connection =
      options.postgresql ? sql::openPostgresql(request) : sql::openSqlite(request);
  const sql::DatabaseState state = connection->inspect();
  if (state == sql::DatabaseState::foreign) {
    throw NotARepositoryError("the database is not a repository", request.filespec);
  }
  if (state == sql::DatabaseState::empty && request.readOnly) {
    throw NotARepositoryError("the empty database is not a repository and may not be written", request.filespec);
  }
  std::shared_ptr<Core> core(new Core(std::move(connection), options));
  // Nothing half-made stays: a database this call created is removed.
  auto discard = [&core]() noexcept {
    core->transaction_.rollbackQuietly();
    core->statements_.clear();
    core->connection_->discardIfCreated();
    core->connection_.reset();
  };
  try {
    core->connection_->setPageCache(options.pageCacheKiB);
    core->initialize(options, state);
  } catch (const OpenError&) {
    discard();
    throw;
  } catch (const LockedError&) {
    discard();
    throw;
  } catch (const RepositoryError& e) {
    // Whatever fails while opening (a damaged page found reading the
    // metamodel) fails the open.
    discard();
    throw OpenError(e.message(), request.filespec, e.backendCode(), e.backendMessage(), e.statement());
  } catch (...) {
    discard();
    throw;
  }
  return core;
}

void Core::initialize(const OpenOptions& options, sql::DatabaseState state) {
  if (state == sql::DatabaseState::repository) {
    checkRepository();
    if (!readOnly_) {
      // Outside a transaction: the journal mode cannot change inside one.
      connection_->keepGenerations(options.maxGenerations);
      connection_->setJournalMode(options.journalMode);
    }
    // The metamodel is read in one transaction that only reads: in one view,
    // though another connection commits a class between two of its
    // statements, and beside a writer that commits all the time the open
    // waits for a lock once rather than once per statement.
    connection_->execute(connection_->dialect().beginRead);
    try {
      schema_.load(true);
      connection_->execute("COMMIT");
    } catch (...) {
      try {
        if (connection_->inTransaction()) connection_->execute("ROLLBACK");
      } catch (...) {
        // The failure that matters is the one passed on.
      }
      throw;
    }
    return;
  }
  // A new repository. The base metamodel file is read whole before anything
  // is written, so that a bad file leaves nothing behind.
  MetamodelFile base;
  const std::string& basePath = options.baseMetamodelPath;
  if (!basePath.empty()) base = readMetamodelFile(basePath, filespec_);
  connection_->setJournalMode(options.journalMode);
  transaction_.begin(false);
  connection_->markAsRepository();
  schema_.createTables();
  {
    sql::StatementUse s(statements_.fixed(
        "INSERT INTO vlt_info (name, value) VALUES ('format_version', ?1), ('next_object_id', 1)"));
    s->bindInt64(1, formatVersion);
    s->step();
  }
  if (!basePath.empty()) schema_.apply(base);
  transaction_.commit(true);
}

// Only reads: the tables a repository has, and its format.
void Core::checkRepository() {
  const std::vector<std::string> names = connection_->tableNames();
  const std::set<std::string> present(names.begin(), names.end());
  for (const char* table : repositoryTables) {
    if (present.count(table) == 0) {
      throw NotARepositoryError(std::string("the repository's table \"") + table + "\" is missing", filespec_);
    }
  }
  std::int64_t version = 0;
  try {
    sql::StatementUse s(statements_.fixed("SELECT value FROM vlt_info WHERE name = 'format_version'"));
    if (s->step()) version = s->columnInt64(0);
  } catch (const LockedError&) {
    throw;
  } catch (const RepositoryError& e) {
    throw NotARepositoryError("the repository's tables are damaged", filespec_, e.backendCode(), e.backendMessage(),
                              e.statement());
  }
  if (version != formatVersion) {
    throw NotARepositoryError("the repository has the unknown format version " + std::to_string(version), filespec_);
  }
}

}  // namespace vlt::detail
