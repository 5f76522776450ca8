#pragma once
// The state of one framework: its bundles and its service registry.
//
// Handles (Bundle, BundleContext) hold a shared_ptr to a BundleData that
// shares ownership of the whole Core (the aliasing constructor), so a handle
// keeps its framework alive and a BundleData never outlives its Core. Service
// records are shared with references instead, and point back at the Core
// weakly: a reference kept after its framework is gone reads its properties
// and finds nothing else.

#include "SharedLibrary.hpp"

#include <cppmicroservices/Any.hpp>
#include <cppmicroservices/Bundle.hpp>
#include <cppmicroservices/BundleActivator.hpp>
#include <cppmicroservices/ServiceInterface.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace cppmicroservices::detail {

class Core;

struct BundleData {
  Core* core = nullptr;  // owns this
  long id = 0;
  std::string location;
  std::string libraryPath;  // empty for the framework's own bundle
  std::string symbolicName;
  bool hasActivator = false;
  AnyMap headers;  // immutable after installation

  // Written under core->lifecycleMutex, read anywhere.
  std::atomic<std::uint32_t> state{Bundle::STATE_INSTALLED};
  // Counts starts and stops; a context is valid while the count it was made
  // with is current. Written under core->lifecycleMutex.
  std::atomic<unsigned> generation{0};

  // Guarded by core->lifecycleMutex.
  std::unique_ptr<SharedLibrary> library;
  BundleActivator* activator = nullptr;
  void (*destroyActivator)(BundleActivator*) = nullptr;

  bool isSystem() const noexcept { return id == 0; }
  bool contextUsable(unsigned contextGeneration) const noexcept {
    const std::uint32_t s = state.load();
    return generation.load() == contextGeneration &&
           (s & (Bundle::STATE_STARTING | Bundle::STATE_ACTIVE | Bundle::STATE_STOPPING)) != 0;
  }
};

struct ServiceRecord {
  long id = 0;
  int ranking = 0;
  std::vector<std::string> interfaceIds;  // immutable, sorted by the map
  AnyMap properties;                      // immutable, framework's included
  std::weak_ptr<Core> core;
  BundleData* bundle = nullptr;  // valid while `core` lives

  mutable std::mutex mutex;
  InterfaceMap services;  // guarded by mutex; emptied on unregistration
  bool registered = true; // guarded by mutex
};

class Core : public std::enable_shared_from_this<Core> {
 public:
  static std::shared_ptr<Core> create();
  ~Core();

  std::shared_ptr<BundleData> handle(BundleData& bundle) { return {shared_from_this(), &bundle}; }
  BundleData& systemBundle() { return *bundles_.front(); }

  std::shared_ptr<BundleData> install(const std::string& location);
  void start(BundleData& bundle);
  void stop(BundleData& bundle);

  std::vector<std::shared_ptr<BundleData>> bundles();

  std::shared_ptr<ServiceRecord> registerService(BundleData& bundle, const InterfaceMap& services,
                                                 const AnyMap& properties);
  void unregister(ServiceRecord& record);
  /// Registered services under `interfaceId` (all when empty), best first.
  std::vector<std::shared_ptr<ServiceRecord>> services(const std::string& interfaceId);
  std::vector<std::shared_ptr<ServiceRecord>> servicesOf(const BundleData& bundle);

 private:
  Core() = default;
  void startFramework(BundleData& system);
  void stopFramework(BundleData& system);
  void stopBundle(BundleData& bundle);
  void unregisterAll(const BundleData& bundle);
  void releaseActivator(BundleData& bundle) noexcept;

  // Start, stop and install run one at a time per framework; recursive, so that
  // an activator may start or install another bundle.
  std::recursive_mutex lifecycleMutex_;

  mutable std::mutex bundlesMutex_;
  std::vector<std::unique_ptr<BundleData>> bundles_;  // guarded by bundlesMutex_; only ever appended

  mutable std::mutex registryMutex_;
  std::vector<std::shared_ptr<ServiceRecord>> registry_;  // guarded by registryMutex_, registration order
  long nextServiceId_ = 1;                                // guarded by registryMutex_
};

/// Service records ordered best first: highest ranking, then lowest id.
bool isBetter(const ServiceRecord& a, const ServiceRecord& b) noexcept;

}  // namespace cppmicroservices::detail
