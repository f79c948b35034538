#include "platform/linux/enforce/system_facts.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <utmpx.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/linux/enforce/text_fields.h"
#include "platform/posix/posix_file_io.h"

namespace kestrune::platform {

namespace {

constexpr unsigned kSshPort = 22;
constexpr unsigned long kRtfUp = 0x0001, kRtfReject = 0x0200;

std::vector<std::string_view> lines_of(std::string_view text)
{
    return split_text(text, '\n');
}

std::vector<std::string_view> fields_of(std::string_view line)
{
    std::vector<std::string_view> fields;
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
            ++at;
        size_t end = at;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t')
            ++end;
        if (end > at)
            fields.push_back(line.substr(at, end - at));
        at = end;
    }
    return fields;
}

unsigned long hex_of(std::string_view text)
{
    return std::strtoul(std::string(text).c_str(), nullptr, 16);
}

bool has_option(std::string_view options, std::string_view option)
{
    size_t at = 0;
    while (at <= options.size()) {
        size_t end = options.find(',', at);
        if (end == std::string_view::npos)
            end = options.size();
        if (options.substr(at, end - at) == option)
            return true;
        at = end + 1;
    }
    return false;
}

std::string read_text(const char *path)
{
    std::vector<uint8_t> bytes;
    read_whole_file(path, bytes);
    return std::string(bytes.begin(), bytes.end());
}

bool essential_mount_point(const std::string &point)
{
    return point == "/" || point == "/usr" || point == "/var" || point == "/boot" || point.starts_with("/boot/");
}

std::set<std::string> interfaces_of(const std::vector<LocalAddress> &addresses)
{
    std::set<std::string> names;
    ifaddrs *list = nullptr;
    if (addresses.empty() || ::getifaddrs(&list) != 0)
        return names;
    std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(list, &::freeifaddrs);
    for (const ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr)
            continue;
        const void *raw = nullptr;
        size_t size = 0;
        if (entry->ifa_addr->sa_family == AF_INET) {
            raw = &reinterpret_cast<const sockaddr_in *>(static_cast<const void *>(entry->ifa_addr))->sin_addr;
            size = 4;
        } else if (entry->ifa_addr->sa_family == AF_INET6) {
            raw = &reinterpret_cast<const sockaddr_in6 *>(static_cast<const void *>(entry->ifa_addr))->sin6_addr;
            size = 16;
        } else {
            continue;
        }
        for (const LocalAddress &address : addresses)
            if (address.family == entry->ifa_addr->sa_family && std::memcmp(address.bytes, raw, size) == 0)
                names.insert(entry->ifa_name);
    }
    return names;
}

std::set<std::string> login_ttys()
{
    std::set<std::string> ttys;
    std::vector<uint8_t> bytes;
    if (read_whole_file("/run/utmp", bytes).failed())
        return ttys;
    for (size_t at = 0; at + sizeof(utmpx) <= bytes.size(); at += sizeof(utmpx)) {
        utmpx record;
        std::memcpy(&record, bytes.data() + at, sizeof record);
        if (record.ut_type == USER_PROCESS)
            ttys.insert(std::string(record.ut_line, strnlen(record.ut_line, sizeof record.ut_line)));
    }
    return ttys;
}

} // namespace

std::vector<MountEntry> parse_mountinfo(std::string_view text)
{
    std::vector<MountEntry> mounts;
    for (std::string_view line : lines_of(text)) {
        std::vector<std::string_view> fields = fields_of(line);
        size_t separator = 6;
        while (separator < fields.size() && fields[separator] != "-")
            ++separator;
        if (fields.size() < 5 || separator + 3 >= fields.size())
            continue;
        unsigned major = 0, minor = 0;
        if (std::sscanf(std::string(fields[2]).c_str(), "%u:%u", &major, &minor) != 2)
            continue;
        mounts.push_back({makedev(major, minor), unescape_octal(fields[4]), has_option(fields[separator + 3], "rw")});
    }
    return mounts;
}

