// Deny or allow one device setup class, and ask whether it is denied. A change
// rewrites the whole list key; an operation that changes nothing writes nothing.
#include "policy/deny_list.h"

#include <string>
#include <string_view>

#include "core/log.h"
#include "policy/deny_list_read.h"
#include "policy/deny_list_rewrite.h"
#include "policy/gp_list.h"

namespace kestrune {

namespace {

constexpr int32_t kPermissionDeny = 1;
constexpr int32_t kPermissionAllow = 2;

// A class text is more than 3 characters (shorter ones stand for "no class") and
// short enough that its value can be read back whole by a later pass; a longer one
// would make the list unrewritable.
bool usable_class_text(const char *function, int line, const char16_t *classText, std::u16string_view &text)
{
    size_t length = classText != nullptr ? std::char_traits<char16_t>::length(classText) : 0;
    if (length <= 3) {
        log_wstream('E', function, line) << "GUID Len too small!" << length;
        return false;
    }
    if (length > kMaxClassTextChars) {
        log_wstream('E', function, line) << "GUID Len too long!" << length;
        return false;
    }
    text = std::u16string_view(classText, length);
    return true;
}

} // namespace

uint32_t gpo_helper_set_restrictions_denydeviceclasses(int32_t permission, const char16_t *classText)
{
    std::u16string_view text;
    if (!usable_class_text(__func__, __LINE__, classText, text))
        return 3;

    GpList list;
    DenyListRead read = read_deny_list(__func__, text, &list);
    uint32_t remaining = 0;
    if (read.bFound) {
        if (permission == kPermissionDeny)
            return 0;
        list[read.target].bValid = 0;
        // Counts the marker too: allowing the last class keeps the policy on.
        remaining = read.dwIndexs - 1;
    } else {
        if (permission != kPermissionDeny)
            return 0;
        if (!read.bMarker && read.dwIndexs != 0)
            log_printf("E KestruneCtl %s %d: dwIndexs=%d is not valid!\r\n", __func__, __LINE__,
                       static_cast<int>(read.dwIndexs));
        list.push_back(gp_node_new(text));
        remaining = read.dwIndexs + 1;
    }
    // Values that could not be read whole cannot be carried through a rewrite,
    // which deletes what it read and renumbers the rest: refuse rather than lose
    // or overwrite the administrator's entries.
    if (!read.bComplete) {
        log_printf("E KestruneCtl %s %d: list not read whole, not rewritten\r\n", __func__, __LINE__);
        return 1;
    }
    return set_group_policy_restrictions_denydeviceclasses(read.dwIndexs, remaining, &list);
}

uint32_t gpo_helper_get_restrictions_denydeviceclasses(int32_t *permissionOut, const char16_t *classText)
{
    std::u16string_view text;
    if (!usable_class_text(__func__, __LINE__, classText, text))
        return 3;

    DenyListRead read = read_deny_list(__func__, text, nullptr);
    if (read.bOpened && !read.bFound && !read.bMarker && read.dwIndexs != 0)
        log_printf("E KestruneCtl %s %d: dwIndexs=%d is not valid! \r\n", __func__, __LINE__,
                   static_cast<int>(read.dwIndexs));
    if (permissionOut != nullptr)
        *permissionOut = read.bFound ? kPermissionDeny : kPermissionAllow;
    return 0;
}

} // namespace kestrune
