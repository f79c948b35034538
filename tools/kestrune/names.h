// The administrator's names for the library's vocabulary: a short name for each
// of the eleven devices, and permission names derived from the library's own
// identifier strings ("QVX_KESTRUNE_STORAGE_PERM_READ_ONLY" is "read-only").
// The identifier strings themselves come from the lookup exports, so the two
// vocabularies cannot drift apart.
#ifndef KESTRUNE_TOOLS_NAMES_H
#define KESTRUNE_TOOLS_NAMES_H

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "kestrune.h"

namespace kestrune::cli {

struct Device {
    std::string_view name;
    QVX_KESTRUNE_DEVICE_TYPE_E category;
    int id;

    const char *identifier() const;
};

// The eleven devices in the library's order: normal, storage, net.
std::span<const Device> all_devices();

// By short name or full identifier string; null when neither.
const Device *find_device(std::string_view text);

std::string_view category_name(QVX_KESTRUNE_DEVICE_TYPE_E category);

// "unknown" for 0 and for an ID outside the category.
std::string permission_name(QVX_KESTRUNE_DEVICE_TYPE_E category, int permission);

// By short name or full identifier string of the category. The short name of
// ID 0 ("unknown") is not accepted: it is what a read says when it cannot tell,
// not something to set.
std::optional<int> find_permission(QVX_KESTRUNE_DEVICE_TYPE_E category, std::string_view text);

// The names for messages: "serial gpio ..." and, per category, "deny allow ...".
std::string device_names();
std::string settable_permission_names(QVX_KESTRUNE_DEVICE_TYPE_E category);

} // namespace kestrune::cli

#endif
