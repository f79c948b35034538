// Real effects, in this test's own namespaces: a loop device that it attaches
// itself, presented as a removable USB disk in the fake tree, becomes read-only
// at Apply (its mounted filesystem too) and writable again after READ_WRITE; a
// busy filesystem is reported, never forced; a real veth is no card.
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "enforce_harness.h"
#include "kestrune.h"

using namespace kestrune::test;
namespace fs = std::filesystem;

namespace {

constexpr int kStorage = QVX_KESTRUNE_DEVICE_TYPE_STORAGE, kUdisk = QVX_KESTRUNE_STORAGE_DEVID_UDISK;
const Permit kReadOnlyDisks{kStorage, kUdisk, QVX_KESTRUNE_STORAGE_PERM_READ_ONLY};
const std::string kStick = usb("1-5:1.0") + "/host0/target0:0:0/0:0:0:0/block/sdb";

// A loop device over an ext4 image in the build directory, mounted read-write;
// its node made in the test's /dev. Everything is undone in the destructor,
// whatever happened in between.
class MountedLoop {
public:
    MountedLoop()
    {
        char image[] = KESTRUNE_TEST_DIR "/loop-XXXXXX", dir[] = KESTRUNE_TEST_DIR "/mnt-XXXXXX";
        const int imageFd = mkstemp(image);
        if (imageFd < 0 || mkdtemp(dir) == nullptr)
            return;
        image_ = image;
        mountPoint_ = dir;
        const int control = openat(machine_dev(), "loop-control", O_RDWR | O_CLOEXEC);
        const int number = ioctl(control, LOOP_CTL_GET_FREE);
        close(control);
        const std::string name = "loop" + std::to_string(number);
        node_ = "/dev/" + name;
        loopFd_ = openat(machine_dev(), name.c_str(), O_RDWR | O_CLOEXEC);
        struct stat st{};
        bool ready = ftruncate(imageFd, 8 << 20) == 0 && shell("/sbin/mkfs.ext4 -q -F " + image_) == 0 &&
                     fstat(loopFd_, &st) == 0 && mknod(node_.c_str(), S_IFBLK | 0600, st.st_rdev) == 0;
        device_ = st.st_rdev;
        attached_ = ready && ioctl(loopFd_, LOOP_SET_FD, imageFd) == 0;
        close(imageFd);
        // Should this process die before its destructor runs, the device lets go
        // of the image by itself once nothing holds it.
        loop_info64 info{};
        info.lo_flags = LO_FLAGS_AUTOCLEAR;
        mounted_ = attached_ && ioctl(loopFd_, LOOP_SET_STATUS64, &info) == 0 &&
                   mount(node_.c_str(), dir, "ext4", 0, nullptr) == 0;
    }

    ~MountedLoop()
    {
        if (mounted_)
            umount2(mountPoint_.c_str(), MNT_DETACH);
        if (attached_) {
            int writable = 0;
            ioctl(loopFd_, BLKROSET, &writable); // the next user of this loop device gets it writable
            ioctl(loopFd_, LOOP_CLR_FD, 0);
        }
        if (loopFd_ >= 0)
            close(loopFd_);
        std::error_code ignored;
        for (const std::string &path : {mountPoint_, image_, node_})
            if (!path.empty())
                fs::remove(path, ignored);
    }

    bool ready() const { return mounted_; }
    std::string dev() const { return std::to_string(major(device_)) + ":" + std::to_string(minor(device_)); }
    const std::string &mount_point() const { return mountPoint_; }

