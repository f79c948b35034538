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

TEST(KernelEvents, VethPairArrivesAndLeavesInAFreshNamespace)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to create a network namespace";
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    char program[] = KESTRUNE_NETNS_CHILD;
    char *argv[] = {program, nullptr};
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
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
    std::string output;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        output.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status) << "\n" << output;
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << output;
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
}

} // namespace
