// Rewrites the deny list key and its two switches from a GpList.
#ifndef KESTRUNE_POLICY_DENY_LIST_REWRITE_H
#define KESTRUNE_POLICY_DENY_LIST_REWRITE_H

#include <cstdint>

#include "policy/gp_list.h"

namespace kestrune {

// Deletes every value read (when dwIndexs is at least 1) and both switches; unless
// `remaining` is 0, sets both switches to 1, writes the marker and the records
// with bValid 1 as "1", "2", ... in list order. 0 on success, 1 when a store
// operation failed, 3 for a null list.
uint32_t set_group_policy_restrictions_denydeviceclasses(uint32_t dwIndexs, uint32_t remaining,
                                                         const GpList *list);

} // namespace kestrune

#endif
