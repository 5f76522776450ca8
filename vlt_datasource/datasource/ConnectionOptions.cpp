#include "datasource/ConnectionOptions.hpp"

#include "datasource/Diagnostics.hpp"

#include <vlt_datasource/TemplateDBService.hpp>

#include <fl/i18n/Unicode.hpp>
#include <foundation/filesystem/FileSystem.hpp>

#include <stdexcept>

namespace vlt_datasource {
namespace fs = foundation::filesystem;

namespace {

// The repository keeps at most this many generations; opening renames each
// of them.
constexpr int maxGenerationsKept = 1000;
constexpr int maxLockTimeoutSeconds = 86400;

// std::stoi's rules: leading white space and a sign, then digits up to the
// first character that is not one ("7x" is 7).
std::int32_t readMaxGenerations(const std::string& value) {
  try {
    const int parsed = std::stoi(value);
    if (parsed > maxGenerationsKept) {
      debugLog.log(severity::warning, "maxGenerations ", value, " is more than the ", maxGenerationsKept,
                   " generations a repository keeps: ", maxGenerationsKept, " are kept");
      return maxGenerationsKept;
    }
    if (parsed >= 1) return parsed;
  } catch (const std::invalid_argument&) {
  } catch (const std::out_of_range&) {
  }
  debugLog.log(severity::warning, "Could not interpret ", value, " as a valid integer for argument maxGenerations");
  return 1;
}

std::int32_t readLockTimeout(const std::string& value) {
  try {
    const int parsed = std::stoi(value);
    if (parsed >= 0 && parsed <= maxLockTimeoutSeconds) return parsed;
  } catch (const std::invalid_argument&) {
  } catch (const std::out_of_range&) {
  }
  debugLog.log(severity::warning, "Could not interpret ", value,
               " as a lock timeout of 0 to 86400 seconds for argument lockTimeout");
  return DataSource::ConnectionOptions().lockTimeoutSeconds;
}

// A page cache of 1 MiB to 1 TiB; anything else keeps the default.
std::int32_t readPageCacheMiB(const std::string& value) {
  try {
    const int parsed = std::stoi(value);
    if (parsed >= 1 && parsed <= 1024 * 1024) return parsed;
  } catch (const std::invalid_argument&) {
  } catch (const std::out_of_range&) {
  }
  debugLog.log(severity::warning, "Could not interpret ", value,
               " as a page cache size in MiB for argument pageCacheMiB");
  return 0;
}

bool readFlag(const vlt::Uri& uri, const char* name) { return uri.getParam(name) == std::string("true"); }

}  // namespace

ConnectionTarget readConnectionTarget(const vlt::Uri& uri) {
  ConnectionTarget target;
  target.connectionString = static_cast<std::u16string>(uri);
  bool existedBefore = false;
  const bool localFile = uri.kind() == vlt::Uri::localFile;
  if (localFile) {
    target.connectionString = fl::i18n::utf8_to_ustring(uri.getLocation());
    existedBefore = fs::exists(target.connectionString);
  }

  DataSource::ConnectionOptions& options = target.options;
  if (auto value = uri.getParam("maxGenerations")) options.maxGenerations = readMaxGenerations(*value);
  const auto family = uri.getParam("family");
  if (family) options.family = fl::i18n::utf8_to_ustring(*family);
  options.trace = readFlag(uri, "trace");
  options.reflective = readFlag(uri, "reflective");
  options.evolve = readFlag(uri, "evolve");
  options.wal = readFlag(uri, "wal");
  if (auto value = uri.getParam("pageCacheMiB")) options.pageCacheMiB = readPageCacheMiB(*value);
  if (auto value = uri.getParam("lockTimeout")) options.lockTimeoutSeconds = readLockTimeout(*value);

  // A new file of a family starts from the family's template, unless older
  // generations are kept: a template is not a generation of anything.
  if (localFile && !existedBefore && options.maxGenerations == 1 && family)
    copyTemplateFile(target.connectionString, options.family);

  // A new repository cannot hold any family yet, and a server database is
  // not checked: the requirement only applies to an existing file.
  if (existedBefore) {
    if (auto required = uri.getParam("requiredFamily")) {
      std::size_t start = 0;
      for (;;) {
        const std::size_t plus = required->find('+', start);
        options.requiredFamilies.insert(fl::i18n::utf8_to_ustring(required->substr(start, plus - start)));
        if (plus == std::string::npos) break;
        start = plus + 1;
      }
    }
  }
  return target;
}

void copyTemplateFile(const std::u16string& databasePath, const std::u16string& family) {
  // A template is a convenience: without it the open makes a new, empty
  // repository, whatever went wrong finding or copying it.
  boost::optional<std::u16string> templateFile;
  try {
    templateFile = TemplateDBService::getTemplateSqliteDB(family);
  } catch (const std::exception& e) {
    debugLog.log(severity::warning, "Exception occurred while looking for the template file of family ", family, ": ",
                 e.what());
  }
  if (!templateFile) return;
  debugLog.log(severity::detail, "Copying template file for family ", family);
  try {
    fs::copyFile(*templateFile, databasePath, fs::failIfExists);
    fs::addOwnerWritePermission(databasePath);
  } catch (const std::exception& e) {
    debugLog.log(severity::detail, "Exception occurred while copying template file: ", e.what());
    // What the failed copy left behind would be taken for a repository.
    try {
      if (fs::exists(databasePath)) fs::removeFile(databasePath);
    } catch (const std::exception& removal) {
      debugLog.log(severity::detail, "Exception occurred while deleting file: ", removal.what());
    }
  }
}

}  // namespace vlt_datasource
