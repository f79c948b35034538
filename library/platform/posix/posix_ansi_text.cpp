#include <iconv.h>
#include <langinfo.h>

#include <bit>

#include "platform/ansi_text.h"

namespace kestrune::platform {

namespace {

// One code unit pair at a time through iconv, so that a character the target set
// lacks becomes '?' and conversion goes on with the next one.
bool convert_one(iconv_t cd, const char16_t *units, size_t count, std::string &out)
{
    char buffer[16];
    char *in = reinterpret_cast<char *>(const_cast<char16_t *>(units));
    size_t inLeft = count * sizeof(char16_t);
    char *outPtr = buffer;
    size_t outLeft = sizeof buffer;
    if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        return false;
    }
    out.append(buffer, sizeof buffer - outLeft);
    return true;
}

} // namespace

AnsiText wide_to_ansi(std::u16string_view text)
{
    AnsiText result{{}, true};
    result.text.reserve(text.size());
    const char *codeset = nl_langinfo(CODESET);
    iconv_t cd = iconv_open(codeset && *codeset ? codeset : "ANSI_X3.4-1968",
                          std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        // No converter for the locale's set: keep ASCII, replace the rest.
        for (char16_t c : text) {
            result.text += c < 0x80 ? static_cast<char>(c) : '?';
            result.exact = result.exact && c < 0x80;
        }
        return result;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        size_t count = 1;
        if (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF)
            count = 2;
        if (text[i] == u'\0') {
            result.text += '\0';
        } else if (!convert_one(cd, text.data() + i, count, result.text)) {
            result.text += '?';
            result.exact = false;
        }
        i += count - 1;
    }
    iconv_close(cd);
    return result;
}

} // namespace kestrune::platform
