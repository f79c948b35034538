// The captured text taken apart, the same for every system's capture.
#include <cctype>

#include "support/stdout_capture.h"

namespace kestrune::test {

std::vector<std::string> StdoutCapture::lines()
{
    std::vector<std::string> out;
    std::string all = text();
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\n', start);
        if (end == std::string::npos) {
            out.push_back(all.substr(start));
            break;
        }
        out.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::string without_line_numbers(const std::string &text)
{
    // "KestruneCtl <name> <digits>:" becomes "KestruneCtl <name> #:".
    static const std::string tag = "KestruneCtl ";
    std::string out;
    size_t pos = 0;
    for (size_t hit; (hit = text.find(tag, pos)) != std::string::npos;) {
        size_t name = hit + tag.size();
        size_t space = name;
        while (space < text.size() && (std::isalnum(static_cast<unsigned char>(text[space])) || text[space] == '_'))
            ++space;
        size_t digits = space + 1;
        size_t end = digits;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])))
            ++end;
        bool numbered = space > name && space < text.size() && text[space] == ' ' && end > digits &&
                        end < text.size() && text[end] == ':';
        out.append(text, pos, digits - pos);
        if (numbered) {
            out += '#';
            pos = end;
        } else {
            pos = digits;
        }
        if (pos > text.size())
            pos = text.size();
    }
    out.append(text, pos, std::string::npos);
    return out;
}

} // namespace kestrune::test
