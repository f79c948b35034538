// The device text and the callback's copy of it, pure functions over the texts.
#ifndef KESTRUNE_NOTIFY_DEVICE_TEXT_H
#define KESTRUNE_NOTIFY_DEVICE_TEXT_H

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune::notify {

// The four properties in the order they are joined: description, friendly name,
// bus-reported description, manufacturer. No value: the property was not read.
using DeviceTexts = std::array<std::optional<std::u16string>, 4>;

// Appends "description;friendly name;bus description;manufacturer;", each missing
// value as an empty field; a missing description adds one separator more, so the
// text then begins with two semicolons.
void append_device_texts(std::u16string &deviceText, const DeviceTexts &texts);

inline constexpr size_t kCallbackTextBytes = 512;

// Zero-fills `buffer` and converts the text into the system's 8-bit character set
// in at most its first 511 bytes, so it always ends in a NUL. A text that does not
// fit is cut after the last whole character that does; characters the set cannot
// represent become '?'.
void to_callback_text(std::u16string_view deviceText, char (&buffer)[kCallbackTextBytes]);

} // namespace kestrune::notify

#endif
