// Platform seam: making the effective machine policy take effect.
//
// Porting contract. Called by refresh_policy on the caller's thread of
// QVX_KESTRUNE_Apply, after the effective policy (every policy layer applied with
// its directives) has been computed; never concurrently with itself. It acts on
// `effective` alone, never re-reading a policy file. It writes its own diagnostic
// lines (I for exemptions and devices that cannot be enforced, W for a peer that
// manages the same devices, E naming the failing call) and answers false when the
// policy could not be carried out on a present device that it covers; refresh
// then fails.
//
// On Windows the operating system consumes the policy values itself and this is
// not called. On Linux, enforcement follows KESTRUNE_ENFORCE: unset, it acts only
// for the machine's own policy root (`machineRoot`); "1" acts for any root; "0"
// does nothing; "plan" computes and reports without changing anything. It writes
// the udev rules file, acts on the devices present and reports to
// Policies/Enforcement.txt under `policyRoot`.
#ifndef KESTRUNE_PLATFORM_POLICY_ENFORCEMENT_H
#define KESTRUNE_PLATFORM_POLICY_ENFORCEMENT_H

#include <string>

#include "platform/gpo_files/registry_tree.h"

namespace kestrune::platform {

bool enforce_effective_policy(const RegNode &effective, const std::string &policyRoot, bool machineRoot);

} // namespace kestrune::platform

#endif
