// The ID/string lookups, through the exported functions.
#include <gtest/gtest.h>

#include <string>

#include "kestrune.h"
#include "support/stdout_capture.h"

using kestrune::test::StdoutCapture;
using kestrune::test::without_line_numbers;

namespace {

constexpr auto kNormal = QVX_KESTRUNE_DEVICE_TYPE_NORMAL;
constexpr auto kStorage = QVX_KESTRUNE_DEVICE_TYPE_STORAGE;
constexpr auto kNet = QVX_KESTRUNE_DEVICE_TYPE_NET;
const std::string kUnknown = "QVX_KESTRUNE_DEVID_UNKNOWN";

TEST(DeviceLookup, EveryTableRow)
{
    const char *normal[] = {"SERIAL", "GPIO", "DONGLE", "MOUSE", "KEYBOARD", "CAMERA", "USB_CONVERSION", "BT"};
    for (int id = 0; id < 8; ++id)
        EXPECT_EQ(QVX_KESTRUNE_get_dev_str_by_id(kNormal, id), "QVX_KESTRUNE_NORMAL_DEVID_" + std::string(normal[id]));
    EXPECT_STREQ(QVX_KESTRUNE_get_dev_str_by_id(kStorage, 0), "QVX_KESTRUNE_STORAGE_DEVID_CDROM");
    EXPECT_STREQ(QVX_KESTRUNE_get_dev_str_by_id(kStorage, 1), "QVX_KESTRUNE_STORAGE_DEVID_UDISK");
    EXPECT_STREQ(QVX_KESTRUNE_get_dev_str_by_id(kNet, 0), "QVX_KESTRUNE_NET_DEVID_ETH_CARD");
}

TEST(DeviceLookup, OutOfTableFallsBackSilently)
{
    StdoutCapture out;
    EXPECT_EQ(QVX_KESTRUNE_get_dev_str_by_id(kNormal, 8), kUnknown);
    EXPECT_EQ(QVX_KESTRUNE_get_dev_str_by_id(kNormal, -1), kUnknown);
    EXPECT_EQ(QVX_KESTRUNE_get_dev_str_by_id(kStorage, 2), kUnknown);
    EXPECT_EQ(QVX_KESTRUNE_get_dev_str_by_id(kNet, 1), kUnknown);
    EXPECT_EQ(QVX_KESTRUNE_get_dev_str_by_id(static_cast<QVX_KESTRUNE_DEVICE_TYPE_E>(3), 0), kUnknown);
    EXPECT_EQ(QVX_KESTRUNE_get_dev_str_by_id(static_cast<QVX_KESTRUNE_DEVICE_TYPE_E>(-1), 0), kUnknown);
    EXPECT_EQ(out.text(), "");
}

TEST(PermissionLookup, ForwardTableAndFallback)
{
    StdoutCapture out;
    EXPECT_STREQ(QVX_KESTRUNE_get_perm_str_by_id(kStorage, 6), "QVX_KESTRUNE_STORAGE_PERM_WRITE_OUT_ONLY");
    EXPECT_STREQ(QVX_KESTRUNE_get_perm_str_by_id(kNet, 0), "QVX_KESTRUNE_NET_PERM_UNKNOWN");
    EXPECT_STREQ(QVX_KESTRUNE_get_perm_str_by_id(kNormal, 2), "QVX_KESTRUNE_NORMAL_PERM_ALLOW");
    // The fallback is the device-unknown text, not the category's own unknown.
    EXPECT_EQ(QVX_KESTRUNE_get_perm_str_by_id(kStorage, 7), kUnknown);
    EXPECT_EQ(QVX_KESTRUNE_get_perm_str_by_id(kNormal, 3), kUnknown);
    EXPECT_EQ(QVX_KESTRUNE_get_perm_str_by_id(kNet, 5), kUnknown);
    EXPECT_EQ(QVX_KESTRUNE_get_perm_str_by_id(kNet, -1), kUnknown);
    EXPECT_EQ(out.text(), "");
}

TEST(PermissionLookup, EveryStringRoundTripsWithinItsCategory)
{
    const int counts[] = {3, 7, 5};
    for (int type = 0; type < 3; ++type) {
        auto category = static_cast<QVX_KESTRUNE_DEVICE_TYPE_E>(type);
        for (int id = 0; id < counts[type]; ++id)
            EXPECT_EQ(QVX_KESTRUNE_get_perm_id_by_str(category, QVX_KESTRUNE_get_perm_str_by_id(category, id)), id);
    }
    EXPECT_EQ(QVX_KESTRUNE_get_perm_id_by_str(kNet, "QVX_KESTRUNE_NET_PERM_LIMIT"), 4);
}

TEST(PermissionLookup, ReverseMissesLogTheirLines)
{
    StdoutCapture out;
    EXPECT_EQ(QVX_KESTRUNE_get_perm_id_by_str(kNormal, "QVX_KESTRUNE_NET_PERM_DENY"), -1);
    EXPECT_EQ(QVX_KESTRUNE_get_perm_id_by_str(kStorage, "qvx_kestrune_storage_perm_deny"), -1);
    EXPECT_EQ(QVX_KESTRUNE_get_perm_id_by_str(kStorage, "QVX_KESTRUNE_STORAGE_PERM_DENY "), -1);
    EXPECT_EQ(QVX_KESTRUNE_get_perm_id_by_str(static_cast<QVX_KESTRUNE_DEVICE_TYPE_E>(5),
                                              "QVX_KESTRUNE_NET_PERM_DENY"),
              -1);
    EXPECT_EQ(QVX_KESTRUNE_get_perm_id_by_str(kStorage, nullptr), -2);
    EXPECT_EQ(without_line_numbers(out.text()),
              "E KestruneCtl QVX_KESTRUNE_get_perm_id_by_str #: perm_str=[QVX_KESTRUNE_NET_PERM_DENY] not found!\r\n"
              "E KestruneCtl QVX_KESTRUNE_get_perm_id_by_str #: perm_str=[qvx_kestrune_storage_perm_deny] not found!\r\n"
              "E KestruneCtl QVX_KESTRUNE_get_perm_id_by_str #: perm_str=[QVX_KESTRUNE_STORAGE_PERM_DENY ] not found!\r\n"
              "E KestruneCtl QVX_KESTRUNE_get_perm_id_by_str #: perm_str=[QVX_KESTRUNE_NET_PERM_DENY] not found!\r\n"
              "E KestruneCtl QVX_KESTRUNE_get_perm_id_by_str #: invalid perm_str\r\n");
}

} // namespace
