// The thin layer through which enforcement acts on devices. Every call that
// changes a device goes through `device_io`, so that a test can make one fail
// and check that the failure is reported, never passed over.
#ifndef KESTRUNE_PLATFORM_LINUX_ENFORCE_DEVICE_IO_H
#define KESTRUNE_PLATFORM_LINUX_ENFORCE_DEVICE_IO_H

#include <sys/types.h>

#include <string>
#include <string_view>

namespace kestrune::platform {

struct DeviceIo {
    int (*open)(const char *path, int flags, mode_t mode);
    ssize_t (*write)(int fd, const void *buffer, size_t count);
    int (*close)(int fd);
    int (*ioctl)(int fd, unsigned long request, int *argument);
    int (*mount)(const char *source, const char *target, const char *type, unsigned long flags, const void *data);
    int (*fchmod)(int fd, mode_t mode);
    int (*fchown)(int fd, uid_t owner, gid_t group);
};

// The calls in use; tests may replace entries and must restore them.
extern DeviceIo device_io;
extern const DeviceIo kRealDeviceIo;

// A failed call: its name and what it acted on, with errno. call is empty on success.
struct IoFailure {
    std::string call;
    int error = 0;
    explicit operator bool() const { return !call.empty(); }
    std::string text() const; // "write(/sys/.../authorized): errno 5 (Input/output error)"
};

IoFailure write_attribute(const std::string &path, std::string_view value);

// Opens the device node with number `device` (a block node, or a character node
// when `block` is false) for control: the node is found in /dev by its number and
// checked again once open, so a stale or wrong name is never acted on.
IoFailure open_device_node(dev_t device, bool block, int &fd);

// BLKROGET / BLKROSET through a node opened by number.
IoFailure block_read_only(dev_t device, bool &readOnly);
IoFailure set_block_read_only(dev_t device, bool readOnly);

// Remounts the filesystem at `mountPoint` read-only or read-write, keeping its
// other mount flags.
IoFailure remount(const std::string &mountPoint, bool readOnly);

} // namespace kestrune::platform

#endif
