#pragma once
// A started bundle's view of its framework: registering and finding services,
// installing bundles.

#include <cppmicroservices/Any.hpp>
#include <cppmicroservices/Bundle.hpp>
#include <cppmicroservices/ServiceInterface.hpp>
#include <cppmicroservices/ServiceReference.hpp>
#include <cppmicroservices/ServiceRegistration.hpp>
#include <microservices/export.hpp>

#include <memory>
#include <string>
#include <vector>

namespace cppmicroservices {

/// The context of one start of a bundle. Invalid by default, and for good
/// once its bundle stops: a later start gives a new context. Every operation
/// but the validity test throws std::runtime_error on an invalid context.
/// Copyable; may be used from any thread.
class MICROSERVICES_API BundleContext {
 public:
  BundleContext();

  /// Whether the context may be used: its bundle is starting, active or
  /// stopping, and has not stopped since this context was made.
  explicit operator bool() const;

  Bundle GetBundle() const;
  /// Every bundle of the framework, the framework first, in installation order.
  std::vector<Bundle> GetBundles() const;
  /// The bundle of id `id`; an invalid Bundle when there is none.
  Bundle GetBundle(long id) const;

  /// Installs the bundle at `location`: a bundle folder (its manifest.json
  /// names the library, "lib<symbolic name>.so" by default) or the library
  /// itself (with manifest.json beside it). Returns the installed bundle; a
  /// location installed before returns the bundle installed then. Throws
  /// std::runtime_error naming the location and the cause when the manifest is
  /// missing, is not valid JSON, is not an object, lacks a symbolic name or
  /// has a property of the wrong type, or when the library is missing; then
  /// nothing is installed.
  std::vector<Bundle> InstallBundles(const std::string& location);

  /// Registers `impl` under the interfaces `I1, Interfaces...`, with
  /// `properties` plus those the framework sets (objectclass, service.id).
  /// The service belongs to this context's bundle and is unregistered when the
  /// bundle stops. Throws std::invalid_argument for a null `impl`.
  template <class I1, class... Interfaces, class Impl>
  ServiceRegistration<I1, Interfaces...> RegisterService(const std::shared_ptr<Impl>& impl,
                                                         const ServiceProperties& properties = ServiceProperties()) {
    if (!impl) return ServiceRegistration<I1, Interfaces...>(RegisterService(InterfaceMap(), properties));
    return ServiceRegistration<I1, Interfaces...>(RegisterService(MakeInterfaceMap<I1, Interfaces...>(impl), properties));
  }

  /// The same, with the interface map built by the caller. Throws
  /// std::invalid_argument for an empty map or a null service pointer.
  ServiceRegistrationU RegisterService(const InterfaceMap& services,
                                       const ServiceProperties& properties = ServiceProperties());

  /// The registered services of interface `S` whose properties match the LDAP
  /// `filter` (all of them when it is empty), highest ranking first, then in
  /// registration order. Throws std::invalid_argument for a malformed filter.
  template <class S>
  std::vector<ServiceReference<S>> GetServiceReferences(const std::string& filter = std::string()) {
    std::vector<ServiceReference<S>> result;
    for (const ServiceReferenceU& ref : GetServiceReferences(us_service_interface_iid<S>(), filter))
      result.emplace_back(ref);
    return result;
  }

  /// The same for the interface id `interfaceId`; an empty id takes services
  /// of every interface.
  std::vector<ServiceReferenceU> GetServiceReferences(const std::string& interfaceId, const std::string& filter);

  /// The first of GetServiceReferences<S>(): the highest ranking, then the
  /// earliest registered; null when there is none.
  template <class S>
  ServiceReference<S> GetServiceReference() {
    return ServiceReference<S>(GetServiceReference(us_service_interface_iid<S>()));
  }
  ServiceReferenceU GetServiceReference(const std::string& interfaceId);

  /// The service object, converted to the reference's interface; null for a
  /// null reference and once the service is unregistered. The caller shares
  /// ownership: the object lives as long as any holder.
  std::shared_ptr<void> GetService(const ServiceReferenceBase& reference);

  template <class S>
  std::shared_ptr<S> GetService(const ServiceReference<S>& reference) {
    return std::static_pointer_cast<S>(GetService(static_cast<const ServiceReferenceBase&>(reference)));
  }

  bool operator==(const BundleContext& other) const noexcept {
    return bundle_ == other.bundle_ && generation_ == other.generation_;
  }

 private:
  friend class Bundle;
  BundleContext(std::shared_ptr<detail::BundleData> bundle, unsigned generation);
  detail::BundleData& checked(const char* operation) const;

  std::shared_ptr<detail::BundleData> bundle_;
  unsigned generation_ = 0;
};

}  // namespace cppmicroservices
