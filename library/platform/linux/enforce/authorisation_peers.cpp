#include "platform/linux/enforce/authorisation_peers.h"

#include <cctype>

#include "platform/linux/enforce/sysfs_reader.h"

namespace kestrune::platform {

std::vector<std::string> authorisation_peers()
{
    static constexpr const char *kDaemons[] = {"usbguard-daemon", "usbguard"};
    std::vector<std::string> peers;
    for (const std::string &pid : sysfs::entries("/proc")) {
        if (pid.empty() || !std::isdigit(static_cast<unsigned char>(pid[0])))
            continue;
        std::string name = sysfs::attribute("/proc/" + pid, "comm").value_or("");
        for (const char *daemon : kDaemons)
            if (name == daemon) {
                peers.push_back(name + " (pid " + pid + ") is running");
                break;
            }
    }
    const std::string buses = std::string(sysfs::kRoot) + "/bus/usb/devices/";
    for (const std::string &hub : sysfs::entries(buses))
        if (hub.starts_with("usb"))
            if (auto policy = sysfs::attribute(buses + hub, "authorized_default"); policy && *policy != "1")
                peers.push_back(hub + " starts devices unauthorised (authorized_default=" + *policy + ")");
    return peers;
}

} // namespace kestrune::platform
