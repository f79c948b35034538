// What the lock-out guard and the read-only action need to know about the
// running system, from /proc and /run of the calling process's namespaces:
// mounts, swap, the default route, remote shell sessions, consoles and logins.
// The parsers take the files' text; only swap_devices looks further (it stats
// the swap areas it names).
#ifndef KESTRUNE_PLATFORM_LINUX_ENFORCE_SYSTEM_FACTS_H
#define KESTRUNE_PLATFORM_LINUX_ENFORCE_SYSTEM_FACTS_H

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::platform {

struct MountEntry {
    dev_t device = 0;
    std::string mountPoint; // unescaped
    bool readWrite = false; // the filesystem (superblock) is writable
};

struct SystemFacts {
    std::vector<MountEntry> mounts;
    // Block devices that hold /, /usr, /boot, /var or swap, with what they hold.
    std::map<dev_t, std::string> essential;
    std::set<std::string> routeInterfaces;   // carry a default route
    std::set<std::string> sessionInterfaces; // carry a live remote shell session
    std::set<std::string> consoles;          // tty names from /proc/consoles
    std::set<std::string> logins;            // tty names with a login on them
};

SystemFacts read_system_facts();

std::vector<MountEntry> parse_mountinfo(std::string_view text);
// Device numbers of the swap areas: a partition's own, a swap file's filesystem.
std::vector<dev_t> swap_devices(std::string_view procSwaps);
std::set<std::string> parse_default_routes(std::string_view ipv4, std::string_view ipv6);
std::set<std::string> parse_consoles(std::string_view text);

// A socket address of /proc/net/tcp or tcp6: family and raw bytes in network order.
struct LocalAddress {
    int family = 0;
    uint8_t bytes[16] = {};
};
// Local addresses of established TCP connections to local port `port`.
std::vector<LocalAddress> parse_tcp_sessions(std::string_view text, int family, unsigned port);

} // namespace kestrune::platform

#endif
