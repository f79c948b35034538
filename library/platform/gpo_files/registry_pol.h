// The Registry.pol policy file format, as group policy tools on Windows and
// Samba read and write it:
//   "PReg", version 1 (little-endian 32-bit), then records
//   [key;value;type;size;data]
// where "[", ";" and "]" are UTF-16LE characters, key and value are UTF-16LE texts
// with their terminating zero, type and size are little-endian 32-bit numbers and
// data is `size` raw bytes. Pure functions over byte buffers.
#ifndef KESTRUNE_PLATFORM_GPO_FILES_REGISTRY_POL_H
#define KESTRUNE_PLATFORM_GPO_FILES_REGISTRY_POL_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/gpo_files/registry_tree.h"

namespace kestrune::platform {

struct PolRecord {
    std::u16string key;
    std::u16string value;
    uint32_t type = 0;
    std::vector<uint8_t> data;

    bool operator==(const PolRecord &) const = default;
};

// Every record of a well-formed file, in file order; nullopt when the bytes are
// not a Registry.pol file or a record breaks the registry's limits (a key deeper
// than kMaxKeyDepth, a key name, value name or data beyond its limit). An empty
// input is an empty policy.
std::optional<std::vector<PolRecord>> parse_registry_pol(std::span<const uint8_t> bytes);

std::vector<uint8_t> serialize_registry_pol(const std::vector<PolRecord> &records);

// One record per value, keys depth-first in creation order, each key's values in
// enumeration order; key paths relative to `root`. A key loaded from a key-only
// record that still has no values gives its key-only record in its place.
std::vector<PolRecord> records_of_tree(const RegNode &root);

inline constexpr uint32_t kRegNoneType = 0;

// A record with an empty value name, type REG_NONE and no data only makes its key
// exist; tools write such records for keys without values.
bool is_key_only(const PolRecord &record);

// Stores every record as it stands (directive names such as "**delvals." are kept
// as ordinary values): this is how the policy object's own section is loaded.
// The records must keep the registry's limits, as parsed ones do.
void load_records(RegNode &root, const std::vector<PolRecord> &records);

} // namespace kestrune::platform

#endif
