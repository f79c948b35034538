// The retroactive pass: carries out the plan on the devices present now, and
// undoes what Kestrune did earlier (marks file and udev records) that the plan
// no longer asks for. A device that vanished meanwhile is no failure.
#ifndef KESTRUNE_PLATFORM_LINUX_ENFORCE_RETROACTIVE_H
#define KESTRUNE_PLATFORM_LINUX_ENFORCE_RETROACTIVE_H

#include <string>
#include <vector>

#include "platform/linux/enforce/action_marks.h"
#include "platform/linux/enforce/enforce_plan.h"

namespace kestrune::platform {

// One line of the enforcement report. Outcomes:
//   denied, read-only, restored          done now, or found done by an earlier refresh
//   exempt                               kept by the lock-out guard
//   not-enforceable                      the policy covers it, Linux cannot act on it
//   deferred                             denied by the rules when it next arrives
//                                        (the deny list's retroactive switch is off)
//   vanished                             gone while it was being acted on
//   failed                               the action failed (detail: the call, errno)
//   would-deny, would-read-only, would-restore   plan mode: what enforce would do
struct DeviceReport {
    std::string outcome;
    DeviceKind kind{};
    std::string device;
    std::string detail;

    bool failed() const { return outcome == "failed"; }
};

// `devices` is everything found, for undoing rule-made denials of devices the
// plan no longer covers. With `dryRun` nothing changes, marks included.
std::vector<DeviceReport> run_retroactive(const Plan &plan, const std::vector<FoundDevice> &devices,
                                          const SystemFacts &facts, std::vector<ActionMark> &marks, bool dryRun);

} // namespace kestrune::platform

#endif
