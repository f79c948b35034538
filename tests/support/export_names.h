// The names of the library's fourteen exports, in ordinal order, as the tests of
// both systems' export tables expect them: the nine C names, then the five C++
// functions as GCC (Itanium ABI) and as MSVC (x64) decorate them.
#ifndef KESTRUNE_TESTS_EXPORT_NAMES_H
#define KESTRUNE_TESTS_EXPORT_NAMES_H

namespace kestrune::test {

inline constexpr const char *kPlainExports[9] = {
    "QVX_KESTRUNE_Initialize",
    "QVX_KESTRUNE_Apply",
    "QVX_KESTRUNE_Uninitialize",
    "QVX_KESTRUNE_set_normal_device_permit",
    "QVX_KESTRUNE_get_normal_device_permit",
    "QVX_KESTRUNE_set_storage_device_permit",
    "QVX_KESTRUNE_get_storage_device_permit",
    "QVX_KESTRUNE_set_net_device_permit",
    "QVX_KESTRUNE_get_net_device_permit",
};

inline constexpr const char *kGccDecoratedExports[5] = {
    "_Z41QVX_KESTRUNE_Register_Device_NotificationPFviPcE",
    "_Z43QVX_KESTRUNE_Unregister_Device_Notificationv",
    "_Z30QVX_KESTRUNE_get_dev_str_by_id26QVX_KESTRUNE_DEVICE_TYPE_Ei",
    "_Z31QVX_KESTRUNE_get_perm_id_by_str26QVX_KESTRUNE_DEVICE_TYPE_EPKc",
    "_Z31QVX_KESTRUNE_get_perm_str_by_id26QVX_KESTRUNE_DEVICE_TYPE_Ei",
};

inline constexpr const char *kMsvcDecoratedExports[5] = {
    "?QVX_KESTRUNE_Register_Device_Notification@@YA?AW4QVX_KESTRUNE_RESULT_E@@P6AXHPEAD@Z@Z",
    "?QVX_KESTRUNE_Unregister_Device_Notification@@YA?AW4QVX_KESTRUNE_RESULT_E@@XZ",
    "?QVX_KESTRUNE_get_dev_str_by_id@@YAPEBDW4QVX_KESTRUNE_DEVICE_TYPE_E@@H@Z",
    "?QVX_KESTRUNE_get_perm_id_by_str@@YA?BHW4QVX_KESTRUNE_DEVICE_TYPE_E@@PEBD@Z",
    "?QVX_KESTRUNE_get_perm_str_by_id@@YAPEBDW4QVX_KESTRUNE_DEVICE_TYPE_E@@H@Z",
};

} // namespace kestrune::test

#endif
