#include "base/wide_text.h"

#include <climits>
#include <cwchar>

namespace kestrune {

std::u16string widen(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    std::mbstate_t state{};
    size_t i = 0;
    while (i < text.size()) {
        wchar_t c = 0;
        size_t used = std::mbrtowc(&c, text.data() + i, text.size() - i, &state);
        if (used == 0) { // an embedded NUL ends the text, as it does for "%hs"
            break;
        }
        if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2)) {
            state = std::mbstate_t{};
            c = static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
            used = 1;
        }
        std::wstring_view one(&c, 1);
        out += wide_to_utf16(one);
        i += used;
    }
    return out;
}

void widen_into(std::string_view text, char16_t *buffer, size_t capacity)
{
    if (capacity == 0)
        return;
    std::u16string wide = widen(text);
    size_t n = wide.size() < capacity - 1 ? wide.size() : capacity - 1;
    for (size_t i = 0; i < capacity; ++i)
        buffer[i] = i < n ? wide[i] : u'\0';
}

std::wstring utf16_to_wide(std::u16string_view text)
{
    // Where wchar_t is a UTF-16 unit (Windows) the text is already wide.
    if constexpr (sizeof(wchar_t) == sizeof(char16_t))
        return std::wstring(text.begin(), text.end());
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(text[i + 1]) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD; // unpaired surrogate
        }
        out += static_cast<wchar_t>(c);
    }
    return out;
}

std::u16string wide_to_utf16(std::wstring_view text)
{
    if constexpr (sizeof(wchar_t) == sizeof(char16_t))
        return std::u16string(text.begin(), text.end());
    std::u16string out;
    out.reserve(text.size());
    for (wchar_t w : text) {
        auto c = static_cast<char32_t>(w);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out += u'\xFFFD';
        } else if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

std::string to_locale_multibyte(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    char buffer[MB_LEN_MAX];
    for (wchar_t c : utf16_to_wide(text)) {
        std::mbstate_t state{};
        size_t n = std::wcrtomb(buffer, c, &state);
        if (n == static_cast<size_t>(-1))
            out += '?';
        else
            out.append(buffer, n);
    }
    return out;
}

size_t u16_length(const char16_t *text, size_t limit)
{
    size_t n = 0;
    while (n < limit && text[n] != u'\0')
        ++n;
    return n;
}

} // namespace kestrune
