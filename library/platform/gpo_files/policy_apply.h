// Machine policy as the group policy engine applies it: the records of a policy
// file applied in order to an empty registry, with the file's directives.
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

} // namespace kestrune::platform

#endif
