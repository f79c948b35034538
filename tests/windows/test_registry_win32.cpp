// The registry seam over the real Win32 registry (Wine's), in a key of the
// test's own. The enumeration checks hold whatever order the registry keeps:
// creation order on Windows, sorted by name under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/registry.h"

using namespace kestrune::platform;

namespace {

constexpr wchar_t kScratch[] = L"Software\\Kestrune Tests\\Registry";

class Win32Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kScratch, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        root_ = reinterpret_cast<RegKey>(key);
    }
    void TearDown() override
    {
        reg_close_key(root_);
        RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
    }

    static uint32_t set_dword(RegKey key, const char16_t *name, uint32_t value)
    {
        return reg_set_value(key, name, kRegDword, &value, sizeof value);
    }
    static uint32_t set_text(RegKey key, const char16_t *name, const std::u16string &text)
    {
        return reg_set_value(key, name, kRegSz, text.c_str(), static_cast<uint32_t>((text.size() + 1) * 2));
    }

    RegKey root_ = nullptr;
};

TEST_F(Win32Registry, CreateSetQueryAndDeleteAsTheWin32CallsAnswer)
{
    RegKey key = nullptr;
    ASSERT_EQ(reg_create_key(root_, u"Software\\Policies\\A\\B", kKeyAllAccess, &key), kErrorSuccess);
    EXPECT_EQ(set_dword(key, u"Deny_Read", 0x01020304), kErrorSuccess);
    EXPECT_EQ(set_text(key, u"1", u"{4D36E96F-E325-11CE-BFC1-08002BE10318}"), kErrorSuccess);

    RegKey reader = nullptr;
    ASSERT_EQ(reg_open_key(root_, u"software\\policies\\a\\b", kKeyQueryValue, &reader), kErrorSuccess)
        << "key names compare without case";
    uint32_t value = 0;
    uint32_t size = 4;
    EXPECT_EQ(reg_query_value(reader, u"deny_read", nullptr, &value, &size), kErrorSuccess);
    EXPECT_EQ(value, 0x01020304u);
    uint32_t type = 0;
    size = 4;
    EXPECT_EQ(reg_query_value(reader, u"1", &type, &value, &size), kErrorMoreData);
    EXPECT_EQ(type, kRegSz);
    EXPECT_EQ(size, 78u) << "the length of the value, terminator included";
    size = 4;
    EXPECT_EQ(reg_query_value(reader, u"absent", nullptr, &value, &size), kErrorFileNotFound);
    EXPECT_EQ(set_dword(reader, u"Deny_Write", 1), kErrorAccessDenied) << "a query handle refuses writes";
    EXPECT_EQ(reg_close_key(reader), kErrorSuccess);

    EXPECT_EQ(reg_delete_value(key, u"Deny_Read"), kErrorSuccess);
    EXPECT_EQ(reg_delete_value(key, u"Deny_Read"), kErrorFileNotFound);
    EXPECT_EQ(reg_open_key(root_, u"Software\\Policies\\Missing", kKeyQueryValue, &reader), kErrorFileNotFound);
    EXPECT_EQ(reader, nullptr);
    EXPECT_EQ(reg_close_key(key), kErrorSuccess);
}

TEST_F(Win32Registry, EnumerationReportsEveryValueAndKeyOnce)
{
    RegKey list = nullptr;
    ASSERT_EQ(reg_create_key(root_, u"Restrictions\\DenyDeviceClasses", kKeyAllAccess, &list), kErrorSuccess);
    const std::map<std::u16string, std::u16string> written = {
        {u"**delvals.", u" "}, {u"1", u"{4D36E96F-E325-11CE-BFC1-08002BE10318}"}, {u"2", u"{X}"}};
    for (const auto &[name, text] : written)
        ASSERT_EQ(set_text(list, name.c_str(), text), kErrorSuccess);

    std::map<std::u16string, std::u16string> read;
    uint32_t index = 0;
    for (;; ++index) {
        char16_t name[16];
        char16_t data[64];
        uint32_t chars = 16;
        uint32_t bytes = sizeof data;
        uint32_t type = 0;
        uint32_t result = reg_enum_value(list, index, name, &chars, &type, data, &bytes);
        if (result == kErrorNoMoreItems)
            break;
        ASSERT_EQ(result, kErrorSuccess);
        EXPECT_EQ(type, kRegSz);
        read[std::u16string(name, chars)] = std::u16string(data, bytes / 2 - 1);
    }
    EXPECT_EQ(index, 3u);
    EXPECT_EQ(read, written);

    char16_t tiny[4];
    uint32_t chars = 4;
    uint32_t bytes = 0;
    bool nameTooLong = false;
    for (uint32_t i = 0; i < 3; ++i, chars = 4)
        nameTooLong = nameTooLong || reg_enum_value(list, i, tiny, &chars, nullptr, nullptr, &bytes) == kErrorMoreData;
    EXPECT_TRUE(nameTooLong) << "\"**delvals.\" does not fit four characters";

    char16_t name[64];
    chars = 64;
    ASSERT_EQ(reg_enum_key(root_, 0, name, &chars), kErrorSuccess);
    EXPECT_EQ(std::u16string(name, chars), u"Restrictions");
    chars = 64;
    EXPECT_EQ(reg_enum_key(root_, 1, name, &chars), kErrorNoMoreItems);
    reg_close_key(list);
}

TEST_F(Win32Registry, ANullKeyIsAnInvalidHandle)
{
    RegKey key = nullptr;
    uint32_t value = 1;
    uint32_t size = 4;
    EXPECT_EQ(reg_create_key(nullptr, u"Software", kKeyAllAccess, &key), kErrorInvalidHandle);
    EXPECT_EQ(reg_open_key(nullptr, u"Software", kKeyQueryValue, &key), kErrorInvalidHandle);
    EXPECT_EQ(reg_set_value(nullptr, u"v", kRegDword, &value, 4), kErrorInvalidHandle);
    EXPECT_EQ(reg_query_value(nullptr, u"v", nullptr, &value, &size), kErrorInvalidHandle);
    EXPECT_EQ(reg_close_key(nullptr), kErrorInvalidHandle);
}

} // namespace
