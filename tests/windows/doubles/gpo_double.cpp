// Test double of the system's group policy object class: an in-process COM server
// for CLSID_GroupPolicyObject, registered in the test prefix, that keeps the
// machine section under a registry key of the tests' own and records what the
// library asks of it (double_records.h). Wine has no such class. Only the calls
// the library makes are implemented; the others answer E_NOTIMPL. Without
// DllCanUnloadNow COM keeps the DLL for the life of the process, as tests want.
#include <windows.h>
#include <objbase.h>
#include <gpedit.h>

#include <atomic>
#include <string>

#include "double_records.h"

namespace {

using kestrune::doubles::add_record;
using kestrune::doubles::failure_scripted;

const GUID kClsidGroupPolicyObject = {0xEA502722, 0xA23D, 0x11D1, {0xA7, 0xD3, 0x00, 0x00, 0xF8, 0x75, 0x71, 0xE3}};
const GUID kIidGroupPolicyObject = {0xEA502723, 0xA23D, 0x11D1, {0xA7, 0xD3, 0x00, 0x00, 0xF8, 0x75, 0x71, 0xE3}};

std::wstring guid_text(const GUID *guid)
{
    wchar_t text[40] = L"null";
    if (guid != nullptr)
        StringFromGUID2(*guid, text, 40);
    return text;
}

class PolicyObjectDouble final : public IGroupPolicyObject {
public:
    PolicyObjectDouble() = default;
    ~PolicyObjectDouble()
    {
        if (machine_ != nullptr)
            RegCloseKey(machine_);
        add_record(L"Releases");
    }
    PolicyObjectDouble(const PolicyObjectDouble &) = delete;
    PolicyObjectDouble &operator=(const PolicyObjectDouble &) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void **object) override
    {
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, kIidGroupPolicyObject)) {
            *object = static_cast<IGroupPolicyObject *>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references_); }
    STDMETHODIMP_(ULONG) Release() override
    {
        long left = --references_;
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }

    STDMETHODIMP OpenLocalMachineGPO(DWORD flags) override
    {
        if (failure_scripted(L"open-denied"))
            return E_ACCESSDENIED;
        if (failure_scripted(L"open"))
            return E_FAIL;
        if (machine_ == nullptr &&
            RegCreateKeyExW(HKEY_CURRENT_USER, kestrune::doubles::kMachineKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &machine_, nullptr) != ERROR_SUCCESS)
            return E_FAIL;
        add_record(L"Opens");
        kestrune::doubles::set_record(L"OpenFlags", flags);
        return S_OK;
    }

    STDMETHODIMP GetRegistryKey(DWORD section, HKEY *key) override
    {
        *key = nullptr;
        if (section != GPO_SECTION_MACHINE || machine_ == nullptr || failure_scripted(L"no-key"))
            return E_FAIL;
        // A handle of the caller's own, which it closes.
        return RegOpenKeyExW(machine_, nullptr, 0, KEY_ALL_ACCESS, key) == ERROR_SUCCESS ? S_OK : E_FAIL;
    }

    STDMETHODIMP Save(BOOL machine, BOOL add, GUID *extension, GUID *tool) override
    {
        if (failure_scripted(L"save"))
            return HRESULT_FROM_WIN32(ERROR_DISK_FULL);
        std::wstring text = L"machine=" + std::to_wstring(machine) + L" add=" + std::to_wstring(add) +
                            L" extension=" + guid_text(extension) + L" tool=" + guid_text(tool);
        RegSetKeyValueW(HKEY_CURRENT_USER, kestrune::doubles::kRecordKey, L"LastSave", REG_SZ, text.c_str(),
                        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
        add_record(L"Saves");
        return S_OK;
    }

    STDMETHODIMP New(LPOLESTR, LPOLESTR, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP OpenDSGPO(LPOLESTR, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP OpenRemoteMachineGPO(LPOLESTR, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Delete() override { return E_NOTIMPL; }
    STDMETHODIMP GetName(LPOLESTR, int) override { return E_NOTIMPL; }
    STDMETHODIMP GetDisplayName(LPOLESTR, int) override { return E_NOTIMPL; }
    STDMETHODIMP SetDisplayName(LPOLESTR) override { return E_NOTIMPL; }
    STDMETHODIMP GetPath(LPOLESTR, int) override { return E_NOTIMPL; }
    STDMETHODIMP GetDSPath(DWORD, LPOLESTR, int) override { return E_NOTIMPL; }
    STDMETHODIMP GetFileSysPath(DWORD, LPOLESTR, int) override { return E_NOTIMPL; }
    STDMETHODIMP GetOptions(DWORD *) override { return E_NOTIMPL; }
    STDMETHODIMP SetOptions(DWORD, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP GetType(GROUP_POLICY_OBJECT_TYPE *) override { return E_NOTIMPL; }
    STDMETHODIMP GetMachineName(LPOLESTR, int) override { return E_NOTIMPL; }
    STDMETHODIMP GetPropertySheetPages(HPROPSHEETPAGE **, UINT *) override { return E_NOTIMPL; }

private:
    std::atomic<long> references_{1};
    HKEY machine_ = nullptr;
};

class Factory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void **object) override
    {
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IClassFactory)) {
            *object = static_cast<IClassFactory *>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // The factory is static: counting references would change nothing.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    // The library never aggregates the object.
    STDMETHODIMP CreateInstance(IUnknown *, REFIID iid, void **object) override
    {
        auto *created = new PolicyObjectDouble;
        HRESULT hr = created->QueryInterface(iid, object);
        created->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

Factory factory;

} // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void **object)
{
    if (!IsEqualGUID(clsid, kClsidGroupPolicyObject)) {
        *object = nullptr;
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return factory.QueryInterface(iid, object);
}
