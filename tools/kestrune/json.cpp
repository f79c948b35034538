#include "json.h"

#include <cstdio>

namespace kestrune::cli {

namespace {

// Length of the valid UTF-8 sequence at text[at], or 0 when there is none.
size_t utf8_sequence(std::string_view text, size_t at)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    uint32_t point = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        point = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        point = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        point = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() - at < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0u) != 0x80u)
            return 0;
        point = (point << 6) | (byte(at + i) & 0x3Fu);
    }
    // Overlong forms, surrogates and points beyond Unicode are not UTF-8.
    const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < smallest[length] || (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF)
        return 0;
    return length;
}

} // namespace

std::string json_string(std::string_view text)
{
    std::string quoted = "\"";
    for (size_t at = 0; at < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (c >= 0x80) {
            const size_t length = utf8_sequence(text, at);
            quoted += length != 0 ? text.substr(at, length) : "\xEF\xBF\xBD";
            at += length != 0 ? length : 1;
            continue;
        }
        ++at;
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            quoted += escaped;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

JsonObject &JsonObject::add(std::string_view key, std::string_view text)
{
    return add_json(key, json_string(text));
}

JsonObject &JsonObject::add(std::string_view key, int64_t number)
{
    return add_json(key, std::to_string(number));
}

JsonObject &JsonObject::add_json(std::string_view key, std::string_view json)
{
    if (text_.size() > 1)
        text_ += ',';
    text_ += json_string(key);
    text_ += ':';
    text_ += json;
    return *this;
}

std::string json_array(const std::string *first, const std::string *last)
{
    std::string array = "[";
    for (const std::string *value = first; value != last; ++value)
        array += (value == first ? "" : ",") + *value;
    return array + "]";
}

} // namespace kestrune::cli
