#include <vlt_datasource/TemplateDBService.hpp>

#include "datasource/Diagnostics.hpp"
#include "external/Bundles.hpp"

#include <cppmicroservices/Bundle.hpp>
#include <cppmicroservices/BundleContext.hpp>
#include <cppmicroservices/LDAPFilter.hpp>
#include <cppmicroservices/ServiceInterface.hpp>
#include <fl/i18n/Unicode.hpp>

#include <memory>
#include <mutex>
#include <unordered_map>

namespace vlt_datasource {
namespace {

// `family` as the value of a filter item, matched literally: the characters
// a filter gives meaning to (a wildcard, parentheses, the escape itself, NUL)
// are escaped as RFC 4515 says.
std::string filterValue(const std::u16string& family) {
  static const char hex[] = "0123456789abcdef";
  std::string value;
  for (const char c : fl::i18n::ustring_to_utf8(family)) {
    if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0') {
      value += '\\';
      value += hex[(static_cast<unsigned char>(c) >> 4) & 0xF];
      value += hex[static_cast<unsigned char>(c) & 0xF];
    } else {
      value += c;
    }
  }
  return value;
}

// The services found so far, by the family they report. Once found, a service
// is kept (and so alive) for the life of the process; a family no bundle
// serves is looked for again on every request, as bundles may be added.
class TemplateServiceCache {
 public:
  TemplateServiceCache() : bundles(qm::zero::services::getQm0BundleContainer()) {}

  std::shared_ptr<TemplateDBService> find(const std::u16string& family) {
    std::lock_guard<std::mutex> lock(mutex);
    if (auto found = services.find(family); found != services.end()) return found->second;
    scan(family);
    auto found = services.find(family);
    return found != services.end() ? found->second : nullptr;
  }

 private:
  void scan(const std::u16string& family) {
    const cppmicroservices::LDAPFilter filter("(" + propertyName + "=" + filterValue(family) + ")");
    const std::string interfaceId = cppmicroservices::us_service_interface_iid<TemplateDBService>();
    for (cppmicroservices::Bundle& bundle : bundles.getBundles()) {
      if (!filter.Match(bundle)) continue;
      bundle.Start();
      cppmicroservices::BundleContext context = bundle.GetBundleContext();
      if (!context) continue;
      for (const cppmicroservices::ServiceReferenceU& reference : bundle.GetRegisteredServices()) {
        if (!reference.IsConvertibleTo(interfaceId)) continue;
        // Looked up under the interface, so that the object comes converted
        // to it (a service may implement several).
        std::shared_ptr<TemplateDBService> service =
            context.GetService(cppmicroservices::ServiceReference<TemplateDBService>(reference));
        // The first service that reports a family keeps it.
        if (service) services.emplace(service->getFamilyName(), std::move(service));
      }
    }
  }

  std::mutex mutex;
  std::unordered_map<std::u16string, std::shared_ptr<TemplateDBService>> services;  // guarded by mutex
  const std::string propertyName = "bundle.qm0.vltTemplateProvider";
  qm::utils::services::BundleContainer& bundles;
};

TemplateServiceCache& templateServiceCache() {
  static TemplateServiceCache cache;
  return cache;
}

}  // namespace

TemplateDBService::~TemplateDBService() = default;

boost::optional<std::u16string> TemplateDBService::getTemplateSqliteDB(const std::u16string& family) {
  std::shared_ptr<TemplateDBService> service = templateServiceCache().find(family);
  if (!service) return boost::none;
  boost::optional<std::u16string> file = service->getTemplateFile(family);
  if (!file) debugLog.log(severity::warning, "Microservice failed to provide template file for family ", family);
  return file;
}

}  // namespace vlt_datasource
