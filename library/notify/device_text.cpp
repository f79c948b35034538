#include "notify/device_text.h"

#include <cstring>
#include <vector>

#include "platform/ansi_text.h"

namespace kestrune::notify {

void append_device_texts(std::u16string &deviceText, const DeviceTexts &texts)
{
    const auto &[description, friendlyName, busDescription, manufacturer] = texts;
    deviceText += description ? *description : u";";
    deviceText += u';';
    if (friendlyName)
        deviceText += *friendlyName;
    deviceText += u';';
    if (busDescription)
        deviceText += *busDescription;
    deviceText += u';';
    if (manufacturer)
        deviceText += *manufacturer;
    deviceText += u';';
}

namespace {

bool is_low_surrogate(char16_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Start offsets of the characters of `text` (a surrogate pair is one character),
// followed by its length.
std::vector<size_t> character_ends(std::u16string_view text)
{
    std::vector<size_t> ends;
    for (size_t i = 1; i <= text.size(); ++i)
        if (i == text.size() || !is_low_surrogate(text[i]) || text[i - 1] < 0xD800 || text[i - 1] > 0xDBFF)
            ends.push_back(i);
    return ends;
}

} // namespace

void to_callback_text(std::u16string_view deviceText, char (&buffer)[kCallbackTextBytes])
{
    constexpr size_t kLimit = kCallbackTextBytes - 1;
    std::memset(buffer, 0, sizeof buffer);
    std::string ansi = platform::wide_to_ansi(deviceText).text;
    if (ansi.size() > kLimit) {
        // The converted length grows with every character, so the longest prefix
        // that fits is found by bisection over character boundaries. Every
        // character takes at least one byte: no more than kLimit of them fit.
        std::vector<size_t> ends = character_ends(deviceText);
        size_t fits = 0;
        size_t tooLong = ends.size() < kLimit ? ends.size() : kLimit + 1;
        std::string best;
        while (tooLong - fits > 1) {
            size_t middle = fits + (tooLong - fits) / 2;
            std::string candidate = platform::wide_to_ansi(deviceText.substr(0, ends[middle - 1])).text;
            if (candidate.size() <= kLimit) {
                fits = middle;
                best = std::move(candidate);
            } else {
                tooLong = middle;
            }
        }
        ansi = std::move(best);
    }
    std::memcpy(buffer, ansi.data(), ansi.size());
}

} // namespace kestrune::notify
