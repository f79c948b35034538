// The plan: what the effective policy does to each device present now. Compiled
// at every refresh from the policy, the devices found and the system facts; the
// lock-out guard has exempted what it must. The rules file and the retroactive
// pass both carry out this plan and nothing else.
#ifndef KESTRUNE_PLATFORM_LINUX_ENFORCE_ENFORCE_PLAN_H
#define KESTRUNE_PLATFORM_LINUX_ENFORCE_ENFORCE_PLAN_H

#include <string>
#include <vector>

#include "platform/linux/enforce/device_inventory.h"
#include "platform/linux/enforce/enforced_policy.h"
#include "platform/linux/enforce/system_facts.h"

namespace kestrune::platform {

struct PlanEntry {
    FoundDevice device;
    Mechanism action = Mechanism::none; // none: the policy covers it but cannot act on it
    std::string note;                   // why not, or what was given up
    bool exempt = false;                // kept by the lock-out guard
    std::string exemptReason;
    bool now = false; // the retroactive pass acts on it at this refresh

    bool acts() const { return action != Mechanism::none && !exempt; }
    // The device that the action takes away, with everything below it.
    const std::string &affected() const { return action == Mechanism::read_only ? device.path : device.target; }
};

struct Plan {
    EnforcedPolicy policy;
    std::vector<PlanEntry> entries;
};

Plan compile_plan(const EnforcedPolicy &policy, const std::vector<FoundDevice> &devices, const SystemFacts &facts);

} // namespace kestrune::platform

#endif
