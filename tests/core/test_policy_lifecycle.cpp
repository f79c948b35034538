// Initialize, Apply and Uninitialize through the exports, against a scratch
// policy root: the state table, persistence through Registry.pol, the effective
// policy after refresh, and the failures.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

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

// Initialize's lines when the policy file is refused for `reason`.
std::string refused_file_lines(const std::string &path, const std::string &reason)
{
    return kBanner + "I KestruneCtl gpo_open_local_machine #: " + path + " " + reason + "\r\n" +
           "E KestruneCtl QVX_KESTRUNE_Initialize #: Failed OpenLocalMachineGPO. Error code = 0x8007000d\n";
}

TEST_F(Lifecycle, CorruptOrOversizedPolicyFilesAreRefusedUntouchedAndInitializeRecovers)
{
    // A well-formed record whose key is 300,000 levels deep, far beyond the
    // registry's 512: once accepted, it crashed the process on Uninitialize.
    std::u16string deep = u"a";
    for (int level = 1; level < 300000; ++level)
        deep += u"\\a";
    auto deepBytes = serialize_registry_pol({PolRecord{deep, u"v", kRegDword, {1, 0, 0, 0}}});
    for (const std::string &refused : {std::string("PReg\x01\x00\x00\x00[broken", 14),
                                       std::string(deepBytes.begin(), deepBytes.end())}) {
        write_file(root_.registry_pol(), refused);
        StdoutCapture out;
        EXPECT_EQ(QVX_KESTRUNE_Initialize(), QVX_KESTRUNE_RESULT_FAILED);
        EXPECT_EQ(QVX_KESTRUNE_Apply(), QVX_KESTRUNE_RESULT_INTERNAL_ERROR);
        EXPECT_EQ(without_line_numbers(out.text()),
                  refused_file_lines(root_.registry_pol(), "is not a valid policy file") +
                      "E KestruneCtl QVX_KESTRUNE_Apply #: " + kNotHeld);
        EXPECT_TRUE(read_file(root_.registry_pol()) == refused);
    }

    // The failed attempt left nothing held behind: once the file is mended, the
    // same process initialises.
    write_file(root_.registry_pol(), std::string("PReg\x01\x00\x00\x00", 8));
    StdoutCapture quiet;
    EXPECT_EQ(QVX_KESTRUNE_Initialize(), QVX_KESTRUNE_RESULT_SUCCESS);
}

