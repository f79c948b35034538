// Not yet built: answers "failed" / "unknown" until the shaper lands.
#include <cstdint>

#include "core/kestrune.h"

KESTRUNE_API int QVX_KESTRUNE_set_net_device_permit(int, int, uint32_t) { return QVX_KESTRUNE_RESULT_FAILED; }
KESTRUNE_API int QVX_KESTRUNE_get_net_device_permit(int, int *) { return QVX_KESTRUNE_NET_PERM_UNKNOWN; }
