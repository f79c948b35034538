// A caller that binds Kestrune.dll at run time, as a program built elsewhere
// would: the nine C exports by ordinal, the five C++ exports by their MSVC names.
// It calls what needs no policy object and no administrator rights: the lookups,
// Apply and Uninitialize before Initialize, and unregistering without a
// registration, and checks their results and lines.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "kestrune.h"
#include "support/export_names.h"
#include "support/stdout_capture.h"

using kestrune::test::StdoutCapture;
using kestrune::test::without_line_numbers;

namespace {

using Frame = int(KESTRUNE_CALL *)();
using Unregister = QVX_KESTRUNE_RESULT_E(KESTRUNE_CALL *)();
using TextById = const char *(KESTRUNE_CALL *)(QVX_KESTRUNE_DEVICE_TYPE_E, int);
using IdByText = int(KESTRUNE_CALL *)(QVX_KESTRUNE_DEVICE_TYPE_E, const char *);

class BoundLibrary : public ::testing::Test {
protected:
    static void SetUpTestSuite() { module_ = LoadLibraryW(L"Kestrune.dll"); }
    static void TearDownTestSuite() { FreeLibrary(module_); }

    void SetUp() override { ASSERT_NE(module_, nullptr) << "LoadLibraryW error " << GetLastError(); }

    template <typename Function>
    static Function by_ordinal(WORD ordinal)
    {
        return as<Function>(GetProcAddress(module_, MAKEINTRESOURCEA(ordinal)));
    }
    template <typename Function>
    static Function by_name(const char *name)
    {
        return as<Function>(GetProcAddress(module_, name));
    }

private:
    template <typename Function>
    static Function as(FARPROC address)
    {
        return reinterpret_cast<Function>(reinterpret_cast<void *>(address));
    }

    static HMODULE module_;
};

HMODULE BoundLibrary::module_ = nullptr;

using kestrune::test::kMsvcDecoratedExports;
const char *const kUnregister = kMsvcDecoratedExports[1];
const char *const kDevStrById = kMsvcDecoratedExports[2];
const char *const kPermIdByStr = kMsvcDecoratedExports[3];
const char *const kPermStrById = kMsvcDecoratedExports[4];

TEST_F(BoundLibrary, OrdinalsOneToNineAreThePlainNamesInTableOrder)
{
    for (WORD ordinal = 1; ordinal <= 9; ++ordinal) {
        void *byOrdinal = by_ordinal<void *>(ordinal);
        EXPECT_NE(byOrdinal, nullptr) << ordinal;
        EXPECT_EQ(byOrdinal, by_name<void *>(kestrune::test::kPlainExports[ordinal - 1])) << ordinal;
    }
    for (WORD ordinal = 10; ordinal <= 14; ++ordinal) {
        const char *name = kMsvcDecoratedExports[ordinal - 10];
        EXPECT_NE(by_name<void *>(name), nullptr) << name;
        EXPECT_EQ(by_ordinal<void *>(ordinal), by_name<void *>(name)) << ordinal;
    }
    EXPECT_EQ(by_ordinal<void *>(15), nullptr);
}

TEST_F(BoundLibrary, LookupsByDecoratedName)
{
    auto devStr = by_name<TextById>(kDevStrById);
    auto permStr = by_name<TextById>(kPermStrById);
    auto permId = by_name<IdByText>(kPermIdByStr);
    ASSERT_TRUE(devStr && permStr && permId);

    EXPECT_STREQ(devStr(QVX_KESTRUNE_DEVICE_TYPE_NORMAL, 7), "QVX_KESTRUNE_NORMAL_DEVID_BT");
    EXPECT_STREQ(devStr(QVX_KESTRUNE_DEVICE_TYPE_NET, 1), "QVX_KESTRUNE_DEVID_UNKNOWN");
    EXPECT_STREQ(permStr(QVX_KESTRUNE_DEVICE_TYPE_STORAGE, 6), "QVX_KESTRUNE_STORAGE_PERM_WRITE_OUT_ONLY");
    EXPECT_STREQ(permStr(QVX_KESTRUNE_DEVICE_TYPE_NORMAL, 3), "QVX_KESTRUNE_DEVID_UNKNOWN");

    StdoutCapture out;
    int limit = permId(QVX_KESTRUNE_DEVICE_TYPE_NET, "QVX_KESTRUNE_NET_PERM_LIMIT");
    int otherCategory = permId(QVX_KESTRUNE_DEVICE_TYPE_NORMAL, "QVX_KESTRUNE_NET_PERM_DENY");
    int null = permId(QVX_KESTRUNE_DEVICE_TYPE_STORAGE, nullptr);
    EXPECT_EQ(limit, 4);
    EXPECT_EQ(otherCategory, -1);
    EXPECT_EQ(null, -2);
    EXPECT_EQ(without_line_numbers(out.text()),
              "E KestruneCtl QVX_KESTRUNE_get_perm_id_by_str #: perm_str=[QVX_KESTRUNE_NET_PERM_DENY] not found!\r\n"
              "E KestruneCtl QVX_KESTRUNE_get_perm_id_by_str #: invalid perm_str\r\n");
}

TEST_F(BoundLibrary, FrameAndNotificationRefuseTheWrongState)
{
    auto apply = by_ordinal<Frame>(2);
    auto uninitialize = by_ordinal<Frame>(3);
    auto unregister = by_name<Unregister>(kUnregister);
    ASSERT_TRUE(apply && uninitialize && unregister);

    StdoutCapture out;
    int applied = apply();
    int released = uninitialize();
    QVX_KESTRUNE_RESULT_E unregistered = unregister();
    EXPECT_EQ(applied, QVX_KESTRUNE_RESULT_INTERNAL_ERROR);
    EXPECT_EQ(released, QVX_KESTRUNE_RESULT_INTERNAL_ERROR);
    EXPECT_EQ(unregistered, QVX_KESTRUNE_RESULT_INVALID_PARAM);
    EXPECT_EQ(without_line_numbers(out.text()),
              "E KestruneCtl QVX_KESTRUNE_Apply #: Internal error! pGPO null\n"
              "E KestruneCtl QVX_KESTRUNE_Uninitialize #: Internal error! pGPO null\n"
              "E KestruneCtl QVX_KESTRUNE_Unregister_Device_Notification #: empty handle!\r\n");
}

} // namespace
