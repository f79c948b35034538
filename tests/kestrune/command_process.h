// Runs the built kestrune as a child process with its own KESTRUNE_ROOT,
// standard input from /dev/null, standard output through a pipe and standard
// error into a file. Optionally the child enters a network namespace that the
// test holds, a mount namespace of its own with a fresh sysfs, or no
// capabilities; or it becomes process 1 of a machine of its own (new
// PID, network and mount namespaces with /proc mounted afresh), where "the
// machine's own network namespace" is one that dies with it. Every wait is
// bounded; a child still running when the object goes away is killed by its
// process ID.
#ifndef KESTRUNE_TESTS_KESTRUNE_COMMAND_PROCESS_H
#define KESTRUNE_TESTS_KESTRUNE_COMMAND_PROCESS_H

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <linux/capability.h>
#include <sys/syscall.h>
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
#include <vector>

#include "support/private_sysfs.h"
#include "support/scratch_dir.h"

#ifndef KESTRUNE_COMMAND_PATH
#error "KESTRUNE_COMMAND_PATH must name the kestrune program"
#endif

namespace kestrune::test {

struct CommandOptions {
    std::string policy_root;
    int network_namespace = -1;   // a namespace file descriptor to enter, or -1
    bool fresh_sysfs = false;     // own mount namespace with sysfs mounted afresh
    bool without_rights = false;  // user 0 still, but without any capability
    bool own_machine = false;     // process 1 of new PID, network and mount namespaces
};

class CommandProcess {
public:
    // The exit status of a child that could not enter the namespaces it was
    // asked to: the command itself exits with 0, 1, 2 or 4.
    static constexpr int kNoNamespace = 77;

    CommandProcess(const std::vector<std::string> &arguments, const CommandOptions &options)
    {
        // Everything the child needs is prepared here: after fork it may only
        // make async-signal-safe calls.
        setenv("KESTRUNE_ROOT", options.policy_root.c_str(), 1);
        std::vector<std::string> words{KESTRUNE_COMMAND_PATH};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char *> argv;
        for (std::string &word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
        const int errors = errors_ != nullptr ? fileno(errors_) : -1;
        int out[2];
        if (input < 0 || errors < 0 || pipe2(out, O_CLOEXEC) != 0 || (pid_ = fork()) < 0)
            throw std::runtime_error(std::string("cannot start kestrune: ") + std::strerror(errno));
        if (pid_ == 0) {
            dup2(input, STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            dup2(errors, STDERR_FILENO);
            alarm(120); // survives exec: a hung command dies within the limit
            if (options.network_namespace >= 0 && setns(options.network_namespace, CLONE_NEWNET) != 0)
                fail("cannot enter the test's network namespace", kNoNamespace);
            if ((options.fresh_sysfs || options.own_machine) && unshare(CLONE_NEWNS) != 0)
                fail("cannot make a mount namespace of its own", kNoNamespace);
            if (options.fresh_sysfs && !mount_private_sysfs())
                fail("cannot mount sysfs afresh", kNoNamespace);
            if (options.own_machine)
                become_machine_init();
            if (options.without_rights)
                drop_rights();
            execv(argv[0], argv.data());
            fail("cannot execute kestrune", 127);
        }
        close(input);
        close(out[1]);
        out_fd_ = out[0];
    }

    ~CommandProcess()
    {
        kill_child();
        if (out_fd_ >= 0)
            close(out_fd_);
        std::fclose(errors_);
    }
    CommandProcess(const CommandProcess &) = delete;
    CommandProcess &operator=(const CommandProcess &) = delete;

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

    // Collects output until the command exits; its exit status, or nothing
    // when it did not exit in time (it is then killed).
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

    // Empties the bounding set first: root regains it at exec otherwise.
    static void drop_rights()
    {
        for (int capability = 0; capability < 64; ++capability)
            if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0 && errno != EINVAL)
                fail("cannot drop a capability", kNoNamespace);
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct none[2] = {};
        if (syscall(SYS_capset, &header, none) != 0)
            fail("cannot clear the capabilities", kNoNamespace);
    }

    // In the child, in a mount namespace of its own: a new PID and network
    // namespace whose process 1 runs the command, with /proc showing that
    // namespace. This process only waits and passes the exit status on. Inside
    // a chroot "/" is no mount point, so /proc is made private instead.
    static void become_machine_init()
    {
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 &&
            mount(nullptr, "/proc", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            fail("cannot make the mounts private", kNoNamespace);
        if (unshare(CLONE_NEWPID | CLONE_NEWNET) != 0)
            fail("cannot make PID and network namespaces", kNoNamespace);
        const pid_t init = fork();
        if (init < 0)
            fail("cannot start process 1", kNoNamespace);
        if (init == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (mount("proc", "/proc", "proc", 0, nullptr) != 0)
                fail("cannot mount /proc afresh", kNoNamespace);
            return;
        }
        int status = 0;
        while (waitpid(init, &status, 0) < 0 && errno == EINTR) {
        }
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
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
    int out_fd_ = -1;
    std::FILE *errors_ = std::tmpfile(); // the command's standard error
    std::string out_;
};

} // namespace kestrune::test

#endif
