#include "policy/deny_list_rewrite.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/log.h"
#include "platform/ansi_text.h"
#include "platform/registry.h"
#include "policy/policy_registry.h"

namespace kestrune {

namespace {

// Value names reach the store as 8-bit text of at most this many bytes.
constexpr size_t kMaxAnsiNameBytes = 511;

std::u16string_view name_of(const GpNode &node)
{
    auto length = static_cast<size_t>(std::max(node.dwNameLen, 0));
    return {node.wszName, std::min(length, kGpFieldChars - 1)};
}

// The 8-bit names of the records to delete, last to first. A name the system's
// 8-bit character set cannot represent exactly cannot be deleted by name (a
// replacement '?' could even name another value), so it is refused here, before
// anything is deleted, and the list stays as it was.
std::optional<std::vector<std::string>> names_to_delete(const char *function, const GpList &list)
{
    std::vector<std::string> names;
    for (auto node = list.rbegin(); node != list.rend(); ++node) {
        if (node->bNew != 0)
            continue;
        platform::AnsiText name = platform::wide_to_ansi(name_of(*node));
        if (!name.exact || name.text.size() > kMaxAnsiNameBytes) {
            log_printf("E KestruneCtl %s %d: Error: del item guid=%ls, name %ls has no 8-bit form\r\n", function,
                       __LINE__, log_wide(node->wszData).c_str(), log_wide(name_of(*node)).c_str());
            return std::nullopt;
        }
        names.push_back(std::move(name.text));
    }
    return names;
}

uint32_t set_switch(const char *name)
{
    const uint32_t on = 1;
    return set_group_policy_key_value(kRestrictionsKey, name, GP_OP_SET_VALUE, platform::kRegDword, &on,
                                      sizeof on);
}

} // namespace

uint32_t set_group_policy_restrictions_denydeviceclasses(uint32_t dwIndexs, uint32_t remaining,
                                                         const GpList *list)
{
    if (list == nullptr) {
        log_printf("E KestruneCtl %s %d: Error: pGpList NULL!\r\n", __func__, __LINE__);
        return 3;
    }
    uint32_t ret = 0;
    if (dwIndexs >= 1) {
        std::optional<std::vector<std::string>> names = names_to_delete(__func__, *list);
        if (!names)
            return 1;
        auto name = names->begin();
        for (auto node = list->rbegin(); node != list->rend(); ++node) {
            if (node->bNew != 0)
                continue;
            ret = set_group_policy_key_value(kDenyListKey, (name++)->c_str(), GP_OP_DELETE_VALUE, 0, nullptr, 0);
            if (ret != 0) {
                log_printf("E KestruneCtl %s %d: Error: del item guid=%ls, ret=%d\r\n", __func__, __LINE__,
                           log_wide(node->wszData).c_str(), static_cast<int>(ret));
                return 1;
            }
        }
    }

    // A switch that is not there answers 2; that is the usual case on a fresh list.
    ret = set_group_policy_key_value(kRestrictionsKey, kDenyRetroactiveSwitch, GP_OP_DELETE_VALUE, 0, nullptr, 0);
    if (ret != 0)
        log_printf("I KestruneCtl %s %d: Failed set DenyDeviceClassesRetroactive, ret=%d\r\n", __func__, __LINE__,
                   static_cast<int>(ret));
    ret = set_group_policy_key_value(kRestrictionsKey, kDenySwitch, GP_OP_DELETE_VALUE, 0, nullptr, 0);
    if (ret != 0)
        log_printf("I KestruneCtl %s %d: Failed set DenyDeviceClasses, ret=%d\r\n", __func__, __LINE__,
                   static_cast<int>(ret));
    if (remaining == 0)
        return 0;

    if ((ret = set_switch(kDenySwitch)) != 0) {
        log_printf("E KestruneCtl %s %d: set DenyDeviceClasses, ret=%d\r\n", __func__, __LINE__,
                   static_cast<int>(ret));
        return 1;
    }
    if ((ret = set_switch(kDenyRetroactiveSwitch)) != 0) {
        log_printf("E KestruneCtl %s %d: set DenyDeviceClassesRetroactive, ret=%d\r\n", __func__, __LINE__,
                   static_cast<int>(ret));
        return 1;
    }
    ret = set_group_policy_key_value(kDenyListKey, kMarkerName, GP_OP_SET_VALUE, platform::kRegSz, kMarkerData,
                                     sizeof kMarkerData);
    if (ret != 0) {
        log_printf("E KestruneCtl %s %d: set **delvals, ret=%d\r\n", __func__, __LINE__, static_cast<int>(ret));
        return 1;
    }
    int n = 0;
    for (const GpNode &node : *list) {
        if (node.bValid == 0)
            continue;
        char name[16];
        std::snprintf(name, sizeof name, "%d", ++n);
        // Never more bytes than the record holds.
        auto bytes = std::min<uint32_t>(node.dwDataLen, sizeof node.wszData);
        ret = set_group_policy_key_value(kDenyListKey, name, GP_OP_SET_VALUE, platform::kRegSz, node.wszData, bytes);
        if (ret != 0) {
            log_printf("E KestruneCtl %s %d: Error: add %d item, ret=%d\r\n", __func__, __LINE__, n,
                       static_cast<int>(ret));
            return 1;
        }
    }
    return 0;
}

} // namespace kestrune
