// Text forms inside the library: registry paths, value names, class texts and
// device texts are UTF-16 (char16_t), as on Windows, so that registry data keeps
// its on-disk byte layout; wchar_t (32-bit on Linux, 16-bit on Windows) appears
// only where the C runtime wants it ("%ls", wide upper-casing).
#ifndef KESTRUNE_BASE_WIDE_TEXT_H
#define KESTRUNE_BASE_WIDE_TEXT_H

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrune {

// Widens 8-bit text the way a "%hs" conversion does: through the current locale's
// multibyte decoding; a byte that does not decode is taken as its own value.
std::u16string widen(std::string_view text);

// Writes widen(text) into a zero-filled buffer of `capacity` units, at most
// capacity - 1 of them, so the result is always zero-terminated.
void widen_into(std::string_view text, char16_t *buffer, size_t capacity);

// Between UTF-16 and the C runtime's wide text: UTF-32 on Linux, where an
// unpaired surrogate becomes U+FFFD; UTF-16 itself on Windows, copied unit by unit.
std::wstring utf16_to_wide(std::u16string_view text);
std::u16string wide_to_utf16(std::wstring_view text);

// Text in the current locale's multibyte encoding; what the locale cannot
// represent becomes '?'.
std::string to_locale_multibyte(std::u16string_view text);

// Length of a zero-terminated UTF-16 text, reading at most `limit` units.
size_t u16_length(const char16_t *text, size_t limit);

} // namespace kestrune

#endif
