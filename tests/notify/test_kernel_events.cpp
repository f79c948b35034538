// End to end with real kernel events: a veth pair created and deleted in a
// network namespace of the test's own reaches the callback as arrivals and
// removals that name the interfaces, on the notification thread.
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "support/private_sysfs.h"

#ifndef KESTRUNE_NETNS_CHILD
#error "KESTRUNE_NETNS_CHILD must name the netns_child program"
#endif

namespace {

struct ChildRun {
    int exitCode = -1;
    std::string output;
};

void write_all(int fd, const char *text)
{
    static_cast<void>(write(fd, text, std::strlen(text)));
}

// Runs the child program in a new network and mount namespace with sysfs mounted
// afresh; kills it when it outlives `limit`.
ChildRun run_in_namespace(std::chrono::seconds limit)
{
    ChildRun run;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return run;
    char program[] = KESTRUNE_NETNS_CHILD;
    char *argv[] = {program, nullptr};
    pid_t pid = fork();
    if (pid == 0) {
        // Only system calls between fork and exec.
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
            write_all(STDOUT_FILENO, "SKIP cannot create a network and mount namespace (needs root)\n");
            _exit(77);
        }
        if (!kestrune::test::mount_private_sysfs()) {
            write_all(STDOUT_FILENO, "SKIP cannot mount sysfs in the new namespace\n");
            _exit(77);
        }
        execv(program, argv);
        write_all(STDOUT_FILENO, "cannot start the child program\n");
        _exit(127);
    }
    close(out[1]);
    if (pid < 0) {
        close(out[0]);
        return run;
    }
    auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{out[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) == 0) {
            kill(pid, SIGKILL);
            run.output += "\n(killed after the time limit)";
            break;
        }
        char buffer[4096];
        ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        run.output.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        run.exitCode = WEXITSTATUS(status);
    return run;
}

TEST(KernelEvents, VethPairArrivesAndLeavesInAFreshNamespace)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to create a network namespace";
    ChildRun run = run_in_namespace(std::chrono::seconds(90));
    if (run.exitCode == 77)
        GTEST_SKIP() << run.output;
    EXPECT_EQ(run.exitCode, 0) << run.output;
}

} // namespace

