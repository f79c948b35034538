// The device lookup behind an event: the four texts of the device whose instance
// ID matches, read through the platform's device information set.
#include <memory>

#include "core/log.h"
#include "base/wide_text.h"
#include "notify/device_arrival.h"
#include "notify/device_text.h"
#include "notify/notify_backends.h"
#include "platform/device_lookup.h"

namespace kestrune::notify {

namespace {

// One buffer, used in turn for each instance ID and each property.
constexpr uint32_t kReadBufferUnits = 260;

constexpr platform::DeviceProperty kJoinedProperties[] = {
    platform::DeviceProperty::kDeviceDesc,
    platform::DeviceProperty::kFriendlyName,
    platform::DeviceProperty::kBusReportedDeviceDesc,
    platform::DeviceProperty::kManufacturer,
};

DeviceTexts read_device_texts(platform::DeviceInfoSet &set, uint32_t index, char16_t (&readBuffer)[kReadBufferUnits])
{
    DeviceTexts texts;
    for (size_t i = 0; i < texts.size(); ++i)
        if (set.property(index, kJoinedProperties[i], readBuffer, sizeof readBuffer) == 0)
            texts[i].emplace(readBuffer, u16_length(readBuffer, kReadBufferUnits));
    return texts;
}

} // namespace

void QVX_KESTRUNE_get_device_detail_info_by_devid(std::u16string_view instanceId, uint32_t flags,
                                                  std::u16string &deviceText)
{
    size_t firstSlash = instanceId.find(u'\\');
    if (firstSlash == std::u16string_view::npos) {
        log_wstream('E', __func__, __LINE__) << "dbcc name fmt error! no \\";
        return;
    }
    std::shared_ptr<platform::DeviceLookup> lookup = device_lookup();
    std::unique_ptr<platform::DeviceInfoSet> set;
    uint32_t error = lookup->open_matching(instanceId.substr(0, firstSlash), instanceId, flags, set);
    if (error != 0) {
        log_wstream('E', __func__, __LINE__) << "ERR: SetupDiGetClassDevs(): " << static_cast<unsigned long>(error);
        return;
    }
    char16_t readBuffer[kReadBufferUnits];
    for (uint32_t index = 0; set->member(index); ++index) {
        error = set->instance_id(index, readBuffer, kReadBufferUnits);
        if (error != 0) {
            log_wstream('E', __func__, __LINE__) << "ERR: SetupDiGetDeviceInstanceId(): " << static_cast<int>(index)
                                                 << ", " << static_cast<unsigned long>(error);
            break;
        }
        if (std::u16string_view(readBuffer, u16_length(readBuffer, kReadBufferUnits)) != instanceId)
            continue;
        append_device_texts(deviceText, read_device_texts(*set, index, readBuffer));
        break;
    }
}

} // namespace kestrune::notify
