// Initialize, Apply and Uninitialize: open the local machine's policy object and
// take its machine key; save it and refresh machine policy; let go of both.
//
// A failure after COM was initialised releases the object and balances the COM
// initialisation, so that a later Initialize can succeed; otherwise a process
// whose first attempt failed could never initialise again.
#include "core/policy_object.h"

#include "core/boundary.h"
#include "kestrune.h"
#include "core/log.h"
#include "platform/policy_object.h"

namespace kestrune {

namespace {

platform::PolicyObject *pGPO = nullptr;
platform::RegKey machine_key = nullptr;

uint32_t hex(platform::HResult hr)
{
    return static_cast<uint32_t>(hr);
}

// Undoes steps 3 and 4 of a failed Initialize.
void abandon_initialize()
{
    if (pGPO != nullptr) {
        platform::gpo_release(pGPO);
        pGPO = nullptr;
    }
    platform::com_uninitialize();
}

int initialize()
{
    log_printf("I KestruneCtl %s %d: ENABLE LOG INFO\r\n", "QVX_KESTRUNE_Initialize", __LINE__);
    log_printf("E KestruneCtl %s %d: ENABLE LOG ERROR\r\n", "QVX_KESTRUNE_Initialize", __LINE__);
    const char *fn = "QVX_KESTRUNE_Initialize";

    if (pGPO != nullptr || machine_key != nullptr) {
        log_wstream('E', fn, __LINE__) << "Internal error! pGPO already init";
        return QVX_KESTRUNE_RESULT_INTERNAL_ERROR;
    }
    platform::HResult hr = platform::com_initialize();
    if (hr < 0) {
        log_wstream('E', fn, __LINE__) << "Failed CoInitialize. Error code = 0x" << log_hex{hex(hr)};
        return QVX_KESTRUNE_RESULT_FAILED;
    }
    hr = platform::gpo_create(platform::kClsidGroupPolicyObject, platform::kClsctxAll,
                              platform::kIidGroupPolicyObject, &pGPO);
    if (hr < 0) {
        log_wstream('E', fn, __LINE__) << "Failed CoCreateInstance. Error code = 0x" << log_hex{hex(hr)};
        abandon_initialize();
        return QVX_KESTRUNE_RESULT_FAILED;
    }
    if (pGPO == nullptr) {
        log_wstream('E', fn, __LINE__) << "Failed CoCreateInstance, pGPO null. Error code = 0x" << log_hex{hex(hr)};
        abandon_initialize();
        return QVX_KESTRUNE_RESULT_FAILED;
    }
    hr = platform::gpo_open_local_machine(pGPO, platform::kGpoOpenLoadRegistry);
    if (hr == platform::kEAccessDenied) {
        log_wstream('E', fn, __LINE__) << "Failed run OpenLocalMachineGPO, are you Administrator?";
        abandon_initialize();
        return QVX_KESTRUNE_RESULT_ACCESS_DENIED;
    }
    if (hr < 0) {
        log_wstream('E', fn, __LINE__) << "Failed OpenLocalMachineGPO. Error code = 0x" << log_hex{hex(hr)};
        abandon_initialize();
        return QVX_KESTRUNE_RESULT_FAILED;
    }
    platform::gpo_get_registry_key(pGPO, platform::kGpoSectionMachine, &machine_key);
    if (machine_key == nullptr) {
        log_wstream('E', fn, __LINE__) << "Failed get machine_key, are you Administrator?";
        abandon_initialize();
        return QVX_KESTRUNE_RESULT_ACCESS_DENIED;
    }
    return QVX_KESTRUNE_RESULT_SUCCESS;
}

int apply()
{
    const char *fn = "QVX_KESTRUNE_Apply";
    if (pGPO == nullptr || machine_key == nullptr) {
        log_wstream('E', fn, __LINE__) << "Internal error! pGPO null";
        return QVX_KESTRUNE_RESULT_INTERNAL_ERROR;
    }
    platform::HResult hr = platform::gpo_save(pGPO, true, true, platform::kRegistryExtensionGuid,
                                              platform::kClsidGpeSnapIn);
    if (hr < 0) {
        log_wstream('E', fn, __LINE__) << "Failed save. Error code = 0x" << log_hex{hex(hr)};
        return QVX_KESTRUNE_RESULT_FAILED;
    }
    if (!platform::refresh_policy(true)) {
        log_wstream('E', fn, __LINE__) << "Failed apply configs!";
        return QVX_KESTRUNE_RESULT_FAILED;
    }
    log_wstream('I', fn, __LINE__) << "RefreshPolicy done";
    return QVX_KESTRUNE_RESULT_SUCCESS;
}

int uninitialize()
{
    if (pGPO == nullptr || machine_key == nullptr) {
        log_wstream('E', "QVX_KESTRUNE_Uninitialize", __LINE__) << "Internal error! pGPO null";
        return QVX_KESTRUNE_RESULT_INTERNAL_ERROR;
    }
    platform::reg_close_key(machine_key);
    machine_key = nullptr;
    platform::gpo_release(pGPO);
    pGPO = nullptr;
    platform::com_uninitialize();
    return QVX_KESTRUNE_RESULT_SUCCESS;
}

} // namespace

platform::RegKey held_machine_key()
{
    return machine_key;
}

} // namespace kestrune

KESTRUNE_API int KESTRUNE_CALL QVX_KESTRUNE_Initialize(void)
{
    return kestrune::call_guarded<int>(__func__, QVX_KESTRUNE_RESULT_FAILED, kestrune::initialize);
}

KESTRUNE_API int KESTRUNE_CALL QVX_KESTRUNE_Apply(void)
{
    return kestrune::call_guarded<int>(__func__, QVX_KESTRUNE_RESULT_FAILED, kestrune::apply);
}

KESTRUNE_API int KESTRUNE_CALL QVX_KESTRUNE_Uninitialize(void)
{
    return kestrune::call_guarded<int>(__func__, QVX_KESTRUNE_RESULT_FAILED, kestrune::uninitialize);
}
