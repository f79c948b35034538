// The in-memory registry behind the Linux backend: a tree of keys, each with its
// values in creation order. Names compare case-insensitively (ASCII) and keep the
// case they were created with. Not thread-safe by itself: memory_registry.cpp
// serialises access to trees reachable through handles.
//
// The tree keeps the Windows registry's limits (kMax* below): the codec refuses
// files beyond them and the registry seam refuses to create keys or values beyond
// them. The tree's own operations do not check them; they work at any depth, and
// none of them, destruction included, recurses per level.
#ifndef KESTRUNE_PLATFORM_GPO_FILES_REGISTRY_TREE_H
#define KESTRUNE_PLATFORM_GPO_FILES_REGISTRY_TREE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/gpo_files/named_list.h"

namespace kestrune::platform {

inline constexpr size_t kMaxKeyDepth = 512;           // levels below the section's root
inline constexpr size_t kMaxKeyNameChars = 255;       // one key name, not the path
inline constexpr size_t kMaxValueNameChars = 16383;
inline constexpr size_t kMaxValueDataBytes = 1 << 20; // the standard hive format's 1 MB

struct RegValue {
    std::u16string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

inline const std::u16string &list_name(const RegValue &value) { return value.name; }

class RegNode {
public:
    explicit RegNode(std::u16string name, size_t depth = 0) : name_(std::move(name)), depth_(depth) {}
    ~RegNode();
    RegNode(const RegNode &) = delete;
    RegNode &operator=(const RegNode &) = delete;

    const std::u16string &name() const { return name_; }
    // Levels below the root it was created under (the root itself is 0).
    size_t depth() const { return depth_; }
    const NamedList<RegNode> &subkeys() const { return subkeys_; }
    const NamedList<RegValue> &values() const { return values_; }

    RegNode *find_subkey(std::u16string_view name) const { return subkeys_.find(name); }
    RegNode &create_subkey(std::u16string_view name);
    bool delete_subkey(std::u16string_view name) { return subkeys_.remove(name) != nullptr; }
    // By position in creation order; null past the end.
    RegNode *subkey_at(size_t position) { return subkeys_.at(position); }

    const RegValue *find_value(std::u16string_view name) const { return values_.find(name); }
    // Overwriting keeps the value's place in the enumeration order.
    void set_value(std::u16string_view name, uint32_t type, std::vector<uint8_t> data);
    bool delete_value(std::u16string_view name) { return values_.remove(name) != nullptr; }
    void clear_values() { values_.release_all(); }
    const RegValue *value_at(size_t position) { return values_.at(position); }

    // The policy file held a key-only record for this key. Windows writes one for
    // a key without values; saving writes it back while the key has none, so a
    // file that only passes through keeps it.
    bool had_key_only_record() const { return keyOnlyRecord_; }
    void mark_key_only_record() { keyOnlyRecord_ = true; }

private:
    std::u16string name_;
    size_t depth_;
    bool keyOnlyRecord_ = false;
    NamedList<RegNode> subkeys_;
    NamedList<RegValue> values_;
    RegNode *nextToFree_ = nullptr; // links the nodes a destructor is taking apart
};

inline const std::u16string &list_name(const RegNode &node) { return node.name(); }

// Splits a key path at "\"; empty components (doubled or edge backslashes) are
// dropped, as the policy file's key paths are always relative.
std::vector<std::u16string_view> split_key_path(std::u16string_view path);

// Whether `path` below `start` keeps the limits: no key name over
// kMaxKeyNameChars, no key deeper than kMaxKeyDepth.
bool key_path_fits(const RegNode &start, std::u16string_view path);
bool value_fits(std::u16string_view name, size_t dataBytes);

// Walks `path` from `start`; null when a component is missing.
RegNode *find_key(RegNode &start, std::u16string_view path);
// Walks `path` from `start`, creating every missing key.
RegNode &create_key(RegNode &start, std::u16string_view path);

} // namespace kestrune::platform

#endif
