// Registry operations over in-memory trees, with Win32 result codes.
//
// A handle is an entry of a table of live handles; its address is the RegKey.
// Every operation first looks the handle up, so a null, closed or foreign handle
// answers kErrorInvalidHandle instead of touching freed memory.
//
// Keys and values beyond the registry's limits (registry_tree.h) are refused with
// kErrorInvalidParameter, which is what Windows answers for a name beyond its
// limit; the same answer serves for a key too deep and data too large.
#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_set>

#include "platform/gpo_files/registry_handles.h"

namespace kestrune::platform {

struct reg_key_handle {
    std::shared_ptr<RegNode> tree; // keeps the whole tree alive while the handle is open
    RegNode *node;
    uint32_t access;
};

namespace {

std::unordered_set<reg_key_handle *> &live_handles()
{
    static std::unordered_set<reg_key_handle *> handles;
    return handles;
}

reg_key_handle *lookup(RegKey key)
{
    return key != nullptr && live_handles().count(key) != 0 ? key : nullptr;
}

RegKey add_handle(std::shared_ptr<RegNode> tree, RegNode *node, uint32_t access)
{
    auto *handle = new (std::nothrow) reg_key_handle{std::move(tree), node, access};
    if (handle == nullptr)
        return nullptr;
    try {
        live_handles().insert(handle);
    } catch (const std::bad_alloc &) {
        delete handle;
        return nullptr;
    }
    return handle;
}

std::u16string_view view(const char16_t *text)
{
    return text == nullptr ? std::u16string_view() : std::u16string_view(text);
}

bool may_write(const reg_key_handle &handle)
{
    return (handle.access & kKeySetValue) != 0;
}

// Copies `text` and its zero into a buffer of *chars units; on return *chars is the
// text's length. False (buffer untouched) when it does not fit.
bool copy_name(std::u16string_view text, char16_t *buffer, uint32_t *chars)
{
    bool fits = buffer != nullptr && text.size() < *chars;
    if (fits) {
        std::copy(text.begin(), text.end(), buffer);
        buffer[text.size()] = u'\0';
    }
    *chars = static_cast<uint32_t>(text.size());
    return fits;
}

// The common checks of the two enumerations; 0 with `handle` set when they pass.
uint32_t check_enumeration(RegKey key, const uint32_t *nameChars, reg_key_handle *&handle)
{
    handle = lookup(key);
    if (handle == nullptr)
        return kErrorInvalidHandle;
    return nameChars == nullptr ? kErrorInvalidParameter : kErrorSuccess;
}

} // namespace

std::mutex &registry_lock()
{
    static std::mutex lock;
    return lock;
}

RegKey open_tree_root(std::shared_ptr<RegNode> tree)
{
    std::lock_guard guard(registry_lock());
    RegNode *root = tree.get();
    return add_handle(std::move(tree), root, kKeyAllAccess);
}

uint32_t reg_create_key(RegKey parent, const char16_t *path, uint32_t access, RegKey *result)
{
    std::lock_guard guard(registry_lock());
    reg_key_handle *handle = lookup(parent);
    if (handle == nullptr || result == nullptr)
        return kErrorInvalidHandle;
    if (!key_path_fits(*handle->node, view(path)))
        return kErrorInvalidParameter;
    if (find_key(*handle->node, view(path)) == nullptr && (handle->access & kKeyCreateSubKey) == 0)
        return kErrorAccessDenied;
    try {
        RegNode &node = create_key(*handle->node, view(path));
        RegKey opened = add_handle(handle->tree, &node, access);
        if (opened == nullptr)
            return kErrorNotEnoughMemory;
        *result = opened;
        return kErrorSuccess;
    } catch (const std::bad_alloc &) {
        return kErrorNotEnoughMemory;
    }
}

uint32_t reg_open_key(RegKey parent, const char16_t *path, uint32_t access, RegKey *result)
{
    std::lock_guard guard(registry_lock());
    reg_key_handle *handle = lookup(parent);
    if (handle == nullptr || result == nullptr)
        return kErrorInvalidHandle;
    RegNode *node = find_key(*handle->node, view(path));
    if (node == nullptr)
        return kErrorFileNotFound;
    RegKey opened = add_handle(handle->tree, node, access);
    if (opened == nullptr)
        return kErrorNotEnoughMemory;
    *result = opened;
    return kErrorSuccess;
}

uint32_t reg_close_key(RegKey key)
{
    std::lock_guard guard(registry_lock());
    reg_key_handle *handle = lookup(key);
    if (handle == nullptr)
        return kErrorInvalidHandle;
    live_handles().erase(handle);
    delete handle;
    return kErrorSuccess;
}

uint32_t reg_set_value(RegKey key, const char16_t *name, uint32_t type, const void *data, uint32_t size)
{
    std::lock_guard guard(registry_lock());
    reg_key_handle *handle = lookup(key);
    if (handle == nullptr)
        return kErrorInvalidHandle;
    if (!may_write(*handle))
        return kErrorAccessDenied;
    if ((data == nullptr && size != 0) || !value_fits(view(name), size))
        return kErrorInvalidParameter;
    try {
        const auto *bytes = static_cast<const uint8_t *>(data);
        handle->node->set_value(view(name), type, std::vector<uint8_t>(bytes, bytes + size));
    } catch (const std::bad_alloc &) {
        return kErrorNotEnoughMemory;
    }
    return kErrorSuccess;
}

uint32_t reg_delete_value(RegKey key, const char16_t *name)
{
    std::lock_guard guard(registry_lock());
    reg_key_handle *handle = lookup(key);
    if (handle == nullptr)
        return kErrorInvalidHandle;
    if (!may_write(*handle))
        return kErrorAccessDenied;
    return handle->node->delete_value(view(name)) ? kErrorSuccess : kErrorFileNotFound;
}

uint32_t reg_query_value(RegKey key, const char16_t *name, uint32_t *type, void *data, uint32_t *size)
{
    std::lock_guard guard(registry_lock());
    reg_key_handle *handle = lookup(key);
    if (handle == nullptr)
        return kErrorInvalidHandle;
    const RegValue *value = handle->node->find_value(view(name));
    if (value == nullptr)
        return kErrorFileNotFound;
    if (type != nullptr)
        *type = value->type;
    if (size == nullptr)
        return data == nullptr ? kErrorSuccess : kErrorInvalidParameter;
    auto length = static_cast<uint32_t>(value->data.size());
    if (data != nullptr && length > *size) {
        *size = length;
        return kErrorMoreData;
    }
    if (data != nullptr && length != 0)
        std::memcpy(data, value->data.data(), length);
    *size = length;
    return kErrorSuccess;
}

uint32_t reg_enum_value(RegKey key, uint32_t index, char16_t *name, uint32_t *nameChars, uint32_t *type,
                        void *data, uint32_t *dataBytes)
{
    std::lock_guard guard(registry_lock());
    reg_key_handle *handle = nullptr;
    if (uint32_t refused = check_enumeration(key, nameChars, handle))
        return refused;
    const RegValue *found = handle->node->value_at(index);
    if (found == nullptr)
        return kErrorNoMoreItems;
    const RegValue &value = *found;
    bool fits = copy_name(value.name, name, nameChars);
    if (type != nullptr)
        *type = value.type;
    if (dataBytes != nullptr) {
        auto length = static_cast<uint32_t>(value.data.size());
        if (data != nullptr && length > *dataBytes)
            fits = false;
        else if (data != nullptr && length != 0)
            std::memcpy(data, value.data.data(), length);
        *dataBytes = length;
    }
    return fits ? kErrorSuccess : kErrorMoreData;
}

uint32_t reg_enum_key(RegKey key, uint32_t index, char16_t *name, uint32_t *nameChars)
{
    std::lock_guard guard(registry_lock());
    reg_key_handle *handle = nullptr;
    if (uint32_t refused = check_enumeration(key, nameChars, handle))
        return refused;
    const RegNode *subkey = handle->node->subkey_at(index);
    if (subkey == nullptr)
        return kErrorNoMoreItems;
    return copy_name(subkey->name(), name, nameChars) ? kErrorSuccess : kErrorMoreData;
}

} // namespace kestrune::platform
