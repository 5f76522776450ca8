#include "Core.hpp"

#include <cppmicroservices/BundleContext.hpp>
#include <cppmicroservices/LDAPFilter.hpp>

#include <stdexcept>

namespace cppmicroservices {

BundleContext::BundleContext() = default;
BundleContext::BundleContext(std::shared_ptr<detail::BundleData> bundle, unsigned generation)
    : bundle_(std::move(bundle)), generation_(generation) {}

BundleContext::operator bool() const { return bundle_ && bundle_->contextUsable(generation_); }

detail::BundleData& BundleContext::checked(const char* operation) const {
  if (!*this)
    throw std::runtime_error(std::string("Cannot ") + operation + ": the bundle context is not valid" +
                             (bundle_ ? " (bundle \"" + bundle_->symbolicName + "\" is not started)" : ""));
  return *bundle_;
}

Bundle BundleContext::GetBundle() const {
  checked("get the bundle");
  return Bundle(bundle_);
}

std::vector<Bundle> BundleContext::GetBundles() const {
  detail::BundleData& d = checked("list bundles");
  std::vector<Bundle> result;
  for (auto& data : d.core->bundles()) result.push_back(Bundle(std::move(data)));
  return result;
}

Bundle BundleContext::GetBundle(long id) const {
  detail::BundleData& d = checked("get a bundle");
  for (auto& data : d.core->bundles())
    if (data->id == id) return Bundle(std::move(data));
  return Bundle();
}

std::vector<Bundle> BundleContext::InstallBundles(const std::string& location) {
  detail::BundleData& d = checked("install a bundle");
  return {Bundle(d.core->install(location))};
}

ServiceRegistrationU BundleContext::RegisterService(const InterfaceMap& services, const ServiceProperties& properties) {
  detail::BundleData& d = checked("register a service");
  return ServiceRegistrationBase(d.core->registerService(d, services, properties));
}

std::vector<ServiceReferenceU> BundleContext::GetServiceReferences(const std::string& interfaceId,
                                                                   const std::string& filter) {
  detail::BundleData& d = checked("get service references");
  const LDAPFilter ldap = filter.empty() ? LDAPFilter() : LDAPFilter(filter);
  std::vector<ServiceReferenceU> result;
  for (auto& record : d.core->services(interfaceId)) {
    ServiceReferenceBase ref(record, interfaceId.empty() ? record->interfaceIds.front() : interfaceId);
    if (ldap.Match(ref)) result.push_back(ref);
  }
  return result;
}

ServiceReferenceU BundleContext::GetServiceReference(const std::string& interfaceId) {
  detail::BundleData& d = checked("get a service reference");
  auto records = d.core->services(interfaceId);
  if (records.empty()) return ServiceReferenceU();
  return ServiceReferenceBase(records.front(), interfaceId.empty() ? records.front()->interfaceIds.front() : interfaceId);
}

std::shared_ptr<void> BundleContext::GetService(const ServiceReferenceBase& reference) {
  checked("get a service");
  if (!reference) return nullptr;
  const detail::ServiceRecord& record = *reference.record_;
  std::lock_guard<std::mutex> lock(record.mutex);
  const auto it = record.services.find(reference.GetInterfaceId());
  return it == record.services.end() ? nullptr : it->second;
}

}  // namespace cppmicroservices
