#include "notify/device_arrival.h"

#include <cstddef>

#include "core/log.h"
#include "base/wide_text.h"
#include "notify/device_text.h"
#include "notify/link_name.h"
#include "notify/notify_record.h"
#include "platform/device_lookup.h"

namespace kestrune::notify {

namespace {

// The link name runs from dbcc_name to its terminator, and never past the end of
// the record that dbcc_size declares.
std::u16string_view link_name_of(const platform::DevBroadcastDeviceInterface *record)
{
    constexpr size_t kNameOffset = offsetof(platform::DevBroadcastDeviceInterface, dbcc_name);
    auto name = reinterpret_cast<const char16_t *>(reinterpret_cast<const unsigned char *>(record) + kNameOffset);
    size_t capacity = record->dbcc_size > kNameOffset ? (record->dbcc_size - kNameOffset) / sizeof(char16_t) : 0;
    return {name, u16_length(name, capacity)};
}

} // namespace

void UpdateDevice(const platform::DevBroadcastDeviceInterface *record, uintptr_t eventCode)
{
    std::u16string instanceId;
    switch (instance_id_from_link_name(link_name_of(record), instanceId)) {
    case LinkNameError::kTooShort:
        log_printf("E KestruneCtl %s %d: dbcc name fmt error! dbcc_name\r\n", __func__, __LINE__);
        return;
    case LinkNameError::kNoNumberSign:
        log_printf("E KestruneCtl %s %d: dbcc name fmt error! no #\r\n", __func__, __LINE__);
        return;
    case LinkNameError::kNone:
        break;
    }

    bool arrival = eventCode == platform::kDbtDeviceArrival;
    std::u16string deviceText;
    QVX_KESTRUNE_get_device_detail_info_by_devid(
        instanceId, arrival ? platform::kDigcfPresent | platform::kDigcfAllClasses : platform::kDigcfAllClasses,
        deviceText);

    DeviceNotifyRecord *registration = deviceNotify.load();
    if (registration == nullptr)
        return;
    char buffer[kCallbackTextBytes];
    to_callback_text(deviceText, buffer);
    // A null callback is accepted at registration and delivers nothing.
    if (QVX_KESTRUNE_DEVICE_NOTIFY_CB callback = registration->callback.load())
        callback(arrival ? QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL : QVX_KESTRUNE_DEVICE_EVENT_REMOVAL, buffer);
}

} // namespace kestrune::notify
