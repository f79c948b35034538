#include "platform/gpo_files/registry_tree.h"

#include <algorithm>

namespace kestrune::platform {

namespace {

char16_t fold(char16_t c)
{
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

} // namespace

bool names_equal(std::u16string_view a, std::u16string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return fold(x) == fold(y); });
}

size_t name_hash(std::u16string_view name)
{
    uint64_t hash = 0xCBF29CE484222325ull; // FNV-1a over the folded units
    for (char16_t c : name)
        hash = (hash ^ fold(c)) * 0x100000001B3ull;
    return static_cast<size_t>(hash);
}

// A chain of a million keys must not take a million nested destructor calls:
// every node below is unhooked onto a list threaded through the nodes themselves
// (no allocation, so nothing can fail here) and freed once it has no subkeys left.
RegNode::~RegNode()
{
    RegNode *pending = nullptr;
    auto unhook_subkeys = [&pending](RegNode &node) {
        for (auto &subkey : node.subkeys_.release_all()) {
            if (subkey == nullptr)
                continue;
            RegNode *raw = subkey.release();
            raw->nextToFree_ = pending;
            pending = raw;
        }
    };
    unhook_subkeys(*this);
    while (pending != nullptr) {
        RegNode *node = pending;
        pending = node->nextToFree_;
        unhook_subkeys(*node);
        delete node;
    }
}

RegNode &RegNode::create_subkey(std::u16string_view name)
{
    if (RegNode *existing = find_subkey(name))
        return *existing;
    return subkeys_.append(std::make_unique<RegNode>(std::u16string(name), depth_ + 1));
}

void RegNode::set_value(std::u16string_view name, uint32_t type, std::vector<uint8_t> data)
{
    if (RegValue *existing = values_.find(name)) {
        existing->type = type;
        existing->data = std::move(data);
        return;
    }
    values_.append(std::make_unique<RegValue>(RegValue{std::u16string(name), type, std::move(data)}));
}

std::vector<std::u16string_view> split_key_path(std::u16string_view path)
{
    std::vector<std::u16string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

bool key_path_fits(const RegNode &start, std::u16string_view path)
{
    auto parts = split_key_path(path);
    return start.depth() + parts.size() <= kMaxKeyDepth &&
           std::all_of(parts.begin(), parts.end(),
                       [](std::u16string_view part) { return part.size() <= kMaxKeyNameChars; });
}

bool value_fits(std::u16string_view name, size_t dataBytes)
{
    return name.size() <= kMaxValueNameChars && dataBytes <= kMaxValueDataBytes;
}

RegNode *find_key(RegNode &start, std::u16string_view path)
{
    RegNode *node = &start;
    for (std::u16string_view part : split_key_path(path)) {
        node = node->find_subkey(part);
        if (node == nullptr)
            return nullptr;
    }
    return node;
}

RegNode &create_key(RegNode &start, std::u16string_view path)
{
    RegNode *node = &start;
    for (std::u16string_view part : split_key_path(path))
        node = &node->create_subkey(part);
    return *node;
}

} // namespace kestrune::platform
