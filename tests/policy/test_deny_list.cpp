// The device-class deny list: what a deny, an allow and a get leave in the saved
// policy file, record by record, starting from stores as the library writes them
// and as an administrator may have left them.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "core/kestrune.h"
#include "policy/deny_list.h"
#include "policy/policy_store_fixture.h"

using namespace kestrune;
using namespace kestrune::test;

namespace {

const std::u16string A = u"{AAAAAAAA-0000-0000-0000-00000000000A}";
const std::u16string B = u"{BBBBBBBB-0000-0000-0000-00000000000B}";
const std::u16string Z = u"{ZZZZZZZZ-0000-0000-0000-00000000000Z}";

const PolRecord kMarker = sz(kDenyList, u"**delvals.", u" ");
const PolRecord kSwitchOn = dword(kRestrictions, u"DenyDeviceClasses", 1);
const PolRecord kRetroactiveOn = dword(kRestrictions, u"DenyDeviceClassesRetroactive", 1);

PolRecord entry(const std::u16string &name, const std::u16string &text)
{
    return sz(kDenyList, name, text);
}

uint32_t deny(const std::u16string &text)
{
    return gpo_helper_set_restrictions_denydeviceclasses(1, text.c_str());
}

uint32_t allow(const std::u16string &text)
{
    return gpo_helper_set_restrictions_denydeviceclasses(2, text.c_str());
}

// 1 listed, 2 not listed; the negated result when the query fails.
int32_t listed(const std::u16string &text)
{
    int32_t permission = 0;
    uint32_t ret = gpo_helper_get_restrictions_denydeviceclasses(&permission, text.c_str());
    return ret == 0 ? permission : -static_cast<int32_t>(ret);
}

class DenyListTest : public PolicyStoreTest {};

TEST_F(DenyListTest, DenyOnAnEmptyStoreCreatesTheListAndTurnsThePolicyOn)
{
    open();
    int32_t before = 0;
    uint32_t ret = 9;
    EXPECT_EQ(logged([&] {
                  before = listed(A);
                  ret = deny(A);
              }),
              kMissingSwitches);
    EXPECT_EQ(before, 2);
    EXPECT_EQ(ret, 0u);
    EXPECT_EQ(listed(A), 1);
    EXPECT_EQ(apply(), (std::vector<PolRecord>{kSwitchOn, kRetroactiveOn, kMarker, entry(u"1", A)}));
    // The engine applies the marker: only the classes remain in effect.
    EXPECT_EQ(effective(), (std::vector<PolRecord>{kSwitchOn, kRetroactiveOn, entry(u"1", A)}));
}

TEST_F(DenyListTest, AChangeOfNothingWritesNothing)
{
    // Any rewrite would reorder the switches and renumber the entry.
    const std::vector<PolRecord> store = {kRetroactiveOn, kSwitchOn, kMarker, entry(u"5", A)};
    seed(store);
    open();
    std::vector<uint32_t> results;
    EXPECT_EQ(logged([&] {
                  results = {deny(A), allow(B), gpo_helper_set_restrictions_denydeviceclasses(0, B.c_str())};
              }),
              "");
    EXPECT_EQ(results, (std::vector<uint32_t>{0, 0, 0}));
    EXPECT_EQ(apply(), store);
}

TEST_F(DenyListTest, AllowRenumbersTheRest)
{
    seed({kSwitchOn, kRetroactiveOn, kMarker, entry(u"1", A), entry(u"2", B)});
    open();
    uint32_t ret = 9;
    EXPECT_EQ(logged([&] { ret = allow(A); }), "");
    EXPECT_EQ(ret, 0u);
    EXPECT_EQ(apply(), (std::vector<PolRecord>{kSwitchOn, kRetroactiveOn, kMarker, entry(u"1", B)}));
    EXPECT_EQ(listed(A), 2);
    EXPECT_EQ(listed(B), 1);
}

TEST_F(DenyListTest, AllowingTheLastClassKeepsTheMarkerAndTheSwitches)
{
    seed({kSwitchOn, kRetroactiveOn, kMarker, entry(u"1", A)});
    open();
    EXPECT_EQ(allow(A), 0u);
    EXPECT_EQ(apply(), (std::vector<PolRecord>{kSwitchOn, kRetroactiveOn, kMarker}));
    EXPECT_EQ(effective(), (std::vector<PolRecord>{kSwitchOn, kRetroactiveOn}));
}

TEST_F(DenyListTest, AllowingTheOnlyEntryOfAListWithoutMarkerTurnsThePolicyOff)
{
    seed({entry(u"1", A)});
    open();
    uint32_t ret = 9;
    EXPECT_EQ(logged([&] { ret = allow(A); }), kMissingSwitches);
    EXPECT_EQ(ret, 0u);
    EXPECT_TRUE(apply().empty());
    EXPECT_EQ(listed(A), 2);
}

TEST_F(DenyListTest, AListWithoutMarkerIsWarnedAboutAndRewrittenBehindOne)
{
    seed({entry(u"7", u"X-class"), entry(u"9", u"Y-class")});
    open();
    int32_t before = 0;
    uint32_t ret = 9;
    EXPECT_EQ(logged([&] {
                  before = listed(Z);
                  ret = deny(Z);
              }),
              "E KestruneCtl gpo_helper_get_restrictions_denydeviceclasses #: dwIndexs=2 is not valid! \r\n"
              "E KestruneCtl gpo_helper_set_restrictions_denydeviceclasses #: dwIndexs=2 is not valid!\r\n" +
                  kMissingSwitches);
    EXPECT_EQ(before, 2);
    EXPECT_EQ(ret, 0u);
    EXPECT_EQ(apply(), (std::vector<PolRecord>{kSwitchOn, kRetroactiveOn, kMarker, entry(u"1", u"X-class"),
                                               entry(u"2", u"Y-class"), entry(u"3", Z)}));
}

TEST_F(DenyListTest, AMarkerThatIsNotFirstIsAnOrdinaryEntry)
{
    seed({entry(u"1", A), kMarker});
    open();
    uint32_t ret = 9;
    EXPECT_EQ(logged([&] { ret = deny(B); }),
              "E KestruneCtl gpo_helper_set_restrictions_denydeviceclasses #: dwIndexs=2 is not valid!\r\n" +
                  kMissingSwitches);
    EXPECT_EQ(ret, 0u);
    EXPECT_EQ(apply(), (std::vector<PolRecord>{kSwitchOn, kRetroactiveOn, kMarker, entry(u"1", A),
                                               entry(u"2", u" "), entry(u"3", B)}));
}

TEST_F(DenyListTest, AllowingADuplicatedClassDropsOnlyTheLaterEntry)
{
    seed({kSwitchOn, kRetroactiveOn, kMarker, entry(u"1", A), entry(u"2", B), entry(u"3", A)});
    open();
    EXPECT_EQ(allow(A), 0u);
    EXPECT_EQ(listed(A), 1);
    EXPECT_EQ(apply(), (std::vector<PolRecord>{kSwitchOn, kRetroactiveOn, kMarker, entry(u"1", A), entry(u"2", B)}));
}

TEST_F(DenyListTest, ClassTextsCompareExactly)
{
    const std::u16string lower = u"{aaaaaaaa-0000-0000-0000-00000000000a}";
    seed({kSwitchOn, kRetroactiveOn, kMarker, entry(u"1", lower), entry(u"2", A + u"x")});
    open();
    EXPECT_EQ(listed(A), 2);
    EXPECT_EQ(deny(A), 0u);
    EXPECT_EQ(apply(), (std::vector<PolRecord>{kSwitchOn, kRetroactiveOn, kMarker, entry(u"1", lower),
                                               entry(u"2", A + u"x"), entry(u"3", A)}));
}

TEST_F(DenyListTest, TextsTooShortOrTooLongForAClassAreRefused)
{
    const std::vector<PolRecord> store = {kSwitchOn, kRetroactiveOn, kMarker, entry(u"1", u"{}")};
    seed(store);
    open();
    int32_t permission = 7;
    std::vector<uint32_t> results;
    EXPECT_EQ(logged([&] {
                  results = {gpo_helper_get_restrictions_denydeviceclasses(&permission, u"{}"),
                             gpo_helper_set_restrictions_denydeviceclasses(1, u""),
                             gpo_helper_set_restrictions_denydeviceclasses(2, u"{}"),
                             gpo_helper_set_restrictions_denydeviceclasses(1, nullptr),
                             gpo_helper_set_restrictions_denydeviceclasses(1, u"{A}"),
                             // A value a later read could not take whole would make the
                             // list unrewritable.
                             deny(std::u16string(256, u'C'))};
              }),
              "E KestruneCtl gpo_helper_get_restrictions_denydeviceclasses #: GUID Len too small!2\n"
              "E KestruneCtl gpo_helper_set_restrictions_denydeviceclasses #: GUID Len too small!0\n"
              "E KestruneCtl gpo_helper_set_restrictions_denydeviceclasses #: GUID Len too small!2\n"
              "E KestruneCtl gpo_helper_set_restrictions_denydeviceclasses #: GUID Len too small!0\n"
              "E KestruneCtl gpo_helper_set_restrictions_denydeviceclasses #: GUID Len too small!3\n"
              "E KestruneCtl gpo_helper_set_restrictions_denydeviceclasses #: GUID Len too long!256\n");
    EXPECT_EQ(results, (std::vector<uint32_t>{3, 3, 3, 3, 3, 3}));
    EXPECT_EQ(permission, 7);
    EXPECT_EQ(apply(), store);
    // The longest text that fits goes on and reads back.
    EXPECT_EQ(deny(std::u16string(255, u'C')), 0u);
    EXPECT_EQ(listed(std::u16string(255, u'C')), 1);
}

// Subkeys do not shift the values: the marker is still seen first and every value
// is read, so the rewrite leaves nothing behind; the subkey itself is untouched.
TEST_F(DenyListTest, SubkeysOfTheListKeyAreLeftAloneAndValuesReadFromTheFirst)
{
    const PolRecord sub = sz(kDenyList + u"\\Vendor", u"Note", u"kept");
    seed({kSwitchOn, kRetroactiveOn, sub, kMarker, entry(u"1", A), entry(u"2", B)});
    open();
    std::vector<uint32_t> results;
    EXPECT_EQ(logged([&] { results = {deny(Z), allow(A)}; }), "");
    EXPECT_EQ(results, (std::vector<uint32_t>{0, 0}));
    EXPECT_EQ(apply(),
              (std::vector<PolRecord>{kSwitchOn, kRetroactiveOn, kMarker, entry(u"1", B), entry(u"2", Z), sub}));
}

// Everything read is written back as REG_SZ, with exactly the bytes read.
TEST_F(DenyListTest, EntriesOfOtherShapesKeepTheirBytes)
{
    const std::vector<uint8_t> multi = {'X', 0, 0, 0, 'Y', 0, 0, 0, 0, 0};
    const std::vector<uint8_t> odd = {'Q', 0, 'R'};
    seed({kSwitchOn, kRetroactiveOn, kMarker, dword(kDenyList, u"1", 5), {kDenyList, u"2", 7, multi},
          {kDenyList, u"3", 1, odd}, {kDenyList, u"4", 1, {}}});
    open();
    EXPECT_EQ(deny(A), 0u);
    EXPECT_EQ(apply(), (std::vector<PolRecord>{kSwitchOn, kRetroactiveOn, kMarker,
                                               {kDenyList, u"1", 1, {5, 0, 0, 0}}, {kDenyList, u"2", 1, multi},
                                               {kDenyList, u"3", 1, odd}, {kDenyList, u"4", 1, {}},
                                               entry(u"5", A)}));
}

// A value whose name or data does not fit the read buffers cannot be carried
// through a rewrite: the list stays as it is and the change fails visibly. The
// values after it are still read.
TEST_F(DenyListTest, AListWithAnEntryTooLargeToReadIsNotRewritten)
{
    const std::vector<PolRecord> store = {kSwitchOn,
                                          kRetroactiveOn,
                                          kMarker,
                                          entry(u"1", A),
                                          entry(u"2", std::u16string(256, u'D')),
                                          entry(std::u16string(256, u'n'), u"long name"),
                                          entry(u"3", B)};
    seed(store);
    open();
    auto skipped = [](const std::string &op) {
        return "E KestruneCtl gpo_helper_" + op + "_restrictions_denydeviceclasses #: item 2 too large to read, ret=234\r\n"
               "E KestruneCtl gpo_helper_" + op + "_restrictions_denydeviceclasses #: item 3 too large to read, ret=234\r\n";
    };
    const std::string refused =
        "E KestruneCtl gpo_helper_set_restrictions_denydeviceclasses #: list not read whole, not rewritten\r\n";
    int32_t permission = 0;
    std::vector<uint32_t> results;
    EXPECT_EQ(logged([&] {
                  permission = listed(B);
                  results = {deny(A) /* nothing to change */, deny(Z), allow(B)};
              }),
              skipped("get") + skipped("set") + skipped("set") + refused + skipped("set") + refused);
    EXPECT_EQ(permission, 1);
    EXPECT_EQ(results, (std::vector<uint32_t>{0, 1, 1}));
    EXPECT_EQ(apply(), store);
}

// A name the 8-bit character set cannot represent cannot be deleted by name: the
// rewrite fails before it deletes anything.
TEST_F(DenyListTest, ANameWithoutAnEightBitFormFailsTheRewriteBeforeAnyChange)
{
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "C");
    const std::vector<PolRecord> store = {kSwitchOn, kRetroactiveOn, kMarker, entry(u"1", A), entry(u"\u00e9", B)};
    seed(store);
    open();
    uint32_t ret = 9;
    EXPECT_EQ(logged([&] { ret = allow(A); }),
              "E KestruneCtl set_group_policy_restrictions_denydeviceclasses #: Error: del item guid=" +
                  std::string(B.begin(), B.end()) + ", name ? has no 8-bit form\r\n");
    EXPECT_EQ(ret, 1u);
    EXPECT_EQ(apply(), store);

    // Where the character set has the character, the same list is rewritten.
    if (std::setlocale(LC_ALL, "C.UTF-8") != nullptr) {
        EXPECT_EQ(allow(A), 0u);
        EXPECT_EQ(apply(), (std::vector<PolRecord>{kSwitchOn, kRetroactiveOn, kMarker, entry(u"1", B)}));
    }
    std::setlocale(LC_ALL, saved.c_str());
}

} // namespace
