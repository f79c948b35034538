// kestrune watch: device arrivals and removals as the library reports them, one
// line each, until interrupted.
#include <string>

#include "command_error.h"
#include "commands.h"
#include "host.h"
#include "json.h"
#include "kestrune.h"
#include "policy_session.h"

namespace kestrune::cli {

namespace {

// Read by the callback on the library's notification thread; set before the
// registration and left alone until it has ended.
Output *watchOutput = nullptr;
bool watchJson = false;

std::string event_kind(int kind)
{
    switch (kind) {
    case QVX_KESTRUNE_DEVICE_EVENT_ARRIVAL: return "arrival";
    case QVX_KESTRUNE_DEVICE_EVENT_REMOVAL: return "removal";
    default: return "event-" + std::to_string(kind);
    }
}

// Device texts come from the device: control characters would break the
// one-line-per-event promise.
std::string one_line(const char *text)
{
    std::string line = text != nullptr ? text : "";
    for (char &c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    return line;
}

void print_device_event(int kind, char *text)
{
    const std::string line =
        watchJson ? JsonObject().add("time", host::utc_now()).add("event", event_kind(kind)).add("text", one_line(text)).str()
                  : host::utc_now() + "  " + event_kind(kind) + "  " + one_line(text);
    // Nobody reads any more: end the command as the operator would.
    if (!watchOutput->write(line + "\n"))
        host::interrupt_self();
}

class Registration {
public:
    Registration()
    {
        const int result = QVX_KESTRUNE_Register_Device_Notification(print_device_event);
        if (result != QVX_KESTRUNE_RESULT_SUCCESS)
            throw CommandError(exit_status_of(result), "cannot watch devices (result " + std::to_string(result) +
                                                           "); " + kSeeLibraryLines);
    }
    ~Registration() { QVX_KESTRUNE_Unregister_Device_Notification(); }
    Registration(const Registration &) = delete;
    Registration &operator=(const Registration &) = delete;
};

} // namespace

int run_watch(const Invocation &invocation, Output &out)
{
    allow_only(invocation, "watch", {"json", "verbose"});
    if (invocation.words.size() != 1)
        throw usage_error("'watch' takes no arguments");
    watchOutput = &out;
    watchJson = invocation.has("json");
    Registration registration;
    while (!host::wait_for_interrupt(std::chrono::hours(1))) {
    }
    return kExitSuccess;
}

} // namespace kestrune::cli
