// Runs the built kestrune as a child process with its own KESTRUNE_ROOT and
// standard input from /dev/null. Optionally the child enters a network
// namespace that the test holds, a mount namespace of its own with a fresh
// sysfs, or gives up every capability; or it becomes process 1 of a machine of
// its own (new PID, network and mount namespaces with /proc mounted afresh),
// where "the machine's own network namespace" is one that dies with it.
#ifndef KESTRUNE_TESTS_KESTRUNE_COMMAND_PROCESS_H
#define KESTRUNE_TESTS_KESTRUNE_COMMAND_PROCESS_H

#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>

#include "support/child_process.h"
#include "support/private_sysfs.h"

#ifndef KESTRUNE_COMMAND_PATH
#error "KESTRUNE_COMMAND_PATH must name the kestrune program"
#endif

namespace kestrune::test {

struct CommandOptions {
    std::string policy_root;
    int network_namespace = -1;  // a namespace file descriptor to enter, or -1
    bool fresh_sysfs = false;    // own mount namespace with sysfs mounted afresh
    bool without_rights = false; // user 0 still, but without any capability
    bool own_machine = false;    // process 1 of new PID, network and mount namespaces
};

class CommandProcess : public ChildProcess {
public:
    // The exit status of a child that could not enter the namespaces it was
    // asked to: the command itself exits with 0, 1, 2 or 4.
    static constexpr int kNoNamespace = 77;

    CommandProcess(const std::vector<std::string> &arguments, const CommandOptions &options)
        : ChildProcess(command(arguments, options), open("/dev/null", O_RDONLY | O_CLOEXEC), [options] {
              alarm(120); // survives exec: a hung command dies within the limit
              if (options.network_namespace >= 0 && setns(options.network_namespace, CLONE_NEWNET) != 0)
                  fail("cannot enter the test's network namespace", kNoNamespace);
              if ((options.fresh_sysfs || options.own_machine) && unshare(CLONE_NEWNS) != 0)
                  fail("cannot make a mount namespace of its own", kNoNamespace);
              if (options.fresh_sysfs && !mount_private_sysfs())
                  fail("cannot mount sysfs afresh", kNoNamespace);
              if (options.own_machine)
                  become_machine_init();
          })
    {
    }

private:
    static std::vector<std::string> command(const std::vector<std::string> &arguments, const CommandOptions &options)
    {
        setenv("KESTRUNE_ROOT", options.policy_root.c_str(), 1);
        // Without the bounding set's capabilities root regains none at exec.
        std::vector<std::string> words{"/usr/bin/setpriv", "--bounding-set=-all", "--inh-caps=-all", KESTRUNE_COMMAND_PATH};
        if (!options.without_rights)
            words.erase(words.begin(), words.begin() + 3);
        words.insert(words.end(), arguments.begin(), arguments.end());
        return words;
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
};

} // namespace kestrune::test

#endif
