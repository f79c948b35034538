#include "platform/linux/enforce/enforce_plan.h"

#include "platform/linux/enforce/lockout_guard.h"

namespace kestrune::platform {

namespace {

PlanEntry storage_entry(const StorageLimits &limits, const FoundDevice &device)
{
    PlanEntry entry;
    entry.device = device;
    entry.now = true; // the storage values always reach devices already present
    if (limits.denyRead && device.unenforceable.empty()) {
        entry.action = device.deny;
    } else if (limits.denyWrite) {
        entry.action = Mechanism::read_only;
        if (limits.denyRead)
            entry.note = "reading cannot be denied (" + device.unenforceable + "): read-only instead";
    } else {
        entry.note = device.unenforceable;
    }
    return entry;
}

} // namespace

Plan compile_plan(const EnforcedPolicy &policy, const std::vector<FoundDevice> &devices, const SystemFacts &facts)
{
    Plan plan{policy, {}};
    for (const FoundDevice &device : devices) {
        if (is_storage_kind(device.kind)) {
            const StorageLimits &limits = policy.limits(device.kind);
            if (limits.denyRead || limits.denyWrite)
                plan.entries.push_back(storage_entry(limits, device));
        } else if (policy.is_denied(device.kind)) {
            PlanEntry entry;
    entry.device = device;
            entry.action = device.unenforceable.empty() ? device.deny : Mechanism::none;
            entry.note = device.unenforceable;
            entry.now = policy.retroactive;
            plan.entries.push_back(std::move(entry));
        }
    }
    apply_lockout_guard(plan.entries, devices, facts);
    return plan;
}

} // namespace kestrune::platform
