#include "platform/linux/enforce/device_io.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/enforce/sysfs_reader.h"

namespace kestrune::platform {

namespace {

int sys_open(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int sys_ioctl(int fd, unsigned long request, int *argument) { return ::ioctl(fd, request, argument); }

IoFailure failure(std::string call, const std::string &subject)
{
    int error = errno;
    return {std::move(call) + "(" + subject + ")", error};
}

} // namespace

const DeviceIo kRealDeviceIo = {sys_open, ::write, ::close, sys_ioctl, ::mount, ::fchmod, ::fchown};
DeviceIo device_io = kRealDeviceIo;

std::string IoFailure::text() const
{
    return call + ": errno " + std::to_string(error) + " (" + std::strerror(error) + ")";
}

IoFailure write_attribute(const std::string &path, std::string_view value)
{
    int fd = device_io.open(path.c_str(), O_WRONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return failure("open", path);
    ssize_t n = device_io.write(fd, value.data(), value.size());
    IoFailure result;
    if (n < 0)
        result = failure("write", path);
    else if (static_cast<size_t>(n) != value.size())
        result = {"write(" + path + ")", EIO};
    if (device_io.close(fd) != 0 && !result)
        result = failure("close", path);
    return result;
}

IoFailure open_device_node(dev_t device, bool block, int &fd)
{
    fd = -1;
    for (const std::string &name : sysfs::entries("/dev")) {
        std::string path = "/dev/" + name;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || (block ? !S_ISBLK(st.st_mode) : !S_ISCHR(st.st_mode)) ||
            st.st_rdev != device)
            continue;
        fd = device_io.open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW, 0);
        if (fd < 0)
            return failure("open", path);
        if (::fstat(fd, &st) == 0 && st.st_rdev == device && (block ? S_ISBLK(st.st_mode) : S_ISCHR(st.st_mode)))
            return {};
        device_io.close(fd);
        fd = -1;
    }
    errno = ENODEV;
    return failure("open", "/dev node " + std::to_string(major(device)) + ":" + std::to_string(minor(device)));
}

IoFailure block_read_only(dev_t device, bool &readOnly)
{
    int fd;
    if (IoFailure failed = open_device_node(device, true, fd))
        return failed;
    int value = 0;
    IoFailure result;
    if (device_io.ioctl(fd, BLKROGET, &value) != 0)
        result = failure("ioctl BLKROGET", std::to_string(major(device)) + ":" + std::to_string(minor(device)));
    device_io.close(fd);
    readOnly = value != 0;
    return result;
}

IoFailure set_block_read_only(dev_t device, bool readOnly)
{
    int fd;
    if (IoFailure failed = open_device_node(device, true, fd))
        return failed;
    int value = readOnly ? 1 : 0;
    IoFailure result;
    if (device_io.ioctl(fd, BLKROSET, &value) != 0)
        result = failure("ioctl BLKROSET", std::to_string(major(device)) + ":" + std::to_string(minor(device)));
    device_io.close(fd);
    return result;
}

IoFailure remount(const std::string &mountPoint, bool readOnly)
{
    struct statvfs st;
    if (::statvfs(mountPoint.c_str(), &st) != 0)
        return failure("statvfs", mountPoint);
    static constexpr std::pair<unsigned long, unsigned long> kKept[] = {
        {ST_NOSUID, MS_NOSUID},       {ST_NODEV, MS_NODEV},         {ST_NOEXEC, MS_NOEXEC},
        {ST_SYNCHRONOUS, MS_SYNCHRONOUS}, {ST_NOATIME, MS_NOATIME}, {ST_NODIRATIME, MS_NODIRATIME},
        {ST_RELATIME, MS_RELATIME}};
    unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0);
    for (auto [kept, flag] : kKept)
        if ((st.f_flag & kept) != 0)
            flags |= flag;
    if (device_io.mount(nullptr, mountPoint.c_str(), nullptr, flags, nullptr) != 0)
        return failure(readOnly ? "mount MS_REMOUNT|MS_RDONLY" : "mount MS_REMOUNT", mountPoint);
    return {};
}

} // namespace kestrune::platform
