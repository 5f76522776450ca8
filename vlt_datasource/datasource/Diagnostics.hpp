#pragma once
// The library's two diagnostic channels and the masking of connection strings
// in what it reports.

#include <foundation/log/DiagnosticLogger.hpp>

#include <string>

namespace vlt_datasource {

/// "qm::zero::vltdatasource::debug": lifecycle, opening, metamodel changes,
/// write path, warnings.
extern foundation::log::diagnostic_logger debugLog;
/// "qm::zero::vltdatasource::proxy": loading of proxies and ancestors.
extern foundation::log::diagnostic_logger proxyLog;

namespace severity {
inline constexpr unsigned detail = foundation::log::severity::detail;    // 4
inline constexpr unsigned warning = foundation::log::severity::warning;  // 256
inline constexpr unsigned error = foundation::log::severity::error;      // 512
}  // namespace severity

/// `connectionString` as it may appear in a log record or an exception: a
/// PostgreSQL password masked, anything else unchanged.
std::string maskedUtf8(const std::u16string& connectionString);
std::u16string masked(const std::u16string& connectionString);

}  // namespace vlt_datasource
