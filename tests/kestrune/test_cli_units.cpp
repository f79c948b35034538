// The command's pure parts at their edges: its command line, its names for the
// library's vocabulary, and the texts it reads and writes (enforcement report,
// JSON, policy listing, interface counters). Whole runs are test_command's.
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

TEST(CommandLine, OptionsStandAnywhereAndRememberTheirPlace)
{
    const Invocation invocation =
        parse_invocation({{"--verbose", "set", "eth", "limit", "--speed", "500", "mouse", "deny", "--speed=7", "-h"}});
    EXPECT_EQ(invocation.words, (std::vector<std::string>{"set", "eth", "limit", "mouse", "deny"}));
    std::vector<std::string> options;
    for (const Option &option : invocation.options)
        options.push_back(option.name + "=" + option.value + "@" + std::to_string(option.position));
    EXPECT_EQ(options, (std::vector<std::string>{"verbose=@0", "speed=500@3", "speed=7@5", "help=@5"}));

    for (std::vector<const char *> wrong : {std::vector<const char *>{"set", "eth", "limit", "--speed"},
                                            {"status", "--json=yes"}, {"-x"}, {"--"}})
        try {
            parse_invocation(wrong);
            ADD_FAILURE() << wrong.back() << " passed";
        } catch (const CommandError &error) {
            EXPECT_EQ(error.status(), kExitUsage) << wrong.back();
        }
}

TEST(CommandLine, BandwidthIsZeroToTheLibrarysMaximumInDecimalDigits)
{
    EXPECT_EQ(parse_kbps("0"), 0u);
    EXPECT_EQ(parse_kbps("1000000"), 1000000u);
    for (const char *wrong : {"1000001", "-1", "+5", "12a", "", " 5", "4294967396", "99999999999999999999"})
        EXPECT_EQ(parse_kbps(wrong), std::nullopt) << wrong;
}

TEST(Names, DevicesAndPermissionsByShortNameOrIdentifierOfTheirCategoryOnly)
{
    for (const Device &device : all_devices()) {
        EXPECT_EQ(find_device(device.name), &device);
        EXPECT_EQ(find_device(device.identifier()), &device);
    }
    for (const char *wrong : {"Mouse", "mice", "", "QVX_KESTRUNE_DEVID_UNKNOWN", "qvx_kestrune_normal_devid_mouse"})
        EXPECT_EQ(find_device(wrong), nullptr) << wrong;

    EXPECT_EQ(find_permission(QVX_KESTRUNE_DEVICE_TYPE_STORAGE, "QVX_KESTRUNE_STORAGE_PERM_READ_ONLY"), 4);
    EXPECT_EQ(find_permission(QVX_KESTRUNE_DEVICE_TYPE_NET, "limit"), 4);
    // "unknown" is what a read says, not what to set; the identifier stays the library's to refuse.
    EXPECT_EQ(find_permission(QVX_KESTRUNE_DEVICE_TYPE_NORMAL, "unknown"), std::nullopt);
    EXPECT_EQ(find_permission(QVX_KESTRUNE_DEVICE_TYPE_NORMAL, "QVX_KESTRUNE_NORMAL_PERM_UNKNOWN"), 0);
    EXPECT_EQ(find_permission(QVX_KESTRUNE_DEVICE_TYPE_NORMAL, "QVX_KESTRUNE_NET_PERM_DENY"), std::nullopt);
    EXPECT_EQ(find_permission(QVX_KESTRUNE_DEVICE_TYPE_STORAGE, "READ-ONLY"), std::nullopt);
    EXPECT_EQ(permission_name(QVX_KESTRUNE_DEVICE_TYPE_STORAGE, 0), "unknown");
    EXPECT_EQ(permission_name(QVX_KESTRUNE_DEVICE_TYPE_STORAGE, 7), "unknown");
}

TEST(EnforcementReport, HeaderEntriesCommentsAndLinesInNoForm)
{
    const EnforcementReport report = parse_enforcement_report("# kestrune enforcement plan 2026-12-07T10:00:00Z\r\n"
                                                              "# outcome\tkind\tdevice\tdetail\n"
                                                              "would-deny\tmouse\t/sys/a\tauthorized=0\n"
                                                              "\n"
                                                              "exempt\tkeyboard\t/sys/b\t\n"
                                                              "failed\tudisk\t/sys/block/sdb\n"
                                                              "read only\tudisk\t/sys/block/sdc\tx\n"
                                                              "denied\t\t/sys/x\tx\n"
                                                              "denied\tcamera\t/sys/y\tx\ty\n");
    EXPECT_EQ(report.mode + " " + report.time, "plan 2026-12-07T10:00:00Z");
    EXPECT_EQ(report.entries, (std::vector<EnforcementEntry>{{"would-deny", "mouse", "/sys/a", "authorized=0"},
                                                             {"exempt", "keyboard", "/sys/b", ""}}));
    EXPECT_EQ(report.bad_lines, (std::vector<size_t>{6, 7, 8, 9}));
    for (const char *headless : {"denied\tmouse\t/sys/x\tx\n", "# kestrune enforcement plan\ndenied\tmouse\t/sys/x\tx\n"}) {
        const EnforcementReport shown = parse_enforcement_report(headless);
        EXPECT_EQ(shown.mode, "") << headless;
        EXPECT_EQ(shown.entries.size(), 1u) << headless;
        EXPECT_EQ(shown.bad_lines, std::vector<size_t>{1}) << headless;
    }
}

