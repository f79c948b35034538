// Whole runs of the built KestruneTest, each in a scratch directory with its own
// policy root and its standard input given: what it prints, what it writes into
// the output configuration, and how it ends. Runs that name the network device
// run inside a network namespace of their own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "console_process.h"
#include "support/scratch_dir.h"

#ifndef KESTRUNE_SOURCE_DIR
#error "KESTRUNE_SOURCE_DIR must name the source tree"
#endif

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using kestrune::test::ConsoleOptions;
using kestrune::test::ConsoleProcess;
using kestrune::test::ConsoleRun;
using kestrune::test::read_file;
using kestrune::test::run_console;
using kestrune::test::ScratchDir;
using kestrune::test::write_file;
using Lines = std::vector<std::string>;

const std::string test_cfg = "KestruneCtl_Test_Cfg.ini";
const std::string output_cfg = "KestruneCtl_Output_Cfg.ini";
const std::string net_key = "QVX_KESTRUNE_NET_DEVID_ETH_CARD";
const std::string speed_key = net_key + "_SPEED";

const std::string write_begin = "KESTRUNE_TEST DBG: ================ write perm ================";
const std::string write_end = "KESTRUNE_TEST DBG: ================ write perm done ================";
const std::string prompt = "enter Q/q for quit, S/s for stop limit bandwidth: ";
const std::string stopped = "already stop limit bandwidth..";

// Every device in the order the console drives them, with what an empty policy
// store reads back.
const std::pair<const char *, const char *> devices[] = {
    {"QVX_KESTRUNE_NORMAL_DEVID_SERIAL", "QVX_KESTRUNE_NORMAL_PERM_ALLOW"},
    {"QVX_KESTRUNE_NORMAL_DEVID_GPIO", "QVX_KESTRUNE_NORMAL_PERM_UNKNOWN"},
    {"QVX_KESTRUNE_NORMAL_DEVID_DONGLE", "QVX_KESTRUNE_NORMAL_PERM_UNKNOWN"},
    {"QVX_KESTRUNE_NORMAL_DEVID_MOUSE", "QVX_KESTRUNE_NORMAL_PERM_ALLOW"},
    {"QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD", "QVX_KESTRUNE_NORMAL_PERM_ALLOW"},
    {"QVX_KESTRUNE_NORMAL_DEVID_CAMERA", "QVX_KESTRUNE_NORMAL_PERM_ALLOW"},
    {"QVX_KESTRUNE_NORMAL_DEVID_USB_CONVERSION", "QVX_KESTRUNE_NORMAL_PERM_ALLOW"},
    {"QVX_KESTRUNE_NORMAL_DEVID_BT", "QVX_KESTRUNE_NORMAL_PERM_ALLOW"},
    {"QVX_KESTRUNE_STORAGE_DEVID_CDROM", "QVX_KESTRUNE_STORAGE_PERM_UNKNOWN"},
    {"QVX_KESTRUNE_STORAGE_DEVID_UDISK", "QVX_KESTRUNE_STORAGE_PERM_UNKNOWN"},
    {"QVX_KESTRUNE_NET_DEVID_ETH_CARD", "QVX_KESTRUNE_NET_PERM_ALLOW"},
};

// What a run reads back: the permissions that differ from an empty store, the
// net device's speed (1000000 until a limit was requested), and the pairs of the
// test configuration that are no device's.
struct ReadBack {
    std::map<std::string, std::string> permissions;
    int speed = 1000000;
    std::map<std::string, std::string> other_pairs;

    std::string permission(const std::string &device) const
    {
        auto found = permissions.find(device);
        if (found != permissions.end())
            return found->second;
        for (const auto &[key, empty_store] : devices) {
            if (key == device)
                return empty_store;
        }
        return "?";
    }

    Lines lines() const
    {
        Lines lines{"KESTRUNE_TEST DBG: ================ read all perm ================"};
        for (const auto &[key, empty_store] : devices) {
            const bool net = key == net_key;
            lines.push_back("KESTRUNE_TEST DBG: DEV=" + std::string(key) + ", perm=" + permission(key) +
                            ", speed=" + std::to_string(net ? speed : 0));
        }
        lines.push_back("KESTRUNE_TEST DBG: ================ read all perm done ================");
        return lines;
    }

