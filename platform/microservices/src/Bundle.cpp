#include "Core.hpp"

#include <cppmicroservices/Bundle.hpp>
#include <cppmicroservices/BundleContext.hpp>

#include <stdexcept>

namespace cppmicroservices {

Bundle::Bundle() = default;
Bundle::~Bundle() = default;
Bundle::Bundle(const Bundle&) = default;
Bundle& Bundle::operator=(const Bundle&) = default;
Bundle::Bundle(std::shared_ptr<detail::BundleData> data) : d_(std::move(data)) {}

detail::BundleData& Bundle::data() const {
  if (!d_) throw std::logic_error("Invalid bundle handle");
  return *d_;
}

void Bundle::Start() {
  detail::BundleData& d = data();
  d.core->start(d);
}

void Bundle::Stop() {
  detail::BundleData& d = data();
  d.core->stop(d);
}

Bundle::State Bundle::GetState() const { return static_cast<State>(data().state.load()); }
long Bundle::GetBundleId() const { return data().id; }
std::string Bundle::GetSymbolicName() const { return data().symbolicName; }
std::string Bundle::GetLocation() const { return data().location; }
const AnyMap& Bundle::GetHeaders() const { return data().headers; }

BundleContext Bundle::GetBundleContext() const {
  detail::BundleData& d = data();
  const unsigned generation = d.generation.load();
  if (!d.contextUsable(generation)) return BundleContext();
  return BundleContext(d_, generation);
}

std::vector<ServiceReferenceU> Bundle::GetRegisteredServices() const {
  detail::BundleData& d = data();
  std::vector<ServiceReferenceU> result;
  for (auto& record : d.core->servicesOf(d))
    result.push_back(ServiceReferenceBase(record, record->interfaceIds.front()));
  return result;
}

bool Bundle::operator<(const Bundle& other) const {
  if (!d_ || !other.d_) return !d_ && other.d_;
  if (d_->core != other.d_->core) return d_->core < other.d_->core;
  return d_->id < other.d_->id;
}

}  // namespace cppmicroservices
