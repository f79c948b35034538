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

class PolicyRegistryTest : public PolicyStoreTest {
protected:
    void SetUp() override { open(); }
};

TEST_F(PolicyRegistryTest, SetCreatesTheWholePathAndReadsBack)
{
    uint32_t created = 9, read = 9, overwritten = 9, value = 0;
    EXPECT_EQ(logged([&] {
                  created = set_dword("Value", 0x01020304);
                  read = get_group_policy_key_value(kKey, "Value", &value);
                  overwritten = set_dword("Value", 7);
              }),
              "");
    EXPECT_EQ(created, 0u);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(value, 0x01020304u);
    EXPECT_EQ(overwritten, 0u);
    EXPECT_EQ(apply(), (std::vector<PolRecord>{dword(kKeyWide, u"Value", 7)}));
}

TEST_F(PolicyRegistryTest, OtherOperationCodesOnlyCreateTheKey)
{
    uint32_t seven = 9, negative = 9, read = 9, value = 0;
    EXPECT_EQ(logged([&] {
                  seven = set_dword("Value", 1, 7);
                  negative = set_dword("Value", 1, -1);
              }),
              "");
    // The key exists now: a read misses only the value (level I, not E).
    EXPECT_EQ(logged([&] { read = get_group_policy_key_value(kKey, "Value", &value); }),
              "I KestruneCtl get_group_policy_key_value #: RegQueryValueEx Value not found\r\n");
    EXPECT_EQ(seven, 0u);
    EXPECT_EQ(negative, 0u);
    EXPECT_EQ(read, 2u);
    EXPECT_TRUE(apply().empty());
}

TEST_F(PolicyRegistryTest, DeleteRemovesTheValueAndReportsAMissingOne)
{
    ASSERT_EQ(set_dword("Value", 1), 0u);
    uint32_t first = 9, second = 9;
    EXPECT_EQ(logged([&] {
                  first = remove("value"); // names compare without case
                  second = remove("Value");
              }),
              "E KestruneCtl set_group_policy_key_value #: operation 100 fail, ret=2\r\n");
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(second, 2u);
    EXPECT_TRUE(apply().empty());
}

TEST_F(PolicyRegistryTest, ReadsTellAMissingKeyFromAMissingValue)
{
    uint32_t noKey = 9, noValue = 9, value = 0;
    EXPECT_EQ(logged([&] {
                  noKey = get_group_policy_key_value(kKey, "Value", &value);
                  set_dword("Other", 1);
                  noValue = get_group_policy_key_value(kKey, "Value", &value);
              }),
              "E KestruneCtl get_group_policy_key_value #: RegOpenKeyEx ret =2\n"
              "I KestruneCtl get_group_policy_key_value #: RegQueryValueEx Value not found\r\n");
    EXPECT_EQ(noKey, 2u);
    EXPECT_EQ(noValue, 2u);
}

TEST_F(PolicyRegistryTest, ReadsAtMostFourBytesOfAnyType)
{
    const char16_t text[] = u"ab"; // 6 bytes
    const uint16_t shortValue = 0x0506;
    ASSERT_EQ(set_group_policy_key_value(kKey, "Long", GP_OP_SET_VALUE, 1, text, sizeof text), 0u);
    ASSERT_EQ(set_group_policy_key_value(kKey, "Short", GP_OP_SET_VALUE, 3, &shortValue, 2), 0u);
    uint32_t longRead = 9, shortRead = 9, value = 0;
    EXPECT_EQ(logged([&] { longRead = get_group_policy_key_value(kKey, "Long", &value); }),
              "E KestruneCtl get_group_policy_key_value #: RegQueryValueEx ret =234\n");
    value = 0;
    EXPECT_EQ(logged([&] { shortRead = get_group_policy_key_value(kKey, "Short", &value); }), "");
    EXPECT_EQ(longRead, 234u);
    EXPECT_EQ(shortRead, 0u);
    EXPECT_EQ(value, 0x0506u);
    EXPECT_EQ(apply(), (std::vector<PolRecord>{sz(kKeyWide, u"Long", u"ab"), {kKeyWide, u"Short", 3, {6, 5}}}));
}

TEST(PolicyRegistryReleased, EveryCallFailsWithTheInvalidHandleCode)
{
    ScratchRoot root;
    uint32_t set = 9, removed = 9, read = 9, value = 0;
    EXPECT_EQ(logged([&] {
                  set = set_dword("Value", 1);
                  removed = remove("Value");
                  read = get_group_policy_key_value(kKey, "Value", &value);
              }),
              "E KestruneCtl set_group_policy_key_value #: RegCreateKeyEx ret =6\n"
              "E KestruneCtl set_group_policy_key_value #: RegCreateKeyEx ret =6\n"
              "E KestruneCtl get_group_policy_key_value #: RegOpenKeyEx ret =6\n");
    EXPECT_EQ(set, 6u);
    EXPECT_EQ(removed, 6u);
    EXPECT_EQ(read, 6u);
    EXPECT_FALSE(std::filesystem::exists(root.registry_pol()));
}

} // namespace
