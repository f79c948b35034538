// The Registry.pol codec: the published byte layout, round trips through a
// registry tree, and refusal of anything malformed.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/gpo_files/registry_pol.h"

using namespace kestrune::platform;

namespace {

// "[A;B;4;4;01 00 00 00]" and "[A\C;;1;4;'x' 0]", written out by hand.
const std::vector<uint8_t> kTwoRecords = {
    'P', 'R', 'e', 'g', 1, 0, 0, 0,
    0x5B, 0, 'A', 0, 0, 0, 0x3B, 0, 'B', 0, 0, 0, 0x3B, 0, 4, 0, 0, 0, 0x3B, 0, 4, 0, 0, 0, 0x3B, 0,
    1, 0, 0, 0, 0x5D, 0,
    0x5B, 0, 'A', 0, '\\', 0, 'C', 0, 0, 0, 0x3B, 0, 0, 0, 0x3B, 0, 1, 0, 0, 0, 0x3B, 0, 4, 0, 0, 0, 0x3B, 0,
    'x', 0, 0, 0, 0x5D, 0,
};

TEST(RegistryPol, ReadsAndWritesThePublishedLayout)
{
    const std::vector<PolRecord> records = {{u"A", u"B", 4, {1, 0, 0, 0}}, {u"A\\C", u"", 1, {'x', 0, 0, 0}}};
    EXPECT_EQ(parse_registry_pol(kTwoRecords), records);
    EXPECT_EQ(serialize_registry_pol(records), kTwoRecords);
    const std::vector<uint8_t> header(kTwoRecords.begin(), kTwoRecords.begin() + 8);
    EXPECT_EQ(parse_registry_pol({}), std::vector<PolRecord>{});
    EXPECT_EQ(parse_registry_pol(header), std::vector<PolRecord>{});
    EXPECT_EQ(serialize_registry_pol({}), header);
}

TEST(RegistryPol, RefusesMalformedFilesAndEveryTruncationOrKeepsARecordPrefix)
{
    auto broken = [](auto mutate) {
        std::vector<uint8_t> bytes = kTwoRecords;
        mutate(bytes);
        return parse_registry_pol(bytes);
    };
    EXPECT_FALSE(broken([](auto &b) { b[0] = 'p'; }));           // signature
    EXPECT_FALSE(broken([](auto &b) { b[4] = 2; }));             // version
    EXPECT_FALSE(broken([](auto &b) { b[8] = '('; }));           // opening bracket
    EXPECT_FALSE(broken([](auto &b) { b[28] = 0xFF; }));         // size beyond the file
    EXPECT_FALSE(broken([](auto &b) { b.push_back(0x5B); }));    // half a character
    EXPECT_FALSE(broken([](auto &b) { b[b.size() - 2] = 0; })); // closing bracket
    EXPECT_FALSE(parse_registry_pol(std::vector<uint8_t>{'P', 'R', 'e', 'g'}));

    const std::vector<PolRecord> full = *parse_registry_pol(kTwoRecords);
    for (size_t length = 1; length < kTwoRecords.size(); ++length) {
        const auto parsed = parse_registry_pol(std::span(kTwoRecords.data(), length));
        EXPECT_TRUE(!parsed || (parsed->size() <= full.size() && std::equal(parsed->begin(), parsed->end(), full.begin())))
            << length;
    }
}

// The limits themselves belong to the registry's tests; here, that parsing applies
// them to key-only records too.
TEST(RegistryPol, RecordsBeyondTheRegistryLimitsAreRefused)
{
    auto accepted = [](std::u16string key, std::u16string value, size_t dataBytes) {
        PolRecord record{std::move(key), std::move(value), 3, std::vector<uint8_t>(dataBytes, 0xAB)};
        return parse_registry_pol(serialize_registry_pol({record})).has_value();
    };
    EXPECT_TRUE(accepted(u"A", std::u16string(16383, u'v'), 1 << 20));
    EXPECT_FALSE(accepted(u"A\\" + std::u16string(256, u'n'), u"", 0)) << "a key-only record counts too";
    EXPECT_FALSE(accepted(u"A", std::u16string(16384, u'v'), 4));
    EXPECT_FALSE(accepted(u"A", u"v", (1 << 20) + 1));
}

std::vector<PolRecord> reloaded(const std::vector<PolRecord> &records)
{
    RegNode root(u"");
    load_records(root, *parse_registry_pol(serialize_registry_pol(records)));
    return records_of_tree(root);
}

// Keys depth-first in creation order, found in any case, values in their order.
TEST(RegistryPol, TreeRoundTripKeepsOrderNamesTypesAndBytes)
{
    RegNode root(u"");
    RegNode &list = create_key(root, u"Software\\Policies\\Restrictions\\DenyDeviceClasses");
    list.set_value(u"**delvals.", 1, {' ', 0, 0, 0});
    list.set_value(u"1", 1, {'A', 0, 0, 0});
    find_key(root, u"software\\POLICIES\\restrictions")->set_value(u"DenyDeviceClasses", 4, {1, 0, 0, 0});
    create_key(root, u"Software\\Empty");
    create_key(root, u"Other").set_value(u"Raw", 3, {0xFF, 0x00, 0x7F});

    const std::u16string restrictions = u"Software\\Policies\\Restrictions";
    const std::vector<PolRecord> records = {
        {restrictions, u"DenyDeviceClasses", 4, {1, 0, 0, 0}},
        {restrictions + u"\\DenyDeviceClasses", u"**delvals.", 1, {' ', 0, 0, 0}},
        {restrictions + u"\\DenyDeviceClasses", u"1", 1, {'A', 0, 0, 0}},
        {u"Other", u"Raw", 3, {0xFF, 0x00, 0x7F}},
    };
    EXPECT_EQ(records_of_tree(root), records);
    EXPECT_EQ(reloaded(records), records);
}

// Windows' policy tools write "[key;;0;0;]" for each key without values: saved
// where it stood, unless the registry cannot tell it apart (a repeated key-only
// record, one for a key that has values).
TEST(RegistryPol, KeyOnlyRecordsAreSavedWhereTheyStood)
{
    auto keyOnly = [](const char16_t *key) { return PolRecord{key, u"", kRegNoneType, {}}; };
    const std::vector<PolRecord> windows = {
        keyOnly(u"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer"),
        {u"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System", u"EnableLUA", 4, {1, 0, 0, 0}},
        keyOnly(u"Software\\Policies\\Microsoft\\Windows\\DeviceInstall"),
        {u"Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions", u"DenyRemovableDevices", 4, {1, 0, 0, 0}},
        keyOnly(u"Software\\Policies\\Microsoft\\WindowsFirewall"),
    };
    EXPECT_EQ(reloaded(windows), windows);
    const PolRecord value{u"B", u"v", 4, {1, 0, 0, 0}};
    EXPECT_EQ(reloaded({keyOnly(u"A"), keyOnly(u"a"), value, keyOnly(u"B")}), (std::vector{keyOnly(u"A"), value}));
}

TEST(RegistryTree, AChainFarDeeperThanTheLimitIsWalkedAndFreedWithoutRecursion)
{
    // Deeper than any stack would take one frame per level.
    constexpr size_t kLevels = 200000;
    auto root = std::make_unique<RegNode>(u"");
    RegNode *node = root.get();
    for (size_t i = 0; i < kLevels; ++i)
        node = &node->create_subkey(u"a");
    node->set_value(u"v", 4, {1, 0, 0, 0});
    EXPECT_EQ(node->depth(), kLevels);

    auto records = records_of_tree(*root);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].key.size(), 2 * kLevels - 1);
    EXPECT_EQ(records[0].key.substr(0, 4), u"a\\a\\");
    root->delete_subkey(u"A");
    EXPECT_TRUE(records_of_tree(*root).empty());
}

} // namespace
