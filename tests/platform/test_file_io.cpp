// Atomic replacement of the policy files: whichever system call fails, and
// wherever the process dies, the file is the old one or the new one.
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/posix/posix_file_io.h"
#include "support/scratch_dir.h"

using namespace kestrune::platform;
using kestrune::test::read_file;
using kestrune::test::ScratchDir;
using kestrune::test::write_file;

namespace {

// Counts the calls through posix_io and acts on the Nth one.
enum class Fault { Fail, Die, ShortWrite };
int gCalls = 0;
int gTarget = 0;
Fault gFault = Fault::Fail;

bool hit()
{
    if (++gCalls != gTarget)
        return false;
    if (gFault == Fault::Die)
        _exit(0);
    return gFault == Fault::Fail;
}

int f_open(const char *p, int f, mode_t m) { return hit() ? (errno = EIO, -1) : kRealPosixIo.open(p, f, m); }
ssize_t f_read(int fd, void *b, size_t n) { return hit() ? (errno = EIO, -1) : kRealPosixIo.read(fd, b, n); }
ssize_t f_write(int fd, const void *b, size_t n)
{
    bool failed = hit();
    if (failed)
        return errno = ENOSPC, -1;
    if (gCalls == gTarget && gFault == Fault::ShortWrite && n > 1)
        n /= 2;
    return kRealPosixIo.write(fd, b, n);
}
int f_fsync(int fd) { return hit() ? (errno = EIO, -1) : kRealPosixIo.fsync(fd); }
int f_close(int fd)
{
    if (hit()) {
        kRealPosixIo.close(fd);
        return errno = EIO, -1;
    }
    return kRealPosixIo.close(fd);
}
int f_rename(const char *a, const char *b) { return hit() ? (errno = EIO, -1) : kRealPosixIo.rename(a, b); }
int f_unlink(const char *p) { return hit() ? (errno = EIO, -1) : kRealPosixIo.unlink(p); }
int f_mkdir(const char *p, mode_t m) { return hit() ? (errno = EACCES, -1) : kRealPosixIo.mkdir(p, m); }
int f_access(const char *p, int m) { return hit() ? (errno = EACCES, -1) : kRealPosixIo.access(p, m); }

class FaultyIo {
public:
    FaultyIo(int target, Fault fault)
    {
        gCalls = 0;
        gTarget = target;
        gFault = fault;
        posix_io = {f_open, f_read, f_write, f_fsync, f_close, f_rename, f_unlink, f_mkdir, f_access};
    }
    ~FaultyIo() { posix_io = kRealPosixIo; }
    FaultyIo(const FaultyIo &) = delete;
    FaultyIo &operator=(const FaultyIo &) = delete;
};

std::vector<std::string> entries(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

const std::string kOld = "old policy bytes";
const std::vector<uint8_t> kNew(70000, 0x5A); // larger than one write of the reader's buffer

TEST(AtomicWrite, EveryFailingCallLeavesOldOrNewAndNoLitter)
{
    const std::string newText(kNew.begin(), kNew.end());
    int calls = 0;
    {
        ScratchDir dir;
        write_file(dir / "Registry.pol", kOld);
        FaultyIo counting(-1, Fault::Fail);
        ASSERT_EQ(write_file_atomically(dir / "Registry.pol", kNew), 0);
        calls = gCalls;
    }
    ASSERT_GE(calls, 6); // open, write, fsync, close, rename, directory open/fsync/close
    for (int target = 1; target <= calls; ++target) {
        ScratchDir dir;
        write_file(dir / "Registry.pol", kOld);
        int result;
        {
            FaultyIo faulty(target, Fault::Fail);
            result = write_file_atomically(dir / "Registry.pol", kNew);
        }
        std::string now = read_file(dir / "Registry.pol");
        EXPECT_NE(result, 0) << "call " << target;
        EXPECT_TRUE(now == kOld || now == newText) << "call " << target;
        EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"Registry.pol"}) << "call " << target;
    }
}

TEST(AtomicWrite, ShortWritesAreContinued)
{
    ScratchDir dir;
    FaultyIo shortWrite(2, Fault::ShortWrite);
    ASSERT_EQ(write_file_atomically(dir / "f", kNew), 0);
    EXPECT_EQ(read_file(dir / "f"), std::string(kNew.begin(), kNew.end()));
}

TEST(AtomicWrite, DyingAtAnyCallLeavesOldOrNew)
{
    const std::string newText(kNew.begin(), kNew.end());
    for (int target = 1; target <= 9; ++target) {
        ScratchDir dir;
        write_file(dir / "Registry.pol", kOld);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            FaultyIo dying(target, Fault::Die);
            write_file_atomically(dir / "Registry.pol", kNew);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        std::string now = read_file(dir / "Registry.pol");
        EXPECT_TRUE(now == kOld || now == newText) << "died at call " << target;
    }
}

TEST(AtomicWrite, NewFilesAreOwnerOnlyAndDirectoriesAreCreated)
{
    ScratchDir dir;
    ASSERT_EQ(make_directories(dir / "a/b/c"), 0);
    ASSERT_EQ(write_file_atomically(dir / "a/b/c/f", kNew), 0);
    struct stat info {};
    ASSERT_EQ(stat((dir / "a/b/c/f").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((dir / "a/b").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST(AtomicWrite, ReadingAMissingFileSaysSo)
{
    ScratchDir dir;
    std::vector<uint8_t> bytes{1};
    EXPECT_EQ(read_whole_file(dir / "none", bytes), ENOENT);
}

} // namespace
