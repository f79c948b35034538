// Text across the C runtime's wchar_t, whichever width it has.
#include <gtest/gtest.h>

#include <string>

#include "base/wide_text.h"

namespace {

TEST(WideText, SurrogatePairsSurviveAndLoneOnesAreReplacedOnlyWhereWideTextCannotHoldThem)
{
    // U+1F600 and U+10FFFF as surrogate pairs, between characters of the basic plane.
    const std::u16string text = u"a\xD83D\xDE00\u00E9\xDBFF\xDFFFz";
    const std::wstring wide = kestrune::utf16_to_wide(text);
    const std::u16string lone = u"x\xDC00y\xD800";
    const std::u16string back = kestrune::wide_to_utf16(kestrune::utf16_to_wide(lone));
    if constexpr (sizeof(wchar_t) == 4) {
        EXPECT_EQ(wide, (std::wstring{L'a', wchar_t(0x1F600), wchar_t(0xE9), wchar_t(0x10FFFF), L'z'}));
        EXPECT_EQ(back, u"x\xFFFDy\xFFFD");
    } else {
        EXPECT_EQ(back, lone);
    }
    EXPECT_EQ(kestrune::wide_to_utf16(wide), text);
}

} // namespace
