// Test double of the system's userenv.dll with the one call the library makes:
// RefreshPolicy counts the machine and user refreshes (double_records.h) and
// fails when a test scripts it. Wine's own RefreshPolicy ends the process.
#include <windows.h>

#include "double_records.h"

extern "C" BOOL WINAPI RefreshPolicy(BOOL machine)
{
    if (kestrune::doubles::failure_scripted(L"refresh")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    kestrune::doubles::add_record(machine ? L"Refreshes" : L"UserRefreshes");
    return TRUE;
}
