// Registers a greeter, then fails its start.
#include <Greeter.hpp>

#include <cppmicroservices/BundleActivator.hpp>

#include <memory>
#include <stdexcept>

namespace {

class Silent : public testbundles::Greeter {
 public:
  std::string greet(const std::string&) const override { return ""; }
};

class Activator : public cppmicroservices::BundleActivator {
 public:
  void Start(cppmicroservices::BundleContext context) override {
    context.RegisterService<testbundles::Greeter>(std::make_shared<Silent>(), {{"language", std::string("none")}});
    throw std::runtime_error("no greeting today");
  }
  void Stop(cppmicroservices::BundleContext) override {}
};

}  // namespace

CPPMICROSERVICES_EXPORT_BUNDLE_ACTIVATOR(Activator)
