// gpt.ini after a machine save.
#include <gtest/gtest.h>

#include "platform/gpo_files/gpt_ini.h"
#include "platform/policy_object.h"

using namespace kestrune::platform;

namespace {

// The registry extension with the policy editor's tool, and a group of another.
const std::string kOurs = "[{35378EAC-683F-11D2-A89A-00C04FBBCFA2}{8FC0B734-A0E1-11D1-A7D3-0000F87571E3}]";
const std::string kOther = "[{00000000-0000-0000-0000-000000000001}{00000000-0000-0000-0000-000000000002}]";

TEST(GptIni, MachineVersionRisesAndExtensionsAreMerged)
{
    const std::pair<std::string, std::string> cases[] = {
        {"", "[General]\r\ngPCMachineExtensionNames=" + kOurs + "\r\nVersion=1\r\n"},
        // The user's version (high 16 bits) stays; the machine's wraps and skips 0.
        {"[General]\r\nVersion=131073\r\ndisplayName=Local\r\n",
         "[General]\r\nVersion=131074\r\ndisplayName=Local\r\ngPCMachineExtensionNames=" + kOurs + "\r\n"},
        {"[general]\nversion=196607\n[Other]\nVersion=7\n",
         "[general]\r\nVersion=131073\r\ngPCMachineExtensionNames=" + kOurs + "\r\n[Other]\r\nVersion=7\r\n"},
        {"[Other]\n", "[General]\r\ngPCMachineExtensionNames=" + kOurs + "\r\nVersion=1\r\n[Other]\r\n"},
        // Groups sorted by extension, tools within a group too; ours joins once, so
        // saving again changes nothing but the version.
        {"[General]\r\ngPCMachineExtensionNames=" + kOther + kOurs + "\r\nVersion=4\r\n",
         "[General]\r\ngPCMachineExtensionNames=" + kOther + kOurs + "\r\nVersion=5\r\n"},
        {"[General]\r\ngPCMachineExtensionNames=[{35378eac-683f-11d2-a89a-00c04fbbcfa2}{FFFFFFFF-0000-0000-0000-"
         "000000000000}]\r\nVersion=4\r\n",
         "[General]\r\ngPCMachineExtensionNames=[{35378EAC-683F-11D2-A89A-00C04FBBCFA2}{8FC0B734-A0E1-11D1-A7D3-"
         "0000F87571E3}{FFFFFFFF-0000-0000-0000-000000000000}]\r\nVersion=5\r\n"},
    };
    for (const auto &[before, after] : cases)
        EXPECT_EQ(gpt_ini_after_machine_save(before, kRegistryExtensionGuid, kClsidGpeSnapIn), after) << before;
    // The extension leads its group even when a tool sorts before it.
    const kestrune::Guid extension{0xEEEEEEEE, 0, 0, {}}, tool{0x11111111, 0, 0, {}};
    EXPECT_EQ(gpt_ini_after_machine_save("[General]\r\ngPCMachineExtensionNames=[{EEEEEEEE-0000-0000-0000-000000000000}{"
                                         "FFFFFFFF-0000-0000-0000-000000000000}]\r\nVersion=1\r\n",
                                         extension, tool),
              "[General]\r\ngPCMachineExtensionNames=[{EEEEEEEE-0000-0000-0000-000000000000}{11111111-0000-0000-0000-"
              "000000000000}{FFFFFFFF-0000-0000-0000-000000000000}]\r\nVersion=2\r\n");
}

} // namespace
