// The built kestrune end to end, each run with a scratch policy root: what it
// prints, what it saves, how it fails and with which exit status. The device
// events and the bandwidth limit run in network namespaces that the tests make
// themselves.
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "command_process.h"
#include "support/loopback_probe.h"
#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace kestrune::test;
using Lines = std::vector<std::string>;

const std::string restrictions = "Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions";
const std::string udisk_key =
    "Software\\Policies\\Microsoft\\Windows\\RemovableStorageDevices\\{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";

struct Outcome {
    std::optional<int> status;
    std::string out;
    std::string err;
};

Lines lines_of(const std::string &text)
{
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A network namespace of the test's own with loopback up, alive while the
// object is: made on a thread of its own, since a namespace belongs to a thread.
class TestNetwork {
public:
    TestNetwork()
    {
        std::thread([this] {
            if (unshare(CLONE_NEWNET) == 0)
                fd_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        }).join();
        if (fd_ >= 0 && run("ip link set lo up") != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~TestNetwork()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    TestNetwork(const TestNetwork &) = delete;
    TestNetwork &operator=(const TestNetwork &) = delete;

    int fd() const { return fd_; }
    std::string path() const { return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd_); }

    // A command run inside the namespace; its exit status.
    int run(const std::string &command) const
    {
        return std::system(("nsenter --net=" + path() + " " + command + " >/dev/null 2>&1").c_str());
    }

private:
    int fd_ = -1;
};

// The number after "KEY": in a JSON line.
double json_number(const std::string &line, const std::string &key)
{
    const size_t at = line.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : std::strtod(line.c_str() + at + key.size() + 3, nullptr);
}

class CommandTest : public ::testing::Test {
protected:
    ScratchDir scratch_;
    const std::string root_ = scratch_.path() + "/root";
    const std::string registry_pol_ = root_ + "/GroupPolicy/Machine/Registry.pol";

    Outcome run(const std::vector<std::string> &arguments, CommandOptions options = {})
    {
        options.policy_root = root_;
        CommandProcess command(arguments, options);
        Outcome result{command.wait_exit(60s), "", ""};
        result.out = command.output();
        result.err = command.errors();
        EXPECT_TRUE(result.status.has_value()) << "kestrune did not end in time";
        return result;
    }

    // A run that must succeed with no word on standard error; its output.
    std::string succeed(const std::vector<std::string> &arguments)
    {
        const Outcome result = run(arguments);
        EXPECT_EQ(result.status, 0) << arguments[0] << ": " << result.err;
        EXPECT_EQ(result.err, "") << arguments[0];
        return result.out;
    }

    // For a command that runs in `net`.
    CommandOptions in_network(const TestNetwork &net) const
    {
        CommandOptions options;
        options.policy_root = root_;
        options.network_namespace = net.fd();
        return options;
    }
};

// One error line on standard error, naming `fragment`; nothing on standard output.
void expect_error(const Outcome &result, int status, const std::string &fragment, const std::string &what)
{
    EXPECT_EQ(result.status, status) << what << ": " << result.err;
    EXPECT_EQ(result.out, "") << what;
    EXPECT_EQ(lines_of(result.err).size(), 1u) << what << ": " << result.err;
    EXPECT_TRUE(result.err.starts_with("kestrune: ") && result.err.ends_with("\n")) << what << ": " << result.err;
    EXPECT_NE(result.err.find(fragment), std::string::npos) << what << ": " << result.err;
}

TEST_F(CommandTest, SetThenStatusAndPolicyShowWhatWasSaved)
{
    EXPECT_EQ(succeed({"set", "mouse", "deny", "udisk", "read-only"}), "");

    const std::string json = succeed({"status", "--json"});
    EXPECT_TRUE(json.starts_with("{\"policy_root\":\"" + root_ + "\",\"devices\":[{\"device\":\"serial\"")) << json;
    for (const char *device :
         {R"({"device":"mouse","category":"normal","identifier":"QVX_KESTRUNE_NORMAL_DEVID_MOUSE","permission":"deny","permission_identifier":"QVX_KESTRUNE_NORMAL_PERM_DENY"})",
          R"({"device":"udisk","category":"storage","identifier":"QVX_KESTRUNE_STORAGE_DEVID_UDISK","permission":"read-only","permission_identifier":"QVX_KESTRUNE_STORAGE_PERM_READ_ONLY"})",
          R"({"device":"cdrom","category":"storage","identifier":"QVX_KESTRUNE_STORAGE_DEVID_CDROM","permission":"unknown","permission_identifier":"QVX_KESTRUNE_STORAGE_PERM_UNKNOWN"})",
          R"({"device":"eth","category":"net","identifier":"QVX_KESTRUNE_NET_DEVID_ETH_CARD","permission":"allow","permission_identifier":"QVX_KESTRUNE_NET_PERM_ALLOW"}],"speed_kbps":1000000,"enforcement":null})"})
        EXPECT_NE(json.find(device), std::string::npos) << device;
    EXPECT_TRUE(json.ends_with("}\n"));
    EXPECT_EQ(lines_of(json).size(), 1u);

    EXPECT_EQ(lines_of(succeed({"status"})),
              (Lines{"DEVICE    CATEGORY  PERMISSION  SPEED",
                     "serial    normal    allow",
                     "gpio      normal    unknown",
                     "dongle    normal    unknown",
                     "mouse     normal    deny",
                     "keyboard  normal    allow",
                     "camera    normal    allow",
                     "usb       normal    allow",
                     "bt        normal    allow",
                     "cdrom     storage   unknown",
                     "udisk     storage   read-only",
                     "eth       net       allow       1000000 KB/s",
                     "",
                     "enforcement: no report (" + root_ + "/Policies/Enforcement.txt does not exist)"}));

    const Lines effective = {"  " + restrictions + " : DenyDeviceClasses = 1",
                             "  " + restrictions + " : DenyDeviceClassesRetroactive = 1",
                             "  " + restrictions + "\\DenyDeviceClasses : 1 = \"{4D36E96F-E325-11CE-BFC1-08002BE10318}\"",
                             "  " + udisk_key + " : Deny_Read = 0", "  " + udisk_key + " : Deny_Write = 1"};
    Lines saved = effective;
    saved.insert(saved.begin() + 2, "  " + restrictions + "\\DenyDeviceClasses : **delvals. = \" \"");
    EXPECT_EQ(lines_of(succeed({"policy", "show"})), saved);
    EXPECT_EQ(lines_of(succeed({"policy", "show", "--effective"})), effective);
    // JSON doubles the backslashes of the key paths.
    const std::string policy_json = succeed({"policy", "show", "--json"});
    EXPECT_TRUE(policy_json.starts_with(
        "{\"file\":\"" + registry_pol_ +
        R"(","values":[{"key":"Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions","name":"DenyDeviceClasses","type":4,"value":1},)"))
        << policy_json;
    EXPECT_TRUE(policy_json.ends_with(
        R"({"key":"Software\\Policies\\Microsoft\\Windows\\RemovableStorageDevices\\{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}","name":"Deny_Write","type":4,"value":1}]})"
        "\n"))
        << policy_json;

    // The library's identifier strings are names too; the new pairs replace
    // the old ones.
    EXPECT_EQ(succeed({"set", "QVX_KESTRUNE_NORMAL_DEVID_MOUSE", "allow", "udisk", "QVX_KESTRUNE_STORAGE_PERM_DENY"}), "");
    const std::string after = succeed({"status", "--json"});
    EXPECT_NE(after.find(R"("device":"mouse","category":"normal","identifier":"QVX_KESTRUNE_NORMAL_DEVID_MOUSE","permission":"allow")"),
              std::string::npos);
    EXPECT_NE(after.find(R"("device":"udisk","category":"storage","identifier":"QVX_KESTRUNE_STORAGE_DEVID_UDISK","permission":"deny")"),
              std::string::npos);
}

TEST_F(CommandTest, WrongUsageExitsTwoWithOneLineAndChangesNothing)
{
    succeed({"set", "udisk", "read-only"});
    const std::string before = read_file(registry_pol_);
    const struct {
        std::vector<std::string> arguments;
        std::string fragment;
    } cases[] = {
        {{"set", "mose", "deny"}, "unknown device 'mose'; the devices are serial gpio dongle"},
        {{"set", "mouse", "read-only"}, "'read-only' is not a permission of mouse; it takes deny allow"},
        {{"set", "udisk", "no-limit"}, "it takes deny allow read-write read-only write-in-only write-out-only"},
        {{"set", "mouse", "deny", "camera"}, "no permission for camera"},
        {{"set", "mouse", "deny", "mouse", "allow"}, "mouse is named twice"},
        {{"set"}, "'set' needs one or more DEVICE PERMISSION pairs"},
        {{"set", "mouse", "deny", "eth", "limit"}, "eth limit needs --speed KBPS"},
        {{"set", "mouse", "deny", "--speed", "5"}, "--speed goes only with eth limit"},
        {{"set", "eth", "--speed", "5", "limit"}, "--speed goes right after the pair"},
        {{"set", "eth", "limit", "--speed", "5", "--speed", "6"}, "eth limit has two --speed options"},
        {{"set", "eth", "limit", "--speed", "1000001"}, "--speed takes 0 to 1000000 KB/s, not '1000001'"},
        {{"limit", "-1"}, "unknown option '-1'"},
        {{"limit", "1000001"}, "the limit is 0 to 1000000 KB/s"},
        {{"limit"}, "'limit' takes one bandwidth"},
        {{"status", "now"}, "'status' takes no arguments"},
        {{"status", "--effective"}, "'status' does not take --effective"},
        {{"watch", "--speed", "4"}, "'watch' does not take --speed"},
        {{"policy", "list"}, "'policy' takes one subcommand: show"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"--jsn", "status"}, "unknown option '--jsn'"},
        {{}, "no command given; see 'kestrune --help'"},
        // Names are right, but the library has no policy for gpio: the mouse
        // written before it is not applied either.
        {{"set", "mouse", "deny", "gpio", "deny"}, "cannot set gpio to deny (result 3), so nothing was applied"},
    };
    for (const auto &[arguments, fragment] : cases) {
        const std::string what = arguments.empty() ? "(nothing)" : arguments[0] + " ... " + arguments.back();
        expect_error(run(arguments), 2, fragment, what);
        EXPECT_EQ(read_file(registry_pol_), before) << what;
    }
    EXPECT_NE(succeed({"--help"}).find("Usage: kestrune"), std::string::npos);
    EXPECT_EQ(succeed({"--version"}), "kestrune 1.0\n");
}

TEST_F(CommandTest, FailuresSayWhatToDoAndVerboseShowsTheLibrarysLines)
{
    succeed({"set", "keyboard", "deny"});
    EXPECT_NE(succeed({"status", "--verbose"}).find("I KestruneCtl QVX_KESTRUNE_Initialize"), std::string::npos);

    // Without rights in a store owned by someone else.
    ASSERT_EQ(chown(root_.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(root_.c_str(), 0700), 0);
    CommandOptions powerless;
    powerless.without_rights = true;
    const std::string denied = "not allowed to open the policy store in " + root_ + "; run it as root";
    expect_error(run({"status"}, powerless), 4, denied, "status without rights");
    expect_error(run({"set", "keyboard", "allow"}, powerless), 4, denied, "set without rights");
    expect_error(run({"policy", "show"}, powerless), 4, "not allowed to read " + registry_pol_ + "; run it as root",
                 "policy show without rights");
    ASSERT_EQ(chown(root_.c_str(), 0, 0), 0);

    // A damaged policy file is kept as it is.
    write_file(registry_pol_, "not a policy file");
    expect_error(run({"status"}, {}), 1,
                 "cannot open the policy store in " + root_ + " (result 1); run it again with --verbose", "status");
    expect_error(run({"set", "keyboard", "allow"}, {}), 1, "cannot open the policy store", "set");
    expect_error(run({"policy", "show"}, {}), 1, registry_pol_ + " is not a Registry.pol file", "policy show");
    EXPECT_EQ(read_file(registry_pol_), "not a policy file");
    const Outcome verbose = run({"status", "--verbose"});
    EXPECT_EQ(verbose.status, 1);
    EXPECT_NE(verbose.out.find("E KestruneCtl QVX_KESTRUNE_Initialize"), std::string::npos) << verbose.out;

    // Nothing saved or applied yet is no failure.
    fs::remove(registry_pol_);
    fs::remove(root_ + "/Policies/Machine.pol");
    for (const bool effective : {false, true}) {
        const Outcome nothing = run({"policy", "show", effective ? "--effective" : "--json"});
        EXPECT_EQ(nothing.status, 0);
        EXPECT_EQ(nothing.out, effective ? "" : "{\"file\":\"" + registry_pol_ + "\",\"values\":[]}\n");
        EXPECT_EQ(nothing.err, effective ? "kestrune: no policy applied yet: " + root_ + "/Policies/Machine.pol does not exist\n"
                                         : "kestrune: no policy saved yet: " + registry_pol_ + " does not exist\n");
    }
}

TEST_F(CommandTest, StatusShowsTheEnforcementReportAsItStands)
{
    write_file(root_ + "/Policies/Enforcement.txt",
               "# kestrune enforcement enforce 2026-12-07T10:00:00Z\n"
               "# outcome\tkind\tdevice\tdetail\n"
               "denied\tmouse\t/sys/devices/pci0000:00/usb1/1-1/1-1:1.0\tauthorized=0\n"
               "written by a newer writer\n"
               "not-enforceable\teth\tveth0\tnot a card\n");
    const Outcome text = run({"status"});
    EXPECT_EQ(text.status, 0);
    const Lines lines = lines_of(text.out);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(Lines(lines.end() - 4, lines.end()),
              (Lines{"enforcement: enforce at 2026-12-07T10:00:00Z (" + root_ + "/Policies/Enforcement.txt)",
                     "OUTCOME          KIND   DEVICE                                    DETAIL",
                     "denied           mouse  /sys/devices/pci0000:00/usb1/1-1/1-1:1.0  authorized=0",
                     "not-enforceable  eth    veth0                                     not a card"}));
    EXPECT_EQ(text.err, "kestrune: warning: 1 line(s) of " + root_ +
                            "/Policies/Enforcement.txt are not in the report format and were left out, the first at "
                            "line 4\n");

    const Outcome json = run({"status", "--json"});
    EXPECT_TRUE(json.out.ends_with(
        R"(,"speed_kbps":1000000,"enforcement":{"file":")" + root_ +
        R"(/Policies/Enforcement.txt","mode":"enforce","time":"2026-12-07T10:00:00Z","devices":[)"
        R"({"outcome":"denied","kind":"mouse","device":"/sys/devices/pci0000:00/usb1/1-1/1-1:1.0","detail":"authorized=0"},)"
        R"({"outcome":"not-enforceable","kind":"eth","device":"veth0","detail":"not a card"}]}})"
        "\n"))
        << json.out;
}

TEST_F(CommandTest, WatchReportsVethArrivalsAndRemovalsInTheTestsNamespace)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make a network namespace";
    TestNetwork net;
    ASSERT_GE(net.fd(), 0) << "cannot make a network namespace";
    CommandOptions options = in_network(net);
    options.fresh_sysfs = true;
    CommandProcess watch({"watch", "--json"}, options);

    // The command listens some time after it started: a pair of our own first.
    bool listening = false;
    for (int i = 0; i < 20 && !listening; ++i) {
        const std::string name = "ksync" + std::to_string(i);
        net.run("ip link add " + name + " type veth peer name " + name + "p");
        listening = watch.wait_for_output(";" + name + ";", 500ms);
    }
    if (!listening && watch.wait_exit(5s) == CommandProcess::kNoNamespace)
        GTEST_SKIP() << watch.errors();
    ASSERT_TRUE(listening) << watch.output() << watch.errors();

    ASSERT_EQ(net.run("ip link add kt0 type veth peer name kt1"), 0);
    EXPECT_TRUE(watch.wait_for_output(";kt1;", 10s)) << watch.output();
    ASSERT_EQ(net.run("ip link del kt0"), 0);
    const auto removed = [&] {
        return watch.output().find(R"("event":"removal","text":")") != std::string::npos &&
               watch.wait_for_output(";kt0;", 0ms);
    };
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         !removed() && std::chrono::steady_clock::now() < deadline;)
        watch.wait_for_output("\"removal\"", 100ms);
    watch.signal(SIGINT);
    EXPECT_EQ(watch.wait_exit(20s), 0);
    EXPECT_EQ(watch.errors(), "");

    int kt_arrivals = 0, kt_removals = 0;
    for (const std::string &line : lines_of(watch.output())) {
        EXPECT_TRUE(line.starts_with("{\"time\":\"20") && line.ends_with("\"}")) << line;
        const bool kt = line.find(";kt0;") != std::string::npos || line.find(";kt1;") != std::string::npos;
        kt_arrivals += kt && line.find(R"("event":"arrival")") != std::string::npos;
        kt_removals += kt && line.find(R"("event":"removal")") != std::string::npos;
    }
    EXPECT_EQ(kt_arrivals, 2) << watch.output();
    EXPECT_EQ(kt_removals, 2) << watch.output();
}

TEST_F(CommandTest, LimitRefusesTheMachinesOwnNamespace)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make a machine of the test's own";
    // Process 1 of new PID and network namespaces: if the check failed, the
    // limit would land in a namespace that dies with the command.
    CommandOptions machine;
    machine.own_machine = true;
    const std::string refusal = "refusing to limit the machine's own network namespace";
    for (const std::vector<std::string> &arguments :
         {std::vector<std::string>{"limit", "5"}, std::vector<std::string>{"set", "mouse", "deny", "eth", "limit", "--speed", "5"}}) {
        const Outcome result = run(arguments, machine);
        if (result.status == CommandProcess::kNoNamespace)
            GTEST_SKIP() << result.err;
        expect_error(result, 2, refusal, arguments[0]);
        EXPECT_NE(result.err.find("--yes-this-namespace"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(root_)) << "nothing is written before the check";

    // In a namespace of its own, but without the right to divert packets.
    TestNetwork net;
    ASSERT_GE(net.fd(), 0);
    CommandOptions powerless = in_network(net);
    powerless.without_rights = true;
    expect_error(run({"limit", "5", "--yes-this-namespace"}, powerless), 4, "not allowed to divert packets",
                 "limit without rights");
}

TEST_F(CommandTest, LimitHoldsTheRateUntilInterruptedAndThenReleasesIt)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make a network namespace";
    TestNetwork net;
    ASSERT_GE(net.fd(), 0);
    CommandProcess limit({"limit", "50", "--json"}, in_network(net));

    // Far more than the limit: 1000-byte datagrams to itself, one every 100 us.
    std::atomic<bool> stop{false};
    std::thread traffic([&] {
        inside_namespace(net.path(), [&] {
            const int sock = self_addressed_socket();
            char payload[1000] = {};
            while (sock >= 0 && !stop) {
                static_cast<void>(send(sock, payload, sizeof payload, MSG_DONTWAIT));
                static_cast<void>(recv(sock, payload, sizeof payload, MSG_DONTWAIT));
                std::this_thread::sleep_for(100us);
            }
            if (sock >= 0)
                close(sock);
        });
    });
    for (auto deadline = std::chrono::steady_clock::now() + 30s;
         lines_of(limit.output()).size() < 5 && std::chrono::steady_clock::now() < deadline;)
        limit.wait_for_output(std::string(lines_of(limit.output()).size() + 1, '\n'), 1s);
    stop = true;
    traffic.join();
    limit.signal(SIGINT);
    EXPECT_EQ(limit.wait_exit(30s), 0) << limit.errors();
    EXPECT_EQ(limit.errors(), "");

    // Each sample is a second of the namespace's own counters, in and out
    // together. An interface counts a packet as it arrives, before the limit
    // may drop it: on loopback that is up to twice what the limit passed, and
    // far below the traffic offered.
    const Lines samples = lines_of(limit.output());
    ASSERT_GE(samples.size(), 5u) << limit.output();
    double busiest = 0;
    for (const std::string &sample : samples) {
        EXPECT_TRUE(sample.starts_with("{\"time\":\"20") && sample.ends_with(",\"limit_kbps\":50}")) << sample;
        const double total = json_number(sample, "total_kbps");
        EXPECT_NEAR(total, json_number(sample, "received_kbps") + json_number(sample, "sent_kbps"), 0.11) << sample;
        EXPECT_LE(total, 50 * 2.2) << sample;
        busiest = std::max(busiest, total);
    }
    EXPECT_GE(busiest, 50 * 0.4) << "the offered traffic never reached the limit:\n" << limit.output();

    EXPECT_NE(net.run("iptables -w 5 -n -L KESTRUNE"), 0) << "the diversion rules outlived the limit";
    EXPECT_TRUE(loopback_datagram_arrives(net.path(), 5s)) << "the limit was not released";
    EXPECT_FALSE(fs::exists(root_)) << "a limit changes no saved policy";
}

TEST_F(CommandTest, SetWithALimitAppliesThePolicyThenHoldsTheLimit)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make a network namespace";
    TestNetwork net;
    ASSERT_GE(net.fd(), 0);
    CommandProcess set({"set", "camera", "deny", "eth", "limit", "--speed", "0"}, in_network(net));

    ASSERT_TRUE(set.wait_for_output("holding this network namespace to 0 KB/s; Ctrl-C releases the limit\n", 30s))
        << set.output() << set.errors();
    EXPECT_NE(succeed({"policy", "show"}).find("DenyDeviceClasses : 1 = \"{CA3E7AB9-B4C3-4AE6-8251-579EF933890F}\""),
              std::string::npos);
    EXPECT_FALSE(loopback_datagram_arrives(net.path(), 300ms)) << "a limit of 0 lets nothing through";
    set.signal(SIGTERM);
    EXPECT_EQ(set.wait_exit(30s), 0) << set.errors();
    EXPECT_TRUE(set.output().ends_with("released the limit\n")) << set.output();
    EXPECT_TRUE(loopback_datagram_arrives(net.path(), 5s)) << "the limit was not released";
}

} // namespace
