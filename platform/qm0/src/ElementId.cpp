#include <qm/zero/ElementId.hpp>
#include <qm/zero/query/ReflectiveQuery.hpp>
#include <qm/zero/query/ValueMatchRelation.hpp>

namespace qm::zero {

const std::u16string ElementId::UUID_TYPE = u"UUID";

// Proxies are made and resolved by id text in bulk while a data source
// loads: these two run once per proxy, without the stream and the locale
// that boost's own conversions go through.
namespace {

constexpr bool hyphenAfter(std::size_t byte) noexcept { return byte == 3 || byte == 5 || byte == 7 || byte == 9; }

int hexValue(char16_t c) noexcept {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

}  // namespace

std::u16string ElementId::uuidText(const boost::uuids::uuid& uuid) {
  static constexpr char16_t digits[] = u"0123456789abcdef";
  std::u16string text(36, u'-');
  std::size_t at = 0;
  for (std::size_t byte = 0; byte < 16; ++byte) {
    text[at++] = digits[uuid.data[byte] >> 4];
    text[at++] = digits[uuid.data[byte] & 0xf];
    if (hyphenAfter(byte)) ++at;
  }
  return text;
}

bool ElementId::parseUUID(std::u16string_view text, boost::uuids::uuid& uuid) noexcept {
  if (text.size() != 36) return false;
  boost::uuids::uuid parsed;
  std::size_t at = 0;
  for (std::size_t byte = 0; byte < 16; ++byte) {
    const int high = hexValue(text[at++]);
    const int low = hexValue(text[at++]);
    if (high < 0 || low < 0) return false;
    parsed.data[byte] = static_cast<std::uint8_t>(high << 4 | low);
    if (hyphenAfter(byte) && text[at++] != u'-') return false;
  }
  uuid = parsed;
  return true;
}

namespace query {

ReflectiveQuery::~ReflectiveQuery() = default;
ReflectiveQuery::ResultIterator::~ResultIterator() = default;
ReflectiveDisjunction::~ReflectiveDisjunction() = default;

const char* ValueMatchRelationName(std::uint32_t relation) noexcept {
  static const char* const names[] = {"equal",   "contains",       "notEqual",   "less",     "lessOrEqual",
                                      "greater", "greaterOrEqual", "startsWith", "endsWith", "matches"};
  return relation < std::size(names) ? names[relation] : "unknown";
}

}  // namespace query
}  // namespace qm::zero
