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
//
// The policy root and its folders are trusted only when they belong to the
// calling user and nobody else may write them: anyone who could would control
// the machine's policy. Every failing system call is named here, in one I line,
// before the caller writes its own E line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "core/log.h"
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
std::string effective_pol_path(const std::string &root) { return effective_dir(root) + "/Machine.pol"; }

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

HResult hresult_of(const IoResult &result)
{
    return result.error == kNotARegularFile ? kEInvalidData : hresult_of_errno(result.error);
}

// glibc's strerror_r returns its text; the POSIX one fills the buffer.
[[maybe_unused]] const char *error_text(char *text, char *) { return text; }
[[maybe_unused]] const char *error_text(int, char *buffer) { return buffer; }

// The I line naming what failed; `line` is the caller's.
void log_failure(const char *function, int line, const IoResult &result)
{
    if (result.error == kNotARegularFile) {
        log_printf("I KestruneCtl %s %d: %s is not a regular file\r\n", function, line, result.path.c_str());
        return;
    }
    char buffer[128] = "";
    const char *text = error_text(strerror_r(result.error, buffer, sizeof buffer), buffer);
    log_printf("I KestruneCtl %s %d: %s %s failed, errno=%d (%s)\r\n", function, line, result.call,
               result.path.c_str(), result.error, text);
}

// Logs a failure and answers its HRESULT; kSOk for a success.
HResult logged(const char *function, int line, const IoResult &result)
{
    if (!result.failed())
        return kSOk;
    log_failure(function, line, result);
    return hresult_of(result);
}

// A folder of the policy must be a directory of the calling user that neither its
// group nor others may write. An absent optional folder is created later with
// mode 0700.
HResult check_folder(const char *function, const std::string &dir, bool optional)
{
    struct stat info {};
    if (posix_io.stat(dir.c_str(), &info) != 0) {
        if (optional && errno == ENOENT)
            return kSOk;
        return logged(function, __LINE__, IoResult{errno, "stat", dir});
    }
    const auto caller = static_cast<unsigned>(geteuid());
    if (!S_ISDIR(info.st_mode))
        log_printf("I KestruneCtl %s %d: policy folder %s refused: not a directory\r\n", function, __LINE__,
                   dir.c_str());
    else if (info.st_uid != caller)
        log_printf("I KestruneCtl %s %d: policy folder %s refused: owned by uid %u, not by the caller (uid %u)\r\n",
                   function, __LINE__, dir.c_str(), static_cast<unsigned>(info.st_uid), caller);
    else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        log_printf("I KestruneCtl %s %d: policy folder %s refused: writable by group or others (mode %04o)\r\n",
                   function, __LINE__, dir.c_str(), static_cast<unsigned>(info.st_mode & 07777));
    else
        return kSOk;
    return kEAccessDenied;
}

// Creates the policy's folders where missing, each checked before anything is
// created inside it.
HResult prepare_folders(const char *function, const std::string &root)
{
    for (const std::string &dir : {root, root + "/GroupPolicy", machine_dir(root)}) {
        if (HResult hr = logged(function, __LINE__, make_directories(dir)); hr < 0)
            return hr;
        if (HResult hr = check_folder(function, dir, false); hr < 0)
            return hr;
    }
    return check_folder(function, effective_dir(root), true);
}

// The records of a policy file: a missing file is an empty policy.
HResult read_policy_file(const char *function, const std::string &path, std::vector<PolRecord> &records)
{
    std::vector<uint8_t> bytes;
    IoResult read = read_whole_file(path, bytes);
    if (read.error == ENOENT) {
        records.clear();
        return kSOk;
    }
    if (HResult hr = logged(function, __LINE__, read); hr < 0)
        return hr;
    auto parsed = parse_registry_pol(bytes);
    if (!parsed) {
        log_printf("I KestruneCtl %s %d: %s is not a valid policy file\r\n", function, __LINE__, path.c_str());
        return kEInvalidData;
    }
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
        if (HResult hr = prepare_folders(__func__, root); hr < 0)
            return hr;
        // Saving needs to create files in both directories; find out now rather
        // than after the caller has written its policy.
        for (const std::string &dir : {machine_dir(root), root + "/GroupPolicy"})
            if (posix_io.access(dir.c_str(), W_OK | X_OK) != 0)
                return logged(__func__, __LINE__, IoResult{errno, "access", dir});
        // Saves killed before their rename left temporary files; failing to remove
        // one harms nothing but disk space, so it is only reported.
        for (const std::string &file : {registry_pol_path(root), gpt_ini_path(root), effective_pol_path(root)})
            logged(__func__, __LINE__, remove_stale_temporaries(file));
        std::vector<PolRecord> records;
        if ((flags & kGpoOpenLoadRegistry) != 0)
            if (HResult hr = read_policy_file(__func__, registry_pol_path(root), records); hr < 0)
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
        if (HResult hr = logged(__func__, __LINE__, make_directories(machine_dir(object->root))); hr < 0)
            return hr;
        if (HResult hr = logged(__func__, __LINE__, write_file_atomically(registry_pol_path(object->root), bytes));
            hr < 0)
            return hr;
        // The version goes up only after the new policy is in place, so a reader
        // that sees the new version also sees the new file.
        std::vector<uint8_t> ini;
        IoResult read = read_whole_file(gpt_ini_path(object->root), ini);
        if (read.error != ENOENT)
            if (HResult hr = logged(__func__, __LINE__, read); hr < 0)
                return hr;
        std::string updated = gpt_ini_after_machine_save(std::string(ini.begin(), ini.end()), extension, tool);
        return logged(__func__, __LINE__,
                      write_file_atomically(gpt_ini_path(object->root),
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
        if (read_policy_file(__func__, registry_pol_path(root), local) < 0 ||
            read_policy_file(__func__, effective_dir(root) + "/Domain.pol", domain) < 0)
            return false;
        RegNode effective(u"");
        apply_machine_policy(effective, local, domain);
        return logged(__func__, __LINE__, make_directories(effective_dir(root))) == kSOk &&
               check_folder(__func__, effective_dir(root), false) == kSOk &&
               logged(__func__, __LINE__,
                      write_file_atomically(effective_pol_path(root),
                                            serialize_registry_pol(records_of_tree(effective)))) == kSOk &&
               enforce_effective_policy(effective, root, root == kMachineRoot);
    } catch (const std::bad_alloc &) {
        return false;
    }
}

} // namespace kestrune::platform
