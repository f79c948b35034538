// The device-class deny list: what denies, allows and gets answer, log and leave
// in the saved policy file, record by record, starting from stores as the library
// writes them and as an administrator may have left them.
#include <gtest/gtest.h>

#include <clocale>
#include <limits>
#include <string>

#include "kestrune.h"
#include "policy/deny_list.h"
#include "policy/policy_store_fixture.h"

using namespace kestrune;
using namespace kestrune::test;

namespace {

const std::u16string A = u"{AAAAAAAA-0000-0000-0000-00000000000A}";
const std::u16string B = u"{BBBBBBBB-0000-0000-0000-00000000000B}";
const std::u16string Z = u"{ZZZZZZZZ-0000-0000-0000-00000000000Z}";
const std::u16string kLowerA = u"{aaaaaaaa-0000-0000-0000-00000000000a}";
const std::u16string kLongest(255, u'C'), kTooLong(256, u'C');

const PolRecord kMarker = sz(kDenyList, u"**delvals.", u" ");
const PolRecord kSwitchOn = dword(kRestrictions, u"DenyDeviceClasses", 1);
const PolRecord kRetroactiveOn = dword(kRestrictions, u"DenyDeviceClassesRetroactive", 1);

PolRecord entry(const std::u16string &name, const std::u16string &text)
{
    return sz(kDenyList, name, text);
}

// One call: a set with this permission (1 deny, 2 allow, 0 neither), or a get.
constexpr int32_t Get = std::numeric_limits<int32_t>::min(), Deny = 1, Allow = 2;
struct Call {
    int32_t permission;
    const char16_t *text;
};

// A set answers its result; a get 1 (listed) or 2 (not listed), or its negated
// result when it fails.
int32_t call(const Call &c)
{
    if (c.permission != Get)
        return static_cast<int32_t>(gpo_helper_set_restrictions_denydeviceclasses(c.permission, c.text));
    int32_t permission = 0;
    uint32_t ret = gpo_helper_get_restrictions_denydeviceclasses(&permission, c.text);
    return ret == 0 ? permission : -static_cast<int32_t>(ret);
}

const std::string kNotValid = "E KestruneCtl gpo_helper_set_restrictions_denydeviceclasses #: dwIndexs=2 is not valid!\r\n";

std::string too_large(const std::string &op)
{
    return "E KestruneCtl gpo_helper_" + op + "_restrictions_denydeviceclasses #: item 2 too large to read, ret=234\r\n"
           "E KestruneCtl gpo_helper_" + op + "_restrictions_denydeviceclasses #: item 3 too large to read, ret=234\r\n";
}

// A store as seeded, the calls on it with their results and lines, and the
// saved records after Apply.
struct Case {
    const char *what;
    std::vector<PolRecord> store;
    std::vector<Call> calls;
    std::vector<int32_t> results;
    std::string lines;
    std::vector<PolRecord> after;
};

const std::vector<uint8_t> kMulti = {'X', 0, 0, 0, 'Y', 0, 0, 0, 0, 0}, kOdd = {'Q', 0, 'R'};
const PolRecord kSubkey = sz(kDenyList + u"\\Vendor", u"Note", u"kept");
const std::vector<PolRecord> kTooLargeToRead = deny_list_records({A, std::u16string(256, u'D')}) +
                                               std::vector{entry(std::u16string(256, u'n'), u"long name"), entry(u"3", B)};
const std::string kNotRewritten =
    "E KestruneCtl gpo_helper_set_restrictions_denydeviceclasses #: list not read whole, not rewritten\r\n";
const std::string kTooShort = "E KestruneCtl gpo_helper_set_restrictions_denydeviceclasses #: GUID Len too small!";

const Case kCases[] = {
    {"deny on an empty store creates the list and turns the policy on", {},
     {{Get, A.c_str()}, {Deny, A.c_str()}, {Get, A.c_str()}}, {2, 0, 1}, kMissingSwitches, deny_list_records({A})},
    // Any rewrite would reorder the switches and renumber the entry.
    {"a change of nothing writes nothing", {kRetroactiveOn, kSwitchOn, kMarker, entry(u"5", A)},
     {{Deny, A.c_str()}, {Allow, B.c_str()}, {0, B.c_str()}}, {0, 0, 0}, "",
     {kRetroactiveOn, kSwitchOn, kMarker, entry(u"5", A)}},
    {"allow renumbers the rest", deny_list_records({A, B}), {{Allow, A.c_str()}, {Get, A.c_str()}, {Get, B.c_str()}},
     {0, 2, 1}, "", deny_list_records({B})},
    {"allowing the last class keeps the marker and the switches", deny_list_records({A}), {{Allow, A.c_str()}}, {0},
     "", deny_list_records({})},
    {"allowing the only entry of a list without marker turns the policy off", {entry(u"1", A)},
     {{Allow, A.c_str()}, {Get, A.c_str()}}, {0, 2}, kMissingSwitches, {}},
    {"a list without marker is warned about and rewritten behind one", {entry(u"7", u"X"), entry(u"9", u"Y")},
     {{Get, Z.c_str()}, {Deny, Z.c_str()}}, {2, 0},
     "E KestruneCtl gpo_helper_get_restrictions_denydeviceclasses #: dwIndexs=2 is not valid! \r\n" + kNotValid +
         kMissingSwitches,
     deny_list_records({u"X", u"Y", Z})},
    {"a marker that is not first is an ordinary entry", {entry(u"1", A), kMarker}, {{Deny, B.c_str()}}, {0},
     kNotValid + kMissingSwitches, deny_list_records({A, u" ", B})},
    {"allowing a duplicated class drops only the later entry", deny_list_records({A, B, A}),
     {{Allow, A.c_str()}, {Get, A.c_str()}}, {0, 1}, "", deny_list_records({A, B})},
    {"class texts compare exactly, case included", deny_list_records({kLowerA, A + u"x"}),
     {{Get, A.c_str()}, {Deny, A.c_str()}}, {2, 0}, "", deny_list_records({kLowerA, A + u"x", A})},
    // Subkeys do not shift the values: the marker is still seen first and every
    // value is read, so the rewrite leaves nothing behind.
    {"subkeys of the list key are left alone",
     {kSwitchOn, kRetroactiveOn, kSubkey, kMarker, entry(u"1", A), entry(u"2", B)},
     {{Deny, Z.c_str()}, {Allow, A.c_str()}}, {0, 0}, "", deny_list_records({B, Z}) + std::vector{kSubkey}},
    // Everything read is written back as REG_SZ, with exactly the bytes read.
    {"entries of other shapes keep their bytes",
     deny_list_records({}) + std::vector<PolRecord>{dword(kDenyList, u"1", 5), {kDenyList, u"2", 7, kMulti},
                                                    {kDenyList, u"3", 1, kOdd}, {kDenyList, u"4", 1, {}}},
     {{Deny, A.c_str()}}, {0}, "",
     deny_list_records({}) + std::vector<PolRecord>{{kDenyList, u"1", 1, {5, 0, 0, 0}}, {kDenyList, u"2", 1, kMulti},
                                                    {kDenyList, u"3", 1, kOdd}, {kDenyList, u"4", 1, {}},
                                                    entry(u"5", A)}},
    // A value whose name or data does not fit the read buffers cannot be carried
    // through a rewrite: the list stays as it is and a change fails visibly. The
    // values after it are still read.
    {"a list with entries too large to read is not rewritten", kTooLargeToRead,
     {{Get, B.c_str()}, {Deny, A.c_str()}, {Deny, Z.c_str()}, {Allow, B.c_str()}}, {1, 0, 1, 1},
     too_large("get") + too_large("set") + too_large("set") + kNotRewritten + too_large("set") + kNotRewritten,
     kTooLargeToRead},
    // A value a later read could not take whole would make the list unrewritable.
    {"texts too short or too long for a class are refused", deny_list_records({u"{}"}),
     {{Get, u"{}"}, {Deny, u""}, {Allow, u"{}"}, {Deny, nullptr}, {Deny, u"{A}"}, {Deny, kTooLong.c_str()},
      {Deny, kLongest.c_str()}, {Get, kLongest.c_str()}},
     {-3, 3, 3, 3, 3, 3, 0, 1},
     "E KestruneCtl gpo_helper_get_restrictions_denydeviceclasses #: GUID Len too small!2\n" + kTooShort + "0\n" +
         kTooShort + "2\n" + kTooShort + "0\n" + kTooShort + "3\n" +
         "E KestruneCtl gpo_helper_set_restrictions_denydeviceclasses #: GUID Len too long!256\n",
     deny_list_records({u"{}", kLongest})},
};

class DenyListTest : public PolicyStoreTest {};

TEST_F(DenyListTest, CallsOnStoresOfEveryShape)
{
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.what);
        seed(c.store);
        open();
        std::vector<int32_t> results;
        EXPECT_EQ(logged([&] {
                      for (const Call &one : c.calls)
                          results.push_back(call(one));
                  }),
                  c.lines);
        EXPECT_EQ(results, c.results);
        EXPECT_EQ(apply(), c.after);
        close();
    }
}

// A name the 8-bit character set cannot represent cannot be deleted by name: the
// rewrite fails before it deletes anything.
TEST_F(DenyListTest, ANameWithoutAnEightBitFormFailsTheRewriteBeforeAnyChange)
{
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "C");
    const std::vector<PolRecord> store = deny_list_records({A}) + std::vector{entry(u"\u00e9", B)};
    seed(store);
    open();
    int32_t ret = 9;
    EXPECT_EQ(logged([&] { ret = call({Allow, A.c_str()}); }),
              "E KestruneCtl set_group_policy_restrictions_denydeviceclasses #: Error: del item guid=" +
                  std::string(B.begin(), B.end()) + ", name ? has no 8-bit form\r\n");
    EXPECT_EQ(ret, 1);
    EXPECT_EQ(apply(), store);

    // Where the character set has the character, the same list is rewritten.
    if (std::setlocale(LC_ALL, "C.UTF-8") != nullptr) {
        EXPECT_EQ(call({Allow, A.c_str()}), 0);
        EXPECT_EQ(apply(), deny_list_records({B}));
    }
    std::setlocale(LC_ALL, saved.c_str());
}

} // namespace
