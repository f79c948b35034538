// Single policy values in the policy object's machine section, addressed by an
// 8-bit key path and value name relative to the held machine key. Results are the
// platform's registry codes, passed through unchanged: 0 success, 2 not found, 6
// while no policy object is held. Runs on the caller's thread; no state, no locks.
#ifndef KESTRUNE_POLICY_POLICY_REGISTRY_H
#define KESTRUNE_POLICY_POLICY_REGISTRY_H

#include <cstdint>

namespace kestrune {

inline constexpr int32_t GP_OP_SET_VALUE = 0;
inline constexpr int32_t GP_OP_DELETE_VALUE = 100;

// Opens or creates keyPath, then sets (GP_OP_SET_VALUE, with valueType, data and
// dataSize) or deletes (GP_OP_DELETE_VALUE) valueName. Any other operation only
// opens or creates the key and answers 0.
uint32_t set_group_policy_key_value(const char *keyPath, const char *valueName, int32_t operation,
                                    uint32_t valueType, const void *data, uint32_t dataSize);

// Copies at most 4 bytes of the value into *destination, whatever its type; 234
// when the value is longer (the destination is then not to be relied on).
uint32_t get_group_policy_key_value(const char *keyPath, const char *valueName, uint32_t *destination);

} // namespace kestrune

#endif