    bool device_read_only() const
    {
        int readOnly = -1;
        ioctl(loopFd_, BLKROGET, &readOnly);
        return readOnly == 1;
    }
    // errno of creating a file on the filesystem; 0 when that works.
    int create_file(const char *name) const
    {
        const int fd = open((mountPoint_ + "/" + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0)
            return errno;
        close(fd);
        return 0;
    }

private:
    std::string image_, node_, mountPoint_;
    int loopFd_ = -1;
    dev_t device_ = 0;
    bool attached_ = false, mounted_ = false;
};

class RealEffects : public EnforcementTest {
protected:
    void SetUp() override
    {
        EnforcementTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        loop_ = std::make_unique<MountedLoop>();
        ASSERT_TRUE(loop_->ready()) << "cannot attach and mount a loop device";
        build_sysfs(hardware("host-controller") + usb_stick(loop_->dev()));
    }
    std::unique_ptr<MountedLoop> loop_;
};

TEST_F(RealEffects, ALoopDiskBecomesReadOnlyAndWritableAgain)
{
    Applied denied = apply({kReadOnlyDisks}, "1");
    EXPECT_EQ(denied.result, 0) << denied.log;
    EXPECT_TRUE(loop_->device_read_only());
    EXPECT_EQ(loop_->create_file("after-deny"), EROFS);
    const std::string readOnly = line("read-only", "udisk", kStick);
    EXPECT_EQ(denied.lines, ReportLines{readOnly}) << denied.log;
    EXPECT_NE(denied.details[readOnly].find("remounted read-only: " + loop_->mount_point()), std::string::npos)
        << denied.details[readOnly];

    Applied allowed = apply({{kStorage, kUdisk, QVX_KESTRUNE_STORAGE_PERM_READ_WRITE}}, "1");
    EXPECT_EQ(allowed.result, 0) << allowed.log;
    EXPECT_EQ(allowed.lines, ReportLines{line("restored", "udisk", kStick)});
    EXPECT_FALSE(loop_->device_read_only());
    EXPECT_EQ(loop_->create_file("after-allow"), 0);
}

TEST_F(RealEffects, ABusyFilesystemIsReportedNotForced)
{
    const int busy = open((loop_->mount_point() + "/busy").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(busy, 0);
    Applied applied = apply({kReadOnlyDisks}, "1");
    close(busy);
    EXPECT_EQ(applied.result, QVX_KESTRUNE_RESULT_FAILED);
    EXPECT_EQ(applied.details[line("failed", "udisk", kStick)],
              "mount MS_REMOUNT|MS_RDONLY(" + loop_->mount_point() + "): errno 16 (Device or resource busy)");
    EXPECT_FALSE(loop_->device_read_only());
    EXPECT_EQ(loop_->create_file("still-writable"), 0);
}

// A veth of the test's own network, shown in the fake tree through a real sysfs
// of that network: a deny of cards reports it as no card.
TEST_F(EnforcementTest, ARealVethIsNoCard)
{
    const std::string realSys = "/run/kestrune-test/realsys", veth = sys("virtual/net/kveth0");
    struct Undo {
        std::string veth, realSys;
        ~Undo()
        {
            umount2(veth.c_str(), MNT_DETACH);
            umount2(realSys.c_str(), MNT_DETACH);
            shell("ip link del kveth0");
        }
    } undo{veth, realSys};
    build_sysfs(hardware("host-controller"));
    ASSERT_EQ(shell("ip link add kveth0 type veth peer name kveth1"), 0);
    fs::create_directories(realSys);
    ASSERT_EQ(mount("sysfs", realSys.c_str(), "sysfs", 0, nullptr), 0);
    fs::create_directories(veth);
    ASSERT_EQ(mount((realSys + "/devices/virtual/net/kveth0").c_str(), veth.c_str(), nullptr, MS_BIND, nullptr), 0);
    fs::create_directories("/sys/class/net");
    fs::create_directory_symlink("../../devices/virtual/net/kveth0", "/sys/class/net/kveth0");

    Applied applied = apply({{QVX_KESTRUNE_DEVICE_TYPE_NET, QVX_KESTRUNE_NET_DEVID_ETH_CARD, QVX_KESTRUNE_NET_PERM_DENY}}, "1");
    EXPECT_EQ(applied.result, 0) << applied.log;
    EXPECT_EQ(applied.lines, ReportLines{line("not-enforceable", "eth", "kveth0")}) << applied.report;
}

} // namespace
