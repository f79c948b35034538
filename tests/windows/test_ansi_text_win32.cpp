// The Windows text services: the ANSI code page conversion of the callback text
// and the runtime's upper-casing of instance IDs. The test prefix runs with code
// page 1252 (wine-run.sh fixes the locale).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/ansi_text.h"
#include "platform/device_lookup.h"

using kestrune::platform::upper_case_instance_id;
using kestrune::platform::wide_to_ansi;

namespace {

TEST(Win32Text, AnsiCodePageWithItsDefaultCharacter)
{
    ASSERT_EQ(GetACP(), 1252u);
    auto latin = wide_to_ansi(u"Caf\u00e9 \u20ac");
    EXPECT_EQ(latin.text, "Caf\xe9 \x80");
    EXPECT_TRUE(latin.exact);
    auto cjk = wide_to_ansi(u"a\u4e2db");
    EXPECT_EQ(cjk.text, "a?b");
    EXPECT_FALSE(cjk.exact);
    EXPECT_EQ(wide_to_ansi(std::u16string(u"x\0y", 3)).text, std::string("x\0y", 3));
    EXPECT_EQ(wide_to_ansi(u"").text, "");
}

TEST(Win32Text, InstanceIdsAreUpperCasedInPlace)
{
    std::u16string id = u"usb\\vid_1234&pid_5678\\0001ab";
    upper_case_instance_id(id);
    EXPECT_EQ(id, u"USB\\VID_1234&PID_5678\\0001AB");
    std::u16string empty;
    upper_case_instance_id(empty);
    EXPECT_TRUE(empty.empty());
}

} // namespace
