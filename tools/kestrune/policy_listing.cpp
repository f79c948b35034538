#include "policy_listing.h"

#include <cstdint>
#include <optional>

#include "json.h"

namespace kestrune::cli {

namespace {

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegDword = 4;

void append_utf8(std::string &out, uint32_t point)
{
    if (point < 0x80) {
        out += static_cast<char>(point);
    } else if (point < 0x800) {
        out += static_cast<char>(0xC0 | (point >> 6));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        out += static_cast<char>(0xE0 | (point >> 12));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (point >> 18));
        out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    }
}

std::optional<uint32_t> dword_of(const platform::PolRecord &record)
{
    if (record.type != kRegDword || record.data.size() != 4)
        return std::nullopt;
    return static_cast<uint32_t>(record.data[0]) | static_cast<uint32_t>(record.data[1]) << 8 |
           static_cast<uint32_t>(record.data[2]) << 16 | static_cast<uint32_t>(record.data[3]) << 24;
}

// A string value's text, up to its first zero (the data holds the terminator).
std::optional<std::string> text_of(const platform::PolRecord &record)
{
    if (record.type != kRegSz && record.type != kRegExpandSz)
        return std::nullopt;
    std::u16string units;
    for (size_t at = 0; at + 1 < record.data.size(); at += 2)
        units += static_cast<char16_t>(record.data[at] | record.data[at + 1] << 8);
    return utf16_to_utf8(std::u16string_view(units).substr(0, units.find(u'\0')));
}

std::string hex_of(const std::vector<uint8_t> &data)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t byte : data) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    return hex;
}

} // namespace

std::string utf16_to_utf8(std::u16string_view text)
{
    std::string out;
    for (size_t at = 0; at < text.size(); ++at) {
        uint32_t point = text[at];
        if (point >= 0xD800 && point <= 0xDBFF && at + 1 < text.size() && text[at + 1] >= 0xDC00 &&
            text[at + 1] <= 0xDFFF) {
            point = 0x10000 + ((point - 0xD800) << 10) + (text[at + 1] - 0xDC00u);
            ++at;
        } else if (point >= 0xD800 && point <= 0xDFFF) {
            point = 0xFFFD;
        }
        append_utf8(out, point);
    }
    return out;
}

std::string policy_line(const platform::PolRecord &record)
{
    std::string shown;
    if (const std::optional<uint32_t> number = dword_of(record))
        shown = std::to_string(*number);
    else if (const std::optional<std::string> text = text_of(record))
        shown = "\"" + *text + "\"";
    else
        shown = hex_of(record.data);
    return "  " + utf16_to_utf8(record.key) + " : " + utf16_to_utf8(record.value) + " = " + shown;
}

std::string policy_json(const platform::PolRecord &record)
{
    JsonObject object;
    object.add("key", utf16_to_utf8(record.key)).add("name", utf16_to_utf8(record.value));
    object.add("type", static_cast<int64_t>(record.type));
    if (const std::optional<uint32_t> number = dword_of(record))
        object.add("value", static_cast<int64_t>(*number));
    else if (const std::optional<std::string> text = text_of(record))
        object.add("value", *text);
    else
        object.add("data", hex_of(record.data));
    return object.str();
}

} // namespace kestrune::cli
