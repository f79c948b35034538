// Initialize, Apply and Uninitialize through the exports, against a scratch
// policy root: the state table, persistence through Registry.pol, the effective
// policy with the domain's layer, and the failures.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "platform/posix/posix_file_io.h"
#include "platform/registry.h"
#include "policy/policy_registry.h"
#include "policy/policy_store_fixture.h"

using namespace kestrune;
using namespace kestrune::test;
using platform::kRealPosixIo;
using platform::posix_io;

namespace {

const std::string kBanner = "I KestruneCtl QVX_KESTRUNE_Initialize #: ENABLE LOG INFO\r\n"
                            "E KestruneCtl QVX_KESTRUNE_Initialize #: ENABLE LOG ERROR\r\n";
const std::string kNotHeld = "Internal error! pGPO null\n";

uint32_t set_value(const char *key, uint32_t value)
{
    return set_group_policy_key_value(key, "v", GP_OP_SET_VALUE, platform::kRegDword, &value, 4);
}

// Runs `body` in a child with an alarm, so that a hang fails the test instead of
// stalling it; the child's exit status, or 128 + the signal.
template <typename Body>
int in_child(Body body)
{
    const pid_t child = fork();
    if (child == 0) {
        alarm(10);
        _exit(body());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class Lifecycle : public PolicyStoreTest {
protected:
    void TearDown() override
    {
        posix_io = kRealPosixIo;
        logged([] { QVX_KESTRUNE_Uninitialize(); }); // released for the next test, whatever happened
    }
};

TEST_F(Lifecycle, StateTable)
{
    StdoutCapture out;
    EXPECT_EQ(QVX_KESTRUNE_Apply(), QVX_KESTRUNE_RESULT_INTERNAL_ERROR);
    EXPECT_EQ(QVX_KESTRUNE_Uninitialize(), QVX_KESTRUNE_RESULT_INTERNAL_ERROR);
    ASSERT_EQ(QVX_KESTRUNE_Initialize(), QVX_KESTRUNE_RESULT_SUCCESS);
    set_value("Software\\A", 7);
    EXPECT_EQ(QVX_KESTRUNE_Initialize(), QVX_KESTRUNE_RESULT_INTERNAL_ERROR);
    EXPECT_EQ(QVX_KESTRUNE_Apply(), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(records_of(root_.registry_pol()), std::vector{dword(u"Software\\A", u"v", 7)})
        << "the second Initialize kept the held object";
    EXPECT_EQ(QVX_KESTRUNE_Uninitialize(), QVX_KESTRUNE_RESULT_SUCCESS);
    EXPECT_EQ(QVX_KESTRUNE_Uninitialize(), QVX_KESTRUNE_RESULT_INTERNAL_ERROR);
    EXPECT_EQ(without_line_numbers(out.text()),
              "E KestruneCtl QVX_KESTRUNE_Apply #: " + kNotHeld + "E KestruneCtl QVX_KESTRUNE_Uninitialize #: " +
                  kNotHeld + kBanner + kBanner + "E KestruneCtl QVX_KESTRUNE_Initialize #: Internal error! pGPO already init\n" +
                  "I KestruneCtl QVX_KESTRUNE_Apply #: RefreshPolicy done\n" +
                  "E KestruneCtl QVX_KESTRUNE_Uninitialize #: " + kNotHeld);
}

// Every Apply saves and raises the version; what was not applied is gone with
// the object, what was is found by the next one.
TEST_F(Lifecycle, PolicyPersistsAcrossObjectsAndUnsavedChangesAreDropped)
{
    open();
    set_value("Software\\Kept", 1);
    apply();
    EXPECT_NE(read_file(root_.gpt_ini()).find("\nVersion=1\r\n"), std::string::npos);
    set_value("Software\\Dropped", 1);
    close();
    open();
    EXPECT_EQ(apply(), std::vector{dword(u"Software\\Kept", u"v", 1)});
    EXPECT_NE(read_file(root_.gpt_ini()).find("\nVersion=2\r\n"), std::string::npos);
}

// Initialize's lines when the policy object cannot be opened: the backend's
// reason, then the export's own failure.
std::string refused_lines(const std::string &why, const std::string &failure)
{
    return kBanner + "I KestruneCtl gpo_open_local_machine #: " + why + "\r\n" +
           "E KestruneCtl QVX_KESTRUNE_Initialize #: " + failure + "\n";
}
const std::string kInvalidFile = "Failed OpenLocalMachineGPO. Error code = 0x8007000d";
const std::string kNotAdministrator = "Failed run OpenLocalMachineGPO, are you Administrator?";

TEST_F(Lifecycle, CorruptPolicyFilesAreRefusedUntouchedAndInitializeRecovers)
{
    const std::string broken("PReg\x01\x00\x00\x00[broken", 14);
    write_file(root_.registry_pol(), broken);
    {
        StdoutCapture out;
        EXPECT_EQ(QVX_KESTRUNE_Initialize(), QVX_KESTRUNE_RESULT_FAILED);
        EXPECT_EQ(QVX_KESTRUNE_Apply(), QVX_KESTRUNE_RESULT_INTERNAL_ERROR);
        EXPECT_EQ(without_line_numbers(out.text()),
                  refused_lines(root_.registry_pol() + " is not a valid policy file", kInvalidFile) +
                      "E KestruneCtl QVX_KESTRUNE_Apply #: " + kNotHeld);
    }
    EXPECT_TRUE(read_file(root_.registry_pol()) == broken);

    // Not a regular file: refused at once, where a FIFO would block a plain open.
    std::filesystem::remove(root_.registry_pol());
    ASSERT_EQ(mkfifo(root_.registry_pol().c_str(), 0600), 0);
    EXPECT_EQ(in_child([&] {
                  StdoutCapture out;
                  const int result = QVX_KESTRUNE_Initialize();
                  const bool lines = without_line_numbers(out.text()) ==
                                     refused_lines(root_.registry_pol() + " is not a regular file", kInvalidFile);
                  return lines ? result : 100;
              }),
              QVX_KESTRUNE_RESULT_FAILED);

    // The failed attempt left nothing held behind: once the file is mended, the
    // same process initialises.
    std::filesystem::remove(root_.registry_pol());
    write_file(root_.registry_pol(), std::string("PReg\x01\x00\x00\x00", 8));
    StdoutCapture quiet;
    EXPECT_EQ(QVX_KESTRUNE_Initialize(), QVX_KESTRUNE_RESULT_SUCCESS);
}

TEST_F(Lifecycle, TheTemporaryFileOfAKilledSaveIsRemovedByTheNextOpen)
{
    open();
    const std::vector<PolRecord> saved = apply();
    close();
    // Killed between writing its temporary file and the rename.
    EXPECT_EQ(in_child([&] {
                  StdoutCapture quiet;
                  QVX_KESTRUNE_Initialize();
                  set_value("K", 1);
                  posix_io.rename = [](const char *, const char *) { return raise(SIGKILL); };
                  return QVX_KESTRUNE_Apply();
              }),
              128 + SIGKILL);
    const auto files = [&] {
        const std::filesystem::recursive_directory_iterator all(root_.path());
        return std::count_if(begin(all), end(all), [](const auto &entry) { return entry.is_regular_file(); });
    };
    EXPECT_EQ(files(), 4) << "gpt.ini, Registry.pol, Machine.pol and the temporary file";
    open();
    EXPECT_EQ(files(), 3);
    EXPECT_EQ(records_of(root_.registry_pol()), saved);
}

int gRenames = 0, gFailFromRename = 0;
int failing_rename(const char *from, const char *to)
{
    return ++gRenames >= gFailFromRename ? (errno = EIO, -1) : kRealPosixIo.rename(from, to);
}

TEST_F(Lifecycle, SaveAndRefreshFailuresAreReported)
{
    open();
    const std::vector<PolRecord> before = apply();
    set_value("K", 1);
    StdoutCapture out;
    posix_io.rename = failing_rename;
    gRenames = 0;
    gFailFromRename = 1; // the policy file itself
    EXPECT_EQ(QVX_KESTRUNE_Apply(), QVX_KESTRUNE_RESULT_FAILED);
    EXPECT_EQ(records_of(root_.registry_pol()), before);
    gRenames = 0;
    gFailFromRename = 3; // after the policy file and gpt.ini: the effective policy
    EXPECT_EQ(QVX_KESTRUNE_Apply(), QVX_KESTRUNE_RESULT_FAILED);
    posix_io = kRealPosixIo;
    EXPECT_EQ(records_of(root_.registry_pol()).size(), 1u);

    // Each failure names the call, its path and its errno in one line before the
    // export's own.
    EXPECT_EQ(without_line_numbers(out.text()),
              "I KestruneCtl gpo_save #: rename " + root_.registry_pol() +
                  " failed, errno=5 (Input/output error)\r\n"
                  "E KestruneCtl QVX_KESTRUNE_Apply #: Failed save. Error code = 0x80004005\n"
                  "I KestruneCtl refresh_policy #: rename " +
                  root_.machine_pol() +
                  " failed, errno=5 (Input/output error)\r\n"
                  "E KestruneCtl QVX_KESTRUNE_Apply #: Failed apply configs!\n");
    EXPECT_EQ(apply().size(), 1u);
}

constexpr uid_t kNobody = 65534;

// Initialize in a child as `uid`; its result, or 101 when its lines were not those
// of a refusal as not Administrator after `why`.
int initialize_as(uid_t uid, const std::string &root, const std::string &why)
{
    return in_child([&] {
        if (uid != geteuid() && (setgid(uid) != 0 || setuid(uid) != 0))
            return 100;
        setenv("KESTRUNE_ROOT", root.c_str(), 1);
        StdoutCapture out;
        const int result = QVX_KESTRUNE_Initialize();
        return without_line_numbers(out.text()) == refused_lines(why, kNotAdministrator) ? result : 101;
    });
}

// Anyone who could change the policy folders would control the machine's policy.
TEST_F(Lifecycle, FoldersOfOthersAndUnprivilegedCallersAreRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to give folders to another user and to drop to one";
    open();
    const std::vector<PolRecord> saved = apply();
    close();
    const struct {
        std::string folder;
        uid_t owner;
        mode_t mode;
        std::string reason;
    } cases[] = {
        {root_.path(), kNobody, 0700, "owned by uid 65534, not by the caller (uid 0)"},
        {root_.path(), 0, 0770, "writable by group or others (mode 0770)"},
        {root_ / "GroupPolicy", 0, 0703, "writable by group or others (mode 0703)"},
        {root_ / "GroupPolicy/Machine", kNobody, 0700, "owned by uid 65534, not by the caller (uid 0)"},
        {root_ / "Policies", 0, 01777, "writable by group or others (mode 1777)"},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(chown(c.folder.c_str(), c.owner, 0), 0);
        ASSERT_EQ(chmod(c.folder.c_str(), c.mode), 0);
        EXPECT_EQ(initialize_as(0, root_.path(), "policy folder " + c.folder + " refused: " + c.reason),
                  QVX_KESTRUNE_RESULT_ACCESS_DENIED)
            << c.folder;
        ASSERT_EQ(chown(c.folder.c_str(), 0, 0), 0);
        ASSERT_EQ(chmod(c.folder.c_str(), 0700), 0);
    }
    EXPECT_EQ(records_of(root_.registry_pol()), saved);

    // An unprivileged caller: a root it may not create, one that is not its own.
    ASSERT_EQ(chmod(root_.path().c_str(), 0755), 0);
    EXPECT_EQ(initialize_as(kNobody, root_ / "new-root",
                            "mkdir " + root_ / "new-root" + " failed, errno=13 (Permission denied)"),
              QVX_KESTRUNE_RESULT_ACCESS_DENIED);
    EXPECT_EQ(initialize_as(kNobody, root_.path(),
                            "policy folder " + root_.path() + " refused: owned by uid 0, not by the caller (uid 65534)"),
              QVX_KESTRUNE_RESULT_ACCESS_DENIED);
}

const std::u16string kStorage = u"Software\\Policies\\Microsoft\\Windows\\RemovableStorageDevices\\";
const std::u16string kCdrom = kStorage + u"{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
const std::u16string kUdisk = kStorage + u"{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";

// The saved file keeps directives as values; the effective policy applies them,
// then Policies/Domain.pol over them. The object neither reads nor writes the
// domain's file: the get operations answer from the local section.
TEST_F(Lifecycle, TheEffectivePolicyLayersTheDomainOverTheLocalSection)
{
    const std::vector<PolRecord> local = {sz(u"L", u"old", u"o"), sz(u"L", u"**delvals.", u" "), sz(u"L", u"1", u"A"),
                                          dword(kCdrom, u"Deny_Write", 1)};
    seed(local);
    const std::string domainPol = root_ / "Policies/Domain.pol";
    const std::vector<uint8_t> domain = platform::serialize_registry_pol({dword(kUdisk, u"Deny_Read", 1)});
    write_file(domainPol, std::string(domain.begin(), domain.end()));
    open();
    EXPECT_EQ(apply(), local);
    EXPECT_EQ(read_file(domainPol), std::string(domain.begin(), domain.end()));
    EXPECT_EQ(effective(), (std::vector{sz(u"L", u"1", u"A"), dword(kCdrom, u"Deny_Write", 1),
                                        dword(kUdisk, u"Deny_Read", 1)}));
    int udisk = -1;
    logged([&] { udisk = QVX_KESTRUNE_get_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_UDISK); });
    EXPECT_EQ(udisk, QVX_KESTRUNE_STORAGE_PERM_UNKNOWN);

    // An empty domain file is no domain policy; one that does not parse fails the
    // refresh and leaves the last effective policy in place.
    write_file(domainPol, "");
    EXPECT_EQ(apply(), local);
    const std::vector<PolRecord> localOnly = {sz(u"L", u"1", u"A"), dword(kCdrom, u"Deny_Write", 1)};
    EXPECT_EQ(effective(), localOnly);
    for (const std::string &corrupt : {std::string("PReg\1\0\0\0[", 9), std::string("not a policy file")}) {
        write_file(domainPol, corrupt);
        int result = -1;
        EXPECT_NE(logged([&] { result = QVX_KESTRUNE_Apply(); }).find("Failed apply configs!"), std::string::npos);
        EXPECT_EQ(result, QVX_KESTRUNE_RESULT_FAILED);
        EXPECT_EQ(effective(), localOnly);
    }
}

} // namespace
