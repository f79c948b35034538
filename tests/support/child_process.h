// A program run by a test as a child process: standard input from a descriptor
// the caller gives, standard output through a pipe that this object reads, and
// standard error into a file. Every wait is bounded; a child still running when
// the object goes away is killed by its process ID.
#ifndef KESTRUNE_TESTS_CHILD_PROCESS_H
#define KESTRUNE_TESTS_CHILD_PROCESS_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "support/scratch_dir.h"

namespace kestrune::test {

class ChildProcess {
public:
    // Starts `argv`; `input` becomes the child's standard input and is closed
    // here. `prepare` runs in the child after its descriptors are in place and
    // before exec: it may only make async-signal-safe calls, and ends the child
    // with fail() when it cannot do its part.
    ChildProcess(std::vector<std::string> argv, int input, const std::function<void()> &prepare)
    {
        std::vector<char *> words;
        for (std::string &word : argv)
            words.push_back(word.data());
        words.push_back(nullptr);
        int out[2];
        if (input < 0 || errors_ == nullptr || pipe2(out, O_CLOEXEC) != 0 || (pid_ = fork()) < 0)
            throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(errno));
        if (pid_ == 0) {
            dup2(input, STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            dup2(fileno(errors_), STDERR_FILENO);
            prepare();
            execv(words[0], words.data());
            fail("cannot execute the program", 127);
        }
        close(input);
        close(out[1]);
        out_fd_ = out[0];
    }

    ~ChildProcess()
    {
        kill_child();
        if (out_fd_ >= 0)
            close(out_fd_);
        std::fclose(errors_);
    }
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // In the child: says why on standard error and ends.
    [[noreturn]] static void fail(const char *why, int status)
    {
        static_cast<void>(write(STDERR_FILENO, why, std::strlen(why)));
        _exit(status);
    }

    pid_t pid() const { return pid_; }
    const std::string &output() const { return out_; }
    // Standard error, read afresh through the file's link from its start.
    std::string errors() const { return read_file("/proc/self/fd/" + std::to_string(fileno(errors_))); }
    void signal(int number) const
    {
        if (pid_ > 0)
            kill(pid_, number);
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

    // Collects output until the child exits; its exit status (128 + the signal
    // that ended it), or nothing when it did not exit in time (it is then killed).
    std::optional<int> wait_exit(std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (collect(deadline)) {
        }
        int status = 0;
        pid_t done = 0;
        while (pid_ > 0 && (done = waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (done <= 0) {
            kill_child();
            return std::nullopt;
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
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
        if (got > 0)
            out_.append(buffer, static_cast<size_t>(got));
        else if (got == 0 || errno != EINTR)
            close(std::exchange(out_fd_, -1));
        return true;
    }

    void kill_child()
    {
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0)
            waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    pid_t pid_ = -1;
    int out_fd_ = -1;
    std::FILE *errors_ = std::tmpfile();
    std::string out_;
};

} // namespace kestrune::test

#endif
