#include <unistd.h>

#include "platform/thread_id.h"

namespace kestrune::platform {

uint32_t current_thread_id()
{
    return static_cast<uint32_t>(gettid());
}

} // namespace kestrune::platform
