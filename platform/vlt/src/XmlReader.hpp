#pragma once
// A small XML reader for the base metamodel file: elements with attributes,
// comments and white space, nothing else. It keeps line numbers for messages
// and never recurses, so that no input can exhaust the stack.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vlt::detail {

/// One element: its name, attributes in document order, child elements, and
/// the line its start tag is on (from 1).
struct XmlElement {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
  std::vector<XmlElement> children;
  int line = 0;

  /// The value of the attribute `name`; null when it has none.
  const std::string* attribute(std::string_view name) const noexcept;
};

/// Text that is not the XML this reader takes; `line()` is where (from 1).
class XmlError : public std::runtime_error {
 public:
  XmlError(const std::string& what, int line) : std::runtime_error(what), line_(line) {}
  int line() const noexcept { return line_; }

 private:
  int line_;
};

struct XmlLimits {
  std::size_t maxDepth = 32;          ///< elements nested deeper are refused
  std::size_t maxElements = 1000000;  ///< more elements in all are refused
};

/// Parses `text`: UTF-8 throughout (a byte-order mark may lead), an optional
/// XML declaration (encoding UTF-8 if it names one), comments, and one root
/// element. Attribute values may use the five predefined entities and
/// character references. Refused with XmlError: anything else (a DOCTYPE,
/// CDATA, processing instructions, text between elements), malformed markup,
/// a repeated attribute, and input beyond `limits`.
XmlElement parseXml(std::string_view text, const XmlLimits& limits = {});

}  // namespace vlt::detail
