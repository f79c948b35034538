// Not yet built: answers "failed" / "unknown" until the policy store lands.
#include "core/kestrune.h"

KESTRUNE_API int QVX_KESTRUNE_set_storage_device_permit(int, int) { return QVX_KESTRUNE_RESULT_FAILED; }
KESTRUNE_API int QVX_KESTRUNE_get_storage_device_permit(int) { return QVX_KESTRUNE_STORAGE_PERM_UNKNOWN; }
