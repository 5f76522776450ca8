// A type-evolution bundle: stored classes named "old.<Name>" are read as the
// current "lib.<Name>", and any stored version of a family the process knows
// is accepted.
#include <vlt_datasource/DataSource.hpp>
#include <vlt_datasource/Messages.hpp>
#include <vlt_datasource/TypeProvider.hpp>

#include <cppmicroservices/BundleActivator.hpp>
#include <foundation/core/except/Exception.hpp>
#include <qm/zero/meta/MetaRegistry.hpp>

#include <memory>

namespace {

using qm::zero::meta::MetaRegistry;

struct EvolutionProvider final : vlt_datasource::TypeProvider {
  qm::zero::meta::Class getClass(const std::u16string& qualifiedName) override {
    const std::u16string old = u"old.";
    if (qualifiedName.rfind(old, 0) == 0)
      return MetaRegistry::getInstance()->getClass(u"lib." + qualifiedName.substr(old.size()));
    return MetaRegistry::getInstance()->getClass(qualifiedName);
  }
  void validatePackageVersions(vlt_datasource::DataSource& dataSource,
                               const std::unordered_map<std::u16string, std::u16string>& storedVersions) override {
    for (const auto& [family, version] : storedVersions)
      if (!MetaRegistry::getInstance()->getPackageForFamily(family))
        foundation::core::except::throwException(m2t_vlt::datasource::PackageVersionMismatch(
            dataSource.getConnectionString(), family, version, getCurrentPackageVersion(family)));
  }
};

struct Factory final : vlt_datasource::TypeProvider::Factory {
  std::unique_ptr<vlt_datasource::TypeProvider> createTypeProvider() override {
    return std::make_unique<EvolutionProvider>();
  }
};

struct Activator : cppmicroservices::BundleActivator {
  void Start(cppmicroservices::BundleContext context) override {
    context.RegisterService<vlt_datasource::TypeProvider::Factory>(std::make_shared<Factory>());
  }
  void Stop(cppmicroservices::BundleContext) override {}
};

}  // namespace

CPPMICROSERVICES_EXPORT_BUNDLE_ACTIVATOR(Activator)
