#include "console_process.h"

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/private_sysfs.h"

extern char **environ;

#ifndef KESTRUNE_CONSOLE_PATH
#error "KESTRUNE_CONSOLE_PATH must name the built KestruneTest"
#endif

namespace kestrune::test {
namespace {

// What the child reports through its close-on-exec pipe when a set-up step fails;
// a pipe closed without a report means the console was executed.
struct SetupFailure {
    enum Stage : int { unshare_network, mount_sysfs, loopback_up, change_directory, redirect, execute } stage;
    int error;
};

const char *stage_name(SetupFailure::Stage stage)
{
    switch (stage) {
    case SetupFailure::unshare_network: return "unshare(CLONE_NEWNET | CLONE_NEWNS)";
    case SetupFailure::mount_sysfs: return "mounting sysfs";
    case SetupFailure::loopback_up: return "bringing loopback up";
    case SetupFailure::change_directory: return "chdir";
    case SetupFailure::redirect: return "dup2";
    case SetupFailure::execute: return "execve";
    }
    return "?";
}

void make_pipe(int fds[2])
{
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
}

// Runs in the forked child: async-signal-safe calls only.
[[noreturn]] void report_and_exit(int status_fd, SetupFailure::Stage stage)
{
    const SetupFailure failure{stage, errno};
    ssize_t ignored = write(status_fd, &failure, sizeof failure);
    (void)ignored;
    _exit(127);
}

bool bring_loopback_up(ifreq &request)
{
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return false;
    bool up = ioctl(sock, SIOCGIFFLAGS, &request) == 0;
    if (up) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        up = ioctl(sock, SIOCSIFFLAGS, &request) == 0;
    }
    close(sock);
    return up;
}

} // namespace

ConsoleProcess::ConsoleProcess(const ConsoleOptions &options)
{
    // A console that exits early must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);

    // Everything the child needs is prepared here: after fork it may only make
    // async-signal-safe calls.
    std::vector<std::string> environment;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "KESTRUNE_ROOT=", 14) != 0)
            environment.emplace_back(*entry);
    }
    environment.push_back("KESTRUNE_ROOT=" + options.policy_root);
    std::vector<char *> envp;
    for (std::string &entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = KESTRUNE_CONSOLE_PATH;
    char *argv[] = {program.data(), nullptr};
    ifreq loopback{};
    std::memcpy(loopback.ifr_name, "lo", 3);

    int in[2], out[2], err[2], status[2];
    make_pipe(in);
    make_pipe(out);
    make_pipe(err);
    make_pipe(status);

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid_ == 0) {
        if (options.own_network) {
            // A sysfs mounted in the new namespace shows its own network devices,
            // as `ip netns exec` arranges it.
            if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
                report_and_exit(status[1], SetupFailure::unshare_network);
            if (!kestrune::test::mount_private_sysfs())
                report_and_exit(status[1], SetupFailure::mount_sysfs);
            if (!bring_loopback_up(loopback))
                report_and_exit(status[1], SetupFailure::loopback_up);
        }
        if (chdir(options.directory.c_str()) != 0)
            report_and_exit(status[1], SetupFailure::change_directory);
        if (dup2(in[0], STDIN_FILENO) < 0 || dup2(out[1], STDOUT_FILENO) < 0 ||
            dup2(err[1], STDERR_FILENO) < 0)
            report_and_exit(status[1], SetupFailure::redirect);
        execve(argv[0], argv, envp.data());
        report_and_exit(status[1], SetupFailure::execute);
    }

    close(in[0]);
    close(out[1]);
    close(err[1]);
    close(status[1]);
    in_ = in[1];
    out_fd_ = out[0];
    err_fd_ = err[0];

    SetupFailure failure{};
    ssize_t got;
    do
        got = read(status[0], &failure, sizeof failure);
    while (got < 0 && errno == EINTR);
    close(status[0]);
    if (got != static_cast<ssize_t>(sizeof failure))
        return;

    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    const std::string reason = std::string(stage_name(failure.stage)) + ": " + std::strerror(failure.error);
    if (failure.stage == SetupFailure::unshare_network || failure.stage == SetupFailure::mount_sysfs ||
        failure.stage == SetupFailure::loopback_up) {
        skip_reason_ = "cannot run the console in a network namespace of its own (" + reason + ")";
        return;
    }
    throw std::runtime_error("cannot start the console: " + reason);
}

ConsoleProcess::~ConsoleProcess()
{
    kill_child();
    for (int fd : {in_, out_fd_, err_fd_}) {
        if (fd >= 0)
            close(fd);
    }
}

void ConsoleProcess::kill_child()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void ConsoleProcess::send(std::string_view text)
{
    while (!text.empty() && in_ >= 0) {
        const ssize_t written = write(in_, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return; // the console has closed its input
        }
        text.remove_prefix(static_cast<size_t>(written));
    }
}

void ConsoleProcess::close_input()
{
    if (in_ >= 0)
        close(in_);
    in_ = -1;
}

bool ConsoleProcess::collect(std::chrono::steady_clock::time_point deadline)
{
    if (out_fd_ < 0 && err_fd_ < 0)
        return false;
    using std::chrono::milliseconds;
    const auto left = std::chrono::ceil<milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd fds[] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(std::max<milliseconds::rep>(left.count(), 0))) <= 0)
        return true;
    std::string *sinks[] = {&out_, &err_};
    int *owners[] = {&out_fd_, &err_fd_};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0)
            continue;
        char buffer[4096];
        const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
        if (got > 0) {
            sinks[i]->append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            close(*owners[i]);
            *owners[i] = -1;
        }
    }
    return true;
}

bool ConsoleProcess::wait_for_output(std::string_view text, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out_.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline || !collect(deadline))
            return out_.find(text) != std::string::npos;
    }
    return true;
}

std::optional<int> ConsoleProcess::wait_exit(std::chrono::milliseconds timeout)
{
    if (pid_ <= 0)
        return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline && collect(deadline)) {
    }
    // Both pipes are closed: the console has ended or is about to.
    while (true) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            if (WIFEXITED(status))
                return WEXITSTATUS(status);
            return 128 + WTERMSIG(status);
        }
        if (done < 0 || std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill_child();
    return std::nullopt;
}

ConsoleRun run_console(const ConsoleOptions &options, std::string_view input,
                       std::chrono::milliseconds timeout)
{
    ConsoleProcess console(options);
    ConsoleRun run;
    run.skip_reason = console.skip_reason();
    if (!run.skip_reason.empty())
        return run;
    console.send(input);
    console.close_input();
    run.status = console.wait_exit(timeout);
    run.out = console.output();
    run.err = console.errors();
    return run;
}

} // namespace kestrune::test
