/*
 * Kestrune: device-port, storage and bandwidth policy for one machine.
 *
 * This header is the library's whole public surface: fourteen functions, the
 * types they take and return, and the identifier constants they share with the
 * caller. The nine functions with plain names have C linkage; the five that take
 * or return an enumeration or the callback have C++ linkage, so their exported
 * names carry those types.
 *
 * Identifier strings returned by the lookups are static and owned by the library.
 * Texts passed in are owned by the caller for the length of the call. Nothing here
 * throws.
 */
#ifndef KESTRUNE_H
#define KESTRUNE_H

#include <stdint.h>

#if defined(_WIN32)
/* The DLL's module-definition file lists its exports, ordinals and decorated
 * names; building the library (KESTRUNE_BUILDING) needs no export mark. */
#  if defined(KESTRUNE_BUILDING)
#    define KESTRUNE_API
#  else
#    define KESTRUNE_API __declspec(dllimport)
#  endif
#  define KESTRUNE_CALL __stdcall
#else
#  define KESTRUNE_API __attribute__((visibility("default")))
#  define KESTRUNE_CALL
#endif

/* The two enumerations are held in a 32-bit signed integer; in C++ that is their
 * fixed underlying type, so every int value a caller passes is a valid value. */
#ifdef __cplusplus
#  define KESTRUNE_ENUM_INT32 : int32_t
#else
#  define KESTRUNE_ENUM_INT32
#endif

/* Result of the exports. */
enum QVX_KESTRUNE_RESULT_E KESTRUNE_ENUM_INT32 {
    QVX_KESTRUNE_RESULT_SUCCESS = 0,        /* done, also when nothing had to change */
    QVX_KESTRUNE_RESULT_FAILED = 1,         /* a platform operation failed */
    QVX_KESTRUNE_RESULT_INTERNAL_ERROR = 2, /* the library's state does not allow the call */
    QVX_KESTRUNE_RESULT_INVALID_PARAM = 3,  /* an argument is out of range */
    QVX_KESTRUNE_RESULT_ACCESS_DENIED = 4   /* no administrator rights for the policy object */
};

/* Device categories. */
enum QVX_KESTRUNE_DEVICE_TYPE_E KESTRUNE_ENUM_INT32 {
    QVX_KESTRUNE_DEVICE_TYPE_NORMAL = 0,
    QVX_KESTRUNE_DEVICE_TYPE_STORAGE = 1,
    QVX_KESTRUNE_DEVICE_TYPE_NET = 2
};

/* Device IDs, meaningful only together with their category. */
enum {
    QVX_KESTRUNE_NORMAL_DEVID_SERIAL = 0,
    QVX_KESTRUNE_NORMAL_DEVID_GPIO = 1,
    QVX_KESTRUNE_NORMAL_DEVID_DONGLE = 2,
    QVX_KESTRUNE_NORMAL_DEVID_MOUSE = 3,
    QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD = 4,
    QVX_KESTRUNE_NORMAL_DEVID_CAMERA = 5,
    QVX_KESTRUNE_NORMAL_DEVID_USB_CONVERSION = 6,
    QVX_KESTRUNE_NORMAL_DEVID_BT = 7,

    QVX_KESTRUNE_STORAGE_DEVID_CDROM = 0,
    QVX_KESTRUNE_STORAGE_DEVID_UDISK = 1,

    QVX_KESTRUNE_NET_DEVID_ETH_CARD = 0
};

/* Permission IDs, meaningful only together with their category. 0 is "unknown". */
enum {
    QVX_KESTRUNE_NORMAL_PERM_UNKNOWN = 0,
    QVX_KESTRUNE_NORMAL_PERM_DENY = 1,
    QVX_KESTRUNE_NORMAL_PERM_ALLOW = 2,

    QVX_KESTRUNE_STORAGE_PERM_UNKNOWN = 0,
    QVX_KESTRUNE_STORAGE_PERM_DENY = 1,
    QVX_KESTRUNE_STORAGE_PERM_ALLOW = 2,
    QVX_KESTRUNE_STORAGE_PERM_READ_WRITE = 3,
    QVX_KESTRUNE_STORAGE_PERM_READ_ONLY = 4,
    QVX_KESTRUNE_STORAGE_PERM_WRITE_IN_ONLY = 5,
    QVX_KESTRUNE_STORAGE_PERM_WRITE_OUT_ONLY = 6,

