// A kernel uevent socket of a test's or benchmark's own: the reference for what
// the kernel sent, read beside the library's.
#ifndef KESTRUNE_TESTS_UEVENT_SOCKET_H
#define KESTRUNE_TESTS_UEVENT_SOCKET_H

#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

namespace kestrune::test {

// Bound to the kernel's group; with a buffer forced to `bufferBytes` and a receive
// timeout when they are given. -1 when the machine refuses any of it.
inline int open_uevent_socket(int bufferBytes = 0, timeval timeout = {0, 0})
{
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1;
    bool ready = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                 ((timeout.tv_sec == 0 && timeout.tv_usec == 0) ||
                  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0) &&
                 (bufferBytes == 0 || setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bufferBytes, sizeof bufferBytes) == 0);
    if (!ready && fd >= 0)
        close(fd);
    return ready ? fd : -1;
}

// The action and the name of a network interface's uevent ("add@/devices/virtual/
// net/veth0"); false for the uevents of anything else.
inline bool interface_uevent(const char *datagram, std::string &action, std::string &name)
{
    std::string header(datagram);
    size_t at = header.find('@');
    size_t net = header.find("/net/");
    if (at == std::string::npos || net == std::string::npos || header.find('/', net + 5) != std::string::npos)
        return false;
    action = header.substr(0, at);
    name = header.substr(net + 5);
    return true;
}

} // namespace kestrune::test

#endif
