// One read pass over the deny list key, shared by the set and get operations.
#ifndef KESTRUNE_POLICY_DENY_LIST_READ_H
#define KESTRUNE_POLICY_DENY_LIST_READ_H

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "policy/gp_list.h"

namespace kestrune {

struct DenyListRead {
    bool bOpened = false;   // the list key exists
    bool bMarker = false;   // the first value is "**delvals."
    bool bFound = false;    // some value holds the class text
    bool bComplete = true;  // every value was read whole: the list may be rewritten
    uint32_t dwIndexs = 0;  // values enumerated
    size_t target = 0;      // with records: the last record holding the class text
};

// Reads every value of the list key from index 0. Subkeys are neither read nor
// touched: they do not shift the value enumeration, so counting them first and
// starting at that index would skip values that a rewrite then leaves behind.
//
// A value whose name or data does not fit the read buffers gets an E line and no
// record, and makes the read incomplete; the pass goes on with the next value, so
// the other entries are still seen. A failed enumeration ends the pass, incomplete.
// A list key that cannot be opened is an empty list.
//
// With `records`, every value read whole is appended as a GpNode (the marker with
// bValid 0). `function` names the caller in the lines.
DenyListRead read_deny_list(const char *function, std::u16string_view classText, GpList *records);

} // namespace kestrune

#endif
