#pragma once
// RFC 4515 search filters over property maps.
//
//   (&(bundle.qm0.vltTemplateProvider=geo)(|(version>=2)(!(beta=*))))
//
// Syntax: "(" then "&" or "|" and one or more filters, "!" and one filter, or
// an item: attribute, operator ("=", "~=", ">=", "<="), value. A value of "="
// made of "*" alone tests presence; "*" inside a value of "=" separates
// substrings. In values, "\" followed by two hexadecimal digits is that byte
// (RFC 4515: \2a "*", \28 "(", \29 ")", \5c "\"); "\" followed by one of
// "*()\" is that character. Blanks between filters and around attribute names
// are skipped; blanks inside values are kept.
//
// Matching: attribute names are case-insensitive. A property of string type
// compares as text ("=" and substrings exactly, "~=" ignoring case and blanks,
// ">=" and "<=" by byte order); a number compares numerically with a value
// that reads as a number (and never matches one that does not); a bool equals
// "true" or "false" in any case; a vector matches when one of its elements
// does. An absent property matches nothing, so "(!(x=1))" matches a map
// without x.

#include <cppmicroservices/Any.hpp>
#include <microservices/export.hpp>

#include <memory>
#include <string>

namespace cppmicroservices {

class Bundle;
class ServiceReferenceBase;

namespace detail {
struct FilterNode;
}

/// A parsed filter. Immutable; copies share the parse; may be used from any
/// thread. A default-constructed filter matches everything.
class MICROSERVICES_API LDAPFilter {
 public:
  LDAPFilter();
  /// Parses `filter`. Throws std::invalid_argument whose message quotes the
  /// filter and says what is wrong at which offset.
  explicit LDAPFilter(const std::string& filter);

  /// Case-insensitive keys.
  bool Match(const AnyMap& properties) const;
  /// Keys compared exactly.
  bool MatchCase(const AnyMap& properties) const;
  /// Against the bundle's manifest headers; false for an invalid bundle.
  bool Match(const Bundle& bundle) const;
  /// Against the service's properties; false for a null reference.
  bool Match(const ServiceReferenceBase& reference) const;

  /// The text the filter was parsed from (empty for the default filter).
  std::string ToString() const;

  bool operator==(const LDAPFilter& other) const { return ToString() == other.ToString(); }

 private:
  std::shared_ptr<const detail::FilterNode> root_;
  std::string text_;
};

}  // namespace cppmicroservices
