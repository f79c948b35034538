// The Registry.pol codec: the published byte layout, round trips through a
// registry tree, and refusal of anything malformed.
#include <gtest/gtest.h>

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
    auto records = parse_registry_pol(kTwoRecords);
    ASSERT_TRUE(records.has_value());
    ASSERT_EQ(records->size(), 2u);
    EXPECT_EQ((*records)[0], (PolRecord{u"A", u"B", 4, {1, 0, 0, 0}}));
    EXPECT_EQ((*records)[1], (PolRecord{u"A\\C", u"", 1, {'x', 0, 0, 0}}));
    EXPECT_EQ(serialize_registry_pol(*records), kTwoRecords);
}

TEST(RegistryPol, EmptyPolicies)
{
    EXPECT_EQ(parse_registry_pol({})->size(), 0u);
    std::vector<uint8_t> header(kTwoRecords.begin(), kTwoRecords.begin() + 8);
    EXPECT_EQ(parse_registry_pol(header)->size(), 0u);
    EXPECT_EQ(serialize_registry_pol({}), header);
}

TEST(RegistryPol, RefusesMalformedFiles)
{
    auto broken = [](auto mutate) {
        std::vector<uint8_t> bytes = kTwoRecords;
        mutate(bytes);
        return parse_registry_pol(bytes);
    };
    EXPECT_FALSE(broken([](auto &b) { b[0] = 'p'; }));               // signature
    EXPECT_FALSE(broken([](auto &b) { b[4] = 2; }));                 // version
    EXPECT_FALSE(broken([](auto &b) { b[8] = '('; }));               // opening bracket
    EXPECT_FALSE(broken([](auto &b) { b[28] = 0xFF; }));             // size beyond the file
    EXPECT_FALSE(broken([](auto &b) { b.push_back(0x5B); }));        // half a character
    EXPECT_FALSE(broken([](auto &b) { b[b.size() - 2] = 0; }));     // closing bracket
    EXPECT_FALSE(parse_registry_pol(std::vector<uint8_t>{'P', 'R', 'e', 'g'}));
}

TEST(RegistryPol, EveryTruncationIsRefusedOrARecordPrefix)
{
    auto full = *parse_registry_pol(kTwoRecords);
    for (size_t length = 1; length < kTwoRecords.size(); ++length) {
        auto parsed = parse_registry_pol(std::span(kTwoRecords.data(), length));
        if (!parsed)
            continue;
        ASSERT_LE(parsed->size(), full.size()) << length;
        EXPECT_TRUE(std::equal(parsed->begin(), parsed->end(), full.begin())) << length;
    }
}

TEST(RegistryPol, TreeRoundTripKeepsOrderNamesTypesAndBytes)
{
    RegNode root(u"");
    RegNode &list = create_key(root, u"Software\\Policies\\Restrictions\\DenyDeviceClasses");
    list.set_value(u"**delvals.", 1, {' ', 0, 0, 0});
    list.set_value(u"1", 1, {'A', 0, 0, 0});
    RegNode &restrictions = *find_key(root, u"software\\POLICIES\\restrictions");
    restrictions.set_value(u"DenyDeviceClasses", 4, {1, 0, 0, 0});
    create_key(root, u"Software\\Empty");
    create_key(root, u"Other").set_value(u"Raw", 3, {0xFF, 0x00, 0x7F});

    auto records = records_of_tree(root);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0], (PolRecord{u"Software\\Policies\\Restrictions", u"DenyDeviceClasses", 4, {1, 0, 0, 0}}));
    EXPECT_EQ(records[1].value, u"**delvals.");
    EXPECT_EQ(records[2].key, u"Software\\Policies\\Restrictions\\DenyDeviceClasses");
    EXPECT_EQ(records[3], (PolRecord{u"Other", u"Raw", 3, {0xFF, 0x00, 0x7F}}));

    RegNode reloaded(u"");
    load_records(reloaded, *parse_registry_pol(serialize_registry_pol(records)));
    EXPECT_EQ(records_of_tree(reloaded), records);
}

TEST(RegistryPol, KeyOnlyRecordsCreateTheKeyAlone)
{
    RegNode root(u"");
    load_records(root, {PolRecord{u"A\\B", u"", 0, {}}});
    ASSERT_NE(find_key(root, u"A\\B"), nullptr);
    EXPECT_TRUE(find_key(root, u"A\\B")->values().empty());
}

} // namespace
