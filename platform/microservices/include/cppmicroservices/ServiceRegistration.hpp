#pragma once
// The handle a bundle gets back for a service it registered.

#include <cppmicroservices/ServiceReference.hpp>
#include <microservices/export.hpp>

#include <memory>
#include <string>

namespace cppmicroservices {

/// One registration. Null by default. The service stays registered until
/// `Unregister` or until its bundle stops, whether the handle lives or not.
/// Copyable; may be used from any thread.
class MICROSERVICES_API ServiceRegistrationBase {
 public:
  ServiceRegistrationBase();
  ServiceRegistrationBase(std::nullptr_t) : ServiceRegistrationBase() {}

  explicit operator bool() const noexcept { return record_ != nullptr; }

  /// A reference to the service under `interfaceId`, or under its first
  /// interface when empty. Throws std::logic_error for a null registration
  /// and once the service is unregistered.
  ServiceReferenceBase GetReference(const std::string& interfaceId = std::string()) const;

  /// Removes the service from the registry: look-ups no longer find it and
  /// GetService gives null for its references. Objects already handed out
  /// stay alive with their holders. Throws std::logic_error for a null
  /// registration and when the service is already unregistered.
  void Unregister();

  bool operator==(const ServiceRegistrationBase& other) const noexcept { return record_ == other.record_; }
  bool operator!=(const ServiceRegistrationBase& other) const noexcept { return record_ != other.record_; }

 private:
  friend class BundleContext;
  explicit ServiceRegistrationBase(std::shared_ptr<detail::ServiceRecord> record);

  std::shared_ptr<detail::ServiceRecord> record_;
};

/// A registration under the interfaces `I1, Interfaces...`.
template <class I1, class... Interfaces>
class ServiceRegistration : public ServiceRegistrationBase {
 public:
  ServiceRegistration() = default;
  ServiceRegistration(std::nullptr_t) {}
  explicit ServiceRegistration(const ServiceRegistrationBase& base) : ServiceRegistrationBase(base) {}

  /// The reference under `I` (the first interface by default).
  template <class I = I1>
  ServiceReference<I> GetReference() const {
    return ServiceReference<I>(ServiceRegistrationBase::GetReference(us_service_interface_iid<I>()));
  }
};

template <>
class ServiceRegistration<void> : public ServiceRegistrationBase {
 public:
  ServiceRegistration() = default;
  ServiceRegistration(std::nullptr_t) {}
  ServiceRegistration(const ServiceRegistrationBase& base) : ServiceRegistrationBase(base) {}
};

using ServiceRegistrationU = ServiceRegistration<void>;

}  // namespace cppmicroservices
