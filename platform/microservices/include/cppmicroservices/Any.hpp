#pragma once
// Values of manifest headers and service properties.
//
// `Any` is std::any: a value of any copyable type, read back with `any_cast`
// (the exact type or std::bad_any_cast). Manifest values read from JSON have
// these types:
//
//   JSON string         std::string
//   JSON true / false   bool
//   JSON integer        std::int64_t (std::uint64_t above INT64_MAX)
//   JSON real           double
//   JSON array          std::vector<Any>
//   JSON object         AnyMap
//   JSON null           an empty Any

#include <any>
#include <map>
#include <string>

namespace cppmicroservices {

using Any = std::any;
using std::any_cast;

/// Keys are case-sensitive here; LDAP filters look keys up case-insensitively.
using AnyMap = std::map<std::string, Any>;

/// The properties a service is registered with.
using ServiceProperties = AnyMap;

}  // namespace cppmicroservices
