// Normal permits through the exports: each category's class on the deny list,
// record by record in the saved policy, and the lines of refused calls.
#include <gtest/gtest.h>

#include <initializer_list>
#include <map>

#include "core/kestrune.h"
#include "policy/policy_store_fixture.h"

using namespace kestrune::test;

namespace {

const std::map<int, std::u16string> kClassOf = {
    {QVX_KESTRUNE_NORMAL_DEVID_SERIAL, u"{4D36E978-E325-11CE-BFC1-08002BE10318}"},
    {QVX_KESTRUNE_NORMAL_DEVID_MOUSE, u"{4D36E96F-E325-11CE-BFC1-08002BE10318}"},
    {QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD, u"{4D36E96B-E325-11CE-BFC1-08002BE10318}"},
    {QVX_KESTRUNE_NORMAL_DEVID_CAMERA, u"{CA3E7AB9-B4C3-4AE6-8251-579EF933890F}"},
    {QVX_KESTRUNE_NORMAL_DEVID_USB_CONVERSION, u"{36FC9E60-C465-11CF-8056-444553540000}"},
    {QVX_KESTRUNE_NORMAL_DEVID_BT, u"{E0CBF06C-CD8B-4647-BB8A-263B43F0F974}"},
};

// The permission of every category with a class, by device ID.
std::map<int, int> permissions()
{
    std::map<int, int> out;
    for (const auto &[device, text] : kClassOf)
        out[device] = QVX_KESTRUNE_get_normal_device_permit(device);
    return out;
}

std::map<int, int> all(int permission)
{
    std::map<int, int> out;
    for (const auto &[device, text] : kClassOf)
        out[device] = permission;
    return out;
}

class NormalPermitTest : public PolicyStoreTest {};

TEST_F(NormalPermitTest, EveryCategoryIsDeniedAndAllowedOnItsOwn)
{
    open();
    std::vector<std::u16string> listedClasses;
    std::map<int, int> before;
    EXPECT_EQ(logged([&] { before = permissions(); }), ""); // no list: all allowed
    EXPECT_EQ(before, all(QVX_KESTRUNE_NORMAL_PERM_ALLOW));
    std::vector<int> results;
    std::string lines = logged([&] {
        for (const auto &[device, text] : kClassOf)
            results.push_back(QVX_KESTRUNE_set_normal_device_permit(device, QVX_KESTRUNE_NORMAL_PERM_DENY));
    });
    EXPECT_EQ(lines, kMissingSwitches); // only the first deny finds no switches
    EXPECT_EQ(results, std::vector<int>(kClassOf.size(), 0));
    for (const auto &[device, text] : kClassOf)
        listedClasses.push_back(text);
    EXPECT_EQ(permissions(), all(QVX_KESTRUNE_NORMAL_PERM_DENY));
    EXPECT_EQ(apply(), deny_list_records(listedClasses));

    std::map<int, int> expected = all(QVX_KESTRUNE_NORMAL_PERM_DENY);
    for (const auto &[device, text] : kClassOf) {
        SCOPED_TRACE(device);
        EXPECT_EQ(QVX_KESTRUNE_set_normal_device_permit(device, QVX_KESTRUNE_NORMAL_PERM_ALLOW), 0);
        expected[device] = QVX_KESTRUNE_NORMAL_PERM_ALLOW;
        listedClasses.erase(listedClasses.begin());
        EXPECT_EQ(permissions(), expected);
        EXPECT_EQ(apply(), deny_list_records(listedClasses));
    }
}

TEST_F(NormalPermitTest, RepeatedDenyListsTheClassOnce)
{
    open();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(logged([] { QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_MOUSE, 1); }),
                  i == 0 ? kMissingSwitches : "");
    EXPECT_EQ(apply(), deny_list_records({kClassOf.at(QVX_KESTRUNE_NORMAL_DEVID_MOUSE)}));
}

TEST_F(NormalPermitTest, EveryPermissionButDenyAllows)
{
    open();
    for (int permission : std::initializer_list<int>{QVX_KESTRUNE_NORMAL_PERM_UNKNOWN, QVX_KESTRUNE_NORMAL_PERM_ALLOW, 7, -1}) {
        SCOPED_TRACE(permission);
        ASSERT_EQ(QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_CAMERA, 1), 0);
        EXPECT_EQ(QVX_KESTRUNE_get_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_CAMERA), 1);
        EXPECT_EQ(QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_CAMERA, permission), 0);
        EXPECT_EQ(QVX_KESTRUNE_get_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_CAMERA), 2);
    }
}

