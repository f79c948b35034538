// Initialize, Apply and Uninitialize through the exports, against a scratch
// policy root: the state table, persistence through Registry.pol, the effective
// policy after refresh, and the failures.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "kestrune.h"
#include "core/policy_object.h"
#include "platform/posix/posix_file_io.h"
#include "platform/gpo_files/registry_pol.h"
#include "platform/registry.h"
#include "support/scratch_dir.h"
#include "support/stdout_capture.h"

using namespace kestrune;
using namespace kestrune::platform;
using test::read_file;
using test::ScratchRoot;
using test::StdoutCapture;
using test::without_line_numbers;
using test::write_file;

namespace {

const std::string kBanner = "I KestruneCtl QVX_KESTRUNE_Initialize #: ENABLE LOG INFO\r\n"
                            "E KestruneCtl QVX_KESTRUNE_Initialize #: ENABLE LOG ERROR\r\n";
const std::string kNotHeld = "Internal error! pGPO null\n";

std::vector<PolRecord> saved_records(const std::string &path)
{
    std::string bytes = read_file(path);
    auto records = parse_registry_pol(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    EXPECT_TRUE(records.has_value()) << path;
    return records.value_or(std::vector<PolRecord>{});
}

void set_dword(const char16_t *path, const char16_t *name, uint32_t value)
{
    RegKey key = nullptr;
    ASSERT_EQ(reg_create_key(held_machine_key(), path, kKeyAllAccess, &key), kErrorSuccess);
    ASSERT_EQ(reg_set_value(key, name, kRegDword, &value, 4), kErrorSuccess);
    reg_close_key(key);
}

uint32_t get_dword(const char16_t *path, const char16_t *name)
{
    RegKey key = nullptr;
    uint32_t value = 0, size = 4;
    if (reg_open_key(held_machine_key(), path, kKeyRead, &key) != kErrorSuccess)
        return 0xFFFFFFFF;
    uint32_t result = reg_query_value(key, name, nullptr, &value, &size);
    reg_close_key(key);
    return result == kErrorSuccess ? value : 0xFFFFFFFF;
}

class Lifecycle : public ::testing::Test {
protected:
    void TearDown() override
    {
        // Leave the process released for the next test, whatever happened.
        StdoutCapture quiet;
        QVX_KESTRUNE_Uninitialize();
    }
    ScratchRoot root_;
};

TEST_F(Lifecycle, ApplyAndUninitializeNeedAHeldObject)
{
    StdoutCapture out;
    EXPECT_EQ(QVX_KESTRUNE_Apply(), QVX_KESTRUNE_RESULT_INTERNAL_ERROR);
    EXPECT_EQ(QVX_KESTRUNE_Uninitialize(), QVX_KESTRUNE_RESULT_INTERNAL_ERROR);
    EXPECT_EQ(without_line_numbers(out.text()), "E KestruneCtl QVX_KESTRUNE_Apply #: " + kNotHeld +
                                                    "E KestruneCtl QVX_KESTRUNE_Uninitialize #: " + kNotHeld);
}

TEST_F(Lifecycle, SecondInitializeKeepsTheHeldObject)
{
    StdoutCapture out;
    ASSERT_EQ(QVX_KESTRUNE_Initialize(), QVX_KESTRUNE_RESULT_SUCCESS);
    set_dword(u"Software\\A", u"v", 7);
    EXPECT_EQ(QVX_KESTRUNE_Initialize(), QVX_KESTRUNE_RESULT_INTERNAL_ERROR);
    EXPECT_EQ(get_dword(u"Software\\A", u"v"), 7u);
    EXPECT_EQ(QVX_KESTRUNE_Apply(), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(QVX_KESTRUNE_Uninitialize(), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(QVX_KESTRUNE_Uninitialize(), QVX_KESTRUNE_RESULT_INTERNAL_ERROR);
    EXPECT_EQ(without_line_numbers(out.text()),
              kBanner + kBanner + "E KestruneCtl QVX_KESTRUNE_Initialize #: Internal error! pGPO already init\n" +
                  "I KestruneCtl QVX_KESTRUNE_Apply #: RefreshPolicy done\n" +
                  "E KestruneCtl QVX_KESTRUNE_Uninitialize #: " + kNotHeld);
}

TEST_F(Lifecycle, PolicyPersistsAcrossObjectsAndUnsavedChangesAreDropped)
{
    StdoutCapture quiet;
    ASSERT_EQ(QVX_KESTRUNE_Initialize(), 0);
    set_dword(u"Software\\Policies\\Kept", u"Deny_Read", 1);
    ASSERT_EQ(QVX_KESTRUNE_Apply(), 0);
    set_dword(u"Software\\Policies\\Dropped", u"Deny_Read", 1);
    ASSERT_EQ(QVX_KESTRUNE_Uninitialize(), 0);

    EXPECT_EQ(saved_records(root_.registry_pol()),
              (std::vector<PolRecord>{{u"Software\\Policies\\Kept", u"Deny_Read", kRegDword, {1, 0, 0, 0}}}));
    ASSERT_EQ(QVX_KESTRUNE_Initialize(), 0);
    EXPECT_EQ(get_dword(u"software\\policies\\kept", u"deny_read"), 1u);
    EXPECT_EQ(get_dword(u"Software\\Policies\\Dropped", u"Deny_Read"), 0xFFFFFFFFu);
}

TEST_F(Lifecycle, EveryApplySavesRaisesTheVersionAndRefreshes)
{
    StdoutCapture quiet;
    ASSERT_EQ(QVX_KESTRUNE_Initialize(), 0);
    EXPECT_EQ(QVX_KESTRUNE_Apply(), 0);
    EXPECT_NE(read_file(root_.gpt_ini()).find("Version=1\r\n"), std::string::npos);
    set_dword(u"K", u"v", 1);
    EXPECT_EQ(QVX_KESTRUNE_Apply(), 0);
    EXPECT_NE(read_file(root_.gpt_ini()).find("Version=2\r\n"), std::string::npos);
    EXPECT_EQ(saved_records(root_.machine_pol()), (std::vector<PolRecord>{{u"K", u"v", kRegDword, {1, 0, 0, 0}}}));

    struct stat info {};
    ASSERT_EQ(stat(root_.registry_pol().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((root_ / "GroupPolicy").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(Lifecycle, RefreshHonoursDirectivesOfTheSavedFile)
{
    // A file written by another tool: an old value, the marker, then the list.
    auto text = [](char c) { return std::vector<uint8_t>{static_cast<uint8_t>(c), 0, 0, 0}; };
    std::vector<PolRecord> file = {
        {u"Software\\L", u"old", kRegSz, text('o')},
        {u"Software\\L", u"**delvals.", kRegSz, text(' ')},
        {u"Software\\L", u"1", kRegSz, text('A')},
        {u"Software\\L", u"**del.gone", kRegSz, text(' ')},
    };
    auto bytes = serialize_registry_pol(file);
    write_file(root_.registry_pol(), std::string(bytes.begin(), bytes.end()));

    StdoutCapture quiet;
    ASSERT_EQ(QVX_KESTRUNE_Initialize(), 0);
    ASSERT_EQ(QVX_KESTRUNE_Apply(), 0);
    // The object keeps every record as a value; the effective policy applies them.
    EXPECT_EQ(saved_records(root_.registry_pol()), file);
    EXPECT_EQ(saved_records(root_.machine_pol()), (std::vector<PolRecord>{{u"Software\\L", u"1", kRegSz, text('A')}}));
}

TEST_F(Lifecycle, ACorruptPolicyFileIsRefusedUntouchedAndInitializeRecovers)
{
    const std::string garbage("PReg\x01\x00\x00\x00[broken", 14);
    write_file(root_.registry_pol(), garbage);
    StdoutCapture out;
    EXPECT_EQ(QVX_KESTRUNE_Initialize(), QVX_KESTRUNE_RESULT_FAILED);
    EXPECT_EQ(QVX_KESTRUNE_Apply(), QVX_KESTRUNE_RESULT_INTERNAL_ERROR);
    EXPECT_EQ(without_line_numbers(out.text()),
              kBanner + "E KestruneCtl QVX_KESTRUNE_Initialize #: Failed OpenLocalMachineGPO. Error code = 0x8007000d\n" +
                  "E KestruneCtl QVX_KESTRUNE_Apply #: " + kNotHeld);
    EXPECT_EQ(read_file(root_.registry_pol()), garbage);

    // The failed attempt left nothing held behind: once the file is mended, the
    // same process initialises.
    write_file(root_.registry_pol(), std::string("PReg\x01\x00\x00\x00", 8));
    EXPECT_EQ(QVX_KESTRUNE_Initialize(), QVX_KESTRUNE_RESULT_SUCCESS);
}

int gRenames = 0;
int gFailFromRename = 0;
int failing_rename(const char *from, const char *to)
{
    if (++gRenames >= gFailFromRename) {
        errno = EIO;
        return -1;
    }
    return kRealPosixIo.rename(from, to);
}

TEST_F(Lifecycle, SaveAndRefreshFailuresAreReported)
{
    StdoutCapture out;
    ASSERT_EQ(QVX_KESTRUNE_Initialize(), 0);
    ASSERT_EQ(QVX_KESTRUNE_Apply(), 0);
    const std::string before = read_file(root_.registry_pol());
    set_dword(u"K", u"v", 1);

    posix_io.rename = failing_rename;
    gRenames = 0;
    gFailFromRename = 1; // the policy file itself
    EXPECT_EQ(QVX_KESTRUNE_Apply(), QVX_KESTRUNE_RESULT_FAILED);
    EXPECT_EQ(read_file(root_.registry_pol()), before);
    gRenames = 0;
    gFailFromRename = 3; // after the policy file and gpt.ini: the effective policy
    EXPECT_EQ(QVX_KESTRUNE_Apply(), QVX_KESTRUNE_RESULT_FAILED);
    posix_io = kRealPosixIo;
    EXPECT_EQ(saved_records(root_.registry_pol()).size(), 1u);

    std::string lines = without_line_numbers(out.text());
    EXPECT_NE(lines.find("E KestruneCtl QVX_KESTRUNE_Apply #: Failed save. Error code = 0x80004005\n"),
              std::string::npos)
        << lines;
    EXPECT_NE(lines.find("E KestruneCtl QVX_KESTRUNE_Apply #: Failed apply configs!\n"), std::string::npos) << lines;
    EXPECT_EQ(QVX_KESTRUNE_Apply(), 0);
}

// Runs Initialize in a child that is not root; its exit status is the result.
int initialize_as_unprivileged(const std::string &root)
{
    pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(100);
        setenv("KESTRUNE_ROOT", root.c_str(), 1);
        StdoutCapture out;
        int result = QVX_KESTRUNE_Initialize();
        bool line = without_line_numbers(out.text()) ==
                    kBanner + "E KestruneCtl QVX_KESTRUNE_Initialize #: Failed run OpenLocalMachineGPO, are you Administrator?\n";
        _exit(line ? result : 101);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Lifecycle, AnUnprivilegedProcessIsToldItIsNotAdministrator)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to create a root-owned policy root and drop to an unprivileged user";
    // A root it may not create, and one that exists but that it may not write.
    ASSERT_EQ(chmod(root_.path().c_str(), 0755), 0);
    EXPECT_EQ(initialize_as_unprivileged(root_ / "new-root"), QVX_KESTRUNE_RESULT_ACCESS_DENIED);
    {
        StdoutCapture quiet;
        ASSERT_EQ(QVX_KESTRUNE_Initialize(), 0);
        ASSERT_EQ(QVX_KESTRUNE_Apply(), 0);
        ASSERT_EQ(QVX_KESTRUNE_Uninitialize(), 0);
    }
    EXPECT_EQ(initialize_as_unprivileged(root_.path()), QVX_KESTRUNE_RESULT_ACCESS_DENIED);
}

} // namespace
