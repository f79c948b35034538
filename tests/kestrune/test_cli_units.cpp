// The command's pure parts: its command line, its names for the library's
// vocabulary, and the texts it reads and writes (enforcement report, JSON,
// policy listing, interface counters).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_error.h"
#include "command_line.h"
#include "enforcement_report.h"
#include "json.h"
#include "linux/proc_net_dev.h"
#include "names.h"
#include "policy_listing.h"

namespace {

using namespace kestrune::cli;
using kestrune::platform::PolRecord;

Invocation parse(std::vector<const char *> arguments)
{
    return parse_invocation(arguments);
}

int usage_status(std::vector<const char *> arguments)
{
    try {
        parse(std::move(arguments));
    } catch (const CommandError &error) {
        return error.status();
    }
    return kExitSuccess;
}

TEST(CommandLine, OptionsStandAnywhereAndRememberTheirPlace)
{
    const Invocation invocation =
        parse({"--verbose", "set", "eth", "limit", "--speed", "500", "mouse", "deny", "--speed=7", "--json"});
    EXPECT_EQ(invocation.words, (std::vector<std::string>{"set", "eth", "limit", "mouse", "deny"}));
    ASSERT_EQ(invocation.options.size(), 4u);
    EXPECT_EQ(invocation.options[0].position, 0u);
    EXPECT_EQ(invocation.options[1].name, "speed");
    EXPECT_EQ(invocation.options[1].value, "500");
    EXPECT_EQ(invocation.options[1].position, 3u);
    EXPECT_EQ(invocation.options[2].value, "7");
    EXPECT_EQ(invocation.options[2].position, 5u);
    EXPECT_TRUE(invocation.has("json"));
    EXPECT_FALSE(invocation.has("effective"));
    EXPECT_TRUE(parse({"-h"}).has("help"));

    for (const std::vector<const char *> &wrong : std::vector<std::vector<const char *>>{
             {"status", "--jsn"}, {"set", "eth", "limit", "--speed"}, {"status", "--json=yes"}, {"-x"}, {"--"}})
        EXPECT_EQ(usage_status(wrong), kExitUsage) << wrong.back();

    EXPECT_NO_THROW(allow_only(parse({"status", "--json"}), "status", {"json"}));
    try {
        allow_only(parse({"status", "--effective"}), "status", {"json"});
        ADD_FAILURE() << "an option the command does not take passed";
    } catch (const CommandError &error) {
        EXPECT_EQ(error.status(), kExitUsage);
        EXPECT_NE(std::string(error.what()).find("--effective"), std::string::npos) << error.what();
    }
}

TEST(CommandLine, BandwidthIsZeroToTheLibrarysMaximumInDecimalDigits)
{
    EXPECT_EQ(parse_kbps("0"), 0u);
    EXPECT_EQ(parse_kbps("1000000"), 1000000u);
    for (const char *wrong : {"1000001", "-1", "+5", "12a", "", " 5", "4294967396", "99999999999999999999"})
        EXPECT_EQ(parse_kbps(wrong), std::nullopt) << wrong;
}

TEST(Names, DevicesByShortNameOrIdentifier)
{
    ASSERT_EQ(all_devices().size(), 11u);
    for (const Device &device : all_devices()) {
        EXPECT_EQ(find_device(device.name), &device);
        EXPECT_EQ(find_device(device.identifier()), &device);
    }
    EXPECT_EQ(find_device("usb")->identifier(), std::string("QVX_KESTRUNE_NORMAL_DEVID_USB_CONVERSION"));
    EXPECT_EQ(find_device("udisk")->category, QVX_KESTRUNE_DEVICE_TYPE_STORAGE);
    EXPECT_EQ(find_device("eth")->category, QVX_KESTRUNE_DEVICE_TYPE_NET);
    for (const char *wrong : {"Mouse", "mice", "", "QVX_KESTRUNE_DEVID_UNKNOWN", "qvx_kestrune_normal_devid_mouse"})
        EXPECT_EQ(find_device(wrong), nullptr) << wrong;
    EXPECT_EQ(device_names(), "serial gpio dongle mouse keyboard camera usb bt cdrom udisk eth");
}

TEST(Names, PermissionsOfEachCategoryOnly)
{
    EXPECT_EQ(settable_permission_names(QVX_KESTRUNE_DEVICE_TYPE_NORMAL), "deny allow");
    EXPECT_EQ(settable_permission_names(QVX_KESTRUNE_DEVICE_TYPE_STORAGE),
              "deny allow read-write read-only write-in-only write-out-only");
    EXPECT_EQ(settable_permission_names(QVX_KESTRUNE_DEVICE_TYPE_NET), "deny allow no-limit limit");

    EXPECT_EQ(find_permission(QVX_KESTRUNE_DEVICE_TYPE_STORAGE, "write-out-only"), 6);
    EXPECT_EQ(find_permission(QVX_KESTRUNE_DEVICE_TYPE_STORAGE, "QVX_KESTRUNE_STORAGE_PERM_READ_ONLY"), 4);
    EXPECT_EQ(find_permission(QVX_KESTRUNE_DEVICE_TYPE_NET, "limit"), 4);
    // "unknown" is what a read says, not what to set; the identifier stays the
    // library's to accept.
    EXPECT_EQ(find_permission(QVX_KESTRUNE_DEVICE_TYPE_NORMAL, "unknown"), std::nullopt);
    EXPECT_EQ(find_permission(QVX_KESTRUNE_DEVICE_TYPE_NORMAL, "QVX_KESTRUNE_NORMAL_PERM_UNKNOWN"), 0);
    EXPECT_EQ(find_permission(QVX_KESTRUNE_DEVICE_TYPE_NORMAL, "read-only"), std::nullopt);
    EXPECT_EQ(find_permission(QVX_KESTRUNE_DEVICE_TYPE_NORMAL, "QVX_KESTRUNE_NET_PERM_DENY"), std::nullopt);
    EXPECT_EQ(find_permission(QVX_KESTRUNE_DEVICE_TYPE_STORAGE, "READ-ONLY"), std::nullopt);

    EXPECT_EQ(permission_name(QVX_KESTRUNE_DEVICE_TYPE_NET, 3), "no-limit");
    EXPECT_EQ(permission_name(QVX_KESTRUNE_DEVICE_TYPE_STORAGE, 0), "unknown");
    EXPECT_EQ(permission_name(QVX_KESTRUNE_DEVICE_TYPE_STORAGE, 7), "unknown");
}

TEST(EnforcementReport, HeaderEntriesCommentsAndLinesInNoForm)
{
    const EnforcementReport report = parse_enforcement_report(
        "# kestrune enforcement plan 2026-12-07T10:00:00Z\r\n"
        "# outcome\tkind\tdevice\tdetail\n"
        "would-deny\tmouse\t/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0\tauthorized=0\n"
        "\n"
        "exempt\tkeyboard\t/sys/devices/platform/i8042/serio0\t\n"
        "failed\tudisk\t/sys/block/sdb\n"
        "read only\tudisk\t/sys/block/sdc\tx\n"
        "denied\t\t/sys/x\tx\n"
        "denied\tcamera\t/sys/y\tx\ty\n"
        "restored\teth\teth0\tup again\n");
    EXPECT_EQ(report.mode, "plan");
    EXPECT_EQ(report.time, "2026-12-07T10:00:00Z");
    EXPECT_EQ(report.entries,
              (std::vector<EnforcementEntry>{
                  {"would-deny", "mouse", "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0", "authorized=0"},
                  {"exempt", "keyboard", "/sys/devices/platform/i8042/serio0", ""},
                  {"restored", "eth", "eth0", "up again"}}));
    EXPECT_EQ(report.bad_lines, (std::vector<size_t>{6, 7, 8, 9}));

    for (const char *headless : {"denied\tmouse\t/sys/x\tx\n", "# kestrune enforcement plan\ndenied\tmouse\t/sys/x\tx\n",
                                 "# something else\ndenied\tmouse\t/sys/x\tx\n"}) {
        const EnforcementReport shown = parse_enforcement_report(headless);
        EXPECT_EQ(shown.mode, "") << headless;
        EXPECT_EQ(shown.entries.size(), 1u) << headless;
        EXPECT_EQ(shown.bad_lines, std::vector<size_t>{1}) << headless;
    }
    EXPECT_EQ(parse_enforcement_report("# kestrune enforcement enforce 2026-12-07T10:00:00Z\n").bad_lines.size(), 0u);
}

TEST(Json, StringsAreQuotedAndAlwaysUtf8)
{
    EXPECT_EQ(json_string("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(json_string(std::string("t\tn\nz\0e\x7f", 8)), "\"t\\u0009n\\u000az\\u0000e\\u007f\"");
    EXPECT_EQ(json_string("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"), "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\"");
    // Latin-1, a cut sequence, an overlong slash, a surrogate, beyond U+10FFFF:
    // one replacement for every byte that starts no valid sequence.
    const std::string replacement = "\xEF\xBF\xBD";
    const std::pair<const char *, int> wrong[] = {
        {"\xE9", 1}, {"\xE2\x82", 2}, {"\xC0\xAF", 2}, {"\xED\xA0\x80", 3}, {"\xF4\x90\x80\x80", 4}};
    for (const auto &[text, replaced] : wrong) {
        std::string expected = "\"";
        for (int i = 0; i < replaced; ++i)
            expected += replacement;
        EXPECT_EQ(json_string(text), expected + "\"") << replaced;
    }

    const std::string items[] = {"1", "{}"};
    EXPECT_EQ(JsonObject().add("a", "x").add("n", int64_t{-3}).add_json("l", json_array(items, items + 2)).str(),
              "{\"a\":\"x\",\"n\":-3,\"l\":[1,{}]}");
    EXPECT_EQ(json_array(items, items), "[]");
}

PolRecord record(std::u16string key, std::u16string value, uint32_t type, std::vector<uint8_t> data)
{
    return {std::move(key), std::move(value), type, std::move(data)};
}

TEST(PolicyListing, OneValueALineAsTheMainJobPrintedIt)
{
    const std::u16string key = u"Software\\Policies\\Microsoft\\Windows\\RemovableStorageDevices\\{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";
    EXPECT_EQ(policy_line(record(key, u"Deny_Write", 4, {0x01, 0x00, 0x00, 0x80})),
              "  Software\\Policies\\Microsoft\\Windows\\RemovableStorageDevices\\{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}"
              " : Deny_Write = 2147483649");
    EXPECT_EQ(policy_line(record(u"K", u"1", 1, {'{', 0, 'A', 0, '}', 0, 0, 0})), "  K : 1 = \"{A}\"");
    EXPECT_EQ(policy_line(record(u"K", u"p", 2, {0xE9, 0x00, 0x3D, 0xD8, 0x00, 0xDE, 0, 0})),
              "  K : p = \"\xC3\xA9\xF0\x9F\x98\x80\"");
    EXPECT_EQ(policy_line(record(u"K", u"q", 4, {1, 2, 3})), "  K : q = 010203");
    EXPECT_EQ(policy_line(record(u"K", u"b", 3, {0xAB, 0x0F})), "  K : b = ab0f");
    EXPECT_EQ(policy_line(record(u"K", u"", 0, {})), "  K :  = ");

    EXPECT_EQ(policy_json(record(u"K\\L", u"n", 4, {7, 0, 0, 0})), "{\"key\":\"K\\\\L\",\"name\":\"n\",\"type\":4,\"value\":7}");
    EXPECT_EQ(policy_json(record(u"K", u"s", 1, {'"', 0, 0, 0})), "{\"key\":\"K\",\"name\":\"s\",\"type\":1,\"value\":\"\\\"\"}");
    EXPECT_EQ(policy_json(record(u"K", u"b", 3, {0xAB})), "{\"key\":\"K\",\"name\":\"b\",\"type\":3,\"data\":\"ab\"}");

    EXPECT_EQ(utf16_to_utf8(u"a\xD800" u"b\xDC00"), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

TEST(ProcNetDev, SumsEveryInterfaceOfTheNamespace)
{
    const char *text =
        "Inter-|   Receive                                                |  Transmit\n"
        " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls carrier compressed\n"
        "    lo:    1000      10    0    0    0     0          0         0     1000      10    0    0    0     0       0          0\n"
        "  eth0: 5000 5 0 0 0 0 0 0 234 2 0 0 0 0 0 0\n";
    const std::optional<kestrune::cli::host::Traffic> traffic = kestrune::cli::linux_host::parse_proc_net_dev(text);
    ASSERT_TRUE(traffic);
    EXPECT_EQ(traffic->received, 6000u);
    EXPECT_EQ(traffic->sent, 1234u);

    const std::string header = std::string(text).substr(0, std::string(text).find("    lo:"));
    EXPECT_TRUE(kestrune::cli::linux_host::parse_proc_net_dev(header));
    for (const std::string &wrong : {header + "  eth0 1 2 3 4 5 6 7 8 9\n", header + "  eth0: 1 2 3 4 5 6 7 8\n",
                                     header + "  eth0: 1 2 x 4 5 6 7 8 9\n", std::string("one line only\n")})
        EXPECT_FALSE(kestrune::cli::linux_host::parse_proc_net_dev(wrong)) << wrong;
}

} // namespace
