#pragma once

#include <cppmicroservices/Any.hpp>

#include <string>

namespace cppmicroservices::detail {

/// The value of `key` in `properties`: the exact key when present, otherwise,
/// unless `exactCase`, the first key equal to it ignoring ASCII case. Null
/// when absent.
const Any* findProperty(const AnyMap& properties, const std::string& key, bool exactCase) noexcept;

}  // namespace cppmicroservices::detail
