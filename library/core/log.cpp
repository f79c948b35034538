#include "core/log.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cwchar>

#include "base/wide_text.h"

namespace kestrune {

void log_printf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

log_wstream::log_wstream(char level, const char *function, int line)
{
    line_.reserve(128);
    line_ += level;
    line_ += " KestruneCtl ";
    line_ += function;
    line_ += ' ';
    line_ += std::to_string(line);
    line_ += ": ";
}

log_wstream::~log_wstream()
{
    line_ += '\n';
    // One write per line keeps lines of different threads whole where stdio allows.
    std::fwrite(line_.data(), 1, line_.size(), stdout);
    std::fflush(stdout);
}

log_wstream &log_wstream::operator<<(const char *text)
{
    line_ += text ? text : "(null)";
    return *this;
}

log_wstream &log_wstream::operator<<(std::u16string_view text)
{
    line_ += to_locale_multibyte(text);
    return *this;
}

log_wstream &log_wstream::operator<<(long long value)
{
    line_ += std::to_string(value);
    return *this;
}

log_wstream &log_wstream::operator<<(unsigned long value)
{
    line_ += std::to_string(value);
    return *this;
}

log_wstream &log_wstream::operator<<(unsigned long long value)
{
    line_ += std::to_string(value);
    return *this;
}

log_wstream &log_wstream::operator<<(log_hex value)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%x", static_cast<unsigned>(value.value));
    line_ += digits;
    return *this;
}

std::wstring log_wide(std::u16string_view text)
{
    std::wstring wide = utf16_to_wide(text);
    std::mbstate_t state{};
    char buffer[MB_LEN_MAX];
    for (wchar_t &c : wide) {
        state = std::mbstate_t{};
        if (std::wcrtomb(buffer, c, &state) == static_cast<size_t>(-1))
            c = L'?';
    }
    return wide;
}

} // namespace kestrune
