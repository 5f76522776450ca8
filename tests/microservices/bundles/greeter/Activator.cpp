// Registers two greeters: English (rank 0) and French (rank 5, also Described).
#include <Greeter.hpp>

#include <cppmicroservices/BundleActivator.hpp>

#include <memory>

namespace {

class English : public testbundles::Greeter {
 public:
  std::string greet(const std::string& name) const override { return "Hello " + name; }
};

class French : public testbundles::Described, public testbundles::Greeter {
 public:
  std::string greet(const std::string& name) const override { return "Bonjour " + name; }
  std::string description() const override { return "French greeter"; }
};

class Activator : public cppmicroservices::BundleActivator {
 public:
  void Start(cppmicroservices::BundleContext context) override {
    context.RegisterService<testbundles::Greeter>(std::make_shared<English>(),
                                                  {{"language", std::string("en")}});
    french_ = context.RegisterService<testbundles::Greeter, testbundles::Described>(
        std::make_shared<French>(), {{"language", std::string("fr")}, {"service.ranking", 5}});
  }
  // The French service is unregistered here, the English one is left to the
  // framework: both must be gone after the stop.
  void Stop(cppmicroservices::BundleContext) override { french_.Unregister(); }

 private:
  cppmicroservices::ServiceRegistration<testbundles::Greeter, testbundles::Described> french_;
};

}  // namespace

CPPMICROSERVICES_EXPORT_BUNDLE_ACTIVATOR(Activator)
