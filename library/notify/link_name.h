// The device instance ID behind an interface's symbolic link name, a pure
// function of the name: "\\?\USB#VID_1234&PID_5678#0001#{A5DCBF10-...}" names the
// device USB\VID_1234&PID_5678\0001.
#ifndef KESTRUNE_NOTIFY_LINK_NAME_H
#define KESTRUNE_NOTIFY_LINK_NAME_H

#include <string>
#include <string_view>

namespace kestrune::notify {

enum class LinkNameError {
    kNone,
    kTooShort,     // four characters or fewer: nothing behind the "\\?\" prefix
    kNoNumberSign, // nothing separates the instance ID from the class
};

// Skips the first four characters whatever they are, cuts at the last number
// sign (dropping the class and any reference string behind it), turns the
// remaining number signs into backslashes and upper-cases the result in the
// current locale.
LinkNameError instance_id_from_link_name(std::u16string_view linkName, std::u16string &instanceId);

} // namespace kestrune::notify

#endif
