#include "policy/gp_list.h"

#include <algorithm>
#include <cstring>

namespace kestrune {

namespace {

constexpr size_t kGpFieldTextChars = kGpFieldChars - 1;

GpNode zeroed_node()
{
    GpNode node;
    std::memset(&node, 0, sizeof node);
    return node;
}

} // namespace

GpNode gp_node_read(std::u16string_view name, const void *data, uint32_t dataBytes)
{
    GpNode node = zeroed_node();
    node.bValid = 1;
    node.dwNameLen = static_cast<int32_t>(name.size());
    std::copy_n(name.begin(), std::min(name.size(), kGpFieldTextChars), node.wszName);
    node.dwDataLen = std::min<uint32_t>(dataBytes, kReadDataBytes);
    if (node.dwDataLen != 0)
        std::memcpy(node.wszData, data, node.dwDataLen);
    return node;
}

GpNode gp_node_new(std::u16string_view classText)
{
    GpNode node = zeroed_node();
    node.bValid = 1;
    node.bNew = 1;
    node.dwNameLen = 1;
    size_t chars = std::min(classText.size(), kMaxClassTextChars);
    std::copy_n(classText.begin(), chars, node.wszData);
    node.dwDataLen = static_cast<uint32_t>((chars + 1) * sizeof(char16_t));
    return node;
}

} // namespace kestrune
