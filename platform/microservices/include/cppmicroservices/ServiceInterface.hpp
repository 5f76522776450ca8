#pragma once
// Interface ids: a service is registered and looked up under the demangled
// name of its interface type ("vlt_datasource::TemplateDBService"), so that the
// id is the same in every shared library whatever its type-info merging.

#include <microservices/export.hpp>

#include <map>
#include <memory>
#include <string>
#include <typeinfo>

namespace cppmicroservices {

namespace detail {
/// The demangled name of `type`; the mangled name if it cannot be demangled.
MICROSERVICES_API std::string GetDemangledName(const std::type_info& type);
}  // namespace detail

/// The interface id of `T`.
template <class T>
std::string us_service_interface_iid() {
  return detail::GetDemangledName(typeid(T));
}

/// A service object under each of its interface ids; each pointer is the
/// object converted to that interface, so GetService casts it back exactly.
using InterfaceMap = std::map<std::string, std::shared_ptr<void>>;

/// The map of `impl` under the interfaces `Interfaces...`.
template <class... Interfaces, class Impl>
InterfaceMap MakeInterfaceMap(const std::shared_ptr<Impl>& impl) {
  InterfaceMap map;
  (map.emplace(us_service_interface_iid<Interfaces>(),
               std::static_pointer_cast<void>(std::shared_ptr<Interfaces>(impl))),
   ...);
  return map;
}

}  // namespace cppmicroservices
