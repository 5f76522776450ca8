#include "Core.hpp"

#include "Manifest.hpp"

#include <cppmicroservices/BundleContext.hpp>
#include <cppmicroservices/Constants.hpp>

#include <foundation/log/DiagnosticLogger.hpp>

#include <algorithm>
#include <stdexcept>

namespace cppmicroservices::detail {

namespace {

foundation::log::diagnostic_logger& logger() {
  static foundation::log::diagnostic_logger log("cppmicroservices");
  return log;
}

std::string describe(const BundleData& bundle) {
  return "\"" + bundle.symbolicName + "\" (" + bundle.location + ")";
}

std::string causeOf(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "an exception that is not a std::exception";
  }
}

// Reads service.ranking the way it is usually given: an int, or a number of
// another integer type, or a JSON number; anything else ranks 0.
int rankingOf(const AnyMap& properties) {
  const auto it = properties.find(Constants::SERVICE_RANKING);
  if (it == properties.end()) return 0;
  if (const int* v = any_cast<int>(&it->second)) return *v;
  if (const long* v = any_cast<long>(&it->second)) return static_cast<int>(*v);
  if (const long long* v = any_cast<long long>(&it->second)) return static_cast<int>(*v);
  return 0;
}

}  // namespace

bool isBetter(const ServiceRecord& a, const ServiceRecord& b) noexcept {
  if (a.ranking != b.ranking) return a.ranking > b.ranking;
  return a.id < b.id;
}

std::shared_ptr<Core> Core::create() {
  std::shared_ptr<Core> core(new Core());
  auto system = std::make_unique<BundleData>();
  system->core = core.get();
  system->id = 0;
  system->symbolicName = "system_bundle";
  system->location = "System Bundle";
  system->headers.emplace(Constants::BUNDLE_SYMBOLICNAME, system->symbolicName);
  core->bundles_.push_back(std::move(system));
  return core;
}

Core::~Core() {
  // Nobody can call into the bundles any more (no handle is left), so an
  // activator's Stop could not be given a usable context: the bundles still
  // active are dropped without it. The framework's Stop is the orderly way.
  for (auto& bundle : bundles_) releaseActivator(*bundle);
}

std::shared_ptr<BundleData> Core::install(const std::string& location) {
  std::lock_guard<std::recursive_mutex> lifecycle(lifecycleMutex_);
  {
    std::lock_guard<std::mutex> lock(bundlesMutex_);
    for (auto& bundle : bundles_)
      if (!bundle->isSystem() && bundle->location == location) return handle(*bundle);
  }
  Manifest manifest = readManifest(location);
  auto bundle = std::make_unique<BundleData>();
  bundle->core = this;
  bundle->location = location;
  bundle->libraryPath = std::move(manifest.libraryPath);
  bundle->symbolicName = std::move(manifest.symbolicName);
  bundle->hasActivator = manifest.hasActivator;
  bundle->headers = std::move(manifest.headers);
  std::lock_guard<std::mutex> lock(bundlesMutex_);
  bundle->id = static_cast<long>(bundles_.size());
  bundles_.push_back(std::move(bundle));
  logger().log(foundation::log::severity::detail, "Installed bundle ", describe(*bundles_.back()));
  return handle(*bundles_.back());
}

std::vector<std::shared_ptr<BundleData>> Core::bundles() {
  std::lock_guard<std::mutex> lock(bundlesMutex_);
  std::vector<std::shared_ptr<BundleData>> result;
  for (auto& bundle : bundles_) result.push_back(handle(*bundle));
  return result;
}

void Core::start(BundleData& bundle) {
  std::lock_guard<std::recursive_mutex> lifecycle(lifecycleMutex_);
  if (bundle.isSystem()) return startFramework(bundle);
  if ((bundle.state & (Bundle::STATE_STARTING | Bundle::STATE_ACTIVE)) != 0) return;
  if (systemBundle().state != Bundle::STATE_ACTIVE)
    throw std::runtime_error("Cannot start bundle " + describe(bundle) + ": its framework is not started");

  ++bundle.generation;
  bundle.state = Bundle::STATE_STARTING;
  try {
    if (!bundle.library) bundle.library = SharedLibrary::open(bundle.libraryPath);
    if (bundle.hasActivator) {
      using Create = BundleActivator* (*)();
      using Destroy = void (*)(BundleActivator*);
      auto create = reinterpret_cast<Create>(bundle.library->symbol(CPPMICROSERVICES_ACTIVATOR_CREATE_SYMBOL));
      auto destroy = reinterpret_cast<Destroy>(bundle.library->symbol(CPPMICROSERVICES_ACTIVATOR_DESTROY_SYMBOL));
      if (create == nullptr || destroy == nullptr)
        throw std::runtime_error(std::string("its manifest declares an activator but its library does not export ") +
                                 CPPMICROSERVICES_ACTIVATOR_CREATE_SYMBOL + " and " +
                                 CPPMICROSERVICES_ACTIVATOR_DESTROY_SYMBOL);
      bundle.activator = create();
      bundle.destroyActivator = destroy;
      if (bundle.activator == nullptr) throw std::runtime_error("its activator factory returned null");
      bundle.activator->Start(Bundle(handle(bundle)).GetBundleContext());
    }
  } catch (...) {
    const std::string cause = causeOf(std::current_exception());
    // Nothing of a failed start stays: its services go, its context dies.
    releaseActivator(bundle);
    unregisterAll(bundle);
    bundle.state = Bundle::STATE_RESOLVED;
    ++bundle.generation;
    throw std::runtime_error("Cannot start bundle " + describe(bundle) + ": " + cause);
  }
  bundle.state = Bundle::STATE_ACTIVE;
  logger().log(foundation::log::severity::detail, "Started bundle ", describe(bundle));
}

