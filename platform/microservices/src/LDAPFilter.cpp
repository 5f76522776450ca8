#include "PropertyLookup.hpp"

#include <cppmicroservices/Bundle.hpp>
#include <cppmicroservices/LDAPFilter.hpp>
#include <cppmicroservices/ServiceReference.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace cppmicroservices {

namespace detail {

struct FilterNode {
  enum class Kind { And, Or, Not, Equal, Approx, GreaterEq, LessEq, Present, Substring };
  Kind kind = Kind::Equal;
  std::string attribute;
  std::string value;                 // Equal, Approx, GreaterEq, LessEq
  std::vector<std::string> pieces;   // Substring: initial, any..., final ("" where absent)
  std::vector<FilterNode> children;  // And, Or (one or more), Not (one)
};

namespace {

using Kind = FilterNode::Kind;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Recursive descent over the grammar in the header; every error names the
// offset where the parse stopped.
class Parser {
 public:
  explicit Parser(const std::string& text) : text_(text) {}

  FilterNode parse() {
    skipBlanks();
    if (atEnd()) fail("the filter is empty");
    FilterNode root = filter();
    skipBlanks();
    if (!atEnd()) fail("unexpected text after the filter");
    return root;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw std::invalid_argument("Invalid LDAP filter \"" + text_ + "\": " + what + " at offset " +
                                std::to_string(pos_));
  }
  bool atEnd() const { return pos_ >= text_.size(); }
  char peek() const { return atEnd() ? '\0' : text_[pos_]; }
  void skipBlanks() {
    while (!atEnd() && isBlank(text_[pos_])) ++pos_;
  }
  void expect(char c) {
    if (peek() != c) fail(std::string("expected '") + c + "'");
    ++pos_;
  }

  FilterNode filter() {
    expect('(');
    skipBlanks();
    FilterNode node;
    switch (peek()) {
      case '&':
      case '|':
        node.kind = peek() == '&' ? Kind::And : Kind::Or;
        ++pos_;
        skipBlanks();
        if (peek() != '(') fail("expected a filter after the operator");
        while (peek() == '(') {
          node.children.push_back(filter());
          skipBlanks();
        }
        break;
      case '!':
        node.kind = Kind::Not;
        ++pos_;
        skipBlanks();
        node.children.push_back(filter());
        skipBlanks();
        break;
      default:
        node = item();
    }
    expect(')');
    return node;
  }

  FilterNode item() {
    FilterNode node;
    const std::size_t start = pos_;
    while (!atEnd() && std::string("=~<>()").find(peek()) == std::string::npos) ++pos_;
    node.attribute = text_.substr(start, pos_ - start);
    while (!node.attribute.empty() && isBlank(node.attribute.back())) node.attribute.pop_back();
    if (node.attribute.empty()) fail("expected an attribute name");
    if (node.attribute.find_first_of("\\*") != std::string::npos) fail("invalid character in the attribute name");

    switch (peek()) {
      case '=':
        ++pos_;
        break;
      case '~':
      case '<':
      case '>': {
        const char op = peek();
        ++pos_;
        if (peek() != '=') fail(std::string("expected '=' after '") + op + "'");
        ++pos_;
        node.kind = op == '~' ? Kind::Approx : op == '<' ? Kind::LessEq : Kind::GreaterEq;
        node.value = value(nullptr);
        return node;
      }
      default:
        fail("expected an operator after the attribute name");
    }

    std::vector<std::string> pieces;
    value(&pieces);
    if (pieces.size() == 1) {
      node.kind = Kind::Equal;
      node.value = std::move(pieces.front());
    } else if (pieces.size() == 2 && pieces[0].empty() && pieces[1].empty()) {
      node.kind = Kind::Present;
    } else {
      node.kind = Kind::Substring;
      node.pieces = std::move(pieces);
    }
    return node;
  }

