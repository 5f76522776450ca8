#pragma once
// vlt_datasource::TemplateDBService: template databases for new SQLite
// repositories, provided by bundles.

#include <vlt_datasource/export.hpp>

#include <boost/optional.hpp>

#include <string>

namespace vlt_datasource {

/// The service a bundle registers to provide the template database of a
/// model family. The bundle declares the family in its manifest as
/// "bundle.qm0.vltTemplateProvider": "<family>". A new SQLite repository
/// opened with "family=<family>" starts as a copy of the template.
class VLT_DATASOURCE_API TemplateDBService {
 public:
  TemplateDBService() = default;
  TemplateDBService(const TemplateDBService&) = default;
  TemplateDBService& operator=(const TemplateDBService&) = default;
  virtual ~TemplateDBService();

  /// The family this service provides templates for.
  virtual std::u16string getFamilyName() = 0;
  /// The path of the template database file for `family`, or nothing.
  virtual boost::optional<std::u16string> getTemplateFile(const std::u16string& family) = 0;

  /// The template file of `family`: the answer of the first service found for
  /// it among the process's bundles (qm::zero::services::getQm0BundleContainer)
  /// whose manifest names the family; nothing when no service serves it.
  /// Services found are kept for the life of the process, so a family is
  /// looked up in the bundles once. Thread-safe. Bundle and service failures
  /// pass on.
  static boost::optional<std::u16string> getTemplateSqliteDB(const std::u16string& family);
};

}  // namespace vlt_datasource
