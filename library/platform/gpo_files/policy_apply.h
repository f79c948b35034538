// Machine policy as the group policy engine applies it: the records of policy
// files applied in order to an empty registry, with the files' directives.
#ifndef KESTRUNE_PLATFORM_GPO_FILES_POLICY_APPLY_H
#define KESTRUNE_PLATFORM_GPO_FILES_POLICY_APPLY_H

#include <vector>

#include "platform/gpo_files/registry_pol.h"
#include "platform/gpo_files/registry_tree.h"

namespace kestrune::platform {

// Applies `records` to `root`. Value names that start with "**" are directives:
//   **delvals.        delete every value of the key
//   **del.NAME        delete value NAME
//   **DeleteValues    delete the values named in the data, separated by ";"
//   **DeleteKeys      delete the subkeys named in the data, separated by ";"
//   **soft.NAME       set NAME only when it does not exist yet
//   **SecureKey and any other "**" name: ignored
// Directive names compare case-insensitively, like every registry name. The
// records must keep the registry's limits, as parsed ones do.
void apply_policy_records(RegNode &root, const std::vector<PolRecord> &records);

// The effective machine policy: the local policy object's records applied first,
// then domain policy's over them, so that a domain value or directive acts on what
// the local layer left and wins, as when Windows applies domain policy objects
// after the local one.
void apply_machine_policy(RegNode &root, const std::vector<PolRecord> &local,
                          const std::vector<PolRecord> &domain);

} // namespace kestrune::platform

#endif
