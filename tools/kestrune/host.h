// The command's own operating-system services, kept apart from its logic the
// way the library keeps its platform seam: where the policy store lives, the
// process's standard output, interruption by the operator, and the network
// namespace with its traffic counters.
//
// Porting contract. Every function is called from the main thread, except
// interrupt_self, which any thread may call. hold_interrupts runs before the
// library starts a thread, so that the operator's interrupt reaches only
// wait_for_interrupt and never ends the process with the limit still held.
// Errors come back as values with a text naming the call that failed; nothing
// throws.
//
// Linux: linux/host_linux.cpp (signals, /proc). A Windows port would use
// SetConsoleCtrlHandler for the interrupts, GetIfTable2 for the traffic, and the
// policy object's own location for the files.
#ifndef KESTRUNE_TOOLS_HOST_H
#define KESTRUNE_TOOLS_HOST_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace kestrune::cli::host {

// The folder of the policy store that the library opens: $KESTRUNE_ROOT when
// set and not empty, else /var/lib/kestrune.
std::string policy_root();

enum class FileStatus { ok, missing, denied, failed };

struct FileRead {
    FileStatus status = FileStatus::failed;
    std::string bytes;
    std::string error; // "open: Permission denied" and the like, when not ok
};

FileRead read_file(const std::string &path);

// The stream for the command's own output. Unless `keep_library_lines`, what
// the library writes to standard output goes nowhere from now on, while the
// returned stream still reaches the original standard output.
std::FILE *take_standard_output(bool keep_library_lines);

void hold_interrupts();
// True when the operator interrupted (Ctrl-C, SIGTERM, hang-up) or
// interrupt_self was called; false when the time ran out first.
bool wait_for_interrupt(std::chrono::milliseconds timeout);
void interrupt_self();

enum class NetworkNamespace { other, machines, unknown };

// Whether the process runs in the machine's own network namespace (that of
// process 1); `why` says what could not be read when the answer is unknown.
NetworkNamespace network_namespace(std::string &why);

// Whether the process may divert packets (CAP_NET_ADMIN).
bool may_divert_packets();

// Bytes through every interface of the process's network namespace so far.
struct Traffic {
    uint64_t received = 0;
    uint64_t sent = 0;
};

std::optional<Traffic> read_traffic(std::string &why);

// Now in UTC, ISO 8601 with milliseconds: "2026-12-07T10:00:00.123Z".
std::string utc_now();

} // namespace kestrune::cli::host

#endif
