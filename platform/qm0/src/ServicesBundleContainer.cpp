#include <qm/zero/services/BundleContainer.hpp>

#include <cppmicroservices/Framework.hpp>

#include <fl/i18n/Unicode.hpp>
#include <foundation/filesystem/FileSystem.hpp>
#include <foundation/log/DiagnosticLogger.hpp>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <stdexcept>

namespace qm::utils::services {

namespace {

foundation::log::diagnostic_logger& frameworkLog() {
  static foundation::log::diagnostic_logger log("qm::zero::framework");
  return log;
}

}  // namespace

struct BundleContainer::Impl {
  std::u16string installPath;
  cppmicroservices::Framework framework;

  mutable std::mutex mutex;
  std::vector<cppmicroservices::Bundle> bundles;  // guarded by mutex

  // Installs and starts; the bundle joins the list only once started, so a
  // failure leaves the list as it was.
  cppmicroservices::Bundle add(const std::string& location) {
    std::lock_guard<std::mutex> lock(mutex);
    cppmicroservices::Bundle bundle = framework.GetBundleContext().InstallBundles(location).front();
    if (std::find(bundles.begin(), bundles.end(), bundle) != bundles.end()) return bundle;
    bundle.Start();
    bundles.push_back(bundle);
    return bundle;
  }
};

BundleContainer::BundleContainer(const std::u16string& installPath) : impl_(std::make_unique<Impl>()) {
  impl_->installPath = installPath;
  impl_->framework = cppmicroservices::FrameworkFactory().NewFramework();
  impl_->framework.Start();

  namespace fs = std::filesystem;
  const fs::path folder = fs::path(fl::i18n::ustring_to_utf8(installPath)) / "bundles";
  std::error_code ec;
  std::vector<fs::path> candidates;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_directory(ec)) candidates.push_back(it->path());
  if (ec && ec != std::errc::no_such_file_or_directory) {
    frameworkLog().log(foundation::log::severity::warning, "Cannot list the bundles folder \"", folder.string(),
                       "\": ", ec.message());
  }
  if (candidates.empty()) {
    frameworkLog().log(foundation::log::severity::detail, "No bundles in \"", folder.string(), "\"");
  }
  std::sort(candidates.begin(), candidates.end());
  for (const fs::path& candidate : candidates) {
    try {
      impl_->add(candidate.string());
    } catch (const std::exception& e) {
      // One bad bundle must not take the others, or the process, down.
      frameworkLog().log(foundation::log::severity::warning, "Skipping the bundle in \"", candidate.string(),
                         "\": ", e.what());
    }
  }
}

BundleContainer::~BundleContainer() {
  try {
    impl_->framework.Stop();
  } catch (const std::exception& e) {
    frameworkLog().log(foundation::log::severity::warning, "Stopping the bundles failed: ", e.what());
  } catch (...) {
  }
}

std::vector<cppmicroservices::Bundle> BundleContainer::getBundles() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->bundles;
}

cppmicroservices::Bundle BundleContainer::installBundle(const std::u16string& location) {
  return impl_->add(fl::i18n::ustring_to_utf8(location));
}

cppmicroservices::BundleContext BundleContainer::getFrameworkContext() const {
  return impl_->framework.GetBundleContext();
}

const std::u16string& BundleContainer::getInstallPath() const noexcept { return impl_->installPath; }

}  // namespace qm::utils::services

namespace qm::zero::services {

qm::utils::services::BundleContainer& getQm0BundleContainer() {
  // A function-local static: the first caller builds it, concurrent callers
  // wait for that, and a failed build is retried by the next call.
  static qm::utils::services::BundleContainer container(foundation::filesystem::installPath());
  return container;
}

std::vector<cppmicroservices::Bundle> initQM0Microservices() { return getQm0BundleContainer().getBundles(); }

}  // namespace qm::zero::services
