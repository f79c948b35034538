// Not yet built: answers "failed" / "unknown" until the deny list lands.
#include "core/kestrune.h"

KESTRUNE_API int QVX_KESTRUNE_set_normal_device_permit(int, int) { return QVX_KESTRUNE_RESULT_FAILED; }
KESTRUNE_API int QVX_KESTRUNE_get_normal_device_permit(int) { return QVX_KESTRUNE_NORMAL_PERM_UNKNOWN; }
