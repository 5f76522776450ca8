#pragma once
// The framework's bundle container: the CppMicroServices bundles that extend
// the process (type-evolution providers, template databases), found in the
// "bundles" folder of the install path.

#include <qm0/export.hpp>

#include <cppmicroservices/Bundle.hpp>
#include <cppmicroservices/BundleContext.hpp>

#include <memory>
#include <string>
#include <vector>

namespace qm::utils::services {

/// A started cppmicroservices framework and the bundles started in it. Owns
/// the framework and stops it when destroyed. May be used from several
/// threads at once.
class QM0_API BundleContainer {
 public:
  /// Starts a framework, then installs and starts every bundle of
  /// `<installPath>/bundles`: one folder per bundle, holding its manifest.json
  /// and its library, taken in name order. A folder whose bundle cannot be
  /// installed or started (missing library, malformed manifest, an activator
  /// that throws) is logged on the "qm::zero::framework" channel at severity
  /// 256 with the folder and the cause, and skipped. A missing folder gives no
  /// bundle. Never throws for a bad bundle.
  explicit BundleContainer(const std::u16string& installPath);
  ~BundleContainer();
  BundleContainer(const BundleContainer&) = delete;
  BundleContainer& operator=(const BundleContainer&) = delete;

  /// The usable (started) bundles: those of the folder in name order, then
  /// those added by installBundle in the order added. A copy of the list, so
  /// another thread may add bundles meanwhile.
  std::vector<cppmicroservices::Bundle> getBundles() const;

  /// Installs and starts the bundle at `location` (a bundle folder or its
  /// library) and adds it to getBundles(). A location already in the
  /// container gives its bundle again. Throws std::runtime_error naming the
  /// location and the cause when the bundle cannot be installed or started;
  /// then the container is unchanged.
  cppmicroservices::Bundle installBundle(const std::u16string& location);

  /// The framework's own context, for hosts that register services of their
  /// own.
  cppmicroservices::BundleContext getFrameworkContext() const;

  const std::u16string& getInstallPath() const noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qm::utils::services

namespace qm::zero::services {

/// The process's container, over the install path of this library (the folder
/// above the one holding it; its "bundles" folder). Created on first use, by
/// whichever thread comes first; lives until the process ends. Throws
/// foundation::filesystem::FileSystemError when the install path cannot be
/// determined (the next call tries again).
QM0_API qm::utils::services::BundleContainer& getQm0BundleContainer();

/// Makes sure the process's container is started and returns its bundles.
/// Calling it again starts nothing more.
QM0_API std::vector<cppmicroservices::Bundle> initQM0Microservices();

}  // namespace qm::zero::services
