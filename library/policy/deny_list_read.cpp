#include "policy/deny_list_read.h"

#include "core/log.h"
#include "core/policy_object.h"
#include "platform/registry.h"

namespace kestrune {

namespace {

// The data as text: up to its first zero, within the bytes actually read.
std::u16string_view data_text(const char16_t *data, uint32_t dataBytes)
{
    std::u16string_view text(data, dataBytes / sizeof(char16_t));
    return text.substr(0, text.find(u'\0'));
}

class ListKey {
public:
    ListKey()
    {
        opened_ = platform::reg_open_key(held_machine_key(), kDenyListKeyWide, platform::kKeyRead, &key_) ==
                  platform::kErrorSuccess;
    }
    ~ListKey()
    {
        if (opened_)
            platform::reg_close_key(key_);
    }
    ListKey(const ListKey &) = delete;
    ListKey &operator=(const ListKey &) = delete;

    bool opened() const { return opened_; }
    platform::RegKey get() const { return key_; }

private:
    platform::RegKey key_ = nullptr;
    bool opened_ = false;
};

} // namespace

DenyListRead read_deny_list(const char *function, std::u16string_view classText, GpList *records)
{
    DenyListRead read;
    ListKey key;
    read.bOpened = key.opened();
    if (!read.bOpened)
        return read;

    char16_t name[kReadNameChars];
    char16_t data[kReadDataBytes / sizeof(char16_t)];
    uint32_t index = 0;
    for (;; ++index) {
        uint32_t nameChars = kReadNameChars;
        uint32_t dataBytes = kReadDataBytes;
        uint32_t ret = platform::reg_enum_value(key.get(), index, name, &nameChars, nullptr, data, &dataBytes);
        if (ret == platform::kErrorNoMoreItems)
            break;
        if (ret == platform::kErrorMoreData) {
            log_printf("E KestruneCtl %s %d: item %u too large to read, ret=%d\r\n", function, __LINE__, index,
                       static_cast<int>(ret));
            read.bComplete = false;
            continue;
        }
        if (ret != platform::kErrorSuccess) {
            log_printf("E KestruneCtl %s %d: RegEnumValue item %u, ret=%d\r\n", function, __LINE__, index,
                       static_cast<int>(ret));
            read.bComplete = false;
            break;
        }
        std::u16string_view valueName(name, nameChars);
        bool marker = index == 0 && valueName == kMarkerNameWide;
        // The marker is a directive, not a class: its data never denies anything.
        bool target = !marker && data_text(data, dataBytes) == classText;
        read.bMarker = read.bMarker || marker;
        read.bFound = read.bFound || target;
        if (records == nullptr)
            continue;
        records->push_back(gp_node_read(valueName, data, dataBytes));
        if (marker)
            records->back().bValid = 0;
        if (target)
            read.target = records->size() - 1;
    }
    read.dwIndexs = index;
    return read;
}

} // namespace kestrune
