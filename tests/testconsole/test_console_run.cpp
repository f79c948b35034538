// Whole runs of the built KestruneTest, each in a scratch directory with its own
// policy root and its standard input given: what it prints, what it writes into
// the output configuration, and how it ends. Runs that name the network device
// run inside a network namespace of their own.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "console_process.h"
#include "support/loopback_probe.h"
#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace kestrune::test;
using Lines = std::vector<std::string>;

const std::string test_cfg = "KestruneCtl_Test_Cfg.ini";
const std::string output_cfg = "KestruneCtl_Output_Cfg.ini";
const std::string net_key = "QVX_KESTRUNE_NET_DEVID_ETH_CARD";
const std::string speed_key = net_key + "_SPEED";

const std::string write_begin = "KESTRUNE_TEST DBG: ================ write perm ================";
const std::string write_end = "KESTRUNE_TEST DBG: ================ write perm done ================";
const std::string applied_line = "KESTRUNE_TEST DBG: finish Call 'QVX_KESTRUNE_Apply' 0";
const std::string prompt = "enter Q/q for quit, S/s for stop limit bandwidth: ";
const std::string stopped = "already stop limit bandwidth..";

// Every device in the order the console drives them, with what an empty policy
// store reads back.
const std::pair<std::string, std::string> devices[] = {
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
    std::map<std::string, std::string> changed;
    int speed = 1000000;
    std::map<std::string, std::string> other_pairs;

    std::string permission(const std::string &device, const std::string &empty_store) const
    {
        const auto found = changed.find(device);
        return found == changed.end() ? empty_store : found->second;
    }

    Lines lines() const
    {
        Lines lines{"KESTRUNE_TEST DBG: ================ read all perm ================"};
        for (const auto &[key, empty_store] : devices)
            lines.push_back("KESTRUNE_TEST DBG: DEV=" + key + ", perm=" + permission(key, empty_store) +
                            ", speed=" + std::to_string(key == net_key ? speed : 0));
        lines.push_back("KESTRUNE_TEST DBG: ================ read all perm done ================");
        return lines;
    }

    std::string output_file() const
    {
        std::map<std::string, std::string> pairs = other_pairs;
        for (const auto &[key, empty_store] : devices)
            pairs[key] = permission(key, empty_store);
        pairs[speed_key] = std::to_string(speed);
        pairs["KEY"] = "value";
        std::string text;
        for (const auto &[key, value] : pairs)
            text += key + "=" + value + "\n";
        return text + "\n";
    }
};

// The console's own lines: neither the library's diagnostic lines nor device
// events, which the machine may deliver at any time.
Lines console_lines(const std::string &out)
{
    Lines own;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("I KestruneCtl ", 0) != 0 && line.rfind("E KestruneCtl ", 0) != 0 &&
            line.rfind("=== get cb ", 0) != 0)
            own.push_back(line);
    return own;
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
        lines.push_back(applied_line);
    return lines + Lines{"KESTRUNE_TEST End test Kestrune DLL!",
                         "KESTRUNE_TEST ======================== Test quit ========================"};
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

// Runs `ip` with `arguments` in the network namespace of process `pid`.
int ip_in_namespace_of(pid_t pid, const std::string &arguments)
{
    return std::system(("nsenter --net=/proc/" + std::to_string(pid) + "/ns/net ip " + arguments).c_str());
}

struct ConsoleRun {
    std::string skip_reason;
    std::optional<int> status;
    std::string out;
};

class ConsoleRunTest : public ::testing::Test {
protected:
    ScratchDir scratch_;
    const std::string dir_ = fs::canonical(scratch_.path()).string();
    const std::string root_ = dir_ + "/policy-root";
    const std::string registry_pol_ = root_ + "/GroupPolicy/Machine/Registry.pol";

    ConsoleRun run(const std::string &config, const std::string &input, bool own_network = false)
    {
        write_file(dir_ + "/" + test_cfg, config);
        return run_in(dir_, input, own_network);
    }

    // One whole run: start, feed `input`, close the input, wait for the exit.
    ConsoleRun run_in(const std::string &directory, const std::string &input, bool own_network = false)
    {
        ConsoleProcess console({directory, root_, own_network});
        console.send(input);
        console.close_input();
        ConsoleRun result{"", console.wait_exit(60s), console.output()};
        if (result.status == ConsoleProcess::kNoNamespace) {
            result.skip_reason = console.errors();
        } else {
            EXPECT_TRUE(result.status.has_value()) << "the console did not end in time";
            EXPECT_EQ(console.errors(), "") << "the console wrote to standard error";
        }
        return result;
    }

    // The lines of a complete run in dir_ up to the first prompt.
    Lines full_run(const Lines &writes, const ReadBack &read_back, bool applied) const
    {
        return Lines{dir_line(dir_), "KESTRUNE_TEST INFO: TEST config file is " + test_cfg, write_begin} + writes +
               Lines{write_end} + read_back.lines() + closing_lines(applied);
    }
};

