// Platform seam: the operating system's identifier of the calling thread, the
// 32-bit value that CreateThread reports and diagnostic lines print
// (GetCurrentThreadId on Windows, gettid on Linux). Any thread, no lock.
#ifndef KESTRUNE_PLATFORM_THREAD_ID_H
#define KESTRUNE_PLATFORM_THREAD_ID_H

#include <cstdint>

namespace kestrune::platform {

uint32_t current_thread_id();

} // namespace kestrune::platform

#endif
