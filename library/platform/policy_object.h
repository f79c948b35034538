// Platform seam: the local machine's group policy object, the COM apartment it
// lives in, and the refresh of machine policy.
//
// Porting contract. All operations run on the thread that called com_initialize
// (the caller's thread of QVX_KESTRUNE_Initialize/Apply/Uninitialize); none is
// called concurrently with another. Results are HRESULTs: negative is failure.
// gpo_open_local_machine answers kEAccessDenied when the caller may not open or
// write the policy store; any other failure is another negative HRESULT.
//
// On Windows (win32/win32_policy_object.cpp) a PolicyObject is the
// IGroupPolicyObject pointer itself, each operation is the COM or userenv call
// named at it, and the results are those calls' own. On Linux the object is a
// directory tree under
// $KESTRUNE_ROOT (default /var/lib/kestrune):
//   GroupPolicy/Machine/Registry.pol  the machine section, in Registry.pol format
//   GroupPolicy/gpt.ini               its version, raised by every save
//   Policies/Domain.pol               domain policy, written by the domain client
//   Policies/Machine.pol              the effective machine policy after refresh:
//                                     Registry.pol, then Domain.pol applied over it
#ifndef KESTRUNE_PLATFORM_POLICY_OBJECT_H
#define KESTRUNE_PLATFORM_POLICY_OBJECT_H

#include <cstdint>

#include "base/guid.h"
#include "platform/registry.h"

namespace kestrune::platform {

using HResult = int32_t;

inline constexpr HResult kSOk = 0;
inline constexpr HResult kSFalse = 1;
inline constexpr HResult kEAccessDenied = static_cast<HResult>(0x80070005u);
inline constexpr HResult kEOutOfMemory = static_cast<HResult>(0x8007000Eu);
inline constexpr HResult kEInvalidData = static_cast<HResult>(0x8007000Du); // HRESULT_FROM_WIN32(13)
inline constexpr HResult kEFail = static_cast<HResult>(0x80004005u);

inline constexpr uint32_t kClsctxAll = 0x17;
inline constexpr uint32_t kGpoOpenLoadRegistry = 1;
inline constexpr uint32_t kGpoSectionMachine = 2;

inline constexpr Guid kClsidGroupPolicyObject{0xEA502722, 0xA23D, 0x11D1, {0xA7, 0xD3, 0x00, 0x00, 0xF8, 0x75, 0x71, 0xE3}};
inline constexpr Guid kIidGroupPolicyObject{0xEA502723, 0xA23D, 0x11D1, {0xA7, 0xD3, 0x00, 0x00, 0xF8, 0x75, 0x71, 0xE3}};
inline constexpr Guid kRegistryExtensionGuid{0x35378EAC, 0x683F, 0x11D2, {0xA8, 0x9A, 0x00, 0xC0, 0x4F, 0xBB, 0xCF, 0xA2}};
inline constexpr Guid kClsidGpeSnapIn{0x8FC0B734, 0xA0E1, 0x11D1, {0xA7, 0xD3, 0x00, 0x00, 0xF8, 0x75, 0x71, 0xE3}};

struct PolicyObject;

// S_OK, or S_FALSE when the thread was initialised already; balanced by
// com_uninitialize. Windows: CoInitialize(NULL), a single-threaded apartment;
// CoUninitialize.
HResult com_initialize();
void com_uninitialize();

// Creates an unopened object; *object is set on success. Windows: CoCreateInstance
// (no outer object).
HResult gpo_create(const Guid &clsid, uint32_t context, const Guid &iid, PolicyObject **object);
// Windows: IGroupPolicyObject::OpenLocalMachineGPO.
HResult gpo_open_local_machine(PolicyObject *object, uint32_t flags);
// The root key of a section; *key stays null when there is none. The caller
// closes it with reg_close_key. Windows: IGroupPolicyObject::GetRegistryKey.
HResult gpo_get_registry_key(PolicyObject *object, uint32_t section, RegKey *key);
// Persists what was written under the section's key. Windows:
// IGroupPolicyObject::Save.
HResult gpo_save(PolicyObject *object, bool machine, bool add, const Guid &extension, const Guid &tool);
// Drops the reference; the object and its keys' tree go away with the last one.
// Windows: IUnknown::Release.
void gpo_release(PolicyObject *object);

// Applies machine (or user) policy now; false when it could not complete.
// Windows: RefreshPolicy of userenv.dll.
bool refresh_policy(bool machine);

} // namespace kestrune::platform

#endif
