#pragma once
// Reading a bundle's manifest.json.

#include <cppmicroservices/Any.hpp>

#include <string>

namespace cppmicroservices::detail {

/// What installation needs from a bundle location.
struct Manifest {
  std::string manifestPath;
  std::string libraryPath;
  std::string symbolicName;
  bool hasActivator = false;
  AnyMap headers;
};

/// Reads the manifest of the bundle at `location` (a bundle folder or its
/// library) and checks that the library exists. Throws std::runtime_error
/// naming the location, the file and the cause.
Manifest readManifest(const std::string& location);

/// Parses manifest text; `path` only names the file in messages. Throws
/// std::runtime_error.
AnyMap parseManifest(const std::string& text, const std::string& path);

}  // namespace cppmicroservices::detail
