#include <vlt/Uri.hpp>

#include "PostgresTarget.hpp"

#include <fl/i18n/Unicode.hpp>

#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>
#include <boost/url/url_view.hpp>

#include <algorithm>
#include <cctype>
#include <iterator>

namespace vlt {
namespace {

using Params = std::vector<std::pair<std::string, std::string>>;

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decodes `text` into `out`; false for a malformed escape. "+" is
// kept as it is.
bool percentDecode(const std::string& text, std::string& out) {
  out.clear();
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = hexValue(text[i + 1]);
    const int low = hexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return true;
}

bool parseQuery(const std::string& query, Params& params) {
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string item = query.substr(start, end - start);
    if (!item.empty()) {
      const std::size_t eq = item.find('=');
      std::string name;
      std::string value;
      if (!percentDecode(item.substr(0, eq), name)) return false;
      if (eq != std::string::npos && !percentDecode(item.substr(eq + 1), value)) return false;
      if (name.empty()) return false;
      const bool known = std::any_of(params.begin(), params.end(), [&](const auto& p) { return p.first == name; });
      if (!known) params.emplace_back(std::move(name), std::move(value));
    }
    start = end + 1;
  }
  return true;
}

// The scheme of "scheme:rest", lower-cased, when the text has one. A single
// letter before the colon is a drive letter, not a scheme.
std::string schemeOf(const std::string& text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos || colon < 2) return {};
  if (!std::isalpha(static_cast<unsigned char>(text[0]))) return {};
  for (std::size_t i = 1; i < colon; ++i) {
    const char c = text[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return {};
  }
  std::string scheme = text.substr(0, colon);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
  return scheme;
}

}  // namespace

// Uri's constructor is protected so that only parse() makes instances; this
// subclass exists to reach it through std::make_unique.
class ParsedUri final : public Uri {
 public:
  ParsedUri(std::string text, int kind, std::string location, Params params)
      : Uri(std::move(text), kind, std::move(location), std::move(params)) {}
};

Uri::Uri(std::string text, int kind, std::string location, Params params)
    : text_(std::move(text)), kind_(kind), location_(std::move(location)), params_(std::move(params)) {}

Uri::~Uri() = default;

int Uri::kind() const noexcept { return kind_; }

std::u16string Uri::fullTextUtf16() const { return fl::i18n::utf8_to_ustring(text_); }

boost::optional<std::string> Uri::getParam(const std::string& name) const {
  for (const auto& [key, value] : params_) {
    if (key == name) return value;
  }
  return boost::none;
}

std::string Uri::redact(const std::string& text) {
  const std::string scheme = schemeOf(text);
  if (scheme != "postgresql" && scheme != "postgres") return text;
  // Works on the raw text rather than a parsed URI, so that a string that
  // does not parse is masked too.
  const std::size_t authority = text.find("://") + 3;
  const std::size_t authorityEnd = std::min(text.find_first_of("/?#", authority), text.size());
  std::string masked = text.substr(0, authorityEnd);
  const std::size_t at = masked.rfind('@');
  if (at != std::string::npos && at > authority) {
    const std::size_t colon = masked.find(':', authority);
    if (colon < at) masked.replace(colon + 1, at - colon - 1, "***");
  }
  std::size_t i = authorityEnd;
  const std::size_t query = text.find('?', authorityEnd);
  if (query != std::string::npos) {
    masked.append(text, i, query + 1 - i);
    i = query + 1;
    while (i < text.size() && text[i] != '#') {
      const std::size_t end = std::min(text.find_first_of("&#", i), text.size());
      const std::string item = text.substr(i, end - i);
      masked += item.rfind("password=", 0) == 0 ? std::string("password=***") : item;
      if (end < text.size() && text[end] == '&') masked += '&';
      i = end == text.size() || text[end] == '#' ? end : end + 1;
    }
  }
  masked.append(text, i, std::string::npos);
  return masked;
}

std::unique_ptr<Uri> Uri::parse(const std::u16string& text) { return parse(fl::i18n::ustring_to_utf8(text)); }

std::unique_ptr<Uri> Uri::parse(const std::string& text) {
  if (text.empty()) return nullptr;
  const std::string scheme = schemeOf(text);
  Params params;

  if (scheme == "postgresql" || scheme == "postgres") {
    auto parsed = boost::urls::parse_uri(text);
    if (!parsed || parsed->encoded_host().empty()) return nullptr;
    if (parsed->has_query() && !parseQuery(std::string(parsed->encoded_query()), params)) return nullptr;
    if (parsed->has_fragment()) return nullptr;
    const std::size_t query = text.find('?');
    return std::make_unique<ParsedUri>(text, postgresql, text.substr(0, query), std::move(params));
  }

  std::string location;
  const std::size_t query = text.find('?');
  if (query != std::string::npos && !parseQuery(text.substr(query + 1), params)) return nullptr;
  std::string path = text.substr(0, query);

  if (scheme == "file") {
    // file:///abs/path, file://localhost/abs/path or file:/abs/path.
    std::string rest = path.substr(5);
    if (startsWith(rest, "//")) {
      const std::size_t slash = rest.find('/', 2);
      const std::string host = rest.substr(2, slash == std::string::npos ? std::string::npos : slash - 2);
      if (!host.empty() && host != "localhost") return nullptr;
      rest = slash == std::string::npos ? std::string() : rest.substr(slash);
    }
    if (!percentDecode(rest, location)) return nullptr;
  } else if (!scheme.empty() && path.find("://") != std::string::npos) {
    return nullptr;  // a URI of a scheme no back end serves
  } else {
    location = path;  // a local path is taken literally
  }
  if (location.empty()) return nullptr;
  return std::make_unique<ParsedUri>(text, localFile, std::move(location), std::move(params));
}

}  // namespace vlt

namespace vlt::detail {

// Parameters the data source adds to a connection string for itself; libpq
// never sees them.
constexpr const char* repositoryParameters[] = {"maxGenerations", "family",         "trace",        "reflective", "evolve",
                                                "wal",            "requiredFamily", "pageCacheMiB", "lockTimeout"};

PostgresTarget postgresTarget(const std::string& text) {
  boost::urls::url url(boost::urls::parse_uri(text).value());
  auto params = url.params();
  for (auto it = params.begin(); it != params.end();) {
    const std::string key = (*it).key;
    const bool own = std::any_of(std::begin(repositoryParameters), std::end(repositoryParameters),
                                 [&](const char* name) { return key == name; });
    it = own ? params.erase(it) : std::next(it);
  }
  if (url.params().empty()) url.remove_query();
  PostgresTarget target;
  target.libpqUri = std::string(url.buffer());
  if (url.has_password()) url.set_password("***");
  auto secret = url.params().find("password");
  if (secret != url.params().end()) url.params().replace(secret, {"password", "***"});
  target.filespec = std::string(url.buffer());
  return target;
}

}  // namespace vlt::detail
