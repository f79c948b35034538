// The ID/string lookups at the edges of their tables. The texts themselves show
// in the console's transcripts.
#include <gtest/gtest.h>

#include <string>

#include "kestrune.h"
#include "support/stdout_capture.h"

namespace {

const std::string kUnknown = "QVX_KESTRUNE_DEVID_UNKNOWN";

TEST(Vocabulary, EveryPermissionRoundTripsAndEveryEdgeFallsBackSilently)
{
    const struct {
        QVX_KESTRUNE_DEVICE_TYPE_E type;
        int devices, permissions;
        const char *lastPermission;
    } categories[] = {
        {QVX_KESTRUNE_DEVICE_TYPE_NORMAL, 8, 3, "QVX_KESTRUNE_NORMAL_PERM_ALLOW"},
        {QVX_KESTRUNE_DEVICE_TYPE_STORAGE, 2, 7, "QVX_KESTRUNE_STORAGE_PERM_WRITE_OUT_ONLY"},
        {QVX_KESTRUNE_DEVICE_TYPE_NET, 1, 5, "QVX_KESTRUNE_NET_PERM_LIMIT"},
    };
    kestrune::test::StdoutCapture out;
    for (const auto &c : categories) {
        for (int id = 0; id < c.permissions; ++id)
            EXPECT_EQ(QVX_KESTRUNE_get_perm_id_by_str(c.type, QVX_KESTRUNE_get_perm_str_by_id(c.type, id)), id);
        EXPECT_STREQ(QVX_KESTRUNE_get_perm_str_by_id(c.type, c.permissions - 1), c.lastPermission);
        EXPECT_NE(QVX_KESTRUNE_get_dev_str_by_id(c.type, c.devices - 1), kUnknown);
        // The fallback is the device-unknown text, not the category's own unknown.
        for (int outside : {-1, c.permissions})
            EXPECT_EQ(QVX_KESTRUNE_get_perm_str_by_id(c.type, outside), kUnknown) << c.type << " " << outside;
        for (int outside : {-1, c.devices})
            EXPECT_EQ(QVX_KESTRUNE_get_dev_str_by_id(c.type, outside), kUnknown) << c.type << " " << outside;
    }
    for (int type : {-1, 3}) {
        EXPECT_EQ(QVX_KESTRUNE_get_dev_str_by_id(static_cast<QVX_KESTRUNE_DEVICE_TYPE_E>(type), 0), kUnknown);
        EXPECT_EQ(QVX_KESTRUNE_get_perm_str_by_id(static_cast<QVX_KESTRUNE_DEVICE_TYPE_E>(type), 0), kUnknown);
    }
    EXPECT_EQ(out.text(), "");
}

// Only the exact text of the category's own permission is found; each miss logs.
TEST(Vocabulary, ReverseMissesLogTheirLines)
{
    kestrune::test::StdoutCapture out;
    EXPECT_EQ(QVX_KESTRUNE_get_perm_id_by_str(QVX_KESTRUNE_DEVICE_TYPE_NORMAL, "QVX_KESTRUNE_NET_PERM_DENY"), -1);
    EXPECT_EQ(QVX_KESTRUNE_get_perm_id_by_str(QVX_KESTRUNE_DEVICE_TYPE_STORAGE, "qvx_kestrune_storage_perm_deny"), -1);
    EXPECT_EQ(QVX_KESTRUNE_get_perm_id_by_str(QVX_KESTRUNE_DEVICE_TYPE_STORAGE, "QVX_KESTRUNE_STORAGE_PERM_DENY "), -1);
    EXPECT_EQ(QVX_KESTRUNE_get_perm_id_by_str(static_cast<QVX_KESTRUNE_DEVICE_TYPE_E>(5), "QVX_KESTRUNE_NET_PERM_DENY"),
              -1);
    EXPECT_EQ(QVX_KESTRUNE_get_perm_id_by_str(QVX_KESTRUNE_DEVICE_TYPE_STORAGE, nullptr), -2);
    EXPECT_EQ(kestrune::test::without_line_numbers(out.text()),
              "E KestruneCtl QVX_KESTRUNE_get_perm_id_by_str #: perm_str=[QVX_KESTRUNE_NET_PERM_DENY] not found!\r\n"
              "E KestruneCtl QVX_KESTRUNE_get_perm_id_by_str #: perm_str=[qvx_kestrune_storage_perm_deny] not found!\r\n"
              "E KestruneCtl QVX_KESTRUNE_get_perm_id_by_str #: perm_str=[QVX_KESTRUNE_STORAGE_PERM_DENY ] not found!\r\n"
              "E KestruneCtl QVX_KESTRUNE_get_perm_id_by_str #: perm_str=[QVX_KESTRUNE_NET_PERM_DENY] not found!\r\n"
              "E KestruneCtl QVX_KESTRUNE_get_perm_id_by_str #: invalid perm_str\r\n");
}

} // namespace