  // Reads a value up to the closing parenthesis. With `pieces`, unescaped
  // stars split it; without, a star is an error (ordered and approximate
  // comparisons take no wildcards).
  std::string value(std::vector<std::string>* pieces) {
    std::string current;
    while (!atEnd() && peek() != ')') {
      const char c = text_[pos_];
      if (c == '(') fail("unescaped '(' in a value");
      if (c == '*') {
        if (pieces == nullptr) fail("'*' in a value that takes no wildcards");
        pieces->push_back(std::move(current));
        current.clear();
        ++pos_;
        continue;
      }
      if (c == '\\') {
        ++pos_;
        const int high = hexDigit(peek());
        const int low = pos_ + 1 < text_.size() ? hexDigit(text_[pos_ + 1]) : -1;
        if (high >= 0 && low >= 0) {
          current.push_back(static_cast<char>(high * 16 + low));
          pos_ += 2;
        } else if (peek() == '*' || peek() == '(' || peek() == ')' || peek() == '\\') {
          current.push_back(peek());
          ++pos_;
        } else {
          fail("invalid escape: '\\' must be followed by two hexadecimal digits or one of *()\\");
        }
        continue;
      }
      current.push_back(c);
      ++pos_;
    }
    if (atEnd()) fail("missing ')' after the value");
    if (pieces != nullptr) pieces->push_back(std::move(current));
    return pieces != nullptr ? std::string() : current;
  }

