// Just enough JSON for the command's --json output: string quoting and a flat
// object builder. Output is always valid UTF-8: bytes of other encodings (a
// device text in a legacy locale) become U+FFFD.
#ifndef KESTRUNE_TOOLS_JSON_H
#define KESTRUNE_TOOLS_JSON_H

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune::cli {

std::string json_string(std::string_view text);

class JsonObject {
public:
    JsonObject &add(std::string_view key, std::string_view text);
    JsonObject &add(std::string_view key, const char *text) { return add(key, std::string_view(text)); }
    JsonObject &add(std::string_view key, int64_t number);
    // `json` is already a JSON value (an object, an array, null).
    JsonObject &add_json(std::string_view key, std::string_view json);
    std::string str() const { return text_ + "}"; }

private:
    std::string text_ = "{";
};

// Joins JSON values into an array.
std::string json_array(const std::string *first, const std::string *last);

} // namespace kestrune::cli

#endif
