#include "policy/policy_registry.h"

#include <string_view>

#include "core/log.h"
#include "core/policy_object.h"
#include "base/wide_text.h"

namespace kestrune {

namespace {

// Registry paths and value names cross into the platform as zero-filled buffers
// of this many UTF-16 units, so at most 511 characters survive.
constexpr size_t kWideBufferChars = 512;

struct WideBuffer {
    char16_t text[kWideBufferChars];

    explicit WideBuffer(const char *narrow)
    {
        widen_into(narrow != nullptr ? std::string_view(narrow) : std::string_view(), text, kWideBufferChars);
    }
};

} // namespace

uint32_t set_group_policy_key_value(const char *keyPath, const char *valueName, int32_t operation,
                                    uint32_t valueType, const void *data, uint32_t dataSize)
{
    WideBuffer path(keyPath);
    platform::RegKey key = nullptr;
    uint32_t ret = platform::reg_create_key(held_machine_key(), path.text, platform::kKeyAllAccess, &key);
    if (ret != platform::kErrorSuccess) {
        log_wstream('E', __func__, __LINE__) << "RegCreateKeyEx ret =" << ret;
        return ret;
    }
    WideBuffer name(valueName);
    if (operation == GP_OP_SET_VALUE)
        ret = platform::reg_set_value(key, name.text, valueType, data, dataSize);
    else if (operation == GP_OP_DELETE_VALUE)
        ret = platform::reg_delete_value(key, name.text);
    if (ret != platform::kErrorSuccess)
        log_printf("E KestruneCtl %s %d: operation %d fail, ret=%d\r\n", __func__, __LINE__, operation,
                   static_cast<int>(ret));
    platform::reg_close_key(key);
    return ret;
}

uint32_t get_group_policy_key_value(const char *keyPath, const char *valueName, uint32_t *destination)
{
    WideBuffer path(keyPath);
    platform::RegKey key = nullptr;
    uint32_t ret = platform::reg_open_key(held_machine_key(), path.text, platform::kKeyQueryValue, &key);
    if (ret != platform::kErrorSuccess) {
        log_wstream('E', __func__, __LINE__) << "RegOpenKeyEx ret =" << ret;
        return ret;
    }
    WideBuffer name(valueName);
    uint32_t size = sizeof(uint32_t);
    ret = platform::reg_query_value(key, name.text, nullptr, destination, &size);
    platform::reg_close_key(key);
    if (ret == platform::kErrorFileNotFound) {
        log_printf("I KestruneCtl %s %d: RegQueryValueEx %s not found\r\n", __func__, __LINE__,
                   valueName != nullptr ? valueName : "");
        return ret;
    }
    if (ret != platform::kErrorSuccess)
        log_wstream('E', __func__, __LINE__) << "RegQueryValueEx ret =" << ret;
    return ret;
}

} // namespace kestrune
