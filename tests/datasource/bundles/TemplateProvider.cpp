// A template-database provider, built once per behaviour the tests need:
//   TEMPLATE_FAMILY   the family the service reports
//   TEMPLATE_FILE     the template path it gives (none when undefined)
#include <TemplateProbe.hpp>

#include <vlt_datasource/TemplateDBService.hpp>

#include <cppmicroservices/BundleActivator.hpp>

#include <atomic>
#include <memory>

namespace {

struct Provider final : vlt_datasource::TemplateDBService, testbundles::TemplateProbe {
  std::u16string getFamilyName() override {
    ++calls_;
    return TEMPLATE_FAMILY;
  }
  boost::optional<std::u16string> getTemplateFile(const std::u16string&) override {
#ifdef TEMPLATE_FILE
    return std::u16string(TEMPLATE_FILE);
#else
    return boost::none;
#endif
  }
  int familyNameCalls() const override { return calls_; }

 private:
  std::atomic<int> calls_{0};
};

struct Activator : cppmicroservices::BundleActivator {
  void Start(cppmicroservices::BundleContext context) override {
    context.RegisterService<vlt_datasource::TemplateDBService, testbundles::TemplateProbe>(
        std::make_shared<Provider>());
  }
  void Stop(cppmicroservices::BundleContext) override {}
};

}  // namespace

CPPMICROSERVICES_EXPORT_BUNDLE_ACTIVATOR(Activator)
