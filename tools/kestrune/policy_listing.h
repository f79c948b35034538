// A policy file's records as text for "policy show": one value a line,
//   "  KEY : NAME = VALUE"
// where a 4-byte REG_DWORD shows in decimal, REG_SZ and REG_EXPAND_SZ in double
// quotes, and any other data as lower-case hex digits; or one JSON object a
// record. Read-only: the records come from the library's own codec.
#ifndef KESTRUNE_TOOLS_POLICY_LISTING_H
#define KESTRUNE_TOOLS_POLICY_LISTING_H

#include <string>
#include <string_view>

#include "platform/gpo_files/registry_pol.h"

namespace kestrune::cli {

std::string policy_line(const platform::PolRecord &record);
std::string policy_json(const platform::PolRecord &record);

// Unpaired surrogates become U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);

} // namespace kestrune::cli

#endif
