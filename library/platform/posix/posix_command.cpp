#include "platform/posix/posix_command.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char **environ;

namespace kestrune::platform::posix {

std::string find_system_tool(const char *tool)
{
    static const char *const folders[] = {"/usr/sbin", "/sbin", "/usr/bin", "/bin", "/usr/local/sbin"};
    for (const char *folder : folders) {
        std::string path = std::string(folder) + "/" + tool;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return {};
}

CommandResult run_command(const char *const argv[], std::chrono::milliseconds timeout) noexcept
{
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return {ENOMEM, -1};
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    // posix_spawn takes char *const[] for historical reasons; it does not write them.
    int error = posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char *const *>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        return {error, -1};

    auto deadline = std::chrono::steady_clock::now() + timeout;
    auto pause = std::chrono::microseconds(200);
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR)
            return {0, -1};
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return {0, -1};
        }
        std::this_thread::sleep_for(pause);
        if (pause < std::chrono::milliseconds(5))
            pause *= 2;
    }
    return {0, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

} // namespace kestrune::platform::posix
