#pragma once
// A bundle: a shared library with a JSON manifest beside it, installed in a
// framework.

#include <cppmicroservices/Any.hpp>
#include <cppmicroservices/ServiceReference.hpp>
#include <microservices/export.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace cppmicroservices {

class BundleContext;

namespace detail {
struct BundleData;
class Core;
}

/// A handle on an installed bundle. Null ("invalid") by default. Copies
/// designate the same bundle; a handle keeps its framework's data alive.
/// May be used from any thread; Start and Stop of one framework's bundles run
/// one at a time.
///
/// States: INSTALLED after installation; STARTING while the activator's
/// Start runs; ACTIVE once it returned; STOPPING while its Stop runs;
/// RESOLVED after a stop or a failed start (it may be started again).
class MICROSERVICES_API Bundle {
 public:
  enum State : std::uint32_t {
    STATE_UNINSTALLED = 0x01,
    STATE_INSTALLED = 0x02,
    STATE_RESOLVED = 0x04,
    STATE_STARTING = 0x08,
    STATE_STOPPING = 0x10,
    STATE_ACTIVE = 0x20,
  };

  Bundle();
  virtual ~Bundle();
  Bundle(const Bundle&);
  Bundle& operator=(const Bundle&);

  explicit operator bool() const noexcept { return d_ != nullptr; }

  /// Loads the library (once; it is never unloaded while the process runs)
  /// and runs the activator's Start with a fresh context. A bundle already
  /// active or starting is left as it is. Throws std::runtime_error naming the
  /// bundle and the cause when the library cannot be loaded, the activator is
  /// declared but not exported, the framework is not started, or the
  /// activator throws; then every service the bundle registered is
  /// unregistered and the bundle is RESOLVED. Throws std::logic_error for an
  /// invalid handle.
  void Start();

  /// Runs the activator's Stop, then unregisters every service the bundle
  /// still has registered and invalidates its context. A bundle that is not
  /// active is left as it is. When the activator's Stop throws, the bundle is
  /// stopped all the same and a std::runtime_error naming it is thrown.
  /// Stopping the framework's own bundle stops the framework.
  void Stop();

  State GetState() const;
  /// 0 for the framework, then 1, 2, ... in installation order.
  long GetBundleId() const;
  /// The manifest's "bundle.symbolic_name".
  std::string GetSymbolicName() const;
  /// The location the bundle was installed from.
  std::string GetLocation() const;
  /// The manifest's properties. The map lives as long as the bundle's
  /// framework (at least as long as this handle).
  const AnyMap& GetHeaders() const;

  /// The bundle's context while it is STARTING, ACTIVE or STOPPING;
  /// otherwise an invalid context.
  BundleContext GetBundleContext() const;

  /// References to the services the bundle has registered and not yet
  /// unregistered, in registration order, each under its first interface.
  std::vector<ServiceReferenceU> GetRegisteredServices() const;

  bool operator==(const Bundle& other) const noexcept { return d_ == other.d_; }
  bool operator!=(const Bundle& other) const noexcept { return d_ != other.d_; }
  bool operator<(const Bundle& other) const;

 protected:
  friend class BundleContext;
  friend class ServiceReferenceBase;
  friend class FrameworkFactory;
  friend class detail::Core;
  explicit Bundle(std::shared_ptr<detail::BundleData> data);

  detail::BundleData& data() const;

  std::shared_ptr<detail::BundleData> d_;
};

}  // namespace cppmicroservices
