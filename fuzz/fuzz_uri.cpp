// fuzz_uri: the input is a connection string, parsed as UTF-8 and, read as
// pairs of bytes, as UTF-16. Parsing never throws: invalid text gives null.
// Of a parsed Uri every accessor is called and held to what Uri.hpp
// promises; any exception, crash, sanitizer report or broken promise is a
// finding.

#include "FuzzSupport.hpp"

#include <vlt/Uri.hpp>

#include <fl/i18n/Unicode.hpp>

#include <boost/url/parse.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

namespace {

void expect(bool condition, const std::string& what, const vlt::Uri& uri) {
  if (!condition) vlt_fuzz::finding(what + " (parsed from \"" + uri.fullText() + "\")");
}

void check(const vlt::Uri& uri, const std::string& text) {
  expect(uri.fullText() == text, "fullText is not the text parsed", uri);
  expect(uri.fullTextUtf16() == fl::i18n::utf8_to_ustring(text), "fullTextUtf16 is not the text parsed", uri);
  expect(static_cast<std::u16string>(uri) == uri.fullTextUtf16(), "the UTF-16 conversion differs from fullTextUtf16",
         uri);
  expect(!uri.getLocation().empty(), "a parsed Uri has an empty location", uri);
  const int kind = uri.kind();
  expect(kind == vlt::Uri::localFile || kind == vlt::Uri::postgresql, "unknown kind " + std::to_string(kind), uri);

  std::set<std::string> names;
  for (const auto& [name, value] : uri.params()) {
    expect(!name.empty(), "a parameter without a name", uri);
    expect(names.insert(name).second, "the parameter \"" + name + "\" is listed twice", uri);
    expect(uri.getParam(name) == value, "getParam(\"" + name + "\") is not its listed value", uri);
  }
  static_cast<void>(uri.getParam("family"));

  const std::string redacted = uri.redacted();
  if (kind != vlt::Uri::postgresql) {
    expect(redacted == text, "a local location's redacted text differs from the text", uri);
    return;
  }
  const auto original = boost::urls::parse_uri(text);
  expect(original.has_value(), "a PostgreSQL Uri whose text is not a URI", uri);
  if (!original->has_password()) {
    expect(redacted == text, "redacted changed a URI without a password", uri);
    return;
  }
  const auto hidden = boost::urls::parse_uri(redacted);
  expect(hidden.has_value() && hidden->has_password() && hidden->password() == "***",
         "redacted text \"" + redacted + "\" does not hide the password", uri);
}

void parseUtf8(const std::string& text) {
  const std::unique_ptr<vlt::Uri> uri = vlt::Uri::parse(text);
  if (uri) check(*uri, text);
}

void parseUtf16(const std::uint8_t* data, std::size_t size) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < size; i += 2) text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  const std::unique_ptr<vlt::Uri> uri = vlt::Uri::parse(text);
  // The UTF-16 form is the UTF-8 one after conversion (an unpaired
  // surrogate becomes U+FFFD).
  const std::string utf8 = fl::i18n::ustring_to_utf8(text);
  if (!uri) {
    if (vlt::Uri::parse(utf8)) vlt_fuzz::finding("UTF-16 text refused whose UTF-8 form parses: \"" + utf8 + "\"");
    return;
  }
  check(*uri, utf8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    parseUtf8(std::string(reinterpret_cast<const char*>(data), size));
    parseUtf16(data, size);
  } catch (const std::exception& e) {
    vlt_fuzz::unexpectedException(e);
  }
  return 0;
}
