#include <windows.h>

#include "platform/thread_id.h"

namespace kestrune::platform {

uint32_t current_thread_id()
{
    return GetCurrentThreadId();
}

} // namespace kestrune::platform
