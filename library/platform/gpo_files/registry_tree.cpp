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

RegNode *RegNode::find_subkey(std::u16string_view name) const
{
    for (const auto &key : subkeys_)
        if (names_equal(key->name(), name))
            return key.get();
    return nullptr;
}

RegNode &RegNode::create_subkey(std::u16string_view name)
{
    if (RegNode *existing = find_subkey(name))
        return *existing;
    subkeys_.push_back(std::make_unique<RegNode>(std::u16string(name)));
    return *subkeys_.back();
}

bool RegNode::delete_subkey(std::u16string_view name)
{
    auto it = std::find_if(subkeys_.begin(), subkeys_.end(),
                           [&](const auto &key) { return names_equal(key->name(), name); });
    if (it == subkeys_.end())
        return false;
    subkeys_.erase(it);
    return true;
}

const RegValue *RegNode::find_value(std::u16string_view name) const
{
    for (const auto &value : values_)
        if (names_equal(value.name, name))
            return &value;
    return nullptr;
}

void RegNode::set_value(std::u16string_view name, uint32_t type, std::vector<uint8_t> data)
{
    for (auto &value : values_) {
        if (names_equal(value.name, name)) {
            value.type = type;
            value.data = std::move(data);
            return;
        }
    }
    values_.push_back(RegValue{std::u16string(name), type, std::move(data)});
}

bool RegNode::delete_value(std::u16string_view name)
{
    auto it = std::find_if(values_.begin(), values_.end(),
                           [&](const RegValue &value) { return names_equal(value.name, name); });
    if (it == values_.end())
        return false;
    values_.erase(it);
    return true;
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
