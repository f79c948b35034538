// Platform seam: the device lookup by instance ID, the stand-in for the Setup API's
// device information sets.
//
// Porting contract. Called on the notification thread for each accepted event;
// tests also call it from their own thread while no notification thread runs. A
// lookup object may be used from several threads: it guards its own state. A set
// is used by one thread and must not outlive the lookup that opened it. Results
// are Win32 error codes (GetLastError of the failed call on Windows):
// kErrorInvalidData when no device of the enumerator is known (Wine answers with
// an empty set instead), kErrorInsufficientBuffer when a text does not fit the
// caller's buffer, kErrorInvalidData or kErrorNotFound for a property the device
// lacks. The Windows backend (win32/win32_device_lookup.cpp) is the calls below.
//
//   open              SetupDiGetClassDevsW(nullptr, enumerator, nullptr, flags):
//                     the devices whose instance ID begins with the enumerator.
//                     With kDigcfPresent only those present now; without it also
//                     those the system still knows but that are gone.
//   open_matching     the search for one device: open's set, less any members
//                     whose instance ID differs from `instanceId`; every member
//                     whose ID equals it stays, in open's order, so the first match
//                     is the same. A backend that can find a device by its ID
//                     without listing the enumerator's devices (Linux) answers in
//                     time independent of their number; Windows lists them all.
//   member            SetupDiEnumDeviceInfo: true while the index names a member.
//   instance_id       SetupDiGetDeviceInstanceIdW: the member's instance ID in
//                     upper case (upper_case_instance_id), zero-terminated, in at
//                     most `capacity` units.
//   property          SetupDiGetDeviceRegistryPropertyW (description, friendly
//                     name) or SetupDiGetDevicePropertyW (bus-reported description,
//                     manufacturer): a zero-terminated UTF-16 value in at most
//                     `bytes` bytes (the zero added when the stored value lacks it
//                     and there is room). The reported data type is not examined.
//   remember_present  called by the notification thread once it listens, so that
//                     a later removal still finds the devices present then. The
//                     system remembers devices on Windows: nothing to do there.
//   ~DeviceInfoSet    SetupDiDestroyDeviceInfoList.
#ifndef KESTRUNE_PLATFORM_DEVICE_LOOKUP_H
#define KESTRUNE_PLATFORM_DEVICE_LOOKUP_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kestrune::platform {

inline constexpr uint32_t kDigcfPresent = 0x00000002;
inline constexpr uint32_t kDigcfAllClasses = 0x00000004;

inline constexpr uint32_t kErrorInvalidData = 13;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorNotFound = 1168;

enum class DeviceProperty {
    kDeviceDesc,            // SPDRP_DEVICEDESC
    kFriendlyName,          // SPDRP_FRIENDLYNAME
    kBusReportedDeviceDesc, // DEVPKEY_Device_BusReportedDeviceDesc
    kManufacturer,          // DEVPKEY_Device_Manufacturer
};

class DeviceInfoSet {
public:
    virtual ~DeviceInfoSet() = default;
    virtual bool member(uint32_t index) = 0;
    virtual uint32_t instance_id(uint32_t index, char16_t *buffer, uint32_t capacity) = 0;
    virtual uint32_t property(uint32_t index, DeviceProperty property, char16_t *buffer, uint32_t bytes) = 0;
};

class DeviceLookup {
public:
    virtual ~DeviceLookup() = default;
    virtual uint32_t open(std::u16string_view enumerator, uint32_t flags, std::unique_ptr<DeviceInfoSet> &set) = 0;
    virtual uint32_t open_matching(std::u16string_view enumerator, std::u16string_view instanceId, uint32_t flags,
                                   std::unique_ptr<DeviceInfoSet> &set)
    {
        static_cast<void>(instanceId);
        return open(enumerator, flags, set);
    }
    virtual void remember_present() = 0;
};

// The build's backend over the live system.
std::shared_ptr<DeviceLookup> system_device_lookup();

// The C runtime's locale-dependent wide upper-casing (_wcsupr_s on Windows,
// towupper on Linux), in place. Instance IDs on both sides of a comparison go
// through it.
void upper_case_instance_id(std::u16string &id);

} // namespace kestrune::platform

#endif
