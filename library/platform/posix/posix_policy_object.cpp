// The local policy object on Linux: a directory tree under $KESTRUNE_ROOT (default
// /var/lib/kestrune) holding the machine section as GroupPolicy/Machine/Registry.pol
// and its version in GroupPolicy/gpt.ini. Opening loads the file into an in-memory
// registry tree; saving writes the tree back atomically; refreshing computes the
// effective machine policy into Policies/Machine.pol, with domain policy from
// Policies/Domain.pol (same format) applied over the local section, and makes it
// take effect.
//
// The COM apartment has nothing to do on Linux; a per-thread count keeps the
// S_OK / S_FALSE answers and the balancing of the Windows calls.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "platform/policy_object.h"
#include "platform/policy_enforcement.h"
#include "platform/gpo_files/gpt_ini.h"
#include "platform/gpo_files/policy_apply.h"
#include "platform/posix/posix_file_io.h"
#include "platform/gpo_files/registry_handles.h"
#include "platform/gpo_files/registry_pol.h"

namespace kestrune::platform {

struct PolicyObject {
    std::string root;
    std::shared_ptr<RegNode> machine; // null until opened
};

namespace {

constexpr HResult kRegdbEClassNotReg = static_cast<HResult>(0x80040154u);
constexpr HResult kENoInterface = static_cast<HResult>(0x80004002u);
constexpr HResult kEInvalidArg = static_cast<HResult>(0x80070057u);

thread_local unsigned comInitCount = 0;

// The machine's own policy: the one that the refresh enforces unless told otherwise.
constexpr const char *kMachineRoot = "/var/lib/kestrune";

std::string policy_root()
{
    const char *root = std::getenv("KESTRUNE_ROOT");
    return root != nullptr && *root != '\0' ? root : kMachineRoot;
}

std::string machine_dir(const std::string &root) { return root + "/GroupPolicy/Machine"; }
std::string registry_pol_path(const std::string &root) { return machine_dir(root) + "/Registry.pol"; }
std::string gpt_ini_path(const std::string &root) { return root + "/GroupPolicy/gpt.ini"; }
std::string effective_dir(const std::string &root) { return root + "/Policies"; }

// OS errors become HRESULTs here and nowhere else. A refusal of the file system
// (permissions, read-only) is the missing administrator right.
HResult hresult_of_errno(int error)
{
    switch (error) {
    case 0: return kSOk;
    case EACCES:
    case EPERM:
    case EROFS: return kEAccessDenied;
    case ENOMEM: return kEOutOfMemory;
    case ENOSPC:
    case EDQUOT: return static_cast<HResult>(0x80070070u); // ERROR_DISK_FULL
    case ENOENT:
    case ENOTDIR: return static_cast<HResult>(0x80070003u); // ERROR_PATH_NOT_FOUND
    default: return kEFail;
    }
}

// The records of a policy file: a missing file is an empty policy.
HResult read_policy_file(const std::string &path, std::vector<PolRecord> &records)
{
    std::vector<uint8_t> bytes;
    int error = read_whole_file(path, bytes);
    if (error == ENOENT) {
        records.clear();
        return kSOk;
    }
    if (error != 0)
        return hresult_of_errno(error);
    auto parsed = parse_registry_pol(bytes);
    if (!parsed)
        return kEInvalidData;
    records = std::move(*parsed);
    return kSOk;
}

} // namespace

HResult com_initialize()
{
    return comInitCount++ == 0 ? kSOk : kSFalse;
}

void com_uninitialize()
{
    if (comInitCount > 0)
        --comInitCount;
}

HResult gpo_create(const Guid &clsid, uint32_t, const Guid &iid, PolicyObject **object)
{
    if (object == nullptr)
        return kEInvalidArg;
    *object = nullptr;
    if (!(clsid == kClsidGroupPolicyObject))
        return kRegdbEClassNotReg;
    if (!(iid == kIidGroupPolicyObject))
        return kENoInterface;
    *object = new (std::nothrow) PolicyObject;
    return *object != nullptr ? kSOk : kEOutOfMemory;
}

HResult gpo_open_local_machine(PolicyObject *object, uint32_t flags)
{
    if (object == nullptr)
        return kEInvalidArg;
    try {
        std::string root = policy_root();
        if (int error = make_directories(machine_dir(root)))
            return hresult_of_errno(error);
        // Saving needs to create files in both directories; find out now rather
        // than after the caller has written its policy.
        for (const std::string &dir : {machine_dir(root), root + "/GroupPolicy"})
            if (posix_io.access(dir.c_str(), W_OK | X_OK) != 0)
                return hresult_of_errno(errno);
        std::vector<PolRecord> records;
        if ((flags & kGpoOpenLoadRegistry) != 0)
            if (HResult hr = read_policy_file(registry_pol_path(root), records); hr < 0)
                return hr;
        auto machine = std::make_shared<RegNode>(u"");
        load_records(*machine, records);
        object->root = std::move(root);
        object->machine = std::move(machine);
        return kSOk;
    } catch (const std::bad_alloc &) {
        return kEOutOfMemory;
    }
}

HResult gpo_get_registry_key(PolicyObject *object, uint32_t section, RegKey *key)
{
    if (key == nullptr)
        return kEInvalidArg;
    *key = nullptr;
    if (object == nullptr || object->machine == nullptr || section != kGpoSectionMachine)
        return kEInvalidArg;
    *key = open_tree_root(object->machine);
    return *key != nullptr ? kSOk : kEOutOfMemory;
}

HResult gpo_save(PolicyObject *object, bool machine, bool, const Guid &extension, const Guid &tool)
{
    if (object == nullptr || object->machine == nullptr || !machine)
        return kEInvalidArg;
    try {
        std::vector<uint8_t> bytes;
        {
            std::lock_guard guard(registry_lock());
            bytes = serialize_registry_pol(records_of_tree(*object->machine));
        }
        if (int error = make_directories(machine_dir(object->root)))
            return hresult_of_errno(error);
        if (int error = write_file_atomically(registry_pol_path(object->root), bytes))
            return hresult_of_errno(error);
        // The version goes up only after the new policy is in place, so a reader
        // that sees the new version also sees the new file.
        std::vector<uint8_t> ini;
        int error = read_whole_file(gpt_ini_path(object->root), ini);
        if (error != 0 && error != ENOENT)
            return hresult_of_errno(error);
        std::string updated = gpt_ini_after_machine_save(std::string(ini.begin(), ini.end()), extension, tool);
        return hresult_of_errno(write_file_atomically(gpt_ini_path(object->root),
                                                      std::vector<uint8_t>(updated.begin(), updated.end())));
    } catch (const std::bad_alloc &) {
        return kEOutOfMemory;
    }
}

void gpo_release(PolicyObject *object)
{
    delete object;
}

bool refresh_policy(bool machine)
{
    if (!machine)
        return true; // this store holds no user policy
    try {
        std::string root = policy_root();
        // Domain policy is written by the domain client, never by the policy object.
        // A domain file that does not parse fails the refresh, so the last effective
        // policy stays instead of losing the domain's restrictions.
        std::vector<PolRecord> local, domain;
        if (read_policy_file(registry_pol_path(root), local) < 0 ||
            read_policy_file(effective_dir(root) + "/Domain.pol", domain) < 0)
            return false;
        RegNode effective(u"");
        apply_machine_policy(effective, local, domain);
        return make_directories(effective_dir(root)) == 0 &&
               write_file_atomically(effective_dir(root) + "/Machine.pol",
                                     serialize_registry_pol(records_of_tree(effective))) == 0 &&
               enforce_effective_policy(effective, root, root == kMachineRoot);
    } catch (const std::bad_alloc &) {
        return false;
    }
}

} // namespace kestrune::platform