    std::string output_file() const
    {
        std::map<std::string, std::string> pairs = other_pairs;
        for (const auto &[key, empty_store] : devices)
            pairs[key] = permission(key);
        pairs[speed_key] = std::to_string(speed);
        pairs["KEY"] = "value";
        std::string text;
        for (const auto &[key, value] : pairs)
            text += key + "=" + value + "\n";
        return text + "\n";
    }
};

Lines split_lines(const std::string &text)
{
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The console's own lines: neither the library's diagnostic lines nor device
// events, which the machine may deliver at any time.
Lines console_lines(const std::string &out)
{
    Lines own;
    for (std::string &line : split_lines(out)) {
        if (line.rfind("I KestruneCtl ", 0) == 0 || line.rfind("E KestruneCtl ", 0) == 0 ||
            line.rfind("=== get cb ", 0) == 0)
            continue;
        own.push_back(std::move(line));
    }
    return own;
}

// The lines between the write banners, without them.
Lines write_section(const Lines &lines)
{
    Lines section;
    bool inside = false;
    for (const std::string &line : lines) {
        if (line == write_end)
            break;
        if (inside)
            section.push_back(line);
        inside = inside || line == write_begin;
    }
    return section;
}

Lines operator+(Lines first, const Lines &second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

std::string dir_line(const std::string &directory)
{
    return "KESTRUNE_TEST INFO: Test config dirName=" + directory + ", name=" + test_cfg;
}

Lines closing_lines(bool applied)
{
    Lines lines{"KESTRUNE_TEST INFO: ---------------- Finish Processing Group Policy --------------------",
                "KESTRUNE_TEST Saving, Please wait 5 seconds.."};
    if (applied)
        lines.push_back("KESTRUNE_TEST DBG: finish Call 'QVX_KESTRUNE_Apply' 0");
    lines.push_back("KESTRUNE_TEST End test Kestrune DLL!");
    lines.push_back("KESTRUNE_TEST ======================== Test quit ========================");
    return lines;
}

std::string written(const std::string &device, const std::string &value)
{
    return "KESTRUNE_TEST DBG: ===> write DEV=" + device + ", perm=" + value;
}

std::string not_valid(const std::string &device, const std::string &value)
{
    return "KESTRUNE_TEST ERR: read dev " + device + ", permCStr=" + value + ", permID=-1 is not valid!";
}

std::string shipped_example(const std::string &name)
{
    return read_file(std::string(KESTRUNE_SOURCE_DIR) + "/examples/" + name + "/" + test_cfg);
}

// UTF-16LE bytes of an ASCII text, as Registry.pol stores names and data.
std::string utf16le(const std::string &ascii)
{
    std::string bytes;
    for (char c : ascii) {
        bytes += c;
        bytes += '\0';
    }
    return bytes;
}

class ConsoleRunTest : public ::testing::Test {
protected:
    ScratchDir scratch_;
    const std::string dir_ = fs::canonical(scratch_.path()).string();
    const std::string root_ = dir_ + "/policy-root";

    std::string registry_pol() const { return root_ + "/GroupPolicy/Machine/Registry.pol"; }

    ConsoleRun run(const std::string &config, const std::string &input, bool own_network = false)
    {
        write_file(dir_ + "/" + test_cfg, config);
        return run_in(dir_, input, own_network);
    }

    ConsoleRun run_in(const std::string &directory, const std::string &input, bool own_network = false)
    {
        ConsoleRun result = run_console({directory, root_, own_network}, input);
        if (result.skip_reason.empty()) {
            EXPECT_TRUE(result.status.has_value()) << "the console did not end in time";
            EXPECT_EQ(result.err, "") << "the console wrote to standard error";
        }
        return result;
    }

    // The lines of a complete run in dir_ up to the first prompt.
    Lines full_run(const Lines &writes, const ReadBack &read_back, bool applied) const
    {
        return Lines{dir_line(dir_), "KESTRUNE_TEST INFO: TEST config file is " + test_cfg, write_begin} +
               writes + Lines{write_end} + read_back.lines() + closing_lines(applied);
    }
};

TEST_F(ConsoleRunTest, StorageAndPortsExampleIsWrittenSavedAndReadBack)
{
    const ConsoleRun result = run(shipped_example("storage-and-ports"), "q\n");
    ASSERT_EQ(result.status, 0) << result.out;

    ReadBack read_back;
    read_back.permissions = {
        {"QVX_KESTRUNE_NORMAL_DEVID_SERIAL", "QVX_KESTRUNE_NORMAL_PERM_DENY"},
        {"QVX_KESTRUNE_NORMAL_DEVID_CAMERA", "QVX_KESTRUNE_NORMAL_PERM_DENY"},
        {"QVX_KESTRUNE_NORMAL_DEVID_BT", "QVX_KESTRUNE_NORMAL_PERM_DENY"},
        {"QVX_KESTRUNE_STORAGE_DEVID_CDROM", "QVX_KESTRUNE_STORAGE_PERM_DENY"},
        {"QVX_KESTRUNE_STORAGE_DEVID_UDISK", "QVX_KESTRUNE_STORAGE_PERM_READ_ONLY"},
    };
    const Lines writes = {
        written("QVX_KESTRUNE_NORMAL_DEVID_SERIAL", "QVX_KESTRUNE_NORMAL_PERM_DENY"),
        written("QVX_KESTRUNE_NORMAL_DEVID_MOUSE", "QVX_KESTRUNE_NORMAL_PERM_ALLOW"),
        written("QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD", "QVX_KESTRUNE_NORMAL_PERM_ALLOW"),
        written("QVX_KESTRUNE_NORMAL_DEVID_CAMERA", "QVX_KESTRUNE_NORMAL_PERM_DENY"),
        written("QVX_KESTRUNE_NORMAL_DEVID_BT", "QVX_KESTRUNE_NORMAL_PERM_DENY"),
        written("QVX_KESTRUNE_STORAGE_DEVID_CDROM", "QVX_KESTRUNE_STORAGE_PERM_DENY"),
        written("QVX_KESTRUNE_STORAGE_DEVID_UDISK", "QVX_KESTRUNE_STORAGE_PERM_READ_ONLY"),
    };
    EXPECT_EQ(console_lines(result.out), full_run(writes, read_back, true) + Lines{prompt});
    EXPECT_EQ(read_file(dir_ + "/" + output_cfg), read_back.output_file());

    // The saved policy holds the denied classes and the storage values.
    const std::string policy = read_file(registry_pol());
    EXPECT_EQ(policy.compare(0, 4, "PReg"), 0);
    for (const char *text : {"{4D36E978-E325-11CE-BFC1-08002BE10318}", // serial ports
                             "{CA3E7AB9-B4C3-4AE6-8251-579EF933890F}", // cameras
                             "{E0CBF06C-CD8B-4647-BB8A-263B43F0F974}", // Bluetooth
                             "Deny_Read", "Deny_Write"})
        EXPECT_NE(policy.find(utf16le(text)), std::string::npos) << text;
    EXPECT_EQ(policy.find(utf16le("{4D36E96F-E325-11CE-BFC1-08002BE10318}")), std::string::npos)
        << "the allowed mouse class is not denied";
}

TEST_F(ConsoleRunTest, NetLimitExampleInOwnNamespaceLimitsAndReleases)
{
    const ConsoleRun result = run(shipped_example("net-limit"), "s\nq\n", true);
    if (!result.skip_reason.empty())
        GTEST_SKIP() << result.skip_reason;
    ASSERT_EQ(result.status, 0) << result.out;

    ReadBack read_back;
    read_back.speed = 100; // a limited network reads back as allowed, with its speed
    const Lines writes = {written(net_key, "QVX_KESTRUNE_NET_PERM_LIMIT")};
    EXPECT_EQ(console_lines(result.out),
              full_run(writes, read_back, true) + (Lines{prompt, stopped, prompt}));
    EXPECT_EQ(read_file(dir_ + "/" + output_cfg), read_back.output_file());
}

TEST_F(ConsoleRunTest, ConfigWithoutDeviceKeysSkipsTheSaveButReadsEverythingBack)
{
    const ConsoleRun result = run("# no device here\nOther = kept # comment\n\nstray line\n", "q\n");
    ASSERT_EQ(result.status, 0) << result.out;

    ReadBack read_back;
    read_back.other_pairs = {{"Other", "kept"}};
    EXPECT_EQ(console_lines(result.out), full_run({}, read_back, false) + Lines{prompt});
    EXPECT_EQ(read_file(dir_ + "/" + output_cfg), read_back.output_file());
    EXPECT_FALSE(fs::exists(registry_pol())) << "nothing was written, so nothing is saved";
}

TEST_F(ConsoleRunTest, PermissionTextsOutsideTheCategoryAreRefused)
{
    const ConsoleRun result = run("QVX_KESTRUNE_NORMAL_DEVID_SERIAL = QVX_KESTRUNE_NORMAL_PERM_UNKNOWN\n"
                                  "QVX_KESTRUNE_NORMAL_DEVID_GPIO = QVX_KESTRUNE_NORMAL_PERM_DENY\n"
                                  "QVX_KESTRUNE_NORMAL_DEVID_MOUSE = QVX_KESTRUNE_NORMAL_PERM_BLOCK\n"
                                  "QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD = QVX_KESTRUNE_STORAGE_PERM_DENY\n"
                                  "QVX_KESTRUNE_NORMAL_DEVID_CAMERA = def\n"
                                  "QVX_KESTRUNE_NORMAL_DEVID_BT = QVX_KESTRUNE_NORMAL_PERM_DENY\n"
                                  "QVX_KESTRUNE_STORAGE_DEVID_CDROM = qvx_kestrune_storage_perm_deny\n",
                                  "q\n");
    ASSERT_EQ(result.status, 0) << result.out;

    ReadBack read_back;
    read_back.permissions = {{"QVX_KESTRUNE_NORMAL_DEVID_BT", "QVX_KESTRUNE_NORMAL_PERM_DENY"}};
    const Lines writes = {
        // UNKNOWN is a permission of the category: it goes to the library.
        written("QVX_KESTRUNE_NORMAL_DEVID_SERIAL", "QVX_KESTRUNE_NORMAL_PERM_UNKNOWN"),
        // GPIO has no setup class: the library refuses, the line still follows.
        "KESTRUNE_TEST ERR: Call set permit ret=3",
        written("QVX_KESTRUNE_NORMAL_DEVID_GPIO", "QVX_KESTRUNE_NORMAL_PERM_DENY"),
        not_valid("QVX_KESTRUNE_NORMAL_DEVID_MOUSE", "QVX_KESTRUNE_NORMAL_PERM_BLOCK"),
        not_valid("QVX_KESTRUNE_NORMAL_DEVID_KEYBOARD", "QVX_KESTRUNE_STORAGE_PERM_DENY"),
        written("QVX_KESTRUNE_NORMAL_DEVID_BT", "QVX_KESTRUNE_NORMAL_PERM_DENY"),
        not_valid("QVX_KESTRUNE_STORAGE_DEVID_CDROM", "qvx_kestrune_storage_perm_deny"),
    };
    EXPECT_EQ(console_lines(result.out), full_run(writes, read_back, true) + Lines{prompt});
    // The read-back replaces every value of the test configuration, "def" included.
    EXPECT_EQ(read_file(dir_ + "/" + output_cfg), read_back.output_file());
}

TEST_F(ConsoleRunTest, SpeedTextsAreCheckedBeforeTheLibrarySeesThem)
{
    const std::string no_limit = net_key + " = QVX_KESTRUNE_NET_PERM_NO_LIMIT\n";
    const std::string accepted = written(net_key, "QVX_KESTRUNE_NET_PERM_NO_LIMIT");
    struct Case {
        std::string config;
        Lines writes;
    };
    const Case cases[] = {
        {no_limit, {accepted}},
        {no_limit + speed_key + " = fast\n", {accepted}},
        {no_limit + speed_key + " = 1000000000\n", {accepted}},
        {no_limit + speed_key + " = -1\n", {"KESTRUNE_TEST ERR: invalid speed=-1(-1), max=1000000000"}},
        {no_limit + speed_key + " = 1000000001\n",
         {"KESTRUNE_TEST ERR: invalid speed=1000000001(1000000001), max=1000000000"}},
        // 2^32 + 100: read as atoi reads it, this would wrap to 100 and pass.
        {no_limit + speed_key + " = 4294967396\n",
         {"KESTRUNE_TEST ERR: invalid speed=4294967396(2147483647), max=1000000000"}},
        {no_limit + speed_key + " = -99999999999999999999\n",
         {"KESTRUNE_TEST ERR: invalid speed=-99999999999999999999(-2147483648), max=1000000000"}},
        // Accepted here, refused by the library's own limit.
        {net_key + " = QVX_KESTRUNE_NET_PERM_LIMIT\n" + speed_key + " = 1000001\n",
         {"KESTRUNE_TEST ERR: Call set permit ret=3", written(net_key, "QVX_KESTRUNE_NET_PERM_LIMIT")}},
    };
    for (const Case &c : cases) {
        const ConsoleRun result = run(c.config, "q\n", true);
        if (!result.skip_reason.empty())
            GTEST_SKIP() << result.skip_reason;
        EXPECT_EQ(result.status, 0) << c.config;
        const Lines lines = console_lines(result.out);
        EXPECT_EQ(write_section(lines), c.writes) << c.config;
        const bool applied = c.writes == Lines{accepted};
        const std::string apply_line = "KESTRUNE_TEST DBG: finish Call 'QVX_KESTRUNE_Apply' 0";
        EXPECT_EQ(std::count(lines.begin(), lines.end(), apply_line), applied ? 1 : 0)
            << c.config;
    }
}

TEST_F(ConsoleRunTest, ConfigInTheParentDirectoryGetsItsOutputThere)
{
    write_file(dir_ + "/" + test_cfg, "QVX_KESTRUNE_NORMAL_DEVID_MOUSE = QVX_KESTRUNE_NORMAL_PERM_DENY\n");
    const std::string work = dir_ + "/work";
    fs::create_directory(work);
    const ConsoleRun result = run_in(work, "q\n");
    ASSERT_EQ(result.status, 0) << result.out;

    ReadBack read_back;
    read_back.permissions = {{"QVX_KESTRUNE_NORMAL_DEVID_MOUSE", "QVX_KESTRUNE_NORMAL_PERM_DENY"}};
    const Lines expected =
        Lines{dir_line(work), "KESTRUNE_TEST ERR: Test config file " + test_cfg + " is not exist!",
              "KESTRUNE_TEST INFO: TEST config file is ../" + test_cfg, write_begin,
              written("QVX_KESTRUNE_NORMAL_DEVID_MOUSE", "QVX_KESTRUNE_NORMAL_PERM_DENY"), write_end} +
        read_back.lines() + closing_lines(true) + Lines{prompt};
    EXPECT_EQ(console_lines(result.out), expected);
    EXPECT_EQ(read_file(dir_ + "/" + output_cfg), read_back.output_file());
    EXPECT_FALSE(fs::exists(work + "/" + output_cfg));
}

TEST_F(ConsoleRunTest, NoConfigurationEndsWithMinusOneAfterThePause)
{
    const std::string work = dir_ + "/work";
    fs::create_directory(work);
    const auto started = std::chrono::steady_clock::now();
    const ConsoleRun result = run_in(work, "q\n");
    const auto took = std::chrono::steady_clock::now() - started;

    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(console_lines(result.out),
              (Lines{dir_line(work), "KESTRUNE_TEST ERR: Test config file " + test_cfg + " is not exist!",
                     "KESTRUNE_TEST ERR: Test config file ../" + test_cfg + " is not exist!"}));
    EXPECT_GE(took, 5s) << "the message stays readable for five seconds";
    EXPECT_FALSE(fs::exists(work + "/" + output_cfg));
    EXPECT_FALSE(fs::exists(dir_ + "/" + output_cfg));
}

TEST_F(ConsoleRunTest, FailedInitializeEndsWithMinusOneAtOnce)
{
    write_file(registry_pol(), "not a policy file");
    const ConsoleRun result = run("QVX_KESTRUNE_NORMAL_DEVID_MOUSE = QVX_KESTRUNE_NORMAL_PERM_DENY\n", "q\n");

    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(console_lines(result.out), Lines{"KESTRUNE_TEST ERR: Call QVX_KESTRUNE_Initialize ret=1"});
    EXPECT_FALSE(fs::exists(dir_ + "/" + output_cfg));
    EXPECT_EQ(read_file(registry_pol()), "not a policy file");
}

TEST_F(ConsoleRunTest, OperatorAnswersAndEndOfInput)
{
    struct Case {
        const char *input;
        Lines after_quit_banner;
    };
    const Case cases[] = {
        {"s q\n", {prompt, stopped, prompt}},      // every non-blank character is one answer
        {"", {prompt}},                            // end of input quits as Q does
        {"x\tS\n\n", {prompt, prompt, stopped, prompt}}, // then the input ends
        {"Q s\n", {prompt}},
    };
    for (const Case &c : cases) {
        const ConsoleRun result = run("", c.input);
        EXPECT_EQ(result.status, 0) << '"' << c.input << '"';
        const Lines lines = console_lines(result.out);
        const auto banner = std::find(lines.begin(), lines.end(), closing_lines(false).back());
        ASSERT_NE(banner, lines.end()) << result.out;
        EXPECT_EQ(Lines(banner + 1, lines.end()), c.after_quit_banner) << '"' << c.input << '"';
    }
}

// Runs `body` in a child process inside the network namespace of process `pid`;
// the child's exit status, or -1 when it did not run.
int in_namespace_of(pid_t pid, const std::function<int()> &body)
{
    const std::string ns = "/proc/" + std::to_string(pid) + "/ns/net";
    const pid_t child = fork();
    if (child == 0) {
        const int fd = open(ns.c_str(), O_RDONLY | O_CLOEXEC);
        _exit(fd >= 0 && setns(fd, CLONE_NEWNET) == 0 ? body() : 126);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

int ip_in_namespace_of(pid_t pid, std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), "ip");
    return in_namespace_of(pid, [&arguments] {
        std::vector<char *> argv;
        for (std::string &word : arguments)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        execvp("ip", argv.data());
        return 127;
    });
}

// Whether a datagram that a socket on loopback sends to itself arrives within
// `wait`, in the network namespace of process `pid`.
bool loopback_datagram_arrives(pid_t pid, std::chrono::milliseconds wait)
{
    const int status = in_namespace_of(pid, [wait] {
        const int sock = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in self{};
        self.sin_family = AF_INET;
        self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof self;
        auto address = reinterpret_cast<sockaddr *>(&self);
        if (sock < 0 || bind(sock, address, length) != 0 || getsockname(sock, address, &length) != 0)
            return 2;
        const char payload[200] = {};
        if (sendto(sock, payload, sizeof payload, 0, address, length) != sizeof payload)
            return 2;
        pollfd ready{sock, POLLIN, 0};
        return poll(&ready, 1, static_cast<int>(wait.count())) == 1 ? 0 : 1;
    });
    EXPECT_TRUE(status == 0 || status == 1) << "the loopback probe failed: " << status;
    return status == 0;
}

TEST_F(ConsoleRunTest, OperatorSReleasesTheBandwidthLimit)
{
    // Speed 0 lets no packet through until the limit is released.
    write_file(dir_ + "/" + test_cfg, net_key + " = QVX_KESTRUNE_NET_PERM_LIMIT\n" + speed_key + " = 0\n");
    ConsoleProcess console({dir_, root_, true});
    if (!console.skip_reason().empty())
        GTEST_SKIP() << console.skip_reason();
    ASSERT_TRUE(console.wait_for_output(prompt, 60s)) << console.output();
    EXPECT_FALSE(loopback_datagram_arrives(console.pid(), 300ms)) << "the limit holds while the prompt waits";

    console.send("s\n");
    ASSERT_TRUE(console.wait_for_output(stopped, 60s)) << console.output();
    EXPECT_TRUE(loopback_datagram_arrives(console.pid(), 10s)) << "S releases the limit";

    console.send("q\n");
    console.close_input();
    EXPECT_EQ(console.wait_exit(60s), 0);
}

TEST_F(ConsoleRunTest, DeviceEventsArePrintedWhileTheOperatorIsAsked)
{
    write_file(dir_ + "/" + test_cfg, "");
    ConsoleProcess console({dir_, root_, true});
    if (!console.skip_reason().empty())
        GTEST_SKIP() << console.skip_reason();
    ASSERT_TRUE(console.wait_for_output(prompt, 60s)) << console.output();

    // A veth pair that appears and goes in the console's own namespace.
    const std::vector<std::string> add = {"link", "add", "kt-ev0", "type", "veth", "peer", "name", "kt-ev1"};
    ASSERT_EQ(ip_in_namespace_of(console.pid(), add), 0);
    EXPECT_TRUE(console.wait_for_output("=== get cb type=1, data=[", 20s)) << console.output();
    ASSERT_EQ(ip_in_namespace_of(console.pid(), {"link", "del", "kt-ev0"}), 0);
    EXPECT_TRUE(console.wait_for_output("=== get cb type=2, data=[", 20s)) << console.output();

    console.send("q\n");
    console.close_input();
    EXPECT_EQ(console.wait_exit(60s), 0);
    for (std::string line : split_lines(console.output())) {
        if (line.rfind("=== get cb ", 0) != 0)
            continue;
        EXPECT_TRUE(line.ends_with("]\r")) << line;
        std::transform(line.begin(), line.end(), line.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        EXPECT_NE(line.find("kt-ev"), std::string::npos) << line;
    }
}

} // namespace
