// End to end with real kernel events: netns_child.cpp, run in a network and mount
// namespace of its own with sysfs mounted afresh.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "support/private_sysfs.h"

#ifndef KESTRUNE_NETNS_CHILD
#error "KESTRUNE_NETNS_CHILD must name the netns_child program"
#endif

namespace {

// Only system calls between fork and exec.
[[noreturn]] void fail_in_child(const char *why, int status)
{
    static_cast<void>(write(STDOUT_FILENO, why, std::strlen(why)));
    _exit(status);
}

struct ChildRun {
    int status = -1; // exit status; -1: killed
    std::string output;
};

// Runs the child program with `mode` in fresh network and mount namespaces.
ChildRun run_in_namespace(const char *mode)
{
    ChildRun run;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return run;
    char program[] = KESTRUNE_NETNS_CHILD;
    char *argv[] = {program, const_cast<char *>(mode), nullptr};
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(90); // survives exec: a hung child dies within the limit
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
            fail_in_child("SKIP cannot create a network and mount namespace\n", 77);
        if (!kestrune::test::mount_private_sysfs())
            fail_in_child("SKIP cannot mount sysfs in the new namespace\n", 77);
        execv(program, argv);
        fail_in_child("cannot start the child program\n", 127);
    }
    close(out[1]);
    char buffer[4096];
    for (ssize_t n; pid > 0 && (n = read(out[0], buffer, sizeof buffer)) > 0;)
        run.output.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        run.status = WEXITSTATUS(status);
    return run;
}

size_t occurrences(const std::string &text, const std::string &what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

TEST(KernelEvents, VethPairArrivesAndLeavesInAFreshNamespace)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to create a network namespace";
    ChildRun run = run_in_namespace(nullptr);
    if (run.status == 77)
        GTEST_SKIP() << run.output;
    EXPECT_EQ(run.status, 0) << run.output;
}

TEST(KernelEvents, AnOverflowIsLoggedOnceAndWhatWasQueuedStillArrives)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to create a network namespace";
    ChildRun run = run_in_namespace("overflow");
    if (run.status == 77)
        GTEST_SKIP() << run.output;
    EXPECT_EQ(run.status, 0) << run.output;
    // Several events lost, one line.
    EXPECT_EQ(occurrences(run.output, "recvmsg() failed with ENOBUFS"), 1u) << run.output;
    EXPECT_EQ(occurrences(run.output, "E KestruneCtl "), 1u) << run.output;
}

} // namespace
