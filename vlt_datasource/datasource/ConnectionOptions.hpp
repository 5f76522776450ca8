#pragma once
// From a parsed connection string to what the data source opens.

#include <vlt_datasource/DataSource.hpp>

#include <string>

namespace vlt_datasource {

struct ConnectionTarget {
  /// What the repository opens: the file path of a local file, otherwise the
  /// Uri's whole text.
  std::u16string connectionString;
  DataSource::ConnectionOptions options;
};

/// Reads the parameters of `uri` (a bad "maxGenerations" is logged and
/// replaced by 1) and, for a SQLite file that does not exist yet, copies the
/// family's template into place. Throws only when the file's existence cannot
/// be checked.
ConnectionTarget readConnectionTarget(const vlt::Uri& uri);

/// Copies the template database of `family` to `databasePath`. Logs its
/// failures and removes a partial copy; never throws for a failed copy.
void copyTemplateFile(const std::u16string& databasePath, const std::u16string& family);

}  // namespace vlt_datasource
