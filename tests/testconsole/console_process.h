// Runs the built KestruneTest as a child process: in a directory of the test's
// choosing, with its own KESTRUNE_ROOT, standard input fed by the test, and
// optionally inside fresh network and mount namespaces that die with it.
#ifndef KESTRUNE_TESTS_CONSOLE_PROCESS_H
#define KESTRUNE_TESTS_CONSOLE_PROCESS_H

#include <sched.h>

#include "support/child_process.h"
#include "support/private_sysfs.h"

namespace kestrune::test {

struct ConsoleOptions {
    std::string directory;    // working directory of the console
    std::string policy_root;  // KESTRUNE_ROOT of the console
    bool own_network = false; // own network and mount namespace with a fresh sysfs
};

// The console's standard input: a pipe whose other end the test writes.
struct ConsoleInput {
    int child_end = -1, test_end = -1;
    ConsoleInput()
    {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) == 0) {
            child_end = ends[0];
            test_end = ends[1];
        }
    }
};

class ConsoleProcess : private ConsoleInput, public ChildProcess {
public:
    // The exit status of a child that could not enter namespaces of its own; the
    // console itself exits with 0 or 255 only.
    static constexpr int kNoNamespace = 77;

    explicit ConsoleProcess(const ConsoleOptions &options)
        : ChildProcess(console_command(options), child_end,
                       [directory = options.directory.c_str(), own_network = options.own_network] {
                           if (own_network && (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 || !mount_private_sysfs()))
                               fail("cannot run the console in network and mount namespaces of its own", kNoNamespace);
                           if (chdir(directory) != 0)
                               fail("cannot set up the console's directory", 127);
                       })
    {
    }

    ~ConsoleProcess() { close_input(); }

    // Answers are short: a pipe takes them whole. A console that has closed its
    // input makes the write fail, which its exit status and output then show.
    void send(std::string_view text) { static_cast<void>(write(test_end, text.data(), text.size())); }

    void close_input()
    {
        if (test_end >= 0)
            close(test_end);
        test_end = -1;
    }

private:
    static std::vector<std::string> console_command(const ConsoleOptions &options)
    {
        // A console that exits early must not kill the test with SIGPIPE.
        ::signal(SIGPIPE, SIG_IGN);
        setenv("KESTRUNE_ROOT", options.policy_root.c_str(), 1);
        return {KESTRUNE_CONSOLE_PATH};
    }
};

} // namespace kestrune::test

#endif
