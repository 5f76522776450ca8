#include <fl/i18n/Unicode.hpp>

#include <cstdint>

namespace fl::i18n {
namespace {

constexpr char16_t replacementCharacter = 0xFFFD;

void appendCodePoint(std::u16string& out, std::uint32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

void appendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes UTF-8; with `surrogates`, also the three-byte forms of surrogate
// code units (ED A0 80 to ED BF BF), which then become those units.
std::u16string decode(std::string_view utf8, bool surrogates) {
  std::u16string out;
  out.reserve(utf8.size());
  const std::size_t n = utf8.size();
  std::size_t i = 0;
  while (i < n) {
    // Most text is ASCII: a run of it is widened at once.
    std::size_t end = i;
    while (end < n && static_cast<unsigned char>(utf8[end]) < 0x80) ++end;
    if (end > i) {
      const std::size_t at = out.size();
      out.resize(at + (end - i));
      for (std::size_t k = i; k < end; ++k) out[at + (k - i)] = static_cast<unsigned char>(utf8[k]);
      i = end;
      continue;
    }
    const auto lead = static_cast<unsigned char>(utf8[i]);
    // Well-formed sequences by lead byte; the first continuation byte of a few
    // leads has a narrower range, which rules out overlong forms, encoded
    // surrogates and values above U+10FFFF.
    int length = 0;
    std::uint32_t cp = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      cp = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED && !surrogates) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      cp = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      out.push_back(replacementCharacter);
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    bool complete = true;
    for (int k = 1; k < length; ++k, ++j) {
      if (j >= n) {
        complete = false;
        break;
      }
      const auto next = static_cast<unsigned char>(utf8[j]);
      if (next < low || next > high) {
        complete = false;
        break;
      }
      cp = (cp << 6) | (next & 0x3F);
      low = 0x80;
      high = 0xBF;
    }
    if (complete) {
      appendCodePoint(out, cp);
    } else {
      out.push_back(replacementCharacter);
    }
    i = j;
  }
  return out;
}

// Encodes UTF-16; an unpaired surrogate becomes U+FFFD, or with `surrogates`
// the three-byte form of its code unit.
std::string encode(std::u16string_view text, bool surrogates) {
  std::string out;
  out.reserve(text.size());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    // A run of ASCII is narrowed at once.
    std::size_t end = i;
    while (end < n && text[end] < 0x80) ++end;
    if (end > i) {
      const std::size_t at = out.size();
      out.resize(at + (end - i));
      for (std::size_t k = i; k < end; ++k) out[at + (k - i)] = static_cast<char>(text[k]);
      i = end - 1;
      continue;
    }
    const std::uint32_t unit = text[i];
    if (unit < 0xD800 || unit > 0xDFFF) {
      appendUtf8(out, unit);
    } else if (unit <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else {
      appendUtf8(out, surrogates ? unit : replacementCharacter);
    }
  }
  return out;
}

}  // namespace

std::u16string utf8_to_ustring(std::string_view utf8) { return decode(utf8, false); }
std::string ustring_to_utf8(std::u16string_view text) { return encode(text, false); }
std::u16string wtf8_to_ustring(std::string_view bytes) { return decode(bytes, true); }
std::string ustring_to_wtf8(std::u16string_view text) { return encode(text, true); }

std::size_t find_unpaired_surrogate(std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit < 0xD800 || unit > 0xDFFF) continue;
    if (unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      ++i;
      continue;
    }
    return i;
  }
  return std::u16string_view::npos;
}

}  // namespace fl::i18n
