// The effective machine policy: records applied in order with their directives,
// the domain's over the local ones.
#include <gtest/gtest.h>

#include "platform/gpo_files/policy_apply.h"
#include "policy/policy_store_fixture.h"

using namespace kestrune::platform;
using kestrune::test::dword;
using kestrune::test::sz;

namespace {

TEST(PolicyApply, DirectivesActOnWhatTheRecordsBeforeThemLeft)
{
    const struct {
        const char *what;
        std::vector<PolRecord> local, domain, effective;
    } cases[] = {
        {"delvals replaces the values of its key",
         {sz(u"K", u"old", u"x"), sz(u"K", u"**delvals.", u" "), sz(u"K", u"1", u"A"), dword(u"Other", u"keep", 1)},
         {},
         {sz(u"K", u"1", u"A"), dword(u"Other", u"keep", 1)}},
        {"deletions by name, by list and of keys, in any case; unknown directives are no values",
         {dword(u"K", u"a", 1), dword(u"K", u"b", 1), dword(u"K", u"c", 1), dword(u"K", u"d", 1),
          dword(u"K\\Sub1", u"x", 1), dword(u"K\\Sub2", u"y", 1), dword(u"K\\Sub2\\Deep", u"x", 1),
          sz(u"K", u"**DEL.a", u" "), sz(u"K", u"**DeleteValues", u"b;C;"),
          sz(u"K", u"**DeleteKeys", u"sub1;Sub2\\Deep"), dword(u"K", u"**SecureKey", 1)},
         {},
         {dword(u"K", u"d", 1), dword(u"K\\Sub2", u"y", 1)}},
        {"soft values never overwrite",
         {dword(u"K", u"set", 1), dword(u"K", u"**soft.set", 2), dword(u"K", u"**soft.new", 3)},
         {},
         {dword(u"K", u"set", 1), dword(u"K", u"new", 3)}},
        {"the domain's directives act on the local values, its values win, the rest stays",
         {sz(u"List", u"**delvals.", u" "), sz(u"List", u"1", u"keyboard"), sz(u"List", u"2", u"printer"),
          dword(u"Disk", u"Deny_Read", 1), dword(u"Disk", u"Deny_Write", 1), dword(u"Cd", u"Deny_Write", 1)},
         {sz(u"List", u"**delvals.", u" "), sz(u"List", u"1", u"mouse"), sz(u"Disk", u"**del.Deny_Read", u" "),
          dword(u"Disk", u"Deny_Write", 0)},
         {sz(u"List", u"1", u"mouse"), dword(u"Disk", u"Deny_Write", 0), dword(u"Cd", u"Deny_Write", 1)}},
    };
    for (const auto &c : cases) {
        RegNode root(u"");
        apply_machine_policy(root, c.local, c.domain);
        EXPECT_EQ(records_of_tree(root), c.effective) << c.what;
    }
}

} // namespace