// Runs `body` in a child process with an alarm, so that a hang fails the test
// instead of stalling it; the child's exit status, or 128 + the signal.
template <typename Body>
int in_child(Body body)
{
    pid_t child = fork();
    if (child == 0) {
        alarm(10);
        _exit(body());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(Lifecycle, APolicyFileThatIsNotARegularFileIsInvalidAndNeverBlocks)
{
    ASSERT_EQ(mkdir((root_ / "GroupPolicy").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((root_ / "GroupPolicy/Machine").c_str(), 0700), 0);
    ASSERT_EQ(mkfifo(root_.registry_pol().c_str(), 0600), 0);
    EXPECT_EQ(in_child([&] {
                  StdoutCapture out;
                  int result = QVX_KESTRUNE_Initialize();
                  bool lines = without_line_numbers(out.text()) ==
                               refused_file_lines(root_.registry_pol(), "is not a regular file");
                  return lines ? result : 100;
              }),
              QVX_KESTRUNE_RESULT_FAILED);
}

TEST_F(Lifecycle, TemporaryFilesOfKilledSavesAreRemovedByTheNextOpen)
{
    {
        StdoutCapture quiet;
        ASSERT_EQ(QVX_KESTRUNE_Initialize(), 0);
        ASSERT_EQ(QVX_KESTRUNE_Apply(), 0);
        ASSERT_EQ(QVX_KESTRUNE_Uninitialize(), 0);
    }
    const std::string saved = read_file(root_.registry_pol());
    // A save killed between writing its temporary file and the rename.
    EXPECT_EQ(in_child([&] {
                  StdoutCapture quiet;
                  QVX_KESTRUNE_Initialize();
                  set_dword(u"K", u"v", 1);
                  posix_io.rename = [](const char *, const char *) { return raise(SIGKILL); };
                  return QVX_KESTRUNE_Apply();
              }),
              128 + SIGKILL);
    // And litter of other kinds: a save in progress in a live process, names that
    // only look alike.
    struct LiveProcess {
        pid_t pid = fork();
        ~LiveProcess()
        {
            if (pid > 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
    } live;
    ASSERT_GE(live.pid, 0);
    if (live.pid == 0) {
        pause();
        _exit(0);
    }
    const std::string liveTemp = root_.gpt_ini() + ".tmp-" + std::to_string(live.pid) + "-7";
    const std::vector<std::string> unrelated = {root_ / "GroupPolicy/Registry.pol.tmp-x-1",
                                                root_ / "GroupPolicy/Machine/other.tmp-1-1", liveTemp};
    for (const std::string &name : unrelated)
        write_file(name, "x");
    auto listing = [&] {
        std::vector<std::string> names;
        for (const char *dir : {"GroupPolicy", "GroupPolicy/Machine", "Policies"})
            for (const auto &entry : std::filesystem::directory_iterator(root_ / dir))
                if (entry.is_regular_file())
                    names.push_back(entry.path().string());
        std::sort(names.begin(), names.end());
        return names;
    };
    const size_t before = listing().size();

    StdoutCapture quiet;
    ASSERT_EQ(QVX_KESTRUNE_Initialize(), 0);
    std::vector<std::string> expected = {root_.gpt_ini(), root_.registry_pol(), root_.machine_pol()};
    expected.insert(expected.end(), unrelated.begin(), unrelated.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listing(), expected);
    EXPECT_EQ(before, expected.size() + 1) << "the killed save left one temporary file";
    EXPECT_EQ(read_file(root_.registry_pol()), saved);
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

    // Each failure names the call, its path and its errno in one line before the
    // export's own.
    std::string lines = without_line_numbers(out.text());
    EXPECT_NE(lines.find("I KestruneCtl gpo_save #: rename " + root_.registry_pol() +
                         " failed, errno=5 (Input/output error)\r\n"
                         "E KestruneCtl QVX_KESTRUNE_Apply #: Failed save. Error code = 0x80004005\n"),
              std::string::npos)
        << lines;
    EXPECT_NE(lines.find("I KestruneCtl refresh_policy #: rename " + root_.machine_pol() +
                         " failed, errno=5 (Input/output error)\r\n"
                         "E KestruneCtl QVX_KESTRUNE_Apply #: Failed apply configs!\n"),
              std::string::npos)
        << lines;
    EXPECT_EQ(QVX_KESTRUNE_Apply(), 0);
}

// Initialize's lines when it is refused as not Administrator, after `why`.
std::string not_administrator_lines(const std::string &why)
{
    return kBanner + "I KestruneCtl gpo_open_local_machine #: " + why + "\r\n" +
           "E KestruneCtl QVX_KESTRUNE_Initialize #: Failed run OpenLocalMachineGPO, are you Administrator?\n";
}

// Runs Initialize in a child as `uid`; its result, or 101 when the lines were not
// those of a refusal for `why`.
int initialize_as(uid_t uid, const std::string &root, const std::string &why)
{
    return in_child([&] {
        if (uid != geteuid() && (setgid(uid) != 0 || setuid(uid) != 0))
            return 100;
        setenv("KESTRUNE_ROOT", root.c_str(), 1);
        StdoutCapture out;
        int result = QVX_KESTRUNE_Initialize();
        return without_line_numbers(out.text()) == not_administrator_lines(why) ? result : 101;
    });
}

constexpr uid_t kNobody = 65534;

TEST_F(Lifecycle, AnUnprivilegedProcessIsToldItIsNotAdministrator)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to create a root-owned policy root and drop to an unprivileged user";
    // A root it may not create, and one that exists but is not its own.
    ASSERT_EQ(chmod(root_.path().c_str(), 0755), 0);
    EXPECT_EQ(initialize_as(kNobody, root_ / "new-root",
                            "mkdir " + root_ / "new-root" + " failed, errno=13 (Permission denied)"),
              QVX_KESTRUNE_RESULT_ACCESS_DENIED);
    EXPECT_EQ(initialize_as(kNobody, root_.path(),
                            "policy folder " + root_.path() + " refused: owned by uid 0, not by the caller (uid 65534)"),
              QVX_KESTRUNE_RESULT_ACCESS_DENIED);
}

TEST_F(Lifecycle, PolicyFoldersThatOthersCouldChangeAreRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to give a folder to another user";
    {
        StdoutCapture quiet;
        ASSERT_EQ(QVX_KESTRUNE_Initialize(), 0);
        ASSERT_EQ(QVX_KESTRUNE_Apply(), 0);
        ASSERT_EQ(QVX_KESTRUNE_Uninitialize(), 0);
    }
    const std::string saved = read_file(root_.registry_pol());
    struct Case {
        std::string folder;
        uid_t owner;
        mode_t mode;
        std::string reason;
    };
    const Case cases[] = {
        {root_.path(), kNobody, 0700, "owned by uid 65534, not by the caller (uid 0)"},
        {root_.path(), 0, 0770, "writable by group or others (mode 0770)"},
        {root_ / "GroupPolicy", 0, 0703, "writable by group or others (mode 0703)"},
        {root_ / "GroupPolicy/Machine", kNobody, 0700, "owned by uid 65534, not by the caller (uid 0)"},
        {root_ / "Policies", 0, 01777, "writable by group or others (mode 1777)"},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(chown(c.folder.c_str(), c.owner, 0), 0);
        ASSERT_EQ(chmod(c.folder.c_str(), c.mode), 0);
        EXPECT_EQ(initialize_as(0, root_.path(), "policy folder " + c.folder + " refused: " + c.reason),
                  QVX_KESTRUNE_RESULT_ACCESS_DENIED)
            << c.folder;
        ASSERT_EQ(chown(c.folder.c_str(), 0, 0), 0);
        ASSERT_EQ(chmod(c.folder.c_str(), 0700), 0);
    }
    EXPECT_EQ(read_file(root_.registry_pol()), saved);
    StdoutCapture quiet;
    EXPECT_EQ(QVX_KESTRUNE_Initialize(), QVX_KESTRUNE_RESULT_SUCCESS);
}

} // namespace
