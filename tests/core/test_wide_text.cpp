// Text forms across the C runtime's wchar_t, whichever width it has, and the
// stream line's numbers of every width.
#include <gtest/gtest.h>

#include <cstddef>
#include <limits>
#include <string>

#include "base/wide_text.h"
#include "core/log.h"
#include "support/stdout_capture.h"

using kestrune::utf16_to_wide;
using kestrune::wide_to_utf16;

namespace {

TEST(WideText, CharactersBeyondTheBasicPlaneSurviveTheRoundTrip)
{
    // U+1F600 and U+10FFFF as surrogate pairs, between characters of the basic plane.
    const std::u16string text = u"a\xD83D\xDE00\u00E9\xDBFF\xDFFFz";
    std::wstring wide = utf16_to_wide(text);
    if constexpr (sizeof(wchar_t) == 4)
        EXPECT_EQ(wide, (std::wstring{L'a', wchar_t(0x1F600), wchar_t(0xE9), wchar_t(0x10FFFF), L'z'}));
    else
        EXPECT_EQ(wide.size(), text.size());
    EXPECT_EQ(wide_to_utf16(wide), text);
}

TEST(WideText, UnpairedSurrogatesAreReplacedOnlyWhereWideTextCannotHoldThem)
{
    const std::u16string lone = u"x\xDC00y\xD800";
    std::u16string back = wide_to_utf16(utf16_to_wide(lone));
    if constexpr (sizeof(wchar_t) == 4)
        EXPECT_EQ(back, u"x\xFFFDy\xFFFD");
    else
        EXPECT_EQ(back, lone);
}

TEST(WideText, StreamLinesTakeSizesOfEveryWidth)
{
    kestrune::test::StdoutCapture out;
    kestrune::log_wstream('I', "f", 1) << std::numeric_limits<size_t>::max() << " "
                                       << std::numeric_limits<unsigned long>::max() << " "
                                       << std::numeric_limits<unsigned long long>::max();
    std::string ulong = std::to_string(std::numeric_limits<unsigned long>::max());
    EXPECT_EQ(out.text(), "I KestruneCtl f 1: 18446744073709551615 " + ulong + " 18446744073709551615\n");
}

} // namespace
