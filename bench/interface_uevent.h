// The network interfaces' uevents among those a benchmark's own uevent socket
// reads (uevent_socket.h).
#ifndef KESTRUNE_BENCH_INTERFACE_UEVENT_H
#define KESTRUNE_BENCH_INTERFACE_UEVENT_H

#include <string>

namespace kestrune::test {

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
