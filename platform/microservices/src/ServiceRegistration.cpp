#include "Core.hpp"

#include <cppmicroservices/ServiceRegistration.hpp>

#include <stdexcept>

namespace cppmicroservices {

ServiceRegistrationBase::ServiceRegistrationBase() = default;
ServiceRegistrationBase::ServiceRegistrationBase(std::shared_ptr<detail::ServiceRecord> record)
    : record_(std::move(record)) {}

ServiceReferenceBase ServiceRegistrationBase::GetReference(const std::string& interfaceId) const {
  if (!record_) throw std::logic_error("Invalid service registration");
  {
    std::lock_guard<std::mutex> lock(record_->mutex);
    if (!record_->registered) throw std::logic_error("The service is unregistered");
  }
  return ServiceReferenceBase(record_, interfaceId.empty() ? record_->interfaceIds.front() : interfaceId);
}

void ServiceRegistrationBase::Unregister() {
  if (!record_) throw std::logic_error("Invalid service registration");
  std::shared_ptr<detail::Core> core = record_->core.lock();
  if (!core) {
    // The framework is gone, and its registry with it.
    std::lock_guard<std::mutex> lock(record_->mutex);
    if (!record_->registered) throw std::logic_error("The service is already unregistered");
    record_->registered = false;
    record_->services.clear();
    return;
  }
  core->unregister(*record_);
}

}  // namespace cppmicroservices
