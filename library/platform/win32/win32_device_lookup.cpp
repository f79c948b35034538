// The device lookup over the Setup API's device information sets, and the C
// runtime's wide upper-casing (_wcsupr_s, in the locale the process has set).
// The system keeps the devices it has seen, present or not: a removal still
// finds its device without anything remembered here.
#include <windows.h>
#include <devpropdef.h>
#include <setupapi.h>

#include <cwchar>
#include <memory>
#include <string>

#include "platform/device_lookup.h"

namespace kestrune::platform {

namespace {

// DEVPKEY_Device_BusReportedDeviceDesc and DEVPKEY_Device_Manufacturer.
const DEVPROPKEY kBusReportedDeviceDesc = {
    {0x540B947E, 0x8B40, 0x45BC, {0xA8, 0xA2, 0x6A, 0x0B, 0x89, 0x4C, 0xBD, 0xA2}}, 4};
const DEVPROPKEY kManufacturer = {{0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 13};

// The error of a failed call; never 0, so that a caller cannot take it for success.
uint32_t last_error()
{
    DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : kErrorInvalidData;
}

class SetupDiSet final : public DeviceInfoSet {
public:
    explicit SetupDiSet(HDEVINFO set) : set_(set) {}
    ~SetupDiSet() override { SetupDiDestroyDeviceInfoList(set_); }
    SetupDiSet(const SetupDiSet &) = delete;
    SetupDiSet &operator=(const SetupDiSet &) = delete;

    bool member(uint32_t index) override
    {
        SP_DEVINFO_DATA data;
        return member_data(index, data);
    }

    uint32_t instance_id(uint32_t index, char16_t *buffer, uint32_t capacity) override
    {
        SP_DEVINFO_DATA data;
        if (!member_data(index, data))
            return last_error();
        auto wide = reinterpret_cast<wchar_t *>(buffer);
        if (!SetupDiGetDeviceInstanceIdW(set_, &data, wide, capacity, nullptr))
            return last_error();
        // The comparison with the link name's ID is exact: both sides are upper-cased.
        _wcsupr_s(wide, capacity);
        return ERROR_SUCCESS;
    }

    uint32_t property(uint32_t index, DeviceProperty property, char16_t *buffer, uint32_t bytes) override
    {
        SP_DEVINFO_DATA data;
        if (!member_data(index, data))
            return last_error();
        auto out = reinterpret_cast<BYTE *>(buffer);
        DWORD written = 0;
        BOOL read = FALSE;
        DEVPROPTYPE type = 0;
        switch (property) {
        case DeviceProperty::kDeviceDesc:
            read = SetupDiGetDeviceRegistryPropertyW(set_, &data, SPDRP_DEVICEDESC, nullptr, out, bytes, &written);
            break;
        case DeviceProperty::kFriendlyName:
            read = SetupDiGetDeviceRegistryPropertyW(set_, &data, SPDRP_FRIENDLYNAME, nullptr, out, bytes, &written);
            break;
        case DeviceProperty::kBusReportedDeviceDesc:
            read = SetupDiGetDevicePropertyW(set_, &data, &kBusReportedDeviceDesc, &type, out, bytes, &written, 0);
            break;
        case DeviceProperty::kManufacturer:
            read = SetupDiGetDevicePropertyW(set_, &data, &kManufacturer, &type, out, bytes, &written, 0);
            break;
        }
        if (!read)
            return last_error();
        // A stored value need not end in a zero; the buffer may hold an older text.
        if (written / sizeof(char16_t) < bytes / sizeof(char16_t))
            buffer[written / sizeof(char16_t)] = u'\0';
        return ERROR_SUCCESS;
    }

private:
    bool member_data(uint32_t index, SP_DEVINFO_DATA &data)
    {
        data = SP_DEVINFO_DATA{};
        data.cbSize = sizeof data;
        return SetupDiEnumDeviceInfo(set_, index, &data) != FALSE;
    }

    HDEVINFO set_;
};

class SetupDiLookup final : public DeviceLookup {
public:
    uint32_t open(std::u16string_view enumerator, uint32_t flags, std::unique_ptr<DeviceInfoSet> &set) override
    {
        std::u16string name(enumerator);
        HDEVINFO devices = SetupDiGetClassDevsW(nullptr, reinterpret_cast<const wchar_t *>(name.c_str()), nullptr,
                                                flags);
        if (devices == INVALID_HANDLE_VALUE)
            return last_error();
        try {
            set = std::make_unique<SetupDiSet>(devices);
        } catch (...) {
            SetupDiDestroyDeviceInfoList(devices);
            throw;
        }
        return ERROR_SUCCESS;
    }

    void remember_present() override {}
};

} // namespace

std::shared_ptr<DeviceLookup> system_device_lookup()
{
    static const std::shared_ptr<DeviceLookup> lookup = std::make_shared<SetupDiLookup>();
    return lookup;
}

void upper_case_instance_id(std::u16string &id)
{
    if (id.empty())
        return;
    _wcsupr_s(reinterpret_cast<wchar_t *>(id.data()), id.size() + 1);
}

} // namespace kestrune::platform