TEST(Json, StringsAreQuotedAndAlwaysUtf8)
{
    EXPECT_EQ(json_string(std::string("a\"b\\c\tn\nz\0e\x7f", 12)), "\"a\\\"b\\\\c\\u0009n\\u000az\\u0000e\\u007f\"");
    EXPECT_EQ(json_string("caf\xC3\xA9 \xF0\x9F\x98\x80"), "\"caf\xC3\xA9 \xF0\x9F\x98\x80\"");
    // Latin-1, a cut sequence, an overlong slash, a surrogate, beyond U+10FFFF:
    // one replacement for every byte that starts no valid sequence.
    const std::pair<const char *, size_t> wrong[] = {
        {"\xE9", 1}, {"\xE2\x82", 2}, {"\xC0\xAF", 2}, {"\xED\xA0\x80", 3}, {"\xF4\x90\x80\x80", 4}};
    for (const auto &[text, replaced] : wrong) {
        std::string expected = "\"";
        for (size_t i = 0; i < replaced; ++i)
            expected += "\xEF\xBF\xBD";
        EXPECT_EQ(json_string(text), expected + "\"") << replaced;
    }
    const std::string items[] = {"1", "{}"};
    EXPECT_EQ(JsonObject().add("n", int64_t{-3}).add_json("l", json_array(items, items + 2)).str(), "{\"n\":-3,\"l\":[1,{}]}");
    EXPECT_EQ(json_array(items, items), "[]");
}

TEST(PolicyListing, EachTypeOfValueAsTextAndAsJson)
{
    using kestrune::platform::PolRecord;
    const std::pair<PolRecord, const char *> lines[] = {
        {{u"K", u"d", 4, {0x01, 0x00, 0x00, 0x80}}, "  K : d = 2147483649"},
        {{u"K", u"s", 1, {'{', 0, 'A', 0, '}', 0, 0, 0}}, "  K : s = \"{A}\""},
        {{u"K", u"p", 2, {0xE9, 0x00, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}}, "  K : p = \"\xC3\xA9\xF0\x9F\x98\x80\""},
        {{u"K", u"q", 4, {1, 2, 3}}, "  K : q = 010203"},
        {{u"K", u"b", 3, {0xAB, 0x0F}}, "  K : b = ab0f"},
        {{u"K", u"", 0, {}}, "  K :  = "},
    };
    for (const auto &[record, line] : lines)
        EXPECT_EQ(policy_line(record), line);
    EXPECT_EQ(policy_json({u"K\\L", u"n", 4, {7, 0, 0, 0}}), "{\"key\":\"K\\\\L\",\"name\":\"n\",\"type\":4,\"value\":7}");
    EXPECT_EQ(policy_json({u"K", u"s", 1, {'"', 0, 0, 0}}), "{\"key\":\"K\",\"name\":\"s\",\"type\":1,\"value\":\"\\\"\"}");
    EXPECT_EQ(policy_json({u"K", u"b", 3, {0xAB}}), "{\"key\":\"K\",\"name\":\"b\",\"type\":3,\"data\":\"ab\"}");
    EXPECT_EQ(utf16_to_utf8(u"a\xD800" u"b\xDC00"), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

TEST(ProcNetDev, SumsEveryInterfaceOfTheNamespace)
{
    using kestrune::cli::linux_host::parse_proc_net_dev;
    const std::string header = "Inter-|   Receive                                                |  Transmit\n"
                               " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs "
                               "drop fifo colls carrier compressed\n";
    const auto traffic = parse_proc_net_dev(header + "    lo:    1000      10    0    0    0     0          0         0"
                                                     "     1000      10    0    0    0     0       0          0\n"
                                                     "  eth0: 5000 5 0 0 0 0 0 0 234 2 0 0 0 0 0 0\n");
    ASSERT_TRUE(traffic);
    EXPECT_EQ(traffic->received, 6000u);
    EXPECT_EQ(traffic->sent, 1234u);
    EXPECT_TRUE(parse_proc_net_dev(header));
    for (const std::string &wrong : {header + "  eth0 1 2 3 4 5 6 7 8 9\n", header + "  eth0: 1 2 3 4 5 6 7 8\n",
                                     header + "  eth0: 1 2 x 4 5 6 7 8 9\n", std::string("one line only\n")})
        EXPECT_FALSE(parse_proc_net_dev(wrong)) << wrong;
}

} // namespace
