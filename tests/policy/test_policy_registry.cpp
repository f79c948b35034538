// Writing, deleting and reading single policy values relative to the held
// machine key, and what reaches the saved policy file.
#include <gtest/gtest.h>

#include <filesystem>

#include "policy/policy_registry.h"
#include "policy/policy_store_fixture.h"

using namespace kestrune;
using namespace kestrune::test;

namespace {

const char kKey[] = "Software\\Policies\\Kestrune\\Test";
const std::u16string kKeyWide = u"Software\\Policies\\Kestrune\\Test";

uint32_t set_dword(const char *name, uint32_t value, int32_t operation = GP_OP_SET_VALUE)
{
    return set_group_policy_key_value(kKey, name, operation, 4, &value, sizeof value);
}

uint32_t remove(const char *name)
{
    return set_group_policy_key_value(kKey, name, GP_OP_DELETE_VALUE, 0, nullptr, 0);
}

uint32_t value = 0;
uint32_t read(const char *name)
{
    return get_group_policy_key_value(kKey, name, &value);
}

class PolicyRegistryTest : public PolicyStoreTest {};

TEST_F(PolicyRegistryTest, OperationsResultsAndLines)
{
    open();
    std::vector<uint32_t> results;
    EXPECT_EQ(logged([&] {
                  results = {read("Value"),                                // no key yet: level E
                             set_dword("Value", 1, 7), set_dword("Value", 1, -1), // other codes only create the key
                             read("Value"),                                // no value: level I
                             set_dword("Value", 0x01020304), read("Value"), set_dword("Value", 7),
                             set_dword("Gone", 1), remove("gone") /* names compare without case */, remove("Gone")};
              }),
              "E KestruneCtl get_group_policy_key_value #: RegOpenKeyEx ret =2\n"
              "I KestruneCtl get_group_policy_key_value #: RegQueryValueEx Value not found\r\n"
              "E KestruneCtl set_group_policy_key_value #: operation 100 fail, ret=2\r\n");
    EXPECT_EQ(results, (std::vector<uint32_t>{2, 0, 0, 2, 0, 0, 0, 0, 0, 2}));
    EXPECT_EQ(value, 0x01020304u);
    EXPECT_EQ(apply(), (std::vector<PolRecord>{dword(kKeyWide, u"Value", 7)}));
}

TEST_F(PolicyRegistryTest, ReadsAtMostFourBytesOfAnyType)
{
    open();
    const char16_t text[] = u"ab"; // 6 bytes
    const uint16_t shortValue = 0x0506;
    ASSERT_EQ(set_group_policy_key_value(kKey, "Long", GP_OP_SET_VALUE, 1, text, sizeof text), 0u);
    ASSERT_EQ(set_group_policy_key_value(kKey, "Short", GP_OP_SET_VALUE, 3, &shortValue, 2), 0u);
    uint32_t longRead = 9;
    EXPECT_EQ(logged([&] { longRead = read("Long"); }),
              "E KestruneCtl get_group_policy_key_value #: RegQueryValueEx ret =234\n");
    EXPECT_EQ(longRead, 234u);
    value = 0;
    EXPECT_EQ(read("Short"), 0u);
    EXPECT_EQ(value, 0x0506u);
    EXPECT_EQ(apply(), (std::vector<PolRecord>{sz(kKeyWide, u"Long", u"ab"), {kKeyWide, u"Short", 3, {6, 5}}}));
}

TEST_F(PolicyRegistryTest, WithoutAPolicyObjectEveryCallFailsWithTheInvalidHandleCode)
{
    std::vector<uint32_t> results;
    EXPECT_EQ(logged([&] { results = {set_dword("Value", 1), remove("Value"), read("Value")}; }),
              "E KestruneCtl set_group_policy_key_value #: RegCreateKeyEx ret =6\n"
              "E KestruneCtl set_group_policy_key_value #: RegCreateKeyEx ret =6\n"
              "E KestruneCtl get_group_policy_key_value #: RegOpenKeyEx ret =6\n");
    EXPECT_EQ(results, (std::vector<uint32_t>{6, 6, 6}));
    EXPECT_FALSE(std::filesystem::exists(root_.registry_pol()));
}

} // namespace
