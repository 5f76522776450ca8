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
    : database_(std::move(connection), options.request.filespec, options.request.readOnly),
      handles_(*this, *this),
      statements_(database_),
      transaction_(database_),
      schema_(database_, statements_, transaction_),
      tables_(database_, transaction_),
      ids_(database_, statements_, transaction_),
      access_(database_, handles_, statements_, transaction_, schema_),
      objects_(database_, handles_, statements_, transaction_, schema_, tables_, access_),
      containment_(database_, handles_, statements_, schema_, access_, objects_),
      collections_(database_, handles_, statements_, transaction_, schema_, tables_, access_, objects_, containment_),
      removal_(database_, statements_, transaction_, schema_, tables_, access_, objects_),
      factory_(database_, handles_, statements_, transaction_, schema_, tables_, ids_, access_, objects_),
      filespecUtf16_(options.filespecUtf16) {
  transaction_.addParticipant(&statements_);
  transaction_.addParticipant(&schema_);
  transaction_.addParticipant(&tables_);
  transaction_.addParticipant(&ids_);
  transaction_.addParticipant(&factory_);
  transaction_.addParticipant(&access_);
}

Core::~Core() { close(); }

void Core::close() noexcept {
  if (!database_.isOpen()) return;
  transaction_.rollbackQuietly();
  statements_.clear();
  database_.close();
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
    core->database_.discard();
  };
  try {
    core->database_.connection().setPageCache(options.pageCacheKiB);
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
  sql::Connection& connection = database_.connection();
  if (state == sql::DatabaseState::repository) {
    checkRepository();
    if (!database_.readOnly()) {
      // Outside a transaction: the journal mode cannot change inside one.
      connection.keepGenerations(options.maxGenerations);
      connection.setJournalMode(options.journalMode);
    }
    // The metamodel is read in one transaction that only reads: in one view,
    // though another connection commits a class between two of its
    // statements, and beside a writer that commits all the time the open
    // waits for a lock once rather than once per statement.
    connection.execute(connection.dialect().beginRead);
    try {
      schema_.load(true);
      connection.execute("COMMIT");
    } catch (...) {
      try {
        if (connection.inTransaction()) connection.execute("ROLLBACK");
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
  if (!basePath.empty()) base = readMetamodelFile(basePath, database_.filespec());
  connection.setJournalMode(options.journalMode);
  transaction_.begin(false);
  connection.markAsRepository();
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
  const std::string& filespec = database_.filespec();
  const std::vector<std::string> names = database_.connection().tableNames();
  const std::set<std::string> present(names.begin(), names.end());
  for (const char* table : repositoryTables) {
    if (present.count(table) == 0) {
      throw NotARepositoryError(std::string("the repository's table \"") + table + "\" is missing", filespec);
    }
  }
  std::int64_t version = 0;
  try {
    sql::StatementUse s(statements_.fixed("SELECT value FROM vlt_info WHERE name = 'format_version'"));
    if (s->step()) version = s->columnInt64(0);
  } catch (const LockedError&) {
    throw;
  } catch (const RepositoryError& e) {
    throw NotARepositoryError("the repository's tables are damaged", filespec, e.backendCode(), e.backendMessage(),
                              e.statement());
  }
  if (version != formatVersion) {
    throw NotARepositoryError("the repository has the unknown format version " + std::to_string(version), filespec);
  }
}

}  // namespace vlt::detail
