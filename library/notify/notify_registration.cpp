// Not yet built: registration is refused until device notification lands.
#include "core/kestrune.h"

KESTRUNE_API QVX_KESTRUNE_RESULT_E QVX_KESTRUNE_Register_Device_Notification(QVX_KESTRUNE_DEVICE_NOTIFY_CB)
{
    return QVX_KESTRUNE_RESULT_INTERNAL_ERROR;
}
KESTRUNE_API QVX_KESTRUNE_RESULT_E QVX_KESTRUNE_Unregister_Device_Notification()
{
    return QVX_KESTRUNE_RESULT_INVALID_PARAM;
}
