#include "datasource/Connectors.hpp"

#include "datasource/Diagnostics.hpp"

#include <vlt_datasource/Messages.hpp>

#include <foundation/core/except/Exception.hpp>
#include <foundation/filesystem/FileSystem.hpp>

#include <algorithm>
#include <cctype>
#include <iostream>

namespace vlt_datasource {
namespace {

bool startsWith(const std::u16string& text, std::u16string_view prefix, bool ignoreCase) {
  if (text.size() < prefix.size()) return false;
  return std::equal(prefix.begin(), prefix.end(), text.begin(), [&](char16_t p, char16_t t) {
    if (ignoreCase && t < 128) t = static_cast<char16_t>(std::tolower(static_cast<int>(t)));
    return p == t;
  });
}

class SQLiteDBConnector final : public DBConnector {
 public:
  SQLiteDBConnector(const std::u16string& location, const DataSource::ConnectionOptions& options)
      : DBConnector(location, options), wal(options.wal), trace(options.trace),
        pageCacheMiB(options.pageCacheMiB) {}

  void openRepository(vlt::DataModelRepository& repository) override {
    // Only "postgresql://" and "postgres://" select the server connector, as
    // with libpq. Another case of them plainly names a server too, and would
    // otherwise become a file of that name in the working folder.
    if (startsWith(connectionString, u"postgresql://", true) || startsWith(connectionString, u"postgres://", true))
      foundation::core::except::throwException(m2t_vlt::messages::CannotOpenVLTRepository(
          masked(connectionString),
          "a PostgreSQL connection string must begin with \"postgresql://\" or \"postgres://\""));
    DBConnector::openRepository(repository);
    if (trace) repository.setTraceCallback(traceToStandardOutput);
  }

 private:
  void prepareServiceOptions() override {
    if (wal) serviceOptions.journalMode = 2;
    serviceOptions.createIfMissing = 1;
    serviceOptions.pageCacheKiB = static_cast<std::int64_t>(pageCacheMiB) * 1024;
  }

  bool wal;
  bool trace;
  std::int32_t pageCacheMiB;
};

class PostgresDBConnector final : public DBConnector {
 public:
  using DBConnector::DBConnector;
  bool statementsAreRoundTrips() const override { return true; }

 private:
  void prepareServiceOptions() override {}
};

}  // namespace

DBConnector::DBConnector(const std::u16string& connectionStringIn, const DataSource::ConnectionOptions& options)
    : connectionString(connectionStringIn) {
  serviceOptions.maxGenerations = 1;
  serviceOptions.readOnly = 0;
  serviceOptions.reserved5 = 1;
  serviceOptions.lockTimeoutSeconds = options.lockTimeoutSeconds;
  serviceOptions.reserved12 = 1;
  serviceOptions.reserved13 = 1;
  serviceOptions.journalMode = 0;
  serviceOptions.reserved20 = 0;
  serviceOptions.reserved24 = 1;
  serviceOptions.reserved25 = 0;
  serviceOptions.createIfMissing = 0;
  serviceOptions.pageCacheKiB = 0;
  serviceOptions.maxGenerations = options.maxGenerations;
}

DBConnector::~DBConnector() = default;

void DBConnector::openRepository(vlt::DataModelRepository& repository) {
  prepareServiceOptions();
  repository.open(connectionString, baseMetamodelPath(), serviceOptions);
}

std::unique_ptr<DBConnector> createConnector(const std::u16string& connectionString,
                                             const DataSource::ConnectionOptions& options) {
  if (startsWith(connectionString, u"postgresql://", false) || startsWith(connectionString, u"postgres://", false))
    return std::make_unique<PostgresDBConnector>(connectionString, options);
  return std::make_unique<SQLiteDBConnector>(connectionString, options);
}

void traceToStandardOutput(void*, const char* text) { std::cout << text << std::endl; }

std::u16string baseMetamodelPath() {
  namespace fs = foundation::filesystem;
  return fs::concatenatePath(fs::installPath(), u"toolbox", u"vlt", u"vlt_datasource", u"metamodel",
                             u"baseMetamodel.xml");
}

}  // namespace vlt_datasource
