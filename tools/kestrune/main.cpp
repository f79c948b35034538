// kestrune: the administrator's command over the library's fourteen exports.
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "command_error.h"
#include "commands.h"
#include "host.h"
#include "names.h"

#ifndef KESTRUNE_VERSION
#error "KESTRUNE_VERSION must name the project's version"
#endif

namespace kestrune::cli {

void print_note(const std::string &text)
{
    std::fprintf(stderr, "kestrune: %s\n", text.c_str());
}

namespace {

std::string usage()
{
    std::string text =
        "Usage: kestrune [--verbose] COMMAND [ARGUMENTS]\n"
        "\n"
        "Device-port, storage and bandwidth policy of this machine.\n"
        "\n"
        "Commands:\n"
        "  status [--json]                     every device's permission, the speed, the enforcement report\n"
        "  set DEVICE PERMISSION [--speed KBPS]...\n"
        "                                      set one or more devices, then apply the policy\n"
        "  limit KBPS [--json] [--yes-this-namespace]\n"
        "                                      hold this network namespace to KBPS until interrupted\n"
        "  watch [--json]                      device arrivals and removals until interrupted\n"
        "  policy show [--effective] [--json]  the saved (or effective) policy, one value a line\n"
        "\n"
        "Devices: " + device_names() + "\n"
        "Permissions:\n";
    for (QVX_KESTRUNE_DEVICE_TYPE_E category :
         {QVX_KESTRUNE_DEVICE_TYPE_NORMAL, QVX_KESTRUNE_DEVICE_TYPE_STORAGE, QVX_KESTRUNE_DEVICE_TYPE_NET}) {
        std::string devices;
        for (const Device &device : all_devices())
            if (device.category == category)
                devices += (devices.empty() ? "" : " ") + std::string(device.name);
        text += "  " + devices + ": " + settable_permission_names(category) + "\n";
    }
    return text +
           "The library's identifier strings (QVX_KESTRUNE_NORMAL_DEVID_MOUSE, ...) are names too.\n"
           "eth limit takes --speed KBPS and is then held like 'limit'.\n"
           "\n"
           "Options:\n"
           "  --json                  one JSON value (status, policy show) or one per line\n"
           "  --verbose               show the library's diagnostic lines on standard output\n"
           "  --yes-this-namespace    limit the machine's own network namespace too\n"
           "  -h, --help              show this text\n"
           "  --version               show the version\n"
           "\n"
           "KESTRUNE_ROOT names the policy store (default /var/lib/kestrune).\n"
           "Exit status: 0 success, 1 failure, 2 wrong usage, 4 not administrator.\n"
           "See kestrune(1).\n";
}

int run(const Invocation &invocation)
{
    if (invocation.has("help") || (!invocation.words.empty() && invocation.words[0] == "help")) {
        std::fputs(usage().c_str(), stdout);
        return kExitSuccess;
    }
    if (invocation.has("version")) {
        std::printf("kestrune %s\n", KESTRUNE_VERSION);
        return kExitSuccess;
    }
    if (invocation.words.empty())
        throw usage_error("no command given");

    const std::string &command = invocation.words[0];
    int (*const run_command)(const Invocation &, Output &) = command == "status"   ? run_status
                                                             : command == "set"    ? run_set
                                                             : command == "limit"  ? run_limit
                                                             : command == "watch"  ? run_watch
                                                             : command == "policy" ? run_policy
                                                                                   : nullptr;
    if (run_command == nullptr)
        throw usage_error("unknown command '" + command + "'");

    // Before the library starts a thread, and before it writes a line.
    host::hold_interrupts();
    Output out(invocation.has("verbose"));
    const int status = run_command(invocation, out);
    // A reader that went away (kestrune ... | head) is no failure of ours.
    if (out.error() != 0 && out.error() != EPIPE)
        throw CommandError(kExitFailure, std::string("cannot write the output: ") + std::strerror(out.error()));
    return status;
}

} // namespace

} // namespace kestrune::cli

int main(int argc, char **argv)
{
    using namespace kestrune::cli;
    // Device texts in the operator's character set; numbers in JSON always with
    // a decimal point.
    std::setlocale(LC_ALL, "");
    std::setlocale(LC_NUMERIC, "C");
    try {
        const size_t count = argc > 1 ? static_cast<size_t>(argc - 1) : 0;
        return run(parse_invocation(std::span<const char *const>(argv + 1, count)));
    } catch (const CommandError &error) {
        print_note(error.what());
        return error.status();
    } catch (const std::exception &error) {
        print_note(std::string("unexpected failure: ") + error.what());
        return kExitFailure;
    }
}
