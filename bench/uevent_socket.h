// A kernel uevent socket of a benchmark's own: the reference for what the kernel
// sent, read beside the library's.
#ifndef KESTRUNE_BENCH_UEVENT_SOCKET_H
#define KESTRUNE_BENCH_UEVENT_SOCKET_H

#include <linux/netlink.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "support/private_sysfs.h"

namespace kestrune::test {

// Bound to the kernel's group; with a buffer forced to `bufferBytes` and a receive
// timeout when they are given. -1 when the machine refuses any of it.
inline int open_uevent_socket(int bufferBytes = 0, timeval timeout = {0, 0})
{
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1;
    const bool ready = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                       ((timeout.tv_sec == 0 && timeout.tv_usec == 0) ||
                        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0) &&
                       (bufferBytes == 0 ||
                        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bufferBytes, sizeof bufferBytes) == 0);
    if (!ready && fd >= 0)
        close(fd);
    return ready ? fd : -1;
}

// Takes the calling process, still single-threaded, into network and mount
// namespaces of its own with a private sysfs, and opens the reference socket
// there with a 100 ms receive timeout. Null with `*fd` set, or what failed.
inline const char *enter_device_lab(int bufferBytes, int *fd)
{
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
        return "cannot create a network and mount namespace (run as root, single-threaded)";
    if (!mount_private_sysfs())
        return "cannot mount sysfs in the new namespace";
    *fd = open_uevent_socket(bufferBytes, timeval{0, 100000});
    return *fd < 0 ? "cannot open a kernel uevent socket with that buffer" : nullptr;
}

} // namespace kestrune::test

#endif
