// For a child in fresh network and mount namespaces: a sysfs of its own, which
// shows the devices of its network namespace.
#ifndef KESTRUNE_TESTS_PRIVATE_SYSFS_H
#define KESTRUNE_TESTS_PRIVATE_SYSFS_H

#include <sys/mount.h>

namespace kestrune::test {

// Makes the mounts private first, so that nothing mounted here propagates back to
// the parent namespace (inside a chroot, where "/" is no mount point, /sys alone);
// where neither can be, nothing is mounted. Safe between fork and exec.
inline bool mount_private_sysfs()
{
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 &&
        mount(nullptr, "/sys", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    return mount("sysfs", "/sys", "sysfs", 0, nullptr) == 0;
}

} // namespace kestrune::test

#endif
