// The local machine's group policy object through COM (IGroupPolicyObject) and
// the refresh of machine policy through the user environment service. A
// PolicyObject is the interface pointer itself; the results are the calls' own
// HRESULTs.
#include <windows.h>
#include <objbase.h>
#include <gpedit.h>
#include <userenv.h>

#include <cstring>

#include "platform/policy_object.h"

namespace kestrune::platform {

namespace {

IGroupPolicyObject *native(PolicyObject *object)
{
    return reinterpret_cast<IGroupPolicyObject *>(object);
}

// Guid has the field layout of GUID; the copy only changes the type.
GUID native(const Guid &guid)
{
    static_assert(sizeof(GUID) == sizeof(Guid), "Guid mirrors GUID");
    GUID out;
    std::memcpy(&out, &guid, sizeof out);
    return out;
}

} // namespace

HResult com_initialize()
{
    return CoInitialize(nullptr);
}

void com_uninitialize()
{
    CoUninitialize();
}

HResult gpo_create(const Guid &clsid, uint32_t context, const Guid &iid, PolicyObject **object)
{
    GUID classId = native(clsid);
    GUID interfaceId = native(iid);
    void *created = nullptr;
    HRESULT hr = CoCreateInstance(classId, nullptr, context, interfaceId, &created);
    *object = static_cast<PolicyObject *>(created);
    return hr;
}

HResult gpo_open_local_machine(PolicyObject *object, uint32_t flags)
{
    return native(object)->OpenLocalMachineGPO(flags);
}

HResult gpo_get_registry_key(PolicyObject *object, uint32_t section, RegKey *key)
{
    HKEY sectionKey = nullptr;
    HRESULT hr = native(object)->GetRegistryKey(section, &sectionKey);
    *key = reinterpret_cast<RegKey>(sectionKey);
    return hr;
}

HResult gpo_save(PolicyObject *object, bool machine, bool add, const Guid &extension, const Guid &tool)
{
    GUID extensionId = native(extension);
    GUID toolId = native(tool);
    return native(object)->Save(machine, add, &extensionId, &toolId);
}

void gpo_release(PolicyObject *object)
{
    native(object)->Release();
}

bool refresh_policy(bool machine)
{
    return RefreshPolicy(machine) != FALSE;
}

} // namespace kestrune::platform
