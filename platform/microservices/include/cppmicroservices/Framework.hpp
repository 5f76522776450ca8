#pragma once
// The framework: the bundle that holds every other bundle and the service
// registry.
//
//   cppmicroservices::Framework framework = cppmicroservices::FrameworkFactory().NewFramework();
//   framework.Start();
//   auto bundles = framework.GetBundleContext().InstallBundles("/opt/app/bundles/greeter");
//   bundles.front().Start();
//   ...
//   framework.Stop();

#include <cppmicroservices/Bundle.hpp>
#include <microservices/export.hpp>

namespace cppmicroservices {

/// The framework's own bundle (id 0, symbolic name "system_bundle"). Start
/// makes its context valid, so that bundles can be installed and started;
/// Stop stops every started bundle, the last installed first, then the
/// framework. Stop the framework before its last handle goes: bundles still
/// active then are discarded without their activator's Stop.
class MICROSERVICES_API Framework : public Bundle {
 public:
  Framework() = default;
  /// A framework handle on `bundle` when it is a framework's own bundle;
  /// otherwise an invalid handle.
  explicit Framework(const Bundle& bundle);
};

class MICROSERVICES_API FrameworkFactory {
 public:
  /// A new framework, installed and not started; it shares nothing with any
  /// other framework.
  Framework NewFramework();
};

}  // namespace cppmicroservices
