#include "Core.hpp"
#include "PropertyLookup.hpp"

#include <cppmicroservices/ServiceReference.hpp>

#include <algorithm>

namespace cppmicroservices {

ServiceReferenceBase::ServiceReferenceBase() = default;
ServiceReferenceBase::ServiceReferenceBase(std::shared_ptr<detail::ServiceRecord> record, std::string interfaceId)
    : record_(std::move(record)), interfaceId_(std::move(interfaceId)) {}

Any ServiceReferenceBase::GetProperty(const std::string& key) const {
  if (!record_) return Any();
  const Any* value = detail::findProperty(record_->properties, key, false);
  return value != nullptr ? *value : Any();
}

std::vector<std::string> ServiceReferenceBase::GetPropertyKeys() const {
  std::vector<std::string> keys;
  if (record_)
    for (const auto& entry : record_->properties) keys.push_back(entry.first);
  return keys;
}

const AnyMap& ServiceReferenceBase::GetProperties() const {
  static const AnyMap none;
  return record_ ? record_->properties : none;
}

Bundle ServiceReferenceBase::GetBundle() const {
  if (!record_) return Bundle();
  {
    std::lock_guard<std::mutex> lock(record_->mutex);
    if (!record_->registered) return Bundle();
  }
  std::shared_ptr<detail::Core> core = record_->core.lock();
  if (!core) return Bundle();
  return Bundle(core->handle(*record_->bundle));
}

bool ServiceReferenceBase::IsConvertibleTo(const std::string& interfaceId) const {
  return record_ && std::binary_search(record_->interfaceIds.begin(), record_->interfaceIds.end(), interfaceId);
}

bool ServiceReferenceBase::operator<(const ServiceReferenceBase& other) const {
  if (!record_ || !other.record_) return !record_ && other.record_;
  return detail::isBetter(*other.record_, *record_);
}

}  // namespace cppmicroservices
