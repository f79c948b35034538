#include "platform/linux/enforce/text_fields.h"

#include <cstdio>

namespace kestrune::platform {

std::vector<std::string_view> split_text(std::string_view text, char separator)
{
    std::vector<std::string_view> pieces;
    size_t at = 0;
    for (;;) {
        size_t end = text.find(separator, at);
        pieces.push_back(text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
        if (end == std::string_view::npos)
            return pieces;
        at = end + 1;
    }
}

std::string escape_octal(std::string_view text)
{
    std::string out;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '=' || byte < 0x20 || byte == 0x7F) {
            char code[5];
            std::snprintf(code, sizeof code, "\\%03o", byte);
            out += code;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string unescape_octal(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() &&
            text.substr(i + 1, 3).find_first_not_of("01234567") == std::string_view::npos) {
            out.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

} // namespace kestrune::platform
