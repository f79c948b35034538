// Atomic replacement of the policy files: whichever system call fails, the file
// is the old one or the new one, and what a dead writer left is swept.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "platform/posix/posix_file_io.h"
#include "support/scratch_dir.h"

using namespace kestrune::platform;
using kestrune::test::read_file;
using kestrune::test::ScratchDir;
using kestrune::test::write_file;

namespace {

// Counts the calls through posix_io and acts on the Nth one.
enum class Fault { Fail, ShortWrite };
int gCalls = 0, gTarget = 0;
Fault gFault = Fault::Fail;

bool hit()
{
    return ++gCalls == gTarget && gFault == Fault::Fail;
}

// Only the calls of an atomic write; the others pass through uncounted.
int f_open(const char *p, int f, mode_t m) { return hit() ? (errno = EIO, -1) : kRealPosixIo.open(p, f, m); }
ssize_t f_write(int fd, const void *b, size_t n)
{
    if (hit())
        return errno = ENOSPC, -1;
    return kRealPosixIo.write(fd, b, gCalls == gTarget && gFault == Fault::ShortWrite && n > 1 ? n / 2 : n);
}
int f_fsync(int fd) { return hit() ? (errno = EIO, -1) : kRealPosixIo.fsync(fd); }
int f_close(int fd) { return hit() ? (kRealPosixIo.close(fd), errno = EIO, -1) : kRealPosixIo.close(fd); }
int f_rename(const char *a, const char *b) { return hit() ? (errno = EIO, -1) : kRealPosixIo.rename(a, b); }

struct FaultyIo {
    FaultyIo(int target, Fault fault)
    {
        gCalls = 0;
        gTarget = target;
        gFault = fault;
        const PosixIo &real = kRealPosixIo;
        posix_io = {f_open,     real.read,   f_write,   f_fsync,    f_close,   f_rename, real.unlink,
                    real.mkdir, real.access, real.stat, real.fstat, real.kill, real.opendir};
    }
    ~FaultyIo() { posix_io = kRealPosixIo; }
};

std::vector<std::string> entries(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

const std::string kOld = "old policy bytes";
const std::vector<uint8_t> kNew(70000, 0x5A); // larger than one write of the reader's buffer
const std::string kNewText(kNew.begin(), kNew.end());

// A writer that dies at a call leaves what a failure there leaves before its
// clean-up: at most its temporary file, which the policy object's next open
// sweeps.
TEST(AtomicWrite, EveryFailingCallLeavesOldOrNewAndNoLitter)
{
    // Each failure names its call and the path it acted on, for the log line: the
    // temporary file, the policy file, then the directory ("").
    const std::pair<std::string, std::string> named[] = {
        {"open", "/Registry.pol.tmp-"}, {"write", "/Registry.pol.tmp-"}, {"fsync", "/Registry.pol.tmp-"},
        {"close", "/Registry.pol.tmp-"}, {"rename", "/Registry.pol"},    {"open", ""},
        {"fsync", ""},                   {"close", ""}};
    for (int target = 1; target <= 9; ++target) {
        ScratchDir dir;
        write_file(dir / "Registry.pol", kOld);
        IoResult result;
        {
            FaultyIo faulty(target, Fault::Fail);
            result = write_file_atomically(dir / "Registry.pol", kNew);
        }
        const std::string now = read_file(dir / "Registry.pol");
        EXPECT_TRUE(now == kOld || now == kNewText) << "call " << target;
        EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"Registry.pol"}) << "call " << target;
        if (target == 9) { // one more than there are calls
            EXPECT_FALSE(result.failed());
            continue;
        }
        const auto &[call, path] = named[target - 1];
        EXPECT_TRUE(result.failed()) << "call " << target;
        EXPECT_EQ(result.call, call) << "call " << target;
        EXPECT_TRUE(result.path.starts_with(dir.path() + path)) << result.path;
    }
    ScratchDir dir;
    FaultyIo shortWrite(2, Fault::ShortWrite);
    ASSERT_FALSE(write_file_atomically(dir / "f", kNew).failed());
    EXPECT_EQ(read_file(dir / "f"), kNewText) << "short writes are continued";
}

// Only "<file>.tmp-<pid>-<counter>" of a process that is gone is swept: not the
// files of live processes (this one included), nor names that only look alike.
TEST(AtomicWrite, OnlyTemporariesOfDeadWritersAreSwept)
{
    const pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
    const std::string gone = std::to_string(dead), self = std::to_string(getpid());
    ScratchDir dir;
    std::vector<std::string> kept = {"f", "f.tmp-1-3", "f.tmp-" + self + "-3", "f.tmp-" + gone + "-",
                                     "f.tmp-" + gone + "-3x", "f.tmp-" + gone + "3", "f.tmp-x" + gone + "-3",
                                     "f.tmpx" + gone + "-3", "g.tmp-" + gone + "-3", "f.tmp--" + gone + "-3"};
    for (const std::string &name : kept)
        write_file(dir / name, "x");
    write_file(dir / ("f.tmp-" + gone + "-3"), "x");
    EXPECT_FALSE(remove_stale_temporaries(dir / "f").failed());
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(entries(dir.path()), kept);
    EXPECT_FALSE(remove_stale_temporaries(dir / "absent/f").failed()) << "a missing folder holds no litter";
}

TEST(AtomicWrite, NewFilesAreOwnerOnlyAndDirectoriesAreCreated)
{
    ScratchDir dir;
    ASSERT_FALSE(make_directories(dir / "a/b/c").failed());
    ASSERT_FALSE(write_file_atomically(dir / "a/b/c/f", kNew).failed());
    struct stat info {};
    ASSERT_EQ(stat((dir / "a/b/c/f").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((dir / "a/b").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    write_file(dir / "file", "abc");
    EXPECT_EQ(make_directories(dir / "file/sub").call, std::string("mkdir"));
}

TEST(AtomicWrite, OnlyRegularFilesAreRead)
{
    ScratchDir dir;
    std::vector<uint8_t> bytes{1};
    EXPECT_EQ(read_whole_file(dir / "none", bytes).error, ENOENT);
    // A FIFO nobody writes would block a plain open for ever; a device may never end.
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", (dir / "zero").c_str()), 0);
    for (const char *name : {"fifo", "zero", "."}) {
        const IoResult result = read_whole_file(dir / name, bytes);
        EXPECT_EQ(result.error, kNotARegularFile) << name;
        EXPECT_EQ(result.path, dir / name);
    }
    write_file(dir / "file", "abc");
    ASSERT_EQ(symlink("file", (dir / "link").c_str()), 0);
    EXPECT_FALSE(read_whole_file(dir / "link", bytes).failed());
    EXPECT_EQ(bytes, (std::vector<uint8_t>{'a', 'b', 'c'}));
}

} // namespace
