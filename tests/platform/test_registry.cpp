// The in-memory registry behind the policy object, through the registry seam.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/gpo_files/registry_handles.h"
#include "platform/registry.h"

using namespace kestrune::platform;

namespace {

std::vector<uint8_t> sz(std::u16string_view text)
{
    std::vector<uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override { root_ = open_tree_root(std::make_shared<RegNode>(u"")); }
    void TearDown() override { reg_close_key(root_); }

    RegKey create(const char16_t *path, uint32_t access = kKeyAllAccess)
    {
        RegKey key = nullptr;
        EXPECT_EQ(reg_create_key(root_, path, access, &key), kErrorSuccess);
        return key;
    }

    std::vector<std::u16string> value_names(RegKey key)
    {
        std::vector<std::u16string> names;
        for (uint32_t i = 0;; ++i) {
            char16_t name[256];
            uint32_t chars = 256;
            uint32_t result = reg_enum_value(key, i, name, &chars, nullptr, nullptr, nullptr);
            if (result == kErrorNoMoreItems)
                break;
            EXPECT_EQ(result, kErrorSuccess);
            names.emplace_back(name, chars);
        }
        return names;
    }

    RegKey root_ = nullptr;
};

TEST_F(Registry, CreateMakesTheWholePathAndOpenFindsItInAnyCase)
{
    RegKey created = create(u"Software\\Policies\\Microsoft");
    RegKey opened = nullptr;
    EXPECT_EQ(reg_open_key(root_, u"SOFTWARE\\policies\\MICROSOFT", kKeyRead, &opened), kErrorSuccess);
    uint32_t one = 1;
    ASSERT_EQ(reg_set_value(created, u"Deny_Read", kRegDword, &one, 4), kErrorSuccess);
    uint32_t read = 0, size = 4, type = 0;
    EXPECT_EQ(reg_query_value(opened, u"DENY_READ", &type, &read, &size), kErrorSuccess);
    EXPECT_EQ(read, 1u);
    EXPECT_EQ(type, kRegDword);

    // The key keeps the case it was created with.
    RegKey software = nullptr;
    ASSERT_EQ(reg_open_key(root_, u"software", kKeyRead, &software), kErrorSuccess);
    char16_t name[32];
    uint32_t chars = 32;
    EXPECT_EQ(reg_enum_key(software, 0, name, &chars), kErrorSuccess);
    EXPECT_EQ(std::u16string(name, chars), u"Policies");
    for (RegKey key : {created, opened, software})
        EXPECT_EQ(reg_close_key(key), kErrorSuccess);
}

TEST_F(Registry, MissingKeysAndValuesAnswerNotFound)
{
    RegKey key = nullptr;
    EXPECT_EQ(reg_open_key(root_, u"Software\\Nothing", kKeyRead, &key), kErrorFileNotFound);
    RegKey software = create(u"Software");
    uint32_t data = 0, size = 4;
    EXPECT_EQ(reg_query_value(software, u"absent", nullptr, &data, &size), kErrorFileNotFound);
    EXPECT_EQ(reg_delete_value(software, u"absent"), kErrorFileNotFound);
    reg_close_key(software);
}

TEST_F(Registry, ValuesEnumerateInCreationOrder)
{
    RegKey key = create(u"List");
    auto a = sz(u"A"), b = sz(u"B"), c = sz(u"C");
    reg_set_value(key, u"**delvals.", kRegSz, a.data(), static_cast<uint32_t>(a.size()));
    reg_set_value(key, u"2", kRegSz, b.data(), static_cast<uint32_t>(b.size()));
    reg_set_value(key, u"1", kRegSz, c.data(), static_cast<uint32_t>(c.size()));
    EXPECT_EQ(value_names(key), (std::vector<std::u16string>{u"**delvals.", u"2", u"1"}));

    // Overwriting keeps the place; deleting and re-adding moves to the end.
    reg_set_value(key, u"**DELVALS.", kRegSz, c.data(), static_cast<uint32_t>(c.size()));
    EXPECT_EQ(value_names(key), (std::vector<std::u16string>{u"**delvals.", u"2", u"1"}));
    EXPECT_EQ(reg_delete_value(key, u"2"), kErrorSuccess);
    reg_set_value(key, u"2", kRegSz, b.data(), static_cast<uint32_t>(b.size()));
    EXPECT_EQ(value_names(key), (std::vector<std::u16string>{u"**delvals.", u"1", u"2"}));
    EXPECT_EQ(reg_delete_value(key, u"**delvals."), kErrorSuccess);
    EXPECT_EQ(reg_delete_value(key, u"**delvals."), kErrorFileNotFound);
    reg_set_value(key, u"3", kRegSz, c.data(), static_cast<uint32_t>(c.size()));
    EXPECT_EQ(value_names(key), (std::vector<std::u16string>{u"1", u"2", u"3"}));
    // Names still find their own values after the holes were closed.
    char16_t text[4] = {};
    uint32_t size = sizeof text;
    ASSERT_EQ(reg_query_value(key, u"2", nullptr, text, &size), kErrorSuccess);
    EXPECT_EQ(std::u16string(text), u"B");
    reg_close_key(key);
}

TEST_F(Registry, DataIsKeptAsGivenAndSizesAreChecked)
{
    RegKey key = create(u"K");
    auto text = sz(u"{4D36E96F-E325-11CE-BFC1-08002BE10318}");
    ASSERT_EQ(reg_set_value(key, u"1", kRegSz, text.data(), static_cast<uint32_t>(text.size())), kErrorSuccess);

    // A four-byte read of a longer value answers "more data".
    uint32_t small = 0, size = 4;
    EXPECT_EQ(reg_query_value(key, u"1", nullptr, &small, &size), kErrorMoreData);
    EXPECT_EQ(size, text.size());

    char16_t name[8];
    uint8_t data[512];
    uint32_t chars = 8, bytes = sizeof data, type = 0;
    ASSERT_EQ(reg_enum_value(key, 0, name, &chars, &type, data, &bytes), kErrorSuccess);
    EXPECT_EQ(type, kRegSz);
    EXPECT_EQ(std::vector<uint8_t>(data, data + bytes), text);

    // Data that does not fit: the name still arrives, the size tells what is needed.
    chars = 8;
    bytes = 10;
    EXPECT_EQ(reg_enum_value(key, 0, name, &chars, &type, data, &bytes), kErrorMoreData);
    EXPECT_EQ(std::u16string(name, chars), u"1");
    EXPECT_EQ(bytes, text.size());

    // A name that does not fit (its zero needs room too).
    uint32_t one = 1;
    reg_set_value(key, u"Long_Name", kRegDword, &one, 4);
    chars = 9;
    bytes = sizeof data;
    EXPECT_EQ(reg_enum_value(key, 1, name, &chars, &type, data, &bytes), kErrorMoreData);
    EXPECT_EQ(chars, 9u);
    EXPECT_EQ(reg_enum_value(key, 2, name, &chars, &type, data, &bytes), kErrorNoMoreItems);
    reg_close_key(key);
}

TEST_F(Registry, NullClosedAndReadOnlyHandles)
{
    uint32_t one = 1, size = 4, chars = 8;
    char16_t name[8];
    RegKey out = nullptr;
    EXPECT_EQ(reg_create_key(nullptr, u"A", kKeyAllAccess, &out), kErrorInvalidHandle);
    EXPECT_EQ(reg_open_key(nullptr, u"A", kKeyRead, &out), kErrorInvalidHandle);
    EXPECT_EQ(reg_set_value(nullptr, u"v", kRegDword, &one, 4), kErrorInvalidHandle);
    EXPECT_EQ(reg_delete_value(nullptr, u"v"), kErrorInvalidHandle);
    EXPECT_EQ(reg_query_value(nullptr, u"v", nullptr, &one, &size), kErrorInvalidHandle);
    EXPECT_EQ(reg_enum_value(nullptr, 0, name, &chars, nullptr, nullptr, nullptr), kErrorInvalidHandle);
    EXPECT_EQ(reg_enum_key(nullptr, 0, name, &chars), kErrorInvalidHandle);
    EXPECT_EQ(reg_close_key(nullptr), kErrorInvalidHandle);

    RegKey key = create(u"A");
    ASSERT_EQ(reg_close_key(key), kErrorSuccess);
    EXPECT_EQ(reg_set_value(key, u"v", kRegDword, &one, 4), kErrorInvalidHandle);
    EXPECT_EQ(reg_close_key(key), kErrorInvalidHandle);

    RegKey readOnly = nullptr;
    ASSERT_EQ(reg_open_key(root_, u"A", kKeyQueryValue, &readOnly), kErrorSuccess);
    EXPECT_EQ(reg_set_value(readOnly, u"v", kRegDword, &one, 4), kErrorAccessDenied);
    EXPECT_EQ(reg_delete_value(readOnly, u"v"), kErrorAccessDenied);
    reg_close_key(readOnly);
}

TEST_F(Registry, AnOpenHandleKeepsItsTreeAlive)
{
    auto tree = std::make_shared<RegNode>(u"");
    RegKey root = open_tree_root(tree);
    RegKey child = nullptr;
    ASSERT_EQ(reg_create_key(root, u"A\\B", kKeyAllAccess, &child), kErrorSuccess);
    reg_close_key(root);
    tree.reset();
    uint32_t one = 1;
    EXPECT_EQ(reg_set_value(child, u"v", kRegDword, &one, 4), kErrorSuccess);
    EXPECT_EQ(reg_close_key(child), kErrorSuccess);
}

// A path of `levels` keys named `name`.
std::u16string key_path(size_t levels, const std::u16string &name = u"k")
{
    std::u16string path;
    for (size_t i = 0; i < levels; ++i)
        path += (i == 0 ? u"" : u"\\") + name;
    return path;
}

TEST_F(Registry, KeysAndValuesBeyondTheRegistryLimitsAreRefused)
{
    RegKey key = nullptr;
    EXPECT_EQ(reg_create_key(root_, key_path(513).c_str(), kKeyAllAccess, &key), kErrorInvalidParameter);
    EXPECT_EQ(reg_open_key(root_, u"k", kKeyRead, &key), kErrorFileNotFound) << "nothing was created";
    // Depth counts from the section's root, not from the handle.
    RegKey deep = create(key_path(500).c_str());
    EXPECT_EQ(reg_create_key(deep, key_path(13).c_str(), kKeyAllAccess, &key), kErrorInvalidParameter);
    reg_close_key(create(key_path(512).c_str()));
    reg_close_key(deep);
    EXPECT_EQ(reg_create_key(root_, std::u16string(256, u'n').c_str(), kKeyAllAccess, &key), kErrorInvalidParameter);
    reg_close_key(create(std::u16string(255, u'n').c_str()));

    RegKey values = create(u"V");
    std::vector<uint8_t> data((1 << 20) + 1);
    const std::u16string longName(16384, u'v');
    EXPECT_EQ(reg_set_value(values, longName.c_str(), kRegDword, data.data(), 4), kErrorInvalidParameter);
    EXPECT_EQ(reg_set_value(values, u"big", 3, data.data(), 1 << 20 | 1), kErrorInvalidParameter);
    EXPECT_TRUE(value_names(values).empty());
    EXPECT_EQ(reg_set_value(values, longName.c_str() + 1, kRegDword, data.data(), 4), kErrorSuccess);
    EXPECT_EQ(reg_set_value(values, u"big", 3, data.data(), 1 << 20), kErrorSuccess);
    reg_close_key(values);
}

} // namespace
