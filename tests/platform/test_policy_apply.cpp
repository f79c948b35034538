// Effective machine policy: records applied in order with their directives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/gpo_files/policy_apply.h"

using namespace kestrune::platform;

namespace {

std::vector<uint8_t> sz(std::u16string_view text)
{
    std::vector<uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

std::vector<std::u16string> names(const RegNode &root, std::u16string_view path)
{
    std::vector<std::u16string> out;
    const RegNode *key = find_key(const_cast<RegNode &>(root), path);
    if (key != nullptr)
        for (const RegValue &value : key->values())
            out.push_back(value.name);
    return out;
}

TEST(PolicyApply, DelvalsReplacesTheValuesOfItsKey)
{
    RegNode root(u"");
    apply_policy_records(root, {
                                   {u"K", u"old", 1, sz(u"x")},
                                   {u"K", u"**delvals.", 1, sz(u" ")},
                                   {u"K", u"1", 1, sz(u"A")},
                                   {u"K", u"2", 1, sz(u"B")},
                                   {u"Other", u"keep", 4, {1, 0, 0, 0}},
                               });
    EXPECT_EQ(names(root, u"K"), (std::vector<std::u16string>{u"1", u"2"}));
    EXPECT_EQ(names(root, u"Other"), (std::vector<std::u16string>{u"keep"}));
}

TEST(PolicyApply, DeletionDirectives)
{
    RegNode root(u"");
    apply_policy_records(root, {
                                   {u"K", u"a", 4, {1, 0, 0, 0}},
                                   {u"K", u"b", 4, {1, 0, 0, 0}},
                                   {u"K", u"c", 4, {1, 0, 0, 0}},
                                   {u"K", u"d", 4, {1, 0, 0, 0}},
                                   {u"K\\Sub1", u"x", 4, {1, 0, 0, 0}},
                                   {u"K\\Sub2\\Deep", u"x", 4, {1, 0, 0, 0}},
                                   {u"K", u"**DEL.a", 1, sz(u" ")},
                                   {u"K", u"**DeleteValues", 1, sz(u"b;C;")},
                                   {u"K", u"**DeleteKeys", 1, sz(u"sub1;Sub2\\Deep")},
                                   {u"K", u"**SecureKey", 4, {1, 0, 0, 0}},
                               });
    EXPECT_EQ(names(root, u"K"), (std::vector<std::u16string>{u"d"}));
    EXPECT_EQ(find_key(root, u"K\\Sub1"), nullptr);
    EXPECT_NE(find_key(root, u"K\\Sub2"), nullptr);
    EXPECT_EQ(find_key(root, u"K\\Sub2\\Deep"), nullptr);
}

TEST(PolicyApply, SoftValuesNeverOverwrite)
{
    RegNode root(u"");
    apply_policy_records(root, {
                                   {u"K", u"set", 4, {1, 0, 0, 0}},
                                   {u"K", u"**soft.set", 4, {2, 0, 0, 0}},
                                   {u"K", u"**soft.new", 4, {3, 0, 0, 0}},
                               });
    const RegNode *key = find_key(root, u"K");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->find_value(u"set")->data[0], 1);
    EXPECT_EQ(key->find_value(u"new")->data[0], 3);
}

// Domain policy goes over the local layer: its directives act on what the local
// records left, its values win, and what it does not mention stays.
TEST(PolicyApply, DomainLayerActsOnTheLocalOne)
{
    RegNode root(u"");
    apply_machine_policy(root,
                         {
                             {u"List", u"**delvals.", 1, sz(u" ")},
                             {u"List", u"1", 1, sz(u"keyboard")},
                             {u"List", u"2", 1, sz(u"printer")},
                             {u"Disk", u"Deny_Read", 4, {1, 0, 0, 0}},
                             {u"Disk", u"Deny_Write", 4, {1, 0, 0, 0}},
                             {u"Cd", u"Deny_Write", 4, {1, 0, 0, 0}},
                         },
                         {
                             {u"List", u"**delvals.", 1, sz(u" ")},
                             {u"List", u"1", 1, sz(u"mouse")},
                             {u"Disk", u"**del.Deny_Read", 1, sz(u" ")},
                             {u"Disk", u"Deny_Write", 4, {0, 0, 0, 0}},
                         });
    EXPECT_EQ(names(root, u"List"), (std::vector<std::u16string>{u"1"}));
    EXPECT_EQ(find_key(root, u"List")->find_value(u"1")->data, sz(u"mouse"));
    EXPECT_EQ(names(root, u"Disk"), (std::vector<std::u16string>{u"Deny_Write"}));
    EXPECT_EQ(find_key(root, u"Disk")->find_value(u"Deny_Write")->data[0], 0);
    EXPECT_EQ(names(root, u"Cd"), (std::vector<std::u16string>{u"Deny_Write"}));
}

} // namespace
