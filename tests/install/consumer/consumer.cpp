// Uses the installed library as any C++ program would: the lookups, the device
// notification (whose exported names carry C++ types), and a policy round trip
// in the policy store that KESTRUNE_ROOT names. Exit 0 when all answers are right.
#include <cstdio>
#include <cstring>

#include "kestrune.h"

namespace {

void ignore_device(int, char *) {}

int failures = 0;

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "consumer: %s\n", what);
        ++failures;
    }
}

} // namespace

int main()
{
    check(std::strcmp(QVX_KESTRUNE_get_dev_str_by_id(QVX_KESTRUNE_DEVICE_TYPE_STORAGE, 1),
                      "QVX_KESTRUNE_STORAGE_DEVID_UDISK") == 0,
          "device lookup");
    check(QVX_KESTRUNE_get_perm_id_by_str(QVX_KESTRUNE_DEVICE_TYPE_NET, "QVX_KESTRUNE_NET_PERM_LIMIT") == 4,
          "permission lookup");
    check(QVX_KESTRUNE_Register_Device_Notification(ignore_device) == QVX_KESTRUNE_RESULT_SUCCESS, "register");
    check(QVX_KESTRUNE_Unregister_Device_Notification() == QVX_KESTRUNE_RESULT_SUCCESS, "unregister");

    check(QVX_KESTRUNE_Initialize() == QVX_KESTRUNE_RESULT_SUCCESS, "initialize");
    check(QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD, QVX_KESTRUNE_NORMAL_PERM_DENY) ==
              QVX_KESTRUNE_RESULT_SUCCESS,
          "set keyboard");
    check(QVX_KESTRUNE_Apply() == QVX_KESTRUNE_RESULT_SUCCESS, "apply");
    check(QVX_KESTRUNE_get_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD) == QVX_KESTRUNE_NORMAL_PERM_DENY,
          "read keyboard back");
    check(QVX_KESTRUNE_Uninitialize() == QVX_KESTRUNE_RESULT_SUCCESS, "uninitialize");
    return failures == 0 ? 0 : 1;
}
