#include "XmlReader.hpp"

#include <fl/i18n/Unicode.hpp>

#include <cstdint>

namespace vlt::detail {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool isNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':'; }
bool isNameChar(char c) { return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

void appendUtf8(std::string& out, std::uint32_t cp) {
  std::u16string units;
  if (cp < 0x10000) {
    units.push_back(static_cast<char16_t>(cp));
  } else {
    units.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
    units.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
  }
  out += fl::i18n::ustring_to_utf8(units);
}

// The length of the well-formed UTF-8 sequence at `s`, 0 when there is none.
std::size_t utf8Length(std::string_view s) {
  const auto b = static_cast<unsigned char>(s[0]);
  if (b < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3;
    if (b == 0xE0) low = 0xA0;
    if (b == 0xED) high = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto c = static_cast<unsigned char>(s[k]);
    if (c < low || c > high) return 0;
    low = 0x80;
    high = 0xBF;
  }
  return length;
}

class Parser {
 public:
  Parser(std::string_view text, const XmlLimits& limits) : text_(text), limits_(limits) {}

  XmlElement parse() {
    checkEncoding();
    if (startsWith("\xEF\xBB\xBF")) pos_ += 3;
    if (startsWith("<?xml") && pos_ + 5 < text_.size() && isSpace(text_[pos_ + 5])) declaration();
    skipMisc();
    if (!startsWith("<") || startsWith("</")) fail("has no root element");
    XmlElement root = elements();
    skipMisc();
    if (pos_ != text_.size()) fail("has more after the root element");
    return root;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const { throw XmlError(what, line_); }

  bool startsWith(std::string_view s) const { return text_.substr(pos_, s.size()) == s; }
  char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
  void advance(std::size_t n = 1) {
    for (std::size_t k = 0; k < n && pos_ < text_.size(); ++k) {
      if (text_[pos_++] == '\n') ++line_;
    }
  }
  void skipSpace() {
    while (pos_ < text_.size() && isSpace(text_[pos_])) advance();
  }
  void expect(char c, const char* what) {
    if (peek() != c) fail(std::string("expects ") + what);
    advance();
  }

  // The whole text must be UTF-8: reported at the line of the first bad byte.
  void checkEncoding() {
    std::size_t i = 0;
    int line = 1;
    while (i < text_.size()) {
      const std::size_t length = utf8Length(text_.substr(i));
      if (length == 0 || text_[i] == '\0') throw XmlError("is not UTF-8 text", line);
      if (text_[i] == '\n') ++line;
      i += length;
    }
  }

  void declaration() {
    advance(5);
    XmlElement decl;
    attributes(decl);
    if (!startsWith("?>")) fail("has a malformed XML declaration");
    advance(2);
    if (const std::string* encoding = decl.attribute("encoding")) {
      std::string upper;
      for (char c : *encoding) upper.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c);
      if (upper != "UTF-8") fail("declares the encoding \"" + *encoding + "\"; only UTF-8 is read");
    }
  }

  // White space and comments.
  void skipMisc() {
    for (;;) {
      skipSpace();
      if (!startsWith("<!--")) return;
      const std::size_t end = text_.find("--", pos_ + 4);
      if (end == std::string_view::npos) fail("has a comment that does not end");
      advance(end - pos_);
      if (!startsWith("-->")) fail("has \"--\" inside a comment");
      advance(3);
    }
  }

  std::string name() {
    if (!isNameStart(peek())) fail("expects a name");
    const std::size_t start = pos_;
    while (isNameChar(peek())) advance();
    return std::string(text_.substr(start, pos_ - start));
  }

  void reference(std::string& out) {
    const std::size_t end = text_.find(';', pos_);
    if (end == std::string_view::npos || end - pos_ > 12) fail("has an unfinished reference");
    const std::string_view ref = text_.substr(pos_ + 1, end - pos_ - 1);
    static const std::pair<std::string_view, char> named[] = {
        {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
    for (const auto& [n, c] : named) {
      if (ref == n) {
        out.push_back(c);
        advance(end - pos_ + 1);
        return;
      }
    }
    // "&;" names nothing: checked before the digits are cut out of it.
    if (ref.empty() || ref[0] != '#') fail("has the unknown reference \"&" + std::string(ref) + ";\"");
    const bool hex = ref.size() > 2 && ref[1] == 'x';
    const std::string_view digits = ref.substr(hex ? 2 : 1);
    if (digits.empty()) fail("has the unknown reference \"&" + std::string(ref) + ";\"");
    std::uint32_t cp = 0;
    for (char c : digits) {
      int d = c >= '0' && c <= '9' ? c - '0' : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                                             : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) fail("has the malformed reference \"&" + std::string(ref) + ";\"");
      cp = cp * (hex ? 16 : 10) + static_cast<std::uint32_t>(d);
      if (cp > 0x10FFFF) break;
    }
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      fail("refers to a character that is not allowed (\"&" + std::string(ref) + ";\")");
    }
    appendUtf8(out, cp);
    advance(end - pos_ + 1);
  }

  void attributes(XmlElement& element) {
    for (;;) {
      const std::size_t before = pos_;
      skipSpace();
      if (!isNameStart(peek())) return;
      if (pos_ == before) fail("expects white space between attributes");
      std::string key = name();
      skipSpace();
      expect('=', "\"=\" after an attribute name");
      skipSpace();
      const char quote = peek();
      if (quote != '"' && quote != '\'') fail("expects a quoted attribute value");
      advance();
      std::string value;
      while (peek() != quote) {
        if (pos_ >= text_.size()) fail("has an attribute value that does not end");
        if (peek() == '<') fail("has \"<\" in an attribute value");
        if (peek() == '&') {
          reference(value);
          continue;
        }
        value.push_back(peek());
        advance();
      }
      advance();
      if (element.attribute(key) != nullptr) fail("gives the attribute \"" + key + "\" twice");
      element.attributes.emplace_back(std::move(key), std::move(value));
    }
  }

  // Elements from the root down, with an explicit stack.
  XmlElement elements() {
    std::vector<XmlElement> open;
    std::size_t count = 0;
    for (;;) {
      skipMisc();
      if (pos_ >= text_.size()) fail("ends inside the element <" + open.back().name + ">");
      if (peek() != '<') fail("has text between elements, which the format does not use");
      if (startsWith("</")) {
        advance(2);
        const std::string closing = name();
        skipSpace();
        expect('>', "\">\" to end a closing tag");
        if (open.empty() || closing != open.back().name) fail("closes <" + closing + "> where it is not open");
        XmlElement done = std::move(open.back());
        open.pop_back();
        if (open.empty()) return done;
        open.back().children.push_back(std::move(done));
        continue;
      }
      if (startsWith("<!") || startsWith("<?")) fail("has markup the format does not use (DOCTYPE, CDATA or an instruction)");
      advance();
      XmlElement element;
      element.line = line_;
      element.name = name();
      attributes(element);
      skipSpace();
      if (++count > limits_.maxElements) fail("has more than " + std::to_string(limits_.maxElements) + " elements");
      if (open.size() + 1 > limits_.maxDepth) {
        fail("nests elements deeper than " + std::to_string(limits_.maxDepth) + " levels");
      }
      if (startsWith("/>")) {
        advance(2);
        if (open.empty()) return element;
        open.back().children.push_back(std::move(element));
        continue;
      }
      expect('>', "\">\" or \"/>\" to end a tag");
      open.push_back(std::move(element));
    }
  }

  std::string_view text_;
  XmlLimits limits_;
  std::size_t pos_ = 0;
  int line_ = 1;
};

}  // namespace

const std::string* XmlElement::attribute(std::string_view key) const noexcept {
  for (const auto& [k, v] : attributes) {
    if (k == key) return &v;
  }
  return nullptr;
}

XmlElement parseXml(std::string_view text, const XmlLimits& limits) { return Parser(text, limits).parse(); }

}  // namespace vlt::detail
