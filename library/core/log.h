// Diagnostic log: one line per diagnostic on the process's standard output.
//
// Layout: level letter, " KestruneCtl ", function name, " ", source line, ": ",
// message, end of line. `log_printf` writes a whole formatted line in one runtime
// call (its format strings carry the layout and end in "\r\n"); `log_wstream`
// composes a line piece by piece and ends it with "\n" and a flush.
//
// A stdio stream has one orientation on Linux, so a wide stream line written to a
// stdout that already carries narrow text would be lost. `log_wstream` therefore
// composes its line in the locale's multibyte encoding and writes it through the
// narrow stream. Output errors are ignored: logging never changes a result.
#ifndef KESTRUNE_CORE_LOG_H
#define KESTRUNE_CORE_LOG_H

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune {

void log_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A value written in lower-case hexadecimal without leading zeros, used only for a
// COM result code after a message text that ends in "0x".
struct log_hex {
    uint32_t value;
};

// One stream line: the prefix is composed by the constructor, pieces are appended
// with <<, and the destructor writes the line.
class log_wstream {
public:
    log_wstream(char level, const char *function, int line);
    ~log_wstream();
    log_wstream(const log_wstream &) = delete;
    log_wstream &operator=(const log_wstream &) = delete;

    log_wstream &operator<<(const char *text);
    log_wstream &operator<<(std::u16string_view text);
    log_wstream &operator<<(long long value);
    log_wstream &operator<<(int value) { return *this << static_cast<long long>(value); }
    log_wstream &operator<<(long value) { return *this << static_cast<long long>(value); }
    log_wstream &operator<<(unsigned value) { return *this << static_cast<long long>(value); }
    log_wstream &operator<<(unsigned long value);
    // size_t on 64-bit Windows, where unsigned long has 32 bits.
    log_wstream &operator<<(unsigned long long value);
    log_wstream &operator<<(log_hex value);

private:
    std::string line_;
};

// Wide text made safe for a "%ls" conversion in the current locale: characters the
// locale cannot represent become '?', so printf never drops the whole line.
std::wstring log_wide(std::u16string_view text);

} // namespace kestrune

#endif
