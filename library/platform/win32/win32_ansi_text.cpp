// UTF-16 into the system's ANSI code page with WideCharToMultiByte (CP_ACP, no
// flags): what the code page lacks becomes its default character, after the
// system's best-fit mapping.
#include <windows.h>

#include <climits>

#include "platform/ansi_text.h"

namespace kestrune::platform {

AnsiText wide_to_ansi(std::u16string_view text)
{
    AnsiText result{{}, true};
    if (text.empty())
        return result;
    // No caller converts texts anywhere near this long; the rest is cut.
    int units = text.size() < INT_MAX ? static_cast<int>(text.size()) : INT_MAX;
    auto wide = reinterpret_cast<const wchar_t *>(text.data());
    int bytes = WideCharToMultiByte(CP_ACP, 0, wide, units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return {{}, false};
    result.text.resize(static_cast<size_t>(bytes));
    // With UTF-8 as the code page the call refuses to report default characters;
    // nothing is replaced then anyway.
    BOOL usedDefault = FALSE;
    BOOL *reportDefault = GetACP() == CP_UTF8 ? nullptr : &usedDefault;
    bytes = WideCharToMultiByte(CP_ACP, 0, wide, units, result.text.data(), bytes, nullptr, reportDefault);
    result.text.resize(bytes > 0 ? static_cast<size_t>(bytes) : 0);
    result.exact = bytes > 0 && !usedDefault;
    return result;
}

} // namespace kestrune::platform
