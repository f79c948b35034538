// The captured text taken apart, the same for every system's capture. Written by
// hand: GCC 12 cannot build <regex> under the sanitizers with warnings as errors.
#include <cctype>

#include "support/stdout_capture.h"

namespace kestrune::test {

std::string without_line_numbers(const std::string &text)
{
    static const std::string tag = "KestruneCtl ";
    const auto byte = [&](size_t at) { return at < text.size() ? static_cast<unsigned char>(text[at]) : 0; };
    std::string out;
    size_t pos = 0;
    for (size_t hit; (hit = text.find(tag, pos)) != std::string::npos;) {
        size_t space = hit + tag.size(), end;
        while (std::isalnum(byte(space)) || byte(space) == '_')
            ++space;
        for (end = space + 1; std::isdigit(byte(end));)
            ++end;
        const bool numbered = space > hit + tag.size() && byte(space) == ' ' && end > space + 1 && byte(end) == ':';
        out.append(text, pos, (numbered ? space + 1 : hit + tag.size()) - pos);
        if (numbered)
            out += '#';
        pos = numbered ? end : hit + tag.size();
    }
    return out.append(text, pos, std::string::npos);
}

} // namespace kestrune::test
