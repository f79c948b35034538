// Runs the built KestruneTest as a child process: in a directory of the test's
// choosing, with its own KESTRUNE_ROOT, standard input fed by the test, standard
// output and error collected, and optionally inside a fresh network namespace
// that dies with it. Every wait is bounded; a child still running when the object
// goes away is killed by its process ID.
#ifndef KESTRUNE_TESTS_CONSOLE_PROCESS_H
#define KESTRUNE_TESTS_CONSOLE_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune::test {

struct ConsoleOptions {
    std::string directory;   // working directory of the console
    std::string policy_root; // KESTRUNE_ROOT of the console
    bool own_network = false; // own network and mount namespace: loopback up, fresh sysfs
};

class ConsoleProcess {
public:
    explicit ConsoleProcess(const ConsoleOptions &options);
    ~ConsoleProcess();
    ConsoleProcess(const ConsoleProcess &) = delete;
    ConsoleProcess &operator=(const ConsoleProcess &) = delete;

    // Why the console could not be started for want of a capability (no network
    // namespace); empty when it runs. Other start failures throw.
    const std::string &skip_reason() const { return skip_reason_; }
    pid_t pid() const { return pid_; }

    void send(std::string_view text);
    void close_input();

    // Collects output until it contains `text` or the time is up.
    bool wait_for_output(std::string_view text, std::chrono::milliseconds timeout);
    // Collects output until the console exits; its exit status (0 to 255), or
    // nothing when it did not exit in time (it is then killed).
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);

    const std::string &output() const { return out_; }
    const std::string &errors() const { return err_; }

private:
    // Reads what is ready on stdout and stderr, waiting at most until `deadline`.
    // Returns false once both are closed.
    bool collect(std::chrono::steady_clock::time_point deadline);
    void kill_child();

    pid_t pid_ = -1;
    int in_ = -1, out_fd_ = -1, err_fd_ = -1;
    std::string out_, err_;
    std::string skip_reason_;
};

// One whole run: start, feed `input`, close the input, wait for the exit.
struct ConsoleRun {
    std::string skip_reason;
    std::optional<int> status;
    std::string out;
    std::string err;
};
ConsoleRun run_console(const ConsoleOptions &options, std::string_view input,
                       std::chrono::milliseconds timeout = std::chrono::seconds(60));

} // namespace kestrune::test

#endif
