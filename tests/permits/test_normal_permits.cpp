// Normal permits through the exports: each category's class on the deny list,
// record by record in the saved policy, and the lines of refused calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "kestrune.h"
#include "permits/device_class_text.h"
#include "policy/policy_store_fixture.h"

using namespace kestrune::test;

namespace {

// The exact printed form of every class is checked through the saved records
// below; this is the format's odd corner, and the rest of a used buffer.
TEST(DeviceClassText, PadsTheThirdFieldWithBlanksAndZeroFillsTheBuffer)
{
    kestrune::DeviceClassText out;
    std::fill(std::begin(out.text), std::end(out.text), u'x');
    kestrune::print_device_class(kestrune::Guid{0xAB, 0xC, 0xD, {1, 2, 3, 4, 5, 6, 7, 8}}, out);
    EXPECT_EQ(std::u16string(out.text), u"{000000AB-000C-   D-0102-030405060708}");
    EXPECT_TRUE(std::all_of(out.text + 38, std::end(out.text), [](char16_t c) { return c == u'\0'; }));
}

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
    EXPECT_EQ(permissions(), all(QVX_KESTRUNE_NORMAL_PERM_ALLOW)); // no list: all allowed
    std::vector<int> results;
    std::vector<std::u16string> listed;
    EXPECT_EQ(logged([&] {
                  for (const auto &[device, text] : kClassOf) {
                      results.push_back(QVX_KESTRUNE_set_normal_device_permit(device, QVX_KESTRUNE_NORMAL_PERM_DENY));
                      listed.push_back(text);
                  }
              }),
              kMissingSwitches); // only the first deny finds no switches
    EXPECT_EQ(results, std::vector<int>(kClassOf.size(), 0));
    EXPECT_EQ(permissions(), all(QVX_KESTRUNE_NORMAL_PERM_DENY));
    EXPECT_EQ(apply(), deny_list_records(listed));

    // Every permission but DENY allows, in the table or not.
    const int allowing[] = {QVX_KESTRUNE_NORMAL_PERM_ALLOW, QVX_KESTRUNE_NORMAL_PERM_UNKNOWN, 7, -1, 2, 0};
    std::map<int, int> expected = all(QVX_KESTRUNE_NORMAL_PERM_DENY);
    const int *permission = allowing;
    for (const auto &[device, text] : kClassOf) {
        SCOPED_TRACE(device);
        EXPECT_EQ(QVX_KESTRUNE_set_normal_device_permit(device, *permission++), 0);
        expected[device] = QVX_KESTRUNE_NORMAL_PERM_ALLOW;
        listed.erase(listed.begin());
        EXPECT_EQ(permissions(), expected);
        EXPECT_EQ(apply(), deny_list_records(listed));
    }
}

// GPIO and dongles have no class: the deny list refuses their empty text.
TEST_F(NormalPermitTest, DevicesWithoutAClassOrOutOfRangeAreRefusedAndTouchNothing)
{
    open();
    std::vector<int> results;
    EXPECT_EQ(logged([&] {
                  results = {QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_GPIO, 1),
                             QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_DONGLE, 2),
                             QVX_KESTRUNE_get_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_GPIO),
                             QVX_KESTRUNE_set_normal_device_permit(8, 1), QVX_KESTRUNE_set_normal_device_permit(-1, 2),
                             QVX_KESTRUNE_get_normal_device_permit(8), QVX_KESTRUNE_get_normal_device_permit(-1)};
              }),
              "E KestruneCtl gpo_helper_set_restrictions_denydeviceclasses #: GUID Len too small!0\n"
              "E KestruneCtl gpo_helper_set_restrictions_denydeviceclasses #: GUID Len too small!0\n"
              "E KestruneCtl gpo_helper_get_restrictions_denydeviceclasses #: GUID Len too small!0\n"
              "E KestruneCtl QVX_KESTRUNE_get_normal_device_permit #: "
              "gpo_helper_get_restrictions_denydeviceclasses ret=3\n"
              "E KestruneCtl QVX_KESTRUNE_set_normal_device_permit #: Error device_id=8!\n"
              "E KestruneCtl QVX_KESTRUNE_set_normal_device_permit #: Error device_id=-1!\n"
              "E KestruneCtl QVX_KESTRUNE_get_normal_device_permit #: Error device_id=8!\n"
              "E KestruneCtl QVX_KESTRUNE_get_normal_device_permit #: Error device_id=-1!\n");
    EXPECT_EQ(results, (std::vector<int>{3, 3, 0, 3, 3, 0, 0}));
    EXPECT_TRUE(apply().empty());
}

} // namespace
