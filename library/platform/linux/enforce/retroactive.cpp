#include "platform/linux/enforce/retroactive.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <set>

#include "platform/linux/enforce/sysfs_reader.h"
#include "platform/linux/enforce/text_fields.h"

namespace kestrune::platform {

namespace {

using namespace sysfs;

bool exists(const std::string &path)
{
    return ::access(path.c_str(), F_OK) == 0;
}

bool vanished(const IoFailure &failure, const std::string &target)
{
    return (failure.error == ENOENT || failure.error == ENODEV || failure.error == ENXIO) && !exists(target);
}

std::string number_text(dev_t device)
{
    return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

dev_t parse_number(const std::string &text)
{
    unsigned major = 0, minor = 0;
    return std::sscanf(text.c_str(), "%u:%u", &major, &minor) == 2 ? makedev(major, minor) : 0;
}

// A disk with its partitions and, recursively, what is stacked on them.
void block_stack(const std::string &path, std::set<dev_t> &out, int depth = 0)
{
    if (depth > 16 || !out.insert(device_number(path)).second)
        return;
    for (const std::string &name : entries(path))
        if (has_entry(path + "/" + name, "partition"))
            block_stack(path + "/" + name, out, depth + 1);
    for (const std::string &holder : entries(path + "/holders"))
        block_stack(canonical(path + "/holders/" + holder), out, depth + 1);
}

// Whether the device still shows what the action left on it.
bool shows(Mechanism action, const std::string &target)
{
    switch (action) {
    case Mechanism::deauthorize: return attribute(target, "authorized") == "0";
    case Mechanism::inhibit: return attribute(target, "inhibited") == "1";
    case Mechanism::unbind: return !has_entry(target, "driver");
    case Mechanism::offline: return attribute(target, "state") == "offline";
    case Mechanism::read_only: {
        bool readOnly = false;
        return !block_read_only(device_number(target), readOnly) && readOnly;
    }
    case Mechanism::none: break;
    }
    return false;
}

class Pass {
public:
    explicit Pass(const SystemFacts &facts) : facts_(facts) {}

    void report(const char *outcome, DeviceKind kind, const std::string &device, const std::string &detail)
    {
        reports_.push_back({outcome, kind, device, detail});
    }
    std::vector<DeviceReport> take() { return std::move(reports_); }

    // Carries out `entry`; `mark` receives what an undo needs. `already` is set
    // when the device showed the change before: it is then not ours to undo.
    IoFailure apply(const PlanEntry &entry, ActionMark &mark, bool &already, std::string &detail) const;
    IoFailure undo(const ActionMark &mark) const;

private:
    IoFailure make_read_only(const PlanEntry &entry, ActionMark &mark, bool &already, std::string &detail) const;
    IoFailure restrict_generic_node(dev_t node, ActionMark &mark) const;
    IoFailure undo_read_only(const ActionMark &mark) const;

    const SystemFacts &facts_;
    std::vector<DeviceReport> reports_;
};

IoFailure Pass::apply(const PlanEntry &entry, ActionMark &mark, bool &already, std::string &detail) const
{
    const std::string &target = entry.device.target;
    already = shows(entry.action, entry.affected());
    switch (entry.action) {
    case Mechanism::deauthorize:
        detail = "deauthorised " + target;
        return already ? IoFailure{} : write_attribute(target + "/authorized", "0");
    case Mechanism::inhibit:
        detail = "inhibited";
        return already ? IoFailure{} : write_attribute(target + "/inhibited", "1");
    case Mechanism::unbind: {
        std::string driver = link_name(target, "driver");
        detail = "driver " + driver + " unbound from " + target;
        if (already)
            return {};
        mark.details["driver"] = driver;
        return write_attribute(target + "/driver/unbind", base_name(target));
    }
    case Mechanism::offline:
        detail = "took " + target + " offline";
        return already ? IoFailure{} : write_attribute(target + "/state", "offline");
    case Mechanism::read_only: return make_read_only(entry, mark, already, detail);
    case Mechanism::none: break;
    }
    return {};
}

IoFailure Pass::make_read_only(const PlanEntry &entry, ActionMark &mark, bool &already, std::string &detail) const
{
    std::set<dev_t> stack;
    block_stack(entry.device.path, stack);
    // Filesystems first: a writable filesystem on a read-only device fails its
    // writes. A remount that fails (busy) is reported, never forced, and leaves
    // the device as it was.
    std::vector<std::string> remounted;
    for (const MountEntry &mount : facts_.mounts) {
        if (!mount.readWrite || stack.count(mount.device) == 0)
            continue;
        if (IoFailure failed = remount(mount.mountPoint, true)) {
            for (const std::string &point : remounted)
                remount(point, false);
            return failed;
        }
        remounted.push_back(mount.mountPoint);
    }
    std::string mounts;
    for (const std::string &point : remounted)
        mounts += (mounts.empty() ? "" : "\n") + point;
    if (!mounts.empty())
        mark.details["mounts"] = mounts;
    detail = "read-only";
    if (!already) {
        if (IoFailure failed = set_block_read_only(entry.device.block, true)) {
            for (const std::string &point : remounted)
                remount(point, false);
            return failed;
        }
        mark.details["blkro"] = "1";
    }
    if (!remounted.empty()) {
        already = false;
        std::string list;
        for (const std::string &point : remounted)
            list += (list.empty() ? "" : ", ") + point;
        detail += "; remounted read-only: " + list;
    }
    if (entry.device.generic != 0 && !already) {
        if (IoFailure failed = restrict_generic_node(entry.device.generic, mark))
            return failed;
        detail += "; SCSI generic node root-only";
    }
    return {};
}

IoFailure Pass::restrict_generic_node(dev_t node, ActionMark &mark) const
{
    int fd;
    if (IoFailure failed = open_device_node(node, false, fd))
        return failed;
    struct stat st;
    IoFailure result;
    if (::fstat(fd, &st) != 0) {
        result = {"fstat(" + number_text(node) + ")", errno};
    } else {
        mark.details["generic"] = number_text(node) + " " + std::to_string(st.st_mode & 07777) + " " +
                                  std::to_string(st.st_uid) + " " + std::to_string(st.st_gid);
        if (device_io.fchown(fd, 0, 0) != 0)
            result = {"fchown(" + number_text(node) + ")", errno};
        else if (device_io.fchmod(fd, 0600) != 0)
            result = {"fchmod(" + number_text(node) + ")", errno};
    }
    device_io.close(fd);
    return result;
}

IoFailure Pass::undo_read_only(const ActionMark &mark) const
{
    auto detail = [&](const char *key) {
        auto found = mark.details.find(key);
        return found == mark.details.end() ? std::string() : found->second;
    };
    if (detail("blkro") == "1")
        if (IoFailure failed = set_block_read_only(device_number(mark.target), false))
            return failed;
    std::set<dev_t> stack;
    block_stack(mark.target, stack);
    std::string mounts = detail("mounts");
    for (std::string_view point : split_text(mounts, '\n'))
        for (const MountEntry &mount : facts_.mounts)
            if (mount.mountPoint == point && !mount.readWrite && stack.count(mount.device) != 0)
                if (IoFailure failed = remount(mount.mountPoint, false))
                    return failed;
    unsigned mode = 0, uid = 0, gid = 0;
    char number[32];
    if (std::string generic = detail("generic");
        std::sscanf(generic.c_str(), "%31s %u %u %u", number, &mode, &uid, &gid) == 4) {
        int fd;
        if (IoFailure failed = open_device_node(parse_number(number), false, fd))
            return failed;
        IoFailure result;
        if (device_io.fchown(fd, uid, gid) != 0)
            result = {std::string("fchown(") + number + ")", errno};
        else if (device_io.fchmod(fd, mode) != 0)
            result = {std::string("fchmod(") + number + ")", errno};
        device_io.close(fd);
        return result;
    }
    return {};
}

IoFailure Pass::undo(const ActionMark &mark) const
{
    const std::string &target = mark.target;
    switch (mark.action) {
    case Mechanism::deauthorize: return write_attribute(target + "/authorized", "1");
    case Mechanism::inhibit: return write_attribute(target + "/inhibited", "0");
    case Mechanism::unbind: {
        auto driver = mark.details.find("driver");
        std::string name = driver != mark.details.end() ? driver->second : std::string();
        return write_attribute(target + "/subsystem/drivers/" + name + "/bind", base_name(target));
    }
    case Mechanism::offline: return write_attribute(target + "/state", "running");
    case Mechanism::read_only: return undo_read_only(mark);
    case Mechanism::none: break;
    }
    return {};
}

std::string restored_detail(const ActionMark &mark, const char *by)
{
    return std::string(mechanism_name(mark.action)) + " undone on " + mark.target + by;
}

} // namespace

std::vector<DeviceReport> run_retroactive(const Plan &plan, const std::vector<FoundDevice> &devices,
                                          const SystemFacts &facts, std::vector<ActionMark> &marks, bool dryRun)
{
    Pass pass(facts);
    auto wanted = [&](Mechanism action, const std::string &target) {
        return std::any_of(plan.entries.begin(), plan.entries.end(), [&](const PlanEntry &entry) {
            return entry.acts() && entry.action == action && entry.affected() == target;
        });
    };
    auto restore = [&](const ActionMark &mark, const char *by) {
        if (dryRun) {
            pass.report("would-restore", mark.kind, mark.label, restored_detail(mark, by));
            return true;
        }
        IoFailure failed = pass.undo(mark);
        if (!failed)
            pass.report("restored", mark.kind, mark.label, restored_detail(mark, by));
        else if (!vanished(failed, mark.target))
            pass.report("failed", mark.kind, mark.label, "undo: " + failed.text());
        return !failed;
    };

    // What this library did earlier and the policy no longer asks for. A device
    // that changed since (unplugged and plugged again, changed by hand) is no
    // longer ours to touch.
    std::vector<ActionMark> kept;
    for (const ActionMark &mark : marks) {
        if (wanted(mark.action, mark.target)) {
            kept.push_back(mark);
            continue;
        }
        if (!exists(mark.target) || device_identity(mark.action, mark.target) != mark.identity ||
            !shows(mark.action, mark.target))
            continue;
        if (!restore(mark, "") || dryRun)
            kept.push_back(mark);
    }
    // What the rules file did to devices present now, by udev's record of it. A
    // device whose driver a rule unbound took its record along: it comes back when
    // plugged in again or at the next start.
    for (const FoundDevice &device : devices) {
        for (Mechanism action : {device.deny, Mechanism::read_only}) {
            if (action == Mechanism::none || action == Mechanism::unbind ||
                (action == Mechanism::read_only && !is_storage_kind(device.kind)))
                continue;
            const std::string &target = action == Mechanism::read_only ? device.path : device.target;
            bool marked = std::any_of(marks.begin(), marks.end(), [&](const ActionMark &mark) {
                return mark.action == action && mark.target == target;
            });
            if (marked || wanted(action, target) || udev_denied_mark(device.event) != mechanism_name(action) ||
                !shows(action, target))
                continue;
            ActionMark mark{device.kind, action, target, {}, {}, device.label};
            if (action == Mechanism::read_only)
                mark.details["blkro"] = "1";
            restore(mark, ", denied by the rules file");
        }
    }

    std::set<std::pair<Mechanism, std::string>> done;
    for (const PlanEntry &entry : plan.entries) {
        const FoundDevice &device = entry.device;
        const char *outcome = entry.action == Mechanism::read_only ? "read-only" : "denied";
        if (entry.exempt) {
            pass.report("exempt", device.kind, device.label, entry.exemptReason);
            continue;
        }
        if (entry.action == Mechanism::none) {
            pass.report("not-enforceable", device.kind, device.label, entry.note);
            continue;
        }
        if (!entry.now) {
            pass.report("deferred", device.kind, device.label, "retroactive switch off: denied when it next arrives");
            continue;
        }
        ActionMark mark{device.kind, entry.action, entry.affected(), {}, {}, device.label};
        mark.identity = device_identity(entry.action, mark.target);
        auto earlier = std::find_if(kept.begin(), kept.end(), [&](const ActionMark &other) {
            return other.action == mark.action && other.target == mark.target;
        });
        bool doneBefore = done.count({entry.action, mark.target}) != 0 ||
                          (earlier != kept.end() && shows(entry.action, mark.target));
        if (dryRun && !doneBefore) {
            pass.report(entry.action == Mechanism::read_only ? "would-read-only" : "would-deny", device.kind,
                        device.label, std::string(mechanism_name(entry.action)) + " " + mark.target);
            continue;
        }
        if (doneBefore) {
            pass.report(outcome, device.kind, device.label,
                        std::string(mechanism_name(entry.action)) + " " + mark.target + ", done earlier");
            continue;
        }
        if (earlier != kept.end())
            kept.erase(earlier);
        bool already = false;
        std::string detail;
        if (IoFailure failed = pass.apply(entry, mark, already, detail)) {
            if (vanished(failed, entry.affected()))
                pass.report("vanished", device.kind, device.label, "gone during " + failed.call);
            else
                pass.report("failed", device.kind, device.label, failed.text());
            continue;
        }
        done.insert({entry.action, mark.target});
        if (already) {
            pass.report(outcome, device.kind, device.label, detail + " (already so: not changed)");
            continue;
        }
        if (!entry.note.empty())
            detail += "; " + entry.note;
        pass.report(outcome, device.kind, device.label, detail);
        kept.push_back(std::move(mark));
    }
    if (!dryRun)
        marks = std::move(kept);
    return pass.take();
}

} // namespace kestrune::platform
