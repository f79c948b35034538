// The rules file that carries the plan to devices that arrive later, and to
// every device at boot, when udev's coldplug replays them: no code of ours runs
// then. Generated from the plan alone; rules act on add and change events, write
// kernel attributes directly and start no program but `blockdev --setro`. The
// kernel command-line switch kestrune.enforce=0 makes udev skip the whole file.
#ifndef KESTRUNE_PLATFORM_LINUX_ENFORCE_UDEV_RULES_H
#define KESTRUNE_PLATFORM_LINUX_ENFORCE_UDEV_RULES_H

#include <string>

#include "platform/linux/enforce/device_io.h"
#include "platform/linux/enforce/enforce_plan.h"

namespace kestrune::platform {

inline constexpr const char *kUdevRulesDir = "/etc/udev/rules.d";
inline constexpr const char *kUdevRulesFile = "/etc/udev/rules.d/72-kestrune.rules";

// The file's text; empty when the plan denies nothing.
std::string udev_rules_text(const Plan &plan, const std::string &blockdev);

struct RulesInstall {
    IoFailure failure;      // writing or removing the file failed
    bool installed = false; // the file now holds the plan's rules
    bool skipped = false;   // no udev rules directory: udev is not installed
    bool reloaded = false;  // a running udev was asked to reload
};

// Writes the file atomically, or removes it when the plan denies nothing, and
// has a running udev reload its rules.
RulesInstall install_udev_rules(const Plan &plan);

} // namespace kestrune::platform

#endif