    QVX_KESTRUNE_NET_PERM_UNKNOWN = 0,
    QVX_KESTRUNE_NET_PERM_DENY = 1,
    QVX_KESTRUNE_NET_PERM_ALLOW = 2,
    QVX_KESTRUNE_NET_PERM_NO_LIMIT = 3,
    QVX_KESTRUNE_NET_PERM_LIMIT = 4
};

/* Bandwidth limits are in kilobytes (1000 bytes) per second, 0 to this value. */
enum { QVX_KESTRUNE_NET_SPEED_MAX_KBPS = 1000000 };

/* Event kinds passed to the device callback. */
enum {
    QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL = 1,
    QVX_KESTRUNE_DEVICE_EVENT_REMOVAL = 2
};

/*
 * Device callback: event kind and a NUL-terminated text of at most 511 bytes,
 * "description;friendly name;bus description;manufacturer;" in the locale's
 * character set. The text is valid only during the call; the callback runs on
 * the library's notification thread.
 */
typedef void (*QVX_KESTRUNE_DEVICE_NOTIFY_CB)(int eventKind, char *data);

#ifdef __cplusplus
extern "C" {
#endif

/* Policy object: open, save and refresh, release. Results are QVX_KESTRUNE_RESULT_E. */
KESTRUNE_API int KESTRUNE_CALL QVX_KESTRUNE_Initialize(void);
KESTRUNE_API int KESTRUNE_CALL QVX_KESTRUNE_Apply(void);
KESTRUNE_API int KESTRUNE_CALL QVX_KESTRUNE_Uninitialize(void);

/* Permits. The get operations return a permission ID of their category, 0 when
 * they cannot tell. */
KESTRUNE_API int KESTRUNE_CALL QVX_KESTRUNE_set_normal_device_permit(int deviceId, int permission);
KESTRUNE_API int KESTRUNE_CALL QVX_KESTRUNE_get_normal_device_permit(int deviceId);
KESTRUNE_API int KESTRUNE_CALL QVX_KESTRUNE_set_storage_device_permit(int deviceId, int permission);
KESTRUNE_API int KESTRUNE_CALL QVX_KESTRUNE_get_storage_device_permit(int deviceId);
KESTRUNE_API int KESTRUNE_CALL QVX_KESTRUNE_set_net_device_permit(int deviceId, int permission,
                                                                  uint32_t speedKBps);
/* speedOut (may be null) receives the speed of the most recent LIMIT request. */
KESTRUNE_API int KESTRUNE_CALL QVX_KESTRUNE_get_net_device_permit(int deviceId, int *speedOut);

#ifdef __cplusplus
} /* extern "C" */

/* Device notification: works without QVX_KESTRUNE_Initialize. */
KESTRUNE_API QVX_KESTRUNE_RESULT_E KESTRUNE_CALL
QVX_KESTRUNE_Register_Device_Notification(QVX_KESTRUNE_DEVICE_NOTIFY_CB callback);
KESTRUNE_API QVX_KESTRUNE_RESULT_E KESTRUNE_CALL QVX_KESTRUNE_Unregister_Device_Notification();

/* Lookups between IDs and identifier strings; stateless, callable from any thread.
 * get_perm_id_by_str returns -2 for a null text and -1 for an unknown one. */
KESTRUNE_API const char *KESTRUNE_CALL QVX_KESTRUNE_get_dev_str_by_id(QVX_KESTRUNE_DEVICE_TYPE_E type,
                                                                      int deviceId);
/* The const of the result is part of the export's decorated name on Windows. */
#if defined(__GNUC__)
#  pragma GCC diagnostic push
#  pragma GCC diagnostic ignored "-Wignored-qualifiers"
#endif
KESTRUNE_API const int KESTRUNE_CALL QVX_KESTRUNE_get_perm_id_by_str(QVX_KESTRUNE_DEVICE_TYPE_E type,
                                                                     const char *permStr);
#if defined(__GNUC__)
#  pragma GCC diagnostic pop
#endif
KESTRUNE_API const char *KESTRUNE_CALL QVX_KESTRUNE_get_perm_str_by_id(QVX_KESTRUNE_DEVICE_TYPE_E type,
                                                                       int permission);
#endif /* __cplusplus */

#endif /* KESTRUNE_H */
