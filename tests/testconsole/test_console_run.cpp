// Whole runs of the built KestruneTest, each in a scratch directory with its own
// policy root and its standard input given, compared with golden transcripts in
// golden/ (KESTRUNE_UPDATE_GOLDEN=1 rewrites them). Runs that name the network
// device run inside network and mount namespaces of their own.
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>

#include "support/child_process.h"
#include "support/loopback_probe.h"
#include "support/private_sysfs.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace kestrune::test;

const std::string kTestCfg = "KestruneCtl_Test_Cfg.ini";
const std::string kOutputCfg = "KestruneCtl_Output_Cfg.ini";
const std::string kNet = "QVX_KESTRUNE_NET_DEVID_ETH_CARD";
const std::string kNoLimit = kNet + " = QVX_KESTRUNE_NET_PERM_NO_LIMIT\n" + kNet + "_SPEED = ";

// Whether this process may make network and mount namespaces of its own.
bool can_own_network()
{
    const pid_t child = fork();
    if (child == 0)
        _exit(unshare(CLONE_NEWNET | CLONE_NEWNS) == 0 && mount_private_sysfs() ? 0 : 1);
    int status = 1;
    return child > 0 && waitpid(child, &status, 0) == child && status == 0;
}
const char kNeedsRoot[] = "needs root, for network and mount namespaces of its own";

// The console as a child in `dir`, its standard input a pipe the test writes;
// with `ownNetwork`, in namespaces (and a sysfs) of its own that die with it.
struct Console {
    int input[2] = {-1, -1};
    std::unique_ptr<ChildProcess> process;

