// Runs a system tool as a child process: an argument vector, no shell, standard
// streams on /dev/null, bounded in time. Any thread.
#ifndef KESTRUNE_PLATFORM_POSIX_COMMAND_H
#define KESTRUNE_PLATFORM_POSIX_COMMAND_H

#include <chrono>
#include <string>

namespace kestrune::platform::posix {

struct CommandResult {
    int spawnError; // errno of a failed start, else 0
    int exitStatus; // exit status; -1 when the child was killed or could not be waited for
    bool ok() const { return spawnError == 0 && exitStatus == 0; }
};

// Absolute path of `tool` in the system's program folders; empty when missing.
std::string find_system_tool(const char *tool);

// Runs `argv` (argv[0] is the absolute path, the list ends with null) and waits
// for it; a child still running after `timeout` is killed.
CommandResult run_command(const char *const argv[], std::chrono::milliseconds timeout) noexcept;

} // namespace kestrune::platform::posix

#endif
