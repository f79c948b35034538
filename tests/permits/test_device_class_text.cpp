// DeviceClassText: 38 upper-case characters in braces, the rest of the buffer zero.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "permits/device_class_text.h"

using kestrune::DeviceClassText;
using kestrune::Guid;
using kestrune::print_device_class;

namespace {

std::u16string printed(const Guid &guid)
{
    DeviceClassText out;
    std::fill(std::begin(out.text), std::end(out.text), u'x'); // a used buffer
    print_device_class(guid, out);
    std::u16string text(out.text);
    EXPECT_TRUE(std::all_of(out.text + text.size(), std::end(out.text), [](char16_t c) { return c == u'\0'; }));
    return text;
}

TEST(DeviceClassText, PrintsUpperCaseFieldsInBraces)
{
    EXPECT_EQ(printed(kestrune::kNetSetupClass), u"{4D36E972-E325-11CE-BFC1-08002BE10318}");
    EXPECT_EQ(printed(Guid{0xabcdef01, 0xabcd, 0xef01, {0xab, 0xcd, 0xef, 0x01, 0x23, 0x45, 0x67, 0x89}}),
              u"{ABCDEF01-ABCD-EF01-ABCD-EF0123456789}");
}

TEST(DeviceClassText, PadsTheThirdFieldWithBlanksAndTheOthersWithZeros)
{
    std::u16string text = printed(Guid{0xAB, 0xC, 0xD, {1, 2, 3, 4, 5, 6, 7, 8}});
    EXPECT_EQ(text, u"{000000AB-000C-   D-0102-030405060708}");
    EXPECT_EQ(text.size(), 38u);
}

} // namespace