    Console(const std::string &dir, const std::string &root, bool ownNetwork)
    {
        ::signal(SIGPIPE, SIG_IGN); // a console that exits early must not kill the test
        setenv("KESTRUNE_ROOT", root.c_str(), 1);
        if (pipe2(input, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2 failed");
        process = std::make_unique<ChildProcess>(std::vector<std::string>{KESTRUNE_CONSOLE_PATH}, input[0], [&] {
            if (ownNetwork && (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 || !mount_private_sysfs()))
                ChildProcess::fail("cannot make namespaces of its own", 126);
            if (chdir(dir.c_str()) != 0)
                ChildProcess::fail("cannot enter the console's directory", 127);
        });
    }
    ~Console() { close_input(); }
    void send(std::string_view text) { static_cast<void>(write(input[1], text.data(), text.size())); }
    void close_input()
    {
        if (input[1] >= 0)
            close(input[1]);
        input[1] = -1;
    }
};

// The console's own lines: neither the library's diagnostic lines nor device
// events, which the machine may deliver at any time.
std::string console_lines(const std::string &out)
{
    std::string own;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (!line.starts_with("I KestruneCtl ") && !line.starts_with("E KestruneCtl ") && !line.starts_with("=== get cb "))
            own += line + "\n";
    return own;
}

struct Outcome {
    std::optional<int> status;
    std::string out;
};

class ConsoleRunTest : public ::testing::Test {
protected:
    ScratchDir scratch_;
    const std::string dir_ = fs::canonical(scratch_.path()).string();
    const std::string root_ = dir_ + "/policy-root";
    const std::string registry_pol_ = root_ + "/GroupPolicy/Machine/Registry.pol";

    // One whole run: start, feed `input`, close the input, wait for the exit.
    Outcome run_in(const std::string &dir, const std::string &input, bool ownNetwork = false)
    {
        Console console(dir, root_, ownNetwork);
        console.send(input);
        console.close_input();
        Outcome run{console.process->wait_exit(60s), console.process->output()};
        EXPECT_EQ(console.process->errors(), "") << "the console wrote to standard error";
        return run;
    }

    // A run as its golden file holds it: the exit status, the console's own lines,
    // whether a policy was saved, and the output configuration. The scratch
    // directory reads as "<dir>".
    std::string transcript(const Outcome &run) const
    {
        std::string text = "exit " + (run.status ? std::to_string(*run.status) : "none (killed)") + "\n";
        text += console_lines(run.out);
        const bool saved = fs::exists(registry_pol_) && read_file(registry_pol_).starts_with("PReg");
        text += std::string("--- policy ") + (saved ? "saved" : "not saved") + "\n--- " + kOutputCfg + "\n";
        text += fs::exists(dir_ + "/" + kOutputCfg) ? read_file(dir_ + "/" + kOutputCfg) : "(none)\n";
        for (size_t at; (at = text.find(dir_)) != std::string::npos;)
            text.replace(at, dir_.size(), "<dir>");
        return text;
    }

    void expect_golden(const Outcome &run, const std::string &name) const
    {
        const std::string path = std::string(KESTRUNE_SOURCE_DIR) + "/tests/testconsole/golden/" + name;
        if (std::getenv("KESTRUNE_UPDATE_GOLDEN") != nullptr)
            write_file(path, transcript(run));
        EXPECT_EQ(transcript(run), read_file(path)) << name;
    }
};

std::string example(const std::string &name)
{
    return read_file(std::string(KESTRUNE_SOURCE_DIR) + "/examples/" + name + "/" + kTestCfg);
}

// The examples, a configuration without device keys, a policy that fails Initialize
// (exit -1 at once, the file untouched), and permission texts outside their
// categories (UNKNOWN is one of the category's; GPIO has no setup class, so the
// library refuses it and the write line still follows). The read-back replaces
// every device's value in the output, "def" included; a limited network reads back
// as allowed, with its speed.
TEST_F(ConsoleRunTest, WholeRunsMatchTheirTranscripts)
{
    const struct {
        const char *golden;
        std::string config, input;
        bool ownNetwork = false;
        const char *policy = nullptr; // the policy file found, if any
    } runs[] = {
        {"storage-and-ports.txt", example("storage-and-ports"), "q\n"},
        {"no-device-keys.txt", "# no device here\nOther = kept # comment\n\nstray line\n", "q\n"},
        {"failed-initialize.txt", "QVX_KESTRUNE_NORMAL_DEVID_MOUSE = QVX_KESTRUNE_NORMAL_PERM_DENY\n", "q\n", false,
         "not a policy file"},
        {"refused-permissions.txt",
         "QVX_KESTRUNE_NORMAL_DEVID_SERIAL = QVX_KESTRUNE_NORMAL_PERM_UNKNOWN\n"
         "QVX_KESTRUNE_NORMAL_DEVID_GPIO = QVX_KESTRUNE_NORMAL_PERM_DENY\n"
         "QVX_KESTRUNE_NORMAL_DEVID_MOUSE = QVX_KESTRUNE_NORMAL_PERM_BLOCK\n"
         "QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD = QVX_KESTRUNE_STORAGE_PERM_DENY\n"
         "QVX_KESTRUNE_NORMAL_DEVID_CAMERA = def\n"
         "QVX_KESTRUNE_NORMAL_DEVID_BT = QVX_KESTRUNE_NORMAL_PERM_DENY\n"
         "QVX_KESTRUNE_STORAGE_DEVID_CDROM = qvx_kestrune_storage_perm_deny\n",
         "q\n"},
        {"net-limit.txt", example("net-limit"), "s\nq\n", true},
        // Speed texts are checked before the library sees them: 2^32 + 100 would
        // wrap to 100 as atoi reads it. The last is the library's to refuse.
        {"speed-max.txt", kNoLimit + "1000000000\n", "q\n", true},
        {"speed-negative.txt", kNoLimit + "-1\n", "q\n", true},
        {"speed-over-max.txt", kNoLimit + "1000000001\n", "q\n", true},
        {"speed-beyond-int.txt", kNoLimit + "4294967396\n", "q\n", true},
        {"speed-over-library-max.txt", kNet + " = QVX_KESTRUNE_NET_PERM_LIMIT\n" + kNet + "_SPEED = 1000001\n", "q\n", true},
        // Every non-blank character is one answer, Q ends the questions whatever
        // follows, and so does the end of input.
        {"operator-answers.txt", "Other = kept\n", "x\tS\n\nQ s\n"},
        {"end-of-input.txt", "Other = kept\n", ""},
    };
    for (const auto &one : runs) {
        if (one.ownNetwork && !can_own_network())
            GTEST_SKIP() << kNeedsRoot;
        fs::remove_all(root_);
        fs::remove(dir_ + "/" + kOutputCfg);
        if (one.policy != nullptr)
            write_file(registry_pol_, one.policy);
        write_file(dir_ + "/" + kTestCfg, one.config);
        expect_golden(run_in(dir_, one.input, one.ownNetwork), one.golden);
        if (one.policy != nullptr) {
            EXPECT_EQ(read_file(registry_pol_), one.policy);
        }
    }
}

// Here, else in the parent directory, where the output goes too. What is not a
// regular file counts as missing: a FIFO would hang the console, a device would be
// read without end, a directory would read as an empty configuration.
TEST_F(ConsoleRunTest, ConfigIsSoughtHereThenInTheParentDirectory)
{
    const std::string work = dir_ + "/work";
    fs::create_directory(work);
    ASSERT_EQ(mkfifo((work + "/" + kTestCfg).c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir_ + "/" + kTestCfg);
    // Nowhere: exit status -1 after a pause that keeps the message readable.
    const auto started = std::chrono::steady_clock::now();
    const Outcome nowhere = run_in(work, "q\n");
    EXPECT_GE(std::chrono::steady_clock::now() - started, 5s);
    expect_golden(nowhere, "no-config.txt");

    fs::remove(work + "/" + kTestCfg);
    fs::remove(dir_ + "/" + kTestCfg);
    write_file(dir_ + "/" + kTestCfg, "QVX_KESTRUNE_NORMAL_DEVID_MOUSE = QVX_KESTRUNE_NORMAL_PERM_DENY\n");
    for (const bool directoryHere : {false, true}) {
        if (directoryHere)
            fs::create_directory(work + "/" + kTestCfg);
        expect_golden(run_in(work, "q\n"), "parent-config.txt");
        EXPECT_FALSE(fs::exists(work + "/" + kOutputCfg));
    }
}

TEST_F(ConsoleRunTest, WhileTheOperatorIsAskedEventsArePrintedAndSReleasesTheLimit)
{
    if (!can_own_network())
        GTEST_SKIP() << kNeedsRoot;
    // Speed 0 lets no packet through until the limit is released.
    write_file(dir_ + "/" + kTestCfg, kNet + " = QVX_KESTRUNE_NET_PERM_LIMIT\n" + kNet + "_SPEED = 0\n");
    Console console(dir_, root_, true);
    ChildProcess &child = *console.process;
    ASSERT_TRUE(child.wait_for_output("enter Q/q for quit, S/s for stop limit bandwidth: ", 60s))
        << child.output() << child.errors();
    const std::string ns = "/proc/" + std::to_string(child.pid()) + "/ns/net";
    const auto ip = [&](const std::string &arguments) { return std::system(("nsenter --net=" + ns + " ip " + arguments).c_str()); };

    // A veth pair that appears and goes in the console's own namespace.
    ASSERT_EQ(ip("link add kt-ev0 type veth peer name kt-ev1"), 0);
    EXPECT_TRUE(child.wait_for_output("=== get cb type=1, data=[", 20s)) << child.output();
    ASSERT_EQ(ip("link del kt-ev0"), 0);
    EXPECT_TRUE(child.wait_for_output("=== get cb type=2, data=[", 20s)) << child.output();

    ASSERT_EQ(ip("link set lo up"), 0);
    EXPECT_FALSE(loopback_datagram_arrives(ns, 300ms)) << "the limit holds while the prompt waits";
    console.send("s\n");
    ASSERT_TRUE(child.wait_for_output("already stop limit bandwidth..", 60s)) << child.output();
    EXPECT_TRUE(loopback_datagram_arrives(ns, 10s)) << "S releases the limit";

    console.send("q\n");
    console.close_input();
    EXPECT_EQ(child.wait_exit(60s), 0);
    std::istringstream out(child.output());
    for (std::string line; std::getline(out, line);) {
        const bool named = line.find("kt-ev") != std::string::npos || line.find("KT-EV") != std::string::npos;
        EXPECT_TRUE(!line.starts_with("=== get cb ") || (named && line.ends_with("]\r"))) << line;
    }
}

} // namespace
