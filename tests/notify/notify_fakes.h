// A sysfs tree in a scratch directory, installed as the device lookup's root
// (hardware database off) for as long as the object lives.
#ifndef KESTRUNE_TESTS_NOTIFY_FAKES_H
#define KESTRUNE_TESTS_NOTIFY_FAKES_H

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "notify/notify_backends.h"
#include "platform/linux/linux_sysfs_lookup.h"
#include "support/scratch_dir.h"

namespace kestrune::test {

class FakeSysfs {
public:
    explicit FakeSysfs(size_t rememberedDevices = platform::kRememberedDevices)
        : lookup_(platform::make_sysfs_device_lookup(dir_.path(), false, rememberedDevices))
    {
        notify::use_device_lookup(lookup_);
    }
    ~FakeSysfs() { notify::use_device_lookup(nullptr); }

    // Where a uevent source would tell what it heard.
    platform::DeviceChanges &changes() { return *lookup_; }

    // A device directory (relative to the root) with attribute files, listed
    // under `member` (such as "class/net/eth0") when one is given.
    void add_device(const std::string &path, const std::map<std::string, std::string> &attributes,
                    const std::string &member = "")
    {
        for (const auto &[name, value] : attributes)
            write_file(dir_ / (path + "/" + name), value);
        if (!member.empty())
            add_member(member, path);
    }
    // A link from `entry` to a device directory, relative as sysfs makes them.
    void add_member(const std::string &entry, const std::string &devicePath)
    {
        const std::filesystem::path link = dir_ / entry;
        std::filesystem::create_directories(link.parent_path());
        std::filesystem::create_directory_symlink(std::filesystem::relative(dir_ / devicePath, link.parent_path()),
                                                  link);
    }
    void remove(const std::string &path) { std::filesystem::remove_all(dir_ / path); }

private:
    ScratchDir dir_;
    std::shared_ptr<platform::SysfsDeviceLookup> lookup_;
};

} // namespace kestrune::test

#endif
