#include <vlt_datasource/TypeProvider.hpp>

#include "external/Bundles.hpp"
#include "external/Metamodel.hpp"
#include "services/TypeProviders.hpp"

#include <vlt_datasource/DataSource.hpp>
#include <vlt_datasource/Messages.hpp>

#include <cppmicroservices/Bundle.hpp>
#include <cppmicroservices/BundleContext.hpp>
#include <cppmicroservices/LDAPFilter.hpp>
#include <foundation/core/except/Exception.hpp>

namespace vlt_datasource {
namespace {

using qm::zero::meta::MetaRegistry;

class MetaRegistryBasedTypeProvider final : public TypeProvider {
 public:
  qm::zero::meta::Class getClass(const std::u16string& qualifiedName) override {
    return MetaRegistry::getInstance()->getClass(qualifiedName);
  }

  void validatePackageVersions(DataSource& dataSource,
                               const std::unordered_map<std::u16string, std::u16string>& storedVersions) override {
    const MetaRegistry* registry = MetaRegistry::getInstance();
    for (const auto& [family, storedVersion] : storedVersions) {
      if (!registry->isVersionCurrentForFamily(MetaRegistry::composeUri(storedVersion, family)))
        foundation::core::except::throwException(m2t_vlt::datasource::PackageVersionMismatch(
            dataSource.getConnectionString(), family, storedVersion, getCurrentPackageVersion(family)));
    }
  }
};

}  // namespace

std::unique_ptr<TypeProvider> createMetaRegistryBasedTypeProvider() {
  return std::make_unique<MetaRegistryBasedTypeProvider>();
}

TypeProvider::~TypeProvider() = default;
TypeProvider::Factory::~Factory() = default;

void TypeProvider::addRequiredFamily(const std::u16string& family) { requiredFamilies.insert(family); }

void TypeProvider::validatePackageVersionsAndRequiredFamilies(
    DataSource& dataSource, const std::unordered_map<std::u16string, std::u16string>& storedVersions) {
  for (const std::u16string& family : requiredFamilies) {
    if (storedVersions.find(family) == storedVersions.end())
      foundation::core::except::throwException(m2t_vlt::datasource::PackageVersionMismatch(
          dataSource.getConnectionString(), family, u"?", getCurrentPackageVersion(family)));
  }
  validatePackageVersions(dataSource, storedVersions);
}

std::u16string TypeProvider::getCurrentPackageVersion(const std::u16string& family) {
  const qm::zero::meta::Package package = MetaRegistry::getInstance()->getPackageForFamily(family);
  if (!package) return u"?";
  return MetaRegistry::parseUri(package->getUri()).first;
}

std::unique_ptr<TypeProvider> TypeProvider::Factory::createEvolutionTypeProvider() {
  const cppmicroservices::LDAPFilter filter("(bundle.qm0.vltTypeProvider=*)");
  for (cppmicroservices::Bundle& bundle : qm::zero::services::initQM0Microservices()) {
    if (!filter.Match(bundle)) continue;
    bundle.Start();
    cppmicroservices::BundleContext context = bundle.GetBundleContext();
    if (!context) continue;
    for (const auto& reference : context.GetServiceReferences<Factory>()) {
      if (std::shared_ptr<Factory> factory = context.GetService(reference)) return factory->createTypeProvider();
    }
  }
  return nullptr;
}

}  // namespace vlt_datasource