TEST_F(ConsoleRunTest, StorageAndPortsExampleIsWrittenSavedAndReadBack)
{
    const ConsoleRun result = run(shipped_example("storage-and-ports"), "q\n");
    ASSERT_EQ(result.status, 0) << result.out;

    ReadBack read_back;
    read_back.changed = {
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

    // Apply saved the policy where the README says (its content is the policy tests' matter).
    EXPECT_EQ(read_file(registry_pol_).substr(0, 4), "PReg");
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
    EXPECT_EQ(console_lines(result.out), full_run(writes, read_back, true) + Lines({prompt, stopped, prompt}));
    EXPECT_EQ(read_file(dir_ + "/" + output_cfg), read_back.output_file());
}

TEST_F(ConsoleRunTest, ConfigWithoutDeviceKeysAndTheOperatorsAnswers)
{
    const std::string config = "# no device here\nOther = kept # comment\n\nstray line\n";
    ReadBack read_back;
    read_back.other_pairs = {{"Other", "kept"}};
    const ConsoleRun result = run(config, "q\n");
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(console_lines(result.out), full_run({}, read_back, false) + Lines{prompt});
    EXPECT_EQ(read_file(dir_ + "/" + output_cfg), read_back.output_file());
    EXPECT_FALSE(fs::exists(registry_pol_)) << "nothing was written, so nothing is saved";

    // Every non-blank character is one answer; the end of input quits as Q does.
    const std::pair<std::string, Lines> answers[] = {
        {"s q\n", {prompt, stopped, prompt}},
        {"", {prompt}},
        {"x\tS\n\n", {prompt, prompt, stopped, prompt}},
        {"Q s\n", {prompt}},
    };
    for (const auto &[input, lines] : answers) {
        const ConsoleRun answered = run(config, input);
        EXPECT_EQ(answered.status, 0) << '"' << input << '"';
        EXPECT_EQ(console_lines(answered.out), full_run({}, read_back, false) + lines) << '"' << input << '"';
    }
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
    read_back.changed = {{"QVX_KESTRUNE_NORMAL_DEVID_BT", "QVX_KESTRUNE_NORMAL_PERM_DENY"}};
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
    const std::pair<std::string, Lines> cases[] = {
        {no_limit, {accepted}},
        {no_limit + speed_key + " = fast\n", {accepted}},
        {no_limit + speed_key + " = 1000000000\n", {accepted}},
        {no_limit + speed_key + " = -1\n", {"KESTRUNE_TEST ERR: invalid speed=-1(-1), max=1000000000"}},
        {no_limit + speed_key + " = 1000000001\n",
         {"KESTRUNE_TEST ERR: invalid speed=1000000001(1000000001), max=1000000000"}},
        // 2^32 + 100: read as atoi reads it, this would wrap to 100 and pass.
        {no_limit + speed_key + " = 4294967396\n",
         {"KESTRUNE_TEST ERR: invalid speed=4294967396(2147483647), max=1000000000"}},
        // Accepted here, refused by the library's own limit.
        {net_key + " = QVX_KESTRUNE_NET_PERM_LIMIT\n" + speed_key + " = 1000001\n",
         {"KESTRUNE_TEST ERR: Call set permit ret=3", written(net_key, "QVX_KESTRUNE_NET_PERM_LIMIT")}},
    };
    for (const auto &[config, writes] : cases) {
        const ConsoleRun result = run(config, "q\n", true);
        if (!result.skip_reason.empty())
            GTEST_SKIP() << result.skip_reason;
        EXPECT_EQ(result.status, 0) << config;
        const Lines lines = console_lines(result.out);
        const auto begin = std::find(lines.begin(), lines.end(), write_begin);
        ASSERT_NE(begin, lines.end()) << result.out;
        EXPECT_EQ(Lines(begin + 1, std::find(begin, lines.end(), write_end)), writes) << config;
        const bool applied = writes == Lines{accepted};
        EXPECT_EQ(std::count(lines.begin(), lines.end(), applied_line), applied ? 1 : 0) << config;
    }
}

TEST_F(ConsoleRunTest, ConfigIsSoughtHereThenInTheParentDirectory)
{
    const std::string work = dir_ + "/work";
    fs::create_directory(work);
    const Lines not_here = {dir_line(work), "KESTRUNE_TEST ERR: Test config file " + test_cfg + " is not exist!"};

    // Nowhere: exit status -1 after a pause that keeps the message readable. What
    // is not a regular file counts as missing: a FIFO would hang the console, a
    // device would be read without end.
    ASSERT_EQ(mkfifo((work + "/" + test_cfg).c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir_ + "/" + test_cfg);
    const auto started = std::chrono::steady_clock::now();
    ConsoleRun result = run_in(work, "q\n");
    EXPECT_GE(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(console_lines(result.out),
              not_here + Lines{"KESTRUNE_TEST ERR: Test config file ../" + test_cfg + " is not exist!"});
    EXPECT_FALSE(fs::exists(work + "/" + output_cfg) || fs::exists(dir_ + "/" + output_cfg));

    // In the parent: the output goes there too. Missing here, or a directory of
    // the name (which would read as an empty configuration), alike.
    fs::remove(work + "/" + test_cfg);
    fs::remove(dir_ + "/" + test_cfg);
    write_file(dir_ + "/" + test_cfg, "QVX_KESTRUNE_NORMAL_DEVID_MOUSE = QVX_KESTRUNE_NORMAL_PERM_DENY\n");
    ReadBack read_back;
    read_back.changed = {{"QVX_KESTRUNE_NORMAL_DEVID_MOUSE", "QVX_KESTRUNE_NORMAL_PERM_DENY"}};
    const Lines writes = {written("QVX_KESTRUNE_NORMAL_DEVID_MOUSE", "QVX_KESTRUNE_NORMAL_PERM_DENY")};
    for (const bool directory_here : {false, true}) {
        if (directory_here)
            fs::create_directory(work + "/" + test_cfg);
        result = run_in(work, "q\n");
        ASSERT_EQ(result.status, 0) << result.out;
        EXPECT_EQ(console_lines(result.out),
                  not_here + Lines({"KESTRUNE_TEST INFO: TEST config file is ../" + test_cfg, write_begin}) + writes +
                      Lines{write_end} + read_back.lines() + closing_lines(true) + Lines{prompt});
        EXPECT_EQ(read_file(dir_ + "/" + output_cfg), read_back.output_file());
        EXPECT_FALSE(fs::exists(work + "/" + output_cfg));
    }
}

TEST_F(ConsoleRunTest, FailedInitializeEndsWithMinusOneAtOnce)
{
    write_file(registry_pol_, "not a policy file");
    const ConsoleRun result = run("QVX_KESTRUNE_NORMAL_DEVID_MOUSE = QVX_KESTRUNE_NORMAL_PERM_DENY\n", "q\n");

    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(console_lines(result.out), Lines{"KESTRUNE_TEST ERR: Call QVX_KESTRUNE_Initialize ret=1"});
    EXPECT_FALSE(fs::exists(dir_ + "/" + output_cfg));
    EXPECT_EQ(read_file(registry_pol_), "not a policy file");
}

// The network namespace of process `pid`.
std::string namespace_of(pid_t pid)
{
    return "/proc/" + std::to_string(pid) + "/ns/net";
}

TEST_F(ConsoleRunTest, WhileTheOperatorIsAskedEventsArePrintedAndSReleasesTheLimit)
{
    // Speed 0 lets no packet through until the limit is released.
    write_file(dir_ + "/" + test_cfg, net_key + " = QVX_KESTRUNE_NET_PERM_LIMIT\n" + speed_key + " = 0\n");
    ConsoleProcess console({dir_, root_, true});
    const bool prompted = console.wait_for_output(prompt, 60s);
    if (!prompted && console.wait_exit(10s) == ConsoleProcess::kNoNamespace)
        GTEST_SKIP() << console.errors();
    ASSERT_TRUE(prompted) << console.output();

    // A veth pair that appears and goes in the console's own namespace.
    ASSERT_EQ(ip_in_namespace_of(console.pid(), "link add kt-ev0 type veth peer name kt-ev1"), 0);
    EXPECT_TRUE(console.wait_for_output("=== get cb type=1, data=[", 20s)) << console.output();
    ASSERT_EQ(ip_in_namespace_of(console.pid(), "link del kt-ev0"), 0);
    EXPECT_TRUE(console.wait_for_output("=== get cb type=2, data=[", 20s)) << console.output();

    ASSERT_EQ(ip_in_namespace_of(console.pid(), "link set lo up"), 0);
    EXPECT_FALSE(loopback_datagram_arrives(namespace_of(console.pid()), 300ms)) << "the limit holds while the prompt waits";
    console.send("s\n");
    ASSERT_TRUE(console.wait_for_output(stopped, 60s)) << console.output();
    EXPECT_TRUE(loopback_datagram_arrives(namespace_of(console.pid()), 10s)) << "S releases the limit";

    console.send("q\n");
    console.close_input();
    EXPECT_EQ(console.wait_exit(60s), 0);
    std::istringstream out(console.output());
    for (std::string line; std::getline(out, line);) {
        if (line.rfind("=== get cb ", 0) != 0)
            continue;
        EXPECT_TRUE(line.ends_with("]\r")) << line;
        std::transform(line.begin(), line.end(), line.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        EXPECT_NE(line.find("kt-ev"), std::string::npos) << line;
    }
}

} // namespace