void Core::stop(BundleData& bundle) {
  std::lock_guard<std::recursive_mutex> lifecycle(lifecycleMutex_);
  if (bundle.isSystem()) return stopFramework(bundle);
  stopBundle(bundle);
}

void Core::stopBundle(BundleData& bundle) {
  if (bundle.state != Bundle::STATE_ACTIVE) return;
  bundle.state = Bundle::STATE_STOPPING;
  std::exception_ptr failure;
  if (bundle.activator != nullptr) {
    try {
      bundle.activator->Stop(Bundle(handle(bundle)).GetBundleContext());
    } catch (...) {
      failure = std::current_exception();
    }
  }
  releaseActivator(bundle);
  unregisterAll(bundle);
  bundle.state = Bundle::STATE_RESOLVED;
  ++bundle.generation;
  if (failure) throw std::runtime_error("Bundle " + describe(bundle) + " failed to stop: " + causeOf(failure));
  logger().log(foundation::log::severity::detail, "Stopped bundle ", describe(bundle));
}

void Core::startFramework(BundleData& system) {
  if (system.state == Bundle::STATE_ACTIVE) return;
  ++system.generation;
  system.state = Bundle::STATE_ACTIVE;
}

void Core::stopFramework(BundleData& system) {
  if (system.state != Bundle::STATE_ACTIVE) return;
  system.state = Bundle::STATE_STOPPING;
  std::vector<BundleData*> order;
  {
    std::lock_guard<std::mutex> lock(bundlesMutex_);
    for (auto& bundle : bundles_)
      if (!bundle->isSystem()) order.push_back(bundle.get());
  }
  // Last installed first, so that a bundle stops before those it was
  // installed after (and may depend on). One bundle's failure does not keep
  // the others running.
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    try {
      stopBundle(**it);
    } catch (const std::exception& e) {
      logger().log(foundation::log::severity::warning, e.what());
    }
  }
  unregisterAll(system);
  system.state = Bundle::STATE_RESOLVED;
  ++system.generation;
}

void Core::releaseActivator(BundleData& bundle) noexcept {
  if (bundle.activator != nullptr && bundle.destroyActivator != nullptr) bundle.destroyActivator(bundle.activator);
  bundle.activator = nullptr;
  bundle.destroyActivator = nullptr;
}

std::shared_ptr<ServiceRecord> Core::registerService(BundleData& bundle, const InterfaceMap& services,
                                                     const AnyMap& properties) {
  if (services.empty()) throw std::invalid_argument("Cannot register a service without an interface");
  for (const auto& [id, object] : services)
    if (!object) throw std::invalid_argument("Cannot register a null service object as \"" + id + "\"");

  auto record = std::make_shared<ServiceRecord>();
  record->core = weak_from_this();
  record->bundle = &bundle;
  record->services = services;
  for (const auto& entry : services) record->interfaceIds.push_back(entry.first);
  record->properties = properties;
  record->ranking = rankingOf(properties);
  std::lock_guard<std::mutex> lock(registryMutex_);
  record->id = nextServiceId_++;
  // The framework's own properties win over the caller's of the same name.
  record->properties[Constants::OBJECTCLASS] = record->interfaceIds;
  record->properties[Constants::SERVICE_ID] = record->id;
  registry_.push_back(record);
  return record;
}

void Core::unregister(ServiceRecord& record) {
  InterfaceMap released;  // destroyed after the locks: a destructor may call back
  {
    std::lock_guard<std::mutex> lock(registryMutex_);
    std::lock_guard<std::mutex> recordLock(record.mutex);
    if (!record.registered) throw std::logic_error("The service is already unregistered");
    record.registered = false;
    released.swap(record.services);
    registry_.erase(std::remove_if(registry_.begin(), registry_.end(),
                                   [&](const std::shared_ptr<ServiceRecord>& r) { return r.get() == &record; }),
                    registry_.end());
  }
}

void Core::unregisterAll(const BundleData& bundle) {
  for (const auto& record : servicesOf(bundle)) {
    try {
      unregister(*record);
    } catch (const std::logic_error&) {  // unregistered meanwhile by another thread
    }
  }
}

std::vector<std::shared_ptr<ServiceRecord>> Core::services(const std::string& interfaceId) {
  std::vector<std::shared_ptr<ServiceRecord>> result;
  {
    std::lock_guard<std::mutex> lock(registryMutex_);
    for (const auto& record : registry_)
      if (interfaceId.empty() || std::binary_search(record->interfaceIds.begin(), record->interfaceIds.end(), interfaceId))
        result.push_back(record);
  }
  std::stable_sort(result.begin(), result.end(),
                   [](const auto& a, const auto& b) { return isBetter(*a, *b); });
  return result;
}

std::vector<std::shared_ptr<ServiceRecord>> Core::servicesOf(const BundleData& bundle) {
  std::lock_guard<std::mutex> lock(registryMutex_);
  std::vector<std::shared_ptr<ServiceRecord>> result;
  for (const auto& record : registry_)
    if (record->bundle == &bundle) result.push_back(record);
  return result;
}

}  // namespace cppmicroservices::detail
