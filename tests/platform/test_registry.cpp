// The in-memory registry behind the policy object, through the registry seam.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/gpo_files/registry_handles.h"
#include "platform/registry.h"

using namespace kestrune::platform;

namespace {

class Registry : public ::testing::Test {
protected:
    void TearDown() override { reg_close_key(root_); }

    RegKey create(const std::u16string &path, uint32_t access = kKeyAllAccess)
    {
        RegKey key = nullptr;
        EXPECT_EQ(reg_create_key(root_, path.c_str(), access, &key), kErrorSuccess);
        return key;
    }

    static uint32_t set(RegKey key, const char16_t *name, std::u16string_view text)
    {
        const std::u16string data(text);
        return reg_set_value(key, name, kRegSz, data.c_str(), static_cast<uint32_t>((data.size() + 1) * 2));
    }

    static std::vector<std::u16string> value_names(RegKey key)
    {
        std::vector<std::u16string> names;
        char16_t name[256];
        for (uint32_t i = 0, chars = 256; reg_enum_value(key, i, name, &chars, nullptr, nullptr, nullptr) == 0;
             ++i, chars = 256)
            names.emplace_back(name, chars);
        return names;
    }

    RegKey root_ = open_tree_root(std::make_shared<RegNode>(u""));
};

TEST_F(Registry, KeysAreCreatedWholeFoundInAnyCaseAndKeepTheirOwn)
{
    RegKey created = create(u"Software\\Policies\\Microsoft");
    RegKey opened = nullptr, missing = nullptr, slashes = nullptr;
    EXPECT_EQ(reg_open_key(root_, u"SOFTWARE\\policies\\MICROSOFT", kKeyRead, &opened), kErrorSuccess);
    EXPECT_EQ(reg_open_key(root_, u"Software\\Nothing", kKeyRead, &missing), kErrorFileNotFound);
    // Empty path segments name no key.
    reg_close_key(create(u"\\Slashes\\\\Key\\"));
    EXPECT_EQ(reg_open_key(root_, u"Slashes\\Key", kKeyRead, &slashes), kErrorSuccess);
    uint32_t one = 1, read = 0, size = 4, type = 0;
    ASSERT_EQ(reg_set_value(created, u"Deny_Read", kRegDword, &one, 4), kErrorSuccess);
    EXPECT_EQ(reg_query_value(opened, u"DENY_READ", &type, &read, &size), kErrorSuccess);
    EXPECT_EQ(read, 1u);
    EXPECT_EQ(type, kRegDword);
    EXPECT_EQ(reg_query_value(opened, u"absent", nullptr, &read, &size), kErrorFileNotFound);
    EXPECT_EQ(reg_delete_value(created, u"absent"), kErrorFileNotFound);

    char16_t name[32];
    uint32_t chars = 32;
    EXPECT_EQ(reg_enum_key(root_, 0, name, &chars), kErrorSuccess);
    EXPECT_EQ(std::u16string(name, chars), u"Software");
    for (RegKey key : {created, opened, slashes})
        EXPECT_EQ(reg_close_key(key), kErrorSuccess);
}

TEST_F(Registry, ValuesEnumerateInCreationOrder)
{
    RegKey key = create(u"List");
    for (const char16_t *name : {u"**delvals.", u"2", u"1"})
        set(key, name, name);
    // Overwriting keeps the place; deleting and re-adding moves to the end.
    set(key, u"**DELVALS.", u"C");
    EXPECT_EQ(value_names(key), (std::vector<std::u16string>{u"**delvals.", u"2", u"1"}));
    EXPECT_EQ(reg_delete_value(key, u"2"), kErrorSuccess);
    set(key, u"2", u"B");
    EXPECT_EQ(reg_delete_value(key, u"**delvals."), kErrorSuccess);
    set(key, u"3", u"C");
    EXPECT_EQ(value_names(key), (std::vector<std::u16string>{u"1", u"2", u"3"}));
    // Names still find their own values after the holes were closed.
    char16_t text[4] = {};
    uint32_t size = sizeof text;
    ASSERT_EQ(reg_query_value(key, u"2", nullptr, text, &size), kErrorSuccess);
    EXPECT_EQ(std::u16string(text), u"B");
    reg_close_key(key);
}

TEST_F(Registry, DataIsKeptAsGivenAndBuffersAreChecked)
{
    RegKey key = create(u"K");
    const std::u16string text = u"{4D36E96F-E325-11CE-BFC1-08002BE10318}";
    const uint32_t bytes = static_cast<uint32_t>((text.size() + 1) * 2);
    ASSERT_EQ(set(key, u"1", text), kErrorSuccess);

    // A query without a size may only ask for the type.
    uint32_t type = 0, small = 0, size = 4;
    EXPECT_EQ(reg_query_value(key, u"1", &type, nullptr, nullptr), kErrorSuccess);
    EXPECT_EQ(type, kRegSz);
    EXPECT_EQ(reg_query_value(key, u"1", nullptr, &small, nullptr), kErrorInvalidParameter);
    EXPECT_EQ(reg_query_value(key, u"1", nullptr, &small, &size), kErrorMoreData);
    EXPECT_EQ(size, bytes);

    // An exact fit; data that does not fit (the name still arrives, the size tells
    // what is needed); a name that does not fit (its zero needs room too).
    char16_t name[8], data[64];
    uint32_t chars = 8, dataBytes = bytes;
    ASSERT_EQ(reg_enum_value(key, 0, name, &chars, &type, data, &dataBytes), kErrorSuccess);
    EXPECT_EQ(std::u16string(data), text);
    chars = 8;
    dataBytes = bytes - 1;
    EXPECT_EQ(reg_enum_value(key, 0, name, &chars, &type, data, &dataBytes), kErrorMoreData);
    EXPECT_EQ(std::u16string(name, chars), u"1");
    EXPECT_EQ(dataBytes, bytes);
    set(key, u"Long_Name", u"");
    chars = 9;
    EXPECT_EQ(reg_enum_value(key, 1, name, &chars, nullptr, nullptr, nullptr), kErrorMoreData);
    EXPECT_EQ(chars, 9u);
    EXPECT_EQ(reg_enum_value(key, 2, name, &chars, nullptr, nullptr, nullptr), kErrorNoMoreItems);
    EXPECT_EQ(reg_enum_value(key, 0, name, nullptr, nullptr, nullptr, nullptr), kErrorInvalidParameter);
    reg_close_key(key);
}

TEST_F(Registry, NullClosedAndReadOnlyHandles)
{
    uint32_t one = 1, size = 4, chars = 8;
    char16_t name[8];
    RegKey out = nullptr, closed = create(u"A"), readOnly = nullptr;
    ASSERT_EQ(reg_close_key(closed), kErrorSuccess);
    for (RegKey key : {RegKey{}, closed}) {
        EXPECT_EQ(reg_create_key(key, u"A", kKeyAllAccess, &out), kErrorInvalidHandle);
        EXPECT_EQ(reg_open_key(key, u"A", kKeyRead, &out), kErrorInvalidHandle);
        EXPECT_EQ(reg_set_value(key, u"v", kRegDword, &one, 4), kErrorInvalidHandle);
        EXPECT_EQ(reg_delete_value(key, u"v"), kErrorInvalidHandle);
        EXPECT_EQ(reg_query_value(key, u"v", nullptr, &one, &size), kErrorInvalidHandle);
        EXPECT_EQ(reg_enum_value(key, 0, name, &chars, nullptr, nullptr, nullptr), kErrorInvalidHandle);
        EXPECT_EQ(reg_enum_key(key, 0, name, &chars), kErrorInvalidHandle);
        EXPECT_EQ(reg_close_key(key), kErrorInvalidHandle);
    }
    EXPECT_EQ(reg_create_key(root_, u"A", kKeyAllAccess, nullptr), kErrorInvalidHandle);
    ASSERT_EQ(reg_open_key(root_, u"A", kKeyQueryValue, &readOnly), kErrorSuccess);
    EXPECT_EQ(reg_set_value(readOnly, u"v", kRegDword, &one, 4), kErrorAccessDenied);
    EXPECT_EQ(reg_delete_value(readOnly, u"v"), kErrorAccessDenied);
    EXPECT_EQ(reg_create_key(readOnly, u"B", kKeyAllAccess, &out), kErrorAccessDenied);
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

// A path of `levels` keys.
std::u16string key_path(size_t levels)
{
    std::u16string path = u"k";
    for (size_t i = 1; i < levels; ++i)
        path += u"\\k";
    return path;
}

TEST_F(Registry, KeysAndValuesBeyondTheRegistryLimitsAreRefused)
{
    RegKey key = nullptr;
    EXPECT_EQ(reg_create_key(root_, key_path(513).c_str(), kKeyAllAccess, &key), kErrorInvalidParameter);
    EXPECT_EQ(reg_open_key(root_, u"k", kKeyRead, &key), kErrorFileNotFound) << "nothing was created";
    // Depth counts from the section's root, not from the handle.
    RegKey deep = create(key_path(500));
    EXPECT_EQ(reg_create_key(deep, key_path(13).c_str(), kKeyAllAccess, &key), kErrorInvalidParameter);
    reg_close_key(create(key_path(512)));
    reg_close_key(deep);
    EXPECT_EQ(reg_create_key(root_, std::u16string(256, u'n').c_str(), kKeyAllAccess, &key), kErrorInvalidParameter);
    reg_close_key(create(std::u16string(255, u'n')));

    RegKey values = create(u"V");
    std::vector<uint8_t> data((1 << 20) + 1);
    const std::u16string longName(16384, u'v');
    EXPECT_EQ(reg_set_value(values, longName.c_str(), kRegDword, data.data(), 4), kErrorInvalidParameter);
    EXPECT_EQ(reg_set_value(values, u"big", 3, data.data(), 1 << 20 | 1), kErrorInvalidParameter);
    EXPECT_EQ(reg_set_value(values, u"v", 3, nullptr, 1), kErrorInvalidParameter);
    EXPECT_TRUE(value_names(values).empty());
    EXPECT_EQ(reg_set_value(values, longName.c_str() + 1, kRegDword, data.data(), 4), kErrorSuccess);
    EXPECT_EQ(reg_set_value(values, u"big", 3, data.data(), 1 << 20), kErrorSuccess);
    reg_close_key(values);
}

} // namespace
