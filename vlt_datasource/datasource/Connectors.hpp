#pragma once
// The connectors that open a data source's repository: the SQLite one for
// files, the PostgreSQL one for "postgresql://" and "postgres://" addresses.

#include <vlt_datasource/DataSource.hpp>

#include <memory>
#include <string>

namespace vlt_datasource {

/// Opens a repository with the service options of its kind of database and
/// the base metamodel under the library's install path. Lives for one open;
/// borrows the connection string, which must outlive it.
class DBConnector {
 public:
  DBConnector(const std::u16string& connectionString, const DataSource::ConnectionOptions& options);
  virtual ~DBConnector();
  DBConnector(const DBConnector&) = delete;
  DBConnector& operator=(const DBConnector&) = delete;

  /// Opens `repository`; its failures pass on unchanged.
  virtual void openRepository(vlt::DataModelRepository& repository);
  /// Whether each statement waits for a server (SQLite runs them in-process).
  virtual bool statementsAreRoundTrips() const { return false; }

 protected:
  virtual void prepareServiceOptions() = 0;

  const std::u16string& connectionString;
  vlt::DataModelRepository::ServiceOptions serviceOptions;
};

/// The connector for `connectionString`: PostgreSQL when it begins with
/// "postgresql://" or "postgres://" (exactly so), SQLite otherwise.
std::unique_ptr<DBConnector> createConnector(const std::u16string& connectionString,
                                             const DataSource::ConnectionOptions& options);

/// The trace callback of a repository opened with "trace=true": each
/// statement on a line of standard output.
void traceToStandardOutput(void* context, const char* text);

/// Where the base metamodel is installed: toolbox/vlt/vlt_datasource/metamodel
/// under the library's install path.
std::u16string baseMetamodelPath();

}  // namespace vlt_datasource
