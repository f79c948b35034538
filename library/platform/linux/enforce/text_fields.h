// The text forms that enforcement reads and writes: pieces between separators,
// and the kernel's \ooo escapes of paths (mountinfo, swaps), which the marks file
// uses too.
#ifndef KESTRUNE_PLATFORM_LINUX_ENFORCE_TEXT_FIELDS_H
#define KESTRUNE_PLATFORM_LINUX_ENFORCE_TEXT_FIELDS_H

#include <string>
#include <string_view>
#include <vector>

namespace kestrune::platform {

// Every piece between separators, empty ones included.
std::vector<std::string_view> split_text(std::string_view text, char separator);
// Tab, newline, backslash, "=" and other control characters as \ooo.
std::string escape_octal(std::string_view text);
std::string unescape_octal(std::string_view text);

} // namespace kestrune::platform

#endif
