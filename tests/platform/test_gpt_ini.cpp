// gpt.ini after a machine save.
#include <gtest/gtest.h>

#include "platform/policy_object.h"
#include "platform/gpo_files/gpt_ini.h"

using namespace kestrune::platform;

namespace {

const std::string kPair = "[{35378EAC-683F-11D2-A89A-00C04FBBCFA2}{8FC0B734-A0E1-11D1-A7D3-0000F87571E3}]";

std::string save(const std::string &current)
{
    return gpt_ini_after_machine_save(current, kRegistryExtensionGuid, kClsidGpeSnapIn);
}

TEST(GptIni, FirstSaveStartsAtVersionOne)
{
    EXPECT_EQ(save(""), "[General]\r\ngPCMachineExtensionNames=" + kPair + "\r\nVersion=1\r\n");
}

TEST(GptIni, MachineVersionRisesAndUserVersionStays)
{
    std::string once = save("[General]\r\nVersion=131073\r\ndisplayName=Local\r\n");
    EXPECT_NE(once.find("Version=131074\r\n"), std::string::npos) << once;
    EXPECT_NE(once.find("displayName=Local\r\n"), std::string::npos);
    EXPECT_NE(save(once).find("Version=131075\r\n"), std::string::npos);
    // The machine part wraps within its 16 bits and skips 0.
    EXPECT_NE(save("[General]\nVersion=196607\n").find("Version=131073\r\n"), std::string::npos);
}

TEST(GptIni, ExtensionListIsMergedNotReplaced)
{
    std::string other = "[{00000000-0000-0000-0000-000000000001}{00000000-0000-0000-0000-000000000002}]";
    std::string out = save("[General]\r\ngPCMachineExtensionNames=" + other + "\r\nVersion=4\r\n");
    EXPECT_NE(out.find("gPCMachineExtensionNames=" + other + kPair + "\r\n"), std::string::npos) << out;
    EXPECT_EQ(save(out).find("gPCMachineExtensionNames=" + other + kPair + "\r\n"),
              out.find("gPCMachineExtensionNames="));
}

} // namespace
