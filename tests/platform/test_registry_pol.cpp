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

// A file as Windows' policy tools write it, byte by byte: keys in order, a
// key-only record "[key;;0;0;]" for each key without values.
class WindowsFile {
public:
    WindowsFile() : bytes_{'P', 'R', 'e', 'g', 1, 0, 0, 0} {}

    WindowsFile &record(const char *key, const char *value, uint8_t type, std::vector<uint8_t> data)
    {
        put('[');
        text(key);
        put(';');
        text(value);
        put(';');
        bytes_.insert(bytes_.end(), {type, 0, 0, 0});
        put(';');
        bytes_.insert(bytes_.end(), {static_cast<uint8_t>(data.size()), 0, 0, 0});
        put(';');
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        put(']');
        return *this;
    }
    WindowsFile &key_only(const char *key) { return record(key, "", 0, {}); }
    const std::vector<uint8_t> &bytes() const { return bytes_; }

private:
    void put(char c) { bytes_.insert(bytes_.end(), {static_cast<uint8_t>(c), 0}); }
    void text(const char *s)
    {
        while (*s != '\0')
            put(*s++);
        put('\0');
    }
    std::vector<uint8_t> bytes_;
};

std::vector<uint8_t> saved_after_load(const std::vector<uint8_t> &file)
{
    RegNode root(u"");
    load_records(root, parse_registry_pol(file).value());
    return serialize_registry_pol(records_of_tree(root));
}

TEST(RegistryPol, KeyOnlyRecordsOfAWindowsFileAreSavedWhereTheyStood)
{
    const auto file = WindowsFile()
                          .key_only("Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer")
                          .record("Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System", "EnableLUA", 4,
                                  {1, 0, 0, 0})
                          .key_only("Software\\Policies\\Microsoft\\Windows\\DeviceInstall")
                          .record("Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions",
                                  "DenyRemovableDevices", 4, {1, 0, 0, 0})
                          .key_only("Software\\Policies\\Microsoft\\WindowsFirewall")
                          .bytes();
    EXPECT_EQ(saved_after_load(file), file);

    // The registry merges what it cannot tell apart: a repeated key-only record,
    // and one for a key that has values.
    const auto merged = WindowsFile().key_only("A").key_only("a").record("B", "v", 4, {1, 0, 0, 0}).key_only("B");
    EXPECT_EQ(saved_after_load(merged.bytes()), WindowsFile().key_only("A").record("B", "v", 4, {1, 0, 0, 0}).bytes());
}

TEST(RegistryPol, RecordsBeyondTheRegistryLimitsAreRefused)
{
    auto accepted = [](std::u16string key, std::u16string value, size_t dataBytes) {
        PolRecord record{std::move(key), std::move(value), 3, std::vector<uint8_t>(dataBytes, 0xAB)};
        return parse_registry_pol(serialize_registry_pol({record})).has_value();
    };
    auto path = [](size_t levels) {
        std::u16string text = u"k";
        for (size_t i = 1; i < levels; ++i)
            text += u"\\k";
        return text;
    };
    EXPECT_TRUE(accepted(path(512), u"v", 4));
    EXPECT_FALSE(accepted(path(513), u"v", 4));
    EXPECT_FALSE(accepted(path(300000), u"", 0)) << "a key-only record counts too";
    EXPECT_TRUE(accepted(std::u16string(255, u'n'), u"v", 4));
    EXPECT_FALSE(accepted(u"A\\" + std::u16string(256, u'n'), u"v", 4));
    EXPECT_TRUE(accepted(u"A", std::u16string(16383, u'v'), 4));
    EXPECT_FALSE(accepted(u"A", std::u16string(16384, u'v'), 4));
    EXPECT_TRUE(accepted(u"A", u"v", 1 << 20));
    EXPECT_FALSE(accepted(u"A", u"v", (1 << 20) + 1));
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
