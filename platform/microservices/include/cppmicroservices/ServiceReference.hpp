#pragma once
// References to registered services.

#include <cppmicroservices/Any.hpp>
#include <cppmicroservices/ServiceInterface.hpp>
#include <microservices/export.hpp>

#include <memory>
#include <string>
#include <vector>

namespace cppmicroservices {

class Bundle;

namespace detail {
struct ServiceRecord;
}

/// A reference to one service registration, typed by an interface id: the
/// id the service was looked up under. Null by default. A reference outlives
/// its registration: once the service is unregistered, `GetService` gives
/// null for it, while its properties stay readable. Copyable; may be used
/// from any thread.
class MICROSERVICES_API ServiceReferenceBase {
 public:
  ServiceReferenceBase();
  ServiceReferenceBase(std::nullptr_t) : ServiceReferenceBase() {}

  /// False for a null reference.
  explicit operator bool() const noexcept { return record_ != nullptr; }

  /// The property `key` (looked up case-insensitively, as LDAP filters do);
  /// an empty Any when absent or for a null reference.
  Any GetProperty(const std::string& key) const;
  /// The keys of all properties, those the framework sets included.
  std::vector<std::string> GetPropertyKeys() const;
  /// All properties.
  const AnyMap& GetProperties() const;

  /// The bundle that registered the service; an invalid Bundle for a null
  /// reference, once the service is unregistered, or once its framework is gone.
  Bundle GetBundle() const;

  /// Whether the service was registered under `interfaceId` (its id from
  /// `us_service_interface_iid`). False for a null reference.
  bool IsConvertibleTo(const std::string& interfaceId) const;

  /// The id this reference was looked up under.
  const std::string& GetInterfaceId() const noexcept { return interfaceId_; }

  /// References to the same registration are equal, whatever their id.
  bool operator==(const ServiceReferenceBase& other) const noexcept { return record_ == other.record_; }
  bool operator!=(const ServiceReferenceBase& other) const noexcept { return record_ != other.record_; }
  /// Orders by ranking, then by registration: a reference that "is less" is
  /// the one GetServiceReference would not choose.
  bool operator<(const ServiceReferenceBase& other) const;

 protected:
  void SetInterfaceId(const std::string& interfaceId) { interfaceId_ = interfaceId; }

 private:
  friend class BundleContext;
  friend class ServiceRegistrationBase;
  friend class Bundle;
  friend class LDAPFilter;
  ServiceReferenceBase(std::shared_ptr<detail::ServiceRecord> record, std::string interfaceId);

  std::shared_ptr<detail::ServiceRecord> record_;
  std::string interfaceId_;
};

/// A reference whose id is the interface `S`. Built from any reference: the
/// result is null when the service was not registered under `S`.
template <class S>
class ServiceReference : public ServiceReferenceBase {
 public:
  using ServiceType = S;

  ServiceReference() = default;
  ServiceReference(std::nullptr_t) {}
  ServiceReference(const ServiceReferenceBase& base) : ServiceReferenceBase(base) {
    const std::string id = us_service_interface_iid<S>();
    if (IsConvertibleTo(id))
      SetInterfaceId(id);
    else
      ServiceReferenceBase::operator=(ServiceReferenceBase());
  }
};

/// A reference of no particular interface: it keeps the id it was made with.
template <>
class ServiceReference<void> : public ServiceReferenceBase {
 public:
  using ServiceType = void;

  ServiceReference() = default;
  ServiceReference(std::nullptr_t) {}
  ServiceReference(const ServiceReferenceBase& base) : ServiceReferenceBase(base) {}
};

using ServiceReferenceU = ServiceReference<void>;

}  // namespace cppmicroservices
