/* Uses the installed library from C, built with the flags pkg-config gives: the
 * public header compiles as C, and the nine exports with plain names link. A
 * storage round trip in the policy store that KESTRUNE_ROOT names; exit 0 when
 * every answer is right. */
#include <stdio.h>

#include "kestrune.h"

int main(void)
{
    int failures = 0;
    if (QVX_KESTRUNE_Initialize() != QVX_KESTRUNE_RESULT_SUCCESS) {
        fprintf(stderr, "consumer: initialize\n");
        return 1;
    }
    if (QVX_KESTRUNE_set_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM, QVX_KESTRUNE_STORAGE_PERM_READ_ONLY) !=
            QVX_KESTRUNE_RESULT_SUCCESS ||
        QVX_KESTRUNE_Apply() != QVX_KESTRUNE_RESULT_SUCCESS) {
        fprintf(stderr, "consumer: set and apply\n");
        ++failures;
    }
    if (QVX_KESTRUNE_get_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_CDROM) != QVX_KESTRUNE_STORAGE_PERM_READ_ONLY) {
        fprintf(stderr, "consumer: read back\n");
        ++failures;
    }
    if (QVX_KESTRUNE_Uninitialize() != QVX_KESTRUNE_RESULT_SUCCESS) {
        fprintf(stderr, "consumer: uninitialize\n");
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}
