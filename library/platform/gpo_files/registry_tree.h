// The in-memory registry behind the Linux backend: a tree of keys, each with its
// values in creation order. Names compare case-insensitively (ASCII) and keep the
// case they were created with. Not thread-safe by itself: memory_registry.cpp
// serialises access to trees reachable through handles.
#ifndef KESTRUNE_PLATFORM_GPO_FILES_REGISTRY_TREE_H
#define KESTRUNE_PLATFORM_GPO_FILES_REGISTRY_TREE_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::platform {

bool names_equal(std::u16string_view a, std::u16string_view b);

struct RegValue {
    std::u16string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

class RegNode {
public:
    explicit RegNode(std::u16string name) : name_(std::move(name)) {}

    const std::u16string &name() const { return name_; }
    const std::vector<std::unique_ptr<RegNode>> &subkeys() const { return subkeys_; }
    const std::vector<RegValue> &values() const { return values_; }

    RegNode *find_subkey(std::u16string_view name) const;
    RegNode &create_subkey(std::u16string_view name);
    bool delete_subkey(std::u16string_view name);

    const RegValue *find_value(std::u16string_view name) const;
    // Overwriting keeps the value's place in the enumeration order.
    void set_value(std::u16string_view name, uint32_t type, std::vector<uint8_t> data);
    bool delete_value(std::u16string_view name);
    void clear_values() { values_.clear(); }

private:
    std::u16string name_;
    std::vector<std::unique_ptr<RegNode>> subkeys_;
    std::vector<RegValue> values_;
};

// Splits a key path at "\"; empty components (doubled or edge backslashes) are
// dropped, as the policy file's key paths are always relative.
std::vector<std::u16string_view> split_key_path(std::u16string_view path);

// Walks `path` from `start`; null when a component is missing.
RegNode *find_key(RegNode &start, std::u16string_view path);
// Walks `path` from `start`, creating every missing key.
RegNode &create_key(RegNode &start, std::u16string_view path);

} // namespace kestrune::platform

#endif
