#include "datasource/Diagnostics.hpp"
#include "external/Repository.hpp"

#include <fl/i18n/Unicode.hpp>

namespace vlt_datasource {

foundation::log::diagnostic_logger debugLog("qm::zero::vltdatasource::debug");
foundation::log::diagnostic_logger proxyLog("qm::zero::vltdatasource::proxy");

std::string maskedUtf8(const std::u16string& connectionString) {
  return vlt::Uri::redact(fl::i18n::ustring_to_utf8(connectionString));
}

std::u16string masked(const std::u16string& connectionString) {
  return fl::i18n::utf8_to_ustring(maskedUtf8(connectionString));
}

}  // namespace vlt_datasource
