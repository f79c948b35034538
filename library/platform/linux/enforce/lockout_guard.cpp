#include "platform/linux/enforce/lockout_guard.h"

#include <sys/sysmacros.h>

#include <algorithm>

#include "platform/linux/enforce/sysfs_reader.h"

namespace kestrune::platform {

namespace {

using namespace sysfs;

struct Protected {
    std::string path;
    std::string reason;
};

// A block device and everything it is stacked on: the whole disk of a partition,
// and the slaves of a device-mapper or RAID device, down to the disks.
void protect_block_stack(dev_t device, const std::string &reason, std::vector<Protected> &out, int depth = 0)
{
    std::string path = canonical(std::string(kRoot) + "/dev/block/" + std::to_string(major(device)) + ":" +
                                 std::to_string(minor(device)));
    if (path.empty() || depth > 16)
        return;
    out.push_back({path, reason});
    if (has_entry(path, "partition"))
        out.push_back({parent_path(path), reason});
    for (const std::string &slave : entries(path + "/slaves"))
        protect_block_stack(device_number(path + "/slaves/" + slave), reason, out, depth + 1);
}

void exempt_what_takes_protected(std::vector<PlanEntry> &entries, const std::vector<Protected> &protect)
{
    for (PlanEntry &entry : entries) {
        if (!entry.acts())
            continue;
        for (const Protected &kept : protect) {
            if (!is_at_or_below(kept.path, entry.affected()))
                continue;
            entry.exempt = true;
            entry.exemptReason = kept.path == entry.device.path ? kept.reason
                                                                : "carries " + kept.path + " (" + kept.reason + ")";
            break;
        }
    }
}

// Keeps at least one keyboard (or pointing device) usable.
void keep_one(DeviceKind kind, const char *what, std::vector<PlanEntry> &entries,
              const std::vector<FoundDevice> &devices, std::vector<Protected> &protect)
{
    auto taken = [&](const FoundDevice &device) {
        return std::any_of(entries.begin(), entries.end(), [&](const PlanEntry &entry) {
            return entry.acts() && is_at_or_below(device.path, entry.affected());
        });
    };
    std::vector<const FoundDevice *> present, builtin;
    for (const FoundDevice &device : devices) {
        if (device.kind != kind || device.off)
            continue;
        if (!taken(device))
            return;
        present.push_back(&device);
        if (device.builtin)
            builtin.push_back(&device);
    }
    const auto &keep = builtin.empty() ? present : builtin;
    for (const FoundDevice *device : keep)
        protect.push_back({device->path, std::string(builtin.empty() ? "last usable " : "built-in ") + what +
                                             (builtin.empty() ? "" : ", no other usable one")});
    exempt_what_takes_protected(entries, protect);
}

// A radio's USB interfaces stand or fall together: its driver lets go of all of
// them when one goes.
void keep_whole_radios(std::vector<PlanEntry> &entries)
{
    for (const PlanEntry &kept : entries) {
        if (kept.device.kind != DeviceKind::bt || !kept.exempt || kept.action != Mechanism::deauthorize)
            continue;
        for (PlanEntry &entry : entries)
            if (entry.acts() && entry.device.kind == DeviceKind::bt && entry.action == Mechanism::deauthorize &&
                parent_path(entry.device.target) == parent_path(kept.device.target)) {
                entry.exempt = true;
                entry.exemptReason = "same radio as " + kept.device.path + " (" + kept.exemptReason + ")";
            }
    }
}

} // namespace

void apply_lockout_guard(std::vector<PlanEntry> &plan, const std::vector<FoundDevice> &devices,
                         const SystemFacts &facts)
{
    std::vector<Protected> protect;
    for (const auto &[device, what] : facts.essential)
        protect_block_stack(device, what, protect);
    for (const FoundDevice &device : devices) {
        if (device.kind != DeviceKind::eth)
            continue;
        if (facts.routeInterfaces.count(device.label) != 0)
            protect.push_back({device.path, "carries the default route"});
        if (facts.sessionInterfaces.count(device.label) != 0)
            protect.push_back({device.path, "carries a remote shell session"});
    }
    const std::string ttys = std::string(kRoot) + "/class/tty/";
    for (const std::string &name : entries(ttys)) {
        if (facts.consoles.count(name) != 0)
            protect.push_back({canonical(ttys + name), "console " + name});
        if (facts.logins.count(name) != 0)
            protect.push_back({canonical(ttys + name), "login on " + name});
    }
    std::erase_if(protect, [](const Protected &kept) { return kept.path.empty(); });
    exempt_what_takes_protected(plan, protect);
    keep_one(DeviceKind::keyboard, "keyboard", plan, devices, protect);
    keep_one(DeviceKind::mouse, "pointing device", plan, devices, protect);
    keep_whole_radios(plan);
}

} // namespace kestrune::platform
