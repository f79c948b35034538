// Runs the built KestruneTest as a child process: in a directory of the test's
// choosing, with its own KESTRUNE_ROOT, standard input fed by the test, and
// optionally inside fresh network and mount namespaces that die with it. Every
// wait is bounded; a child still running when the object goes away is killed by
// its process ID.
#ifndef KESTRUNE_TESTS_CONSOLE_PROCESS_H
#define KESTRUNE_TESTS_CONSOLE_PROCESS_H

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "support/private_sysfs.h"
#include "support/scratch_dir.h"

namespace kestrune::test {

struct ConsoleOptions {
    std::string directory;    // working directory of the console
    std::string policy_root;  // KESTRUNE_ROOT of the console
    bool own_network = false; // own network and mount namespace with a fresh sysfs
};

class ConsoleProcess {
public:
    // The exit status of a child that could not enter namespaces of its own; the
    // console itself exits with 0 or 255 only.
    static constexpr int kNoNamespace = 77;

    explicit ConsoleProcess(const ConsoleOptions &options)
    {
        // A console that exits early must not kill the test with SIGPIPE.
        signal(SIGPIPE, SIG_IGN);
        // Everything the child needs is prepared here: after fork it may only make
        // async-signal-safe calls.
        setenv("KESTRUNE_ROOT", options.policy_root.c_str(), 1);
        char program[] = KESTRUNE_CONSOLE_PATH;
        char *argv[] = {program, nullptr};
        const int errors = errors_ != nullptr ? fileno(errors_) : -1;
        int in[2], out[2];
        if (errors < 0 || pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || (pid_ = fork()) < 0)
            throw std::runtime_error(std::string("cannot start the console: ") + std::strerror(errno));
        if (pid_ == 0) {
            dup2(errors, STDERR_FILENO);
            if (options.own_network && (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 || !mount_private_sysfs()))
                fail("cannot run the console in network and mount namespaces of its own", kNoNamespace);
            if (chdir(options.directory.c_str()) != 0 || dup2(in[0], STDIN_FILENO) < 0 ||
                dup2(out[1], STDOUT_FILENO) < 0)
                fail("cannot set up the console's directory and input", 127);
            execv(program, argv);
            fail("cannot execute the console", 127);
        }
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        out_fd_ = out[0];
    }

    ~ConsoleProcess()
    {
        kill_child();
        for (int fd : {in_, out_fd_})
            if (fd >= 0)
                close(fd);
        std::fclose(errors_);
    }
    ConsoleProcess(const ConsoleProcess &) = delete;
    ConsoleProcess &operator=(const ConsoleProcess &) = delete;

    pid_t pid() const { return pid_; }
    const std::string &output() const { return out_; }
    // Standard error, read afresh through the file's link from its start.
    std::string errors() const { return read_file("/proc/self/fd/" + std::to_string(fileno(errors_))); }

    // Answers are short: a pipe takes them whole. A console that has closed its
    // input makes the write fail, which its exit status and output then show.
    void send(std::string_view text) { static_cast<void>(write(in_, text.data(), text.size())); }

    void close_input()
    {
        if (in_ >= 0)
            close(in_);
        in_ = -1;
    }

    // Collects output until it contains `text` or the time is up.
    bool wait_for_output(std::string_view text, std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out_.find(text) == std::string::npos)
            if (!collect(deadline))
                return false;
        return true;
    }

    // Collects output until the console exits; its exit status, or nothing when
    // it did not exit in time (it is then killed).
    std::optional<int> wait_exit(std::chrono::milliseconds timeout)
    {
        if (pid_ <= 0)
            return std::nullopt;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (collect(deadline)) {
        }
        int status = 0;
        pid_t done;
        while ((done = waitpid(pid_, &status, WNOHANG)) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                kill_child();
                return std::nullopt;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid_ = -1;
        if (done < 0)
            return std::nullopt;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    // In the child: says why on standard error and ends.
    [[noreturn]] static void fail(const char *why, int status)
    {
        static_cast<void>(write(STDERR_FILENO, why, std::strlen(why)));
        _exit(status);
    }

    // Reads what is ready on standard output, waiting at most until `deadline`.
    // False once the output is closed or the time is up.
    bool collect(std::chrono::steady_clock::time_point deadline)
    {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{out_fd_, POLLIN, 0};
        if (out_fd_ < 0 || left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char buffer[4096];
        const ssize_t got = read(out_fd_, buffer, sizeof buffer);
        if (got > 0) {
            out_.append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            close(out_fd_);
            out_fd_ = -1;
        }
        return true;
    }

    void kill_child()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    pid_t pid_ = -1;
    int in_ = -1, out_fd_ = -1;
    std::FILE *errors_ = std::tmpfile(); // the console's standard error
    std::string out_;
};

} // namespace kestrune::test

#endif
