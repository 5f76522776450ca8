#pragma once
// Conversion between UTF-8 (repository names, log text) and UTF-16 (framework
// names, connection strings, paths).

#include <foundation/export.hpp>

#include <string>
#include <string_view>

namespace fl::i18n {

/// Converts UTF-8 to UTF-16. Valid input round-trips exactly, embedded NULs
/// included. Invalid input never throws: every maximal ill-formed subsequence
/// (a stray continuation byte, a truncated sequence, an overlong form, an
/// encoded surrogate, a value above U+10FFFF) becomes one U+FFFD, and decoding
/// resumes at the first byte that could not continue the sequence.
FOUNDATION_API std::u16string utf8_to_ustring(std::string_view utf8);

/// Converts UTF-16 to UTF-8. Valid input round-trips exactly. An unpaired
/// surrogate never throws: it becomes U+FFFD (EF BF BD).
FOUNDATION_API std::string ustring_to_utf8(std::u16string_view text);

/// Converts UTF-16 to WTF-8 ("wobbly" UTF-8): valid text gives exactly the
/// bytes of ustring_to_utf8, and an unpaired surrogate gives the three-byte
/// form of its code unit instead of U+FFFD, so that every UTF-16 string
/// converts back exactly with wtf8_to_ustring. For storage that must keep
/// whatever text it was given while valid text stays plain UTF-8.
FOUNDATION_API std::string ustring_to_wtf8(std::u16string_view text);

/// The inverse of ustring_to_wtf8: as utf8_to_ustring, except that the
/// three-byte form of a surrogate code unit gives that unit.
FOUNDATION_API std::u16string wtf8_to_ustring(std::string_view bytes);

/// The position of the first unpaired surrogate in `text` (a high one not
/// followed by a low one, or a low one not preceded by a high one), or npos
/// when `text` is valid UTF-16: text that ustring_to_utf8 would change.
FOUNDATION_API std::size_t find_unpaired_surrogate(std::u16string_view text);

}  // namespace fl::i18n
