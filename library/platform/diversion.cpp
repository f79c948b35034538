// Which diversion backend the next open uses, and the standard clock.
#include <atomic>
#include <chrono>

#include "platform/diversion.h"

namespace kestrune::platform {

namespace {
std::atomic<DiversionBackend *> installed{nullptr};
}

DiversionBackend &diversion_backend() noexcept
{
    DiversionBackend *backend = installed.load(std::memory_order_acquire);
    return backend ? *backend : system_diversion();
}

void install_diversion_backend(DiversionBackend *backend) noexcept
{
    installed.store(backend, std::memory_order_release);
}

uint32_t steady_clock_ms() noexcept
{
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    // Truncation is intended: users compare these through signed 32-bit differences.
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

} // namespace kestrune::platform