TEST_F(NormalPermitTest, GpioAndDonglesHaveNoClassAndTouchNothing)
{
    open();
    std::vector<int> results;
    EXPECT_EQ(logged([&] {
                  results = {QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_GPIO, 1),
                             QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_DONGLE, 2),
                             QVX_KESTRUNE_get_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_GPIO)};
              }),
              "E KestruneCtl gpo_helper_set_restrictions_denydeviceclasses #: GUID Len too small!0\n"
              "E KestruneCtl gpo_helper_set_restrictions_denydeviceclasses #: GUID Len too small!0\n"
              "E KestruneCtl gpo_helper_get_restrictions_denydeviceclasses #: GUID Len too small!0\n"
              "E KestruneCtl QVX_KESTRUNE_get_normal_device_permit #: "
              "gpo_helper_get_restrictions_denydeviceclasses ret=3\n");
    EXPECT_EQ(results, (std::vector<int>{3, 3, 0}));
    EXPECT_TRUE(apply().empty());
}

TEST_F(NormalPermitTest, OutOfRangeDevicesAreRefused)
{
    open();
    std::vector<int> results;
    EXPECT_EQ(logged([&] {
                  results = {QVX_KESTRUNE_set_normal_device_permit(8, 1), QVX_KESTRUNE_set_normal_device_permit(-1, 2),
                             QVX_KESTRUNE_get_normal_device_permit(8), QVX_KESTRUNE_get_normal_device_permit(-1)};
              }),
              "E KestruneCtl QVX_KESTRUNE_set_normal_device_permit #: Error device_id=8!\n"
              "E KestruneCtl QVX_KESTRUNE_set_normal_device_permit #: Error device_id=-1!\n"
              "E KestruneCtl QVX_KESTRUNE_get_normal_device_permit #: Error device_id=8!\n"
              "E KestruneCtl QVX_KESTRUNE_get_normal_device_permit #: Error device_id=-1!\n");
    EXPECT_EQ(results, (std::vector<int>{3, 3, 0, 0}));
    EXPECT_TRUE(apply().empty());
}

TEST(NormalPermitReleased, WithoutAPolicyObjectDenyFailsAllowAndGetDoNothing)
{
    ScratchRoot root;
    int denied = -1;
    EXPECT_EQ(logged([&] { denied = QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_BT, 1); }),
              kDenyWithoutPolicyObject);
    EXPECT_EQ(denied, QVX_KESTRUNE_RESULT_FAILED);
    int allowed = -1, got = -1;
    EXPECT_EQ(logged([&] {
                  allowed = QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_BT, 2);
                  got = QVX_KESTRUNE_get_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_BT);
              }),
              "");
    EXPECT_EQ(allowed, 0);
    EXPECT_EQ(got, QVX_KESTRUNE_NORMAL_PERM_ALLOW);
}

// An administrator's own entries stay on the list; the library's survive a fresh
// policy object and are in effect after Apply, behind their switches.
TEST_F(NormalPermitTest, DeniedCategoriesPersistBesideTheAdministratorsEntries)
{
    const std::u16string printer = u"{4D36E979-E325-11CE-BFC1-08002BE10318}";
    seed(deny_list_records({printer}));
    open();
    ASSERT_EQ(QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_MOUSE, 1), 0);
    ASSERT_EQ(QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD, 1), 0);
    const std::vector<std::u16string> classes = {printer, kClassOf.at(QVX_KESTRUNE_NORMAL_DEVID_MOUSE),
                                                 kClassOf.at(QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD)};
    EXPECT_EQ(apply(), deny_list_records(classes));
    std::vector<PolRecord> inEffect = deny_list_records(classes);
    inEffect.erase(inEffect.begin() + 2); // the engine consumes the marker
    EXPECT_EQ(effective(), inEffect);
    close();
    open();
    std::map<int, int> expected = all(QVX_KESTRUNE_NORMAL_PERM_ALLOW);
    expected[QVX_KESTRUNE_NORMAL_DEVID_MOUSE] = expected[QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD] =
        QVX_KESTRUNE_NORMAL_PERM_DENY;
    EXPECT_EQ(permissions(), expected);
}

} // namespace
