#pragma once
// Names of the properties the framework reads or sets.

namespace cppmicroservices::Constants {

/// Manifest: the bundle's name, a non-empty string (required).
inline constexpr const char* BUNDLE_SYMBOLICNAME = "bundle.symbolic_name";
/// Manifest: true when the library exports an activator (optional, false).
inline constexpr const char* BUNDLE_ACTIVATOR = "bundle.activator";
/// Manifest: the library's file name in the bundle folder (optional,
/// "lib<symbolic name>.so").
inline constexpr const char* BUNDLE_LIBRARY = "bundle.library";

/// Service property set by the framework: the interface ids the service was
/// registered under (std::vector<std::string>).
inline constexpr const char* OBJECTCLASS = "objectclass";
/// Service property set by the framework: a process-unique id (long), in
/// registration order.
inline constexpr const char* SERVICE_ID = "service.id";
/// Service property read by the framework (int, default 0): of several
/// matching services, GetServiceReference picks the highest ranking.
inline constexpr const char* SERVICE_RANKING = "service.ranking";

}  // namespace cppmicroservices::Constants