std::vector<dev_t> swap_devices(std::string_view procSwaps)
{
    std::vector<dev_t> devices;
    std::vector<std::string_view> lines = lines_of(procSwaps);
    for (size_t i = 1; i < lines.size(); ++i) {
        std::vector<std::string_view> fields = fields_of(lines[i]);
        struct stat st;
        if (fields.size() < 2 || ::stat(unescape_octal(fields[0]).c_str(), &st) != 0)
            continue;
        devices.push_back(fields[1] == "partition" ? st.st_rdev : st.st_dev);
    }
    return devices;
}

std::set<std::string> parse_default_routes(std::string_view ipv4, std::string_view ipv6)
{
    std::set<std::string> names;
    std::vector<std::string_view> lines = lines_of(ipv4);
    for (size_t i = 1; i < lines.size(); ++i) {
        std::vector<std::string_view> f = fields_of(lines[i]);
        if (f.size() >= 8 && hex_of(f[1]) == 0 && hex_of(f[7]) == 0 && (hex_of(f[3]) & kRtfUp) != 0 &&
            (hex_of(f[3]) & kRtfReject) == 0)
            names.insert(std::string(f[0]));
    }
    for (std::string_view line : lines_of(ipv6)) {
        std::vector<std::string_view> f = fields_of(line);
        if (f.size() >= 10 && f[0].find_first_not_of('0') == std::string_view::npos && hex_of(f[1]) == 0 &&
            (hex_of(f[8]) & kRtfUp) != 0 && (hex_of(f[8]) & kRtfReject) == 0 && f[9] != "lo")
            names.insert(std::string(f[9]));
    }
    return names;
}

std::set<std::string> parse_consoles(std::string_view text)
{
    std::set<std::string> names;
    for (std::string_view line : lines_of(text))
        if (std::vector<std::string_view> f = fields_of(line); !f.empty())
            names.insert(std::string(f[0]));
    return names;
}

std::vector<LocalAddress> parse_tcp_sessions(std::string_view text, int family, unsigned port)
{
    constexpr unsigned long kEstablished = 1;
    std::vector<LocalAddress> addresses;
    size_t hexLength = family == AF_INET ? 8 : 32;
    for (std::string_view line : lines_of(text)) {
        std::vector<std::string_view> f = fields_of(line);
        if (f.size() < 4 || hex_of(f[3]) != kEstablished)
            continue;
        std::string_view local = f[1];
        size_t colon = local.find(':');
        if (colon != hexLength || hex_of(local.substr(colon + 1)) != port)
            continue;
        LocalAddress address;
        address.family = family;
        // Each 32-bit word is printed as the native integer over the address bytes.
        for (size_t word = 0; word < hexLength / 8; ++word) {
            auto value = static_cast<uint32_t>(hex_of(local.substr(word * 8, 8)));
            std::memcpy(address.bytes + word * 4, &value, 4);
        }
        addresses.push_back(address);
    }
    return addresses;
}

SystemFacts read_system_facts()
{
    SystemFacts facts;
    facts.mounts = parse_mountinfo(read_text("/proc/self/mountinfo"));
    for (const MountEntry &mount : facts.mounts)
        if (essential_mount_point(mount.mountPoint))
            facts.essential.emplace(mount.device, "holds " + mount.mountPoint);
    for (dev_t device : swap_devices(read_text("/proc/swaps")))
        facts.essential.emplace(device, "holds swap");
    facts.routeInterfaces = parse_default_routes(read_text("/proc/net/route"), read_text("/proc/net/ipv6_route"));
    std::vector<LocalAddress> sessions = parse_tcp_sessions(read_text("/proc/net/tcp"), AF_INET, kSshPort);
    for (const LocalAddress &address : parse_tcp_sessions(read_text("/proc/net/tcp6"), AF_INET6, kSshPort))
        sessions.push_back(address);
    facts.sessionInterfaces = interfaces_of(sessions);
    facts.consoles = parse_consoles(read_text("/proc/consoles"));
    facts.logins = login_ttys();
    return facts;
}

} // namespace kestrune::platform