  const std::string& text_;
  std::size_t pos_ = 0;
};

// Comparison of one property value with one filter value. The filter value
// is read according to the property's type.

std::string trimmed(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && isBlank(s[b])) ++b;
  while (e > b && isBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

template <class T>
bool parseWhole(const std::string& text, T& out) {
  const std::string t = trimmed(text);
  if (t.empty()) return false;
  char* end = nullptr;
  errno = 0;
  if constexpr (std::is_same_v<T, double>) {
    out = std::strtod(t.c_str(), &end);
  } else if constexpr (std::is_signed_v<T>) {
    out = std::strtoll(t.c_str(), &end, 10);
  } else {
    if (t.front() == '-') return false;
    out = std::strtoull(t.c_str(), &end, 10);
  }
  return errno == 0 && end == t.c_str() + t.size();
}

template <class T>
bool compareOrdered(Kind kind, const T& property, const T& wanted) {
  switch (kind) {
    case Kind::Equal:
    case Kind::Approx:
      return property == wanted;
    case Kind::GreaterEq:
      return property >= wanted;
    case Kind::LessEq:
      return property <= wanted;
    default:
      return false;
  }
}

bool compareSigned(Kind kind, std::int64_t property, const std::string& wanted) {
  std::int64_t integer = 0;
  if (parseWhole(wanted, integer)) return compareOrdered(kind, property, integer);
  std::uint64_t big = 0;
  if (parseWhole(wanted, big)) return kind == Kind::LessEq;  // above INT64_MAX
  double real = 0;
  return parseWhole(wanted, real) && compareOrdered(kind, static_cast<double>(property), real);
}

bool compareUnsigned(Kind kind, std::uint64_t property, const std::string& wanted) {
  std::uint64_t integer = 0;
  if (parseWhole(wanted, integer)) return compareOrdered(kind, property, integer);
  std::int64_t negative = 0;
  if (parseWhole(wanted, negative)) return kind == Kind::GreaterEq;  // below zero
  double real = 0;
  return parseWhole(wanted, real) && compareOrdered(kind, static_cast<double>(property), real);
}

std::string withoutBlanksLower(const std::string& s) {
  std::string out;
  for (char c : s)
    if (!isBlank(c)) out.push_back(lower(c));
  return out;
}

bool matchSubstring(const std::vector<std::string>& pieces, const std::string& s) {
  const std::string& initial = pieces.front();
  const std::string& last = pieces.back();
  if (s.compare(0, initial.size(), initial) != 0 || s.size() < initial.size()) return false;
  std::size_t pos = initial.size();
  for (std::size_t i = 1; i + 1 < pieces.size(); ++i) {
    if (pieces[i].empty()) continue;
    const std::size_t found = s.find(pieces[i], pos);
    if (found == std::string::npos) return false;
    pos = found + pieces[i].size();
  }
  // The final piece must lie wholly after what the others used up.
  return s.size() - pos >= last.size() && s.compare(s.size() - last.size(), last.size(), last) == 0;
}

bool compareString(const FilterNode& node, const std::string& property) {
  switch (node.kind) {
    case Kind::Equal:
      return property == node.value;
    case Kind::Approx:
      return withoutBlanksLower(property) == withoutBlanksLower(node.value);
    case Kind::GreaterEq:
      return property >= node.value;
    case Kind::LessEq:
      return property <= node.value;
    case Kind::Substring:
      return matchSubstring(node.pieces, property);
    default:
      return false;
  }
}

template <class T>
const T* as(const Any& value) {
  return any_cast<T>(&value);
}

bool compareValue(const FilterNode& node, const Any& property) {
  if (const auto* s = as<std::string>(property)) return compareString(node, *s);
  if (const auto* s = as<const char*>(property)) return *s != nullptr && compareString(node, *s);
  // A list matches when one of its items does.
  if (const auto* list = as<std::vector<Any>>(property)) {
    return std::any_of(list->begin(), list->end(), [&node](const Any& item) { return compareValue(node, item); });
  }
  if (const auto* list = as<std::vector<std::string>>(property)) {
    return std::any_of(list->begin(), list->end(),
                       [&node](const std::string& item) { return compareString(node, item); });
  }
  if (node.kind == Kind::Substring) return false;  // substrings match text only
  if (const auto* b = as<bool>(property)) {
    if (node.kind != Kind::Equal && node.kind != Kind::Approx) return false;
    const std::string wanted = trimmed(node.value);
    return equalsIgnoringCase(wanted, *b ? "true" : "false");
  }
  if (const auto* v = as<int>(property)) return compareSigned(node.kind, *v, node.value);
  if (const auto* v = as<long>(property)) return compareSigned(node.kind, *v, node.value);
  if (const auto* v = as<long long>(property)) return compareSigned(node.kind, *v, node.value);
  if (const auto* v = as<short>(property)) return compareSigned(node.kind, *v, node.value);
  if (const auto* v = as<unsigned>(property)) return compareUnsigned(node.kind, *v, node.value);
  if (const auto* v = as<unsigned long>(property)) return compareUnsigned(node.kind, *v, node.value);
  if (const auto* v = as<unsigned long long>(property)) return compareUnsigned(node.kind, *v, node.value);
  if (const auto* v = as<unsigned short>(property)) return compareUnsigned(node.kind, *v, node.value);
  double wanted = 0;
  if (const auto* v = as<double>(property)) {
    return parseWhole(node.value, wanted) && compareOrdered(node.kind, *v, wanted);
  }
  if (const auto* v = as<float>(property)) {
    return parseWhole(node.value, wanted) && compareOrdered(node.kind, static_cast<double>(*v), wanted);
  }
  return false;  // maps and types the filter cannot read
}

bool evaluate(const FilterNode& node, const AnyMap& properties, bool exactCase) {
  switch (node.kind) {
    case Kind::And:
      for (const FilterNode& child : node.children)
        if (!evaluate(child, properties, exactCase)) return false;
      return true;
    case Kind::Or:
      for (const FilterNode& child : node.children)
        if (evaluate(child, properties, exactCase)) return true;
      return false;
    case Kind::Not:
      return !evaluate(node.children.front(), properties, exactCase);
    case Kind::Present:
      return findProperty(properties, node.attribute, exactCase) != nullptr;
    default: {
      const Any* property = findProperty(properties, node.attribute, exactCase);
      return property != nullptr && compareValue(node, *property);
    }
  }
}

}  // namespace

const Any* findProperty(const AnyMap& properties, const std::string& key, bool exactCase) noexcept {
  const auto exact = properties.find(key);
  if (exact != properties.end()) return &exact->second;
  if (exactCase) return nullptr;
  for (const auto& entry : properties)
    if (equalsIgnoringCase(entry.first, key)) return &entry.second;
  return nullptr;
}

}  // namespace detail

LDAPFilter::LDAPFilter() = default;

LDAPFilter::LDAPFilter(const std::string& filter)
    : root_(std::make_shared<const detail::FilterNode>(detail::Parser(filter).parse())), text_(filter) {}

bool LDAPFilter::Match(const AnyMap& properties) const {
  return !root_ || detail::evaluate(*root_, properties, false);
}

bool LDAPFilter::MatchCase(const AnyMap& properties) const {
  return !root_ || detail::evaluate(*root_, properties, true);
}

bool LDAPFilter::Match(const Bundle& bundle) const { return bundle && Match(bundle.GetHeaders()); }

bool LDAPFilter::Match(const ServiceReferenceBase& reference) const {
  return reference && Match(reference.GetProperties());
}

std::string LDAPFilter::ToString() const { return text_; }

}  // namespace cppmicroservices
