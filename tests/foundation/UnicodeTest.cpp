#include <fl/i18n/Unicode.hpp>

#include <gtest/gtest.h>

using fl::i18n::ustring_to_utf8;
using fl::i18n::utf8_to_ustring;

namespace {

std::string bytes(std::initializer_list<unsigned> values) {
  std::string out;
  for (unsigned v : values) out.push_back(static_cast<char>(v));
  return out;
}

// U+0000 first: a NUL is a character like any other, not the end of the text.
TEST(UnicodeTest, EveryScalarValueRoundTrips) {
  std::u16string all;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    if (cp < 0x10000) {
      all.push_back(static_cast<char16_t>(cp));
    } else {
      all.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      all.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
  }
  const std::string utf8 = ustring_to_utf8(all);
  // 128 one-byte, 1,920 two-byte, 61,440 three-byte and 1,048,576 four-byte values.
  EXPECT_EQ(utf8.size(), 128u + 1920u * 2 + 61440u * 3 + 1048576u * 4);
  EXPECT_EQ(utf8_to_ustring(utf8), all);
}

struct InvalidUtf8 {
  const char* what;
  std::string input;
  std::u16string expected;
};

TEST(UnicodeTest, EachMaximalIllFormedSubsequenceBecomesOneReplacement) {
  const char16_t R = 0xFFFD;
  const InvalidUtf8 cases[] = {
      {"stray continuation byte", bytes({0x61, 0x80, 0x62}), {u'a', R, u'b'}},
      {"truncated sequence at the end", bytes({0x61, 0xE2, 0x82}), {u'a', R}},
      {"truncated sequence before ASCII", bytes({0xF0, 0x9F, 0x61}), {R, u'a'}},
      {"overlong two-byte form", bytes({0xC0, 0xAF}), {R, R}},
      {"overlong three-byte form", bytes({0xE0, 0x80, 0xAF}), {R, R, R}},
      {"encoded surrogate", bytes({0xED, 0xA0, 0x80}), {R, R, R}},
      {"above U+10FFFF", bytes({0xF4, 0x90, 0x80, 0x80}), {R, R, R, R}},
      {"invalid lead bytes", bytes({0xF5, 0xFF, 0xFE}), {R, R, R}},
      // The example of the Unicode standard's chapter 3 (U+FFFD substitution).
      {"mixed", bytes({0x61, 0xF1, 0x80, 0x80, 0xE1, 0x80, 0xC2, 0x62, 0x80, 0x63, 0x80, 0xBF, 0x64}),
       {u'a', R, R, R, u'b', R, u'c', R, R, u'd'}},
  };
  for (const auto& c : cases) EXPECT_EQ(utf8_to_ustring(c.input), c.expected) << c.what;
}

// UTF-8 replaces each unpaired surrogate (a low one first, a high one before
// a non-low unit or at the end); WTF-8 keeps what UTF-8 cannot, so every
// UTF-16 string comes back exactly, while valid text gives the same bytes.
TEST(UnicodeTest, UnpairedSurrogatesAreReplacedInUtf8AndKeptInWtf8) {
  const std::u16string odd = {0xDC00, u'x', 0xD800, 0xD83D, 0xD83D, 0xDE00, 0xDBFF};
  const std::string R = bytes({0xEF, 0xBF, 0xBD});
  EXPECT_EQ(ustring_to_utf8(odd), R + "x" + R + R + bytes({0xF0, 0x9F, 0x98, 0x80}) + R);
  // "a\u00e9\u20ac\U0001F600\0": one, two, three and four UTF-8 bytes, then a NUL.
  const std::u16string valid = {u'a', 0x00E9, 0x20AC, 0xD83D, 0xDE00, u'\0'};
  const std::string validUtf8 = bytes({0x61, 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, 0x00});
  EXPECT_EQ(ustring_to_utf8(valid), validUtf8);
  EXPECT_EQ(utf8_to_ustring(validUtf8), valid);
  EXPECT_EQ(fl::i18n::ustring_to_wtf8(valid), validUtf8);
  EXPECT_EQ(utf8_to_ustring("") + fl::i18n::wtf8_to_ustring(""), u"");
  const std::string stored = fl::i18n::ustring_to_wtf8(odd);
  EXPECT_EQ(stored.substr(0, 3), bytes({0xED, 0xB0, 0x80}));
  EXPECT_EQ(fl::i18n::wtf8_to_ustring(stored), odd);
  // Plain UTF-8 reading still refuses the surrogate forms.
  EXPECT_EQ(utf8_to_ustring(stored).find(char16_t(0xDC00)), std::u16string::npos);
  // Invalid bytes other than surrogate forms are replaced as in UTF-8.
  EXPECT_EQ(fl::i18n::wtf8_to_ustring(bytes({0x61, 0xFF, 0xC0, 0xAF})), utf8_to_ustring(bytes({0x61, 0xFF, 0xC0, 0xAF})));
}

}  // namespace
