// The lock-out guard: a policy never leaves the operator without a way in. It
// exempts from the plan
//   - a disk that holds /, /usr, /boot, /var or swap, or one stacked below them;
//   - the network interface of a default route or of a live remote shell session;
//   - a console tty and a tty with a login on it;
//   - when a deny would leave no usable keyboard (or pointing device): the
//     built-in ones (i8042, I2C, fixed ports), or else the ones present now;
// and every device whose deny would take one of these along: the hub above it,
// the USB interface or driver that carries it, the Bluetooth radio of the last
// keyboard (with the radio's other interfaces). Root hubs and host controllers
// are never in a plan at all.
#ifndef KESTRUNE_PLATFORM_LINUX_ENFORCE_LOCKOUT_GUARD_H
#define KESTRUNE_PLATFORM_LINUX_ENFORCE_LOCKOUT_GUARD_H

#include <vector>

#include "platform/linux/enforce/enforce_plan.h"

namespace kestrune::platform {

void apply_lockout_guard(std::vector<PlanEntry> &plan, const std::vector<FoundDevice> &devices,
                         const SystemFacts &facts);

} // namespace kestrune::platform

#endif
