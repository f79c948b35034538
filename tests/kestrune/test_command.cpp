// The built kestrune end to end, each run with a scratch policy root. Whole runs
// are golden transcripts (golden/*.txt): each "$ kestrune ARGS" line is run and
// followed by its standard output, its standard error with "! " before each
// line, and "[exit N]" when it fails; a "# STEP" line runs the test's step of
// that name first, with the options of the commands that follow. Device events
// and the bandwidth limit run in network namespaces that the tests make themselves.
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
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
using Steps = std::map<std::string, std::function<void(CommandOptions &)>>;

struct Outcome {
    std::optional<int> status;
    std::string out;
    std::string err;
};

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
        if (fd_ < 0 || run("ip link set lo up") != 0)
            throw std::runtime_error("cannot make a network namespace with loopback up");
    }
    ~TestNetwork() { close(fd_); }
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

// How many of the watch's lines are events of `kind` about the pair kt0/kt1.
int kt_events(const std::string &output, const std::string &kind)
{
    int count = 0;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        count += line.find("\"event\":\"" + kind + "\"") != std::string::npos &&
                 (line.find(";kt0;") != std::string::npos || line.find(";kt1;") != std::string::npos);
    return count;
}

class CommandTest : public ::testing::Test {
protected:
    Outcome run(const std::vector<std::string> &arguments, CommandOptions options = {})
    {
        options.policy_root = root_;
        CommandProcess command(arguments, options);
        // Braced initialisers run in order: the output is read once the command has ended.
        Outcome result{command.wait_exit(60s), command.output(), command.errors()};
        EXPECT_TRUE(result.status.has_value()) << "kestrune did not end in time";
        return result;
    }

    // Runs the golden transcript `name` and compares what the commands did with it.
    void expect_transcript(const std::string &name, const Steps &steps = {})
    {
        const std::string golden = read_file(std::string(KESTRUNE_GOLDEN_DIR) + "/" + name);
        std::istringstream in(golden);
        std::string done;
        CommandOptions options;
        for (std::string line; std::getline(in, line);) {
            if (line.starts_with("# ")) {
                options = CommandOptions{};
                if (steps.count(line.substr(2)) == 1)
                    steps.at(line.substr(2))(options);
            }
            if (line.starts_with("# ") || line.starts_with("$ "))
                done += line + "\n";
            if (!line.starts_with("$ kestrune"))
                continue;
            std::vector<std::string> arguments;
            std::istringstream words(line.substr(10));
            for (std::string word; words >> word;)
                arguments.push_back(word);
            const Outcome result = run(arguments, options);
            done += result.out;
            std::istringstream errors(result.err);
            for (std::string error; std::getline(errors, error);)
                done += "! " + error + "\n";
            if (result.status != 0)
                done += "[exit " + std::to_string(result.status.value_or(-1)) + "]\n";
        }
        // The scratch root differs from run to run.
        for (size_t at; (at = done.find(root_)) != std::string::npos;)
            done.replace(at, root_.size(), "<root>");
        EXPECT_EQ(done, golden);
    }

    ScratchDir scratch_;
    const std::string root_ = scratch_.path() + "/root";
};

// For the tests that need root: rights to give up, and a network namespace.
class RootTest : public CommandTest {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for namespaces and for giving up rights";
        net_.emplace();
    }

    // Starts kestrune in the test's namespace, with a sysfs of its own if asked.
    std::unique_ptr<CommandProcess> start(const std::vector<std::string> &arguments, bool freshSysfs = false)
    {
        return std::make_unique<CommandProcess>(
            arguments, CommandOptions{.policy_root = root_, .network_namespace = net_->fd(), .fresh_sysfs = freshSysfs});
    }

    std::optional<TestNetwork> net_;
};

TEST_F(CommandTest, SetStatusPolicyShowAndWrongUsage)
{
    expect_transcript("set_and_show.txt", {{"a report of the last enforcement", [&](CommandOptions &) {
                                                 write_file(root_ + "/Policies/Enforcement.txt",
                                                            read_file(std::string(KESTRUNE_GOLDEN_DIR) + "/enforcement.txt"));
                                             }}});
    EXPECT_NE(run({"status", "--verbose"}).out.find("I KestruneCtl QVX_KESTRUNE_Initialize"), std::string::npos);
    EXPECT_NE(run({"--help"}).out.find("Usage: kestrune"), std::string::npos);
}

TEST_F(RootTest, FailuresExitWithTheirStatusAndSayWhatToDo)
{
    expect_transcript(
        "failures.txt",
        {{"as process 1 of a machine of its own", [](CommandOptions &options) { options.own_machine = true; }},
         {"in a namespace of its own, without rights",
          [&](CommandOptions &options) {
              options.network_namespace = net_->fd();
              options.without_rights = true;
          }},
         {"as root", [&](CommandOptions &) { EXPECT_FALSE(fs::exists(root_)) << "nothing is written before the checks"; }},
         {"without rights, the store owned by someone else",
          [&](CommandOptions &options) {
              EXPECT_EQ(chown(root_.c_str(), 65534, 65534), 0);
              EXPECT_EQ(chmod(root_.c_str(), 0700), 0);
              options.without_rights = true;
          }},
         {"a damaged policy file, which stays as it is",
          [&](CommandOptions &) {
              EXPECT_EQ(chown(root_.c_str(), 0, 0), 0);
              write_file(root_ + "/GroupPolicy/Machine/Registry.pol", "not a policy file");
          }},
         {"nothing saved or applied yet", [&](CommandOptions &) {
              EXPECT_EQ(read_file(root_ + "/GroupPolicy/Machine/Registry.pol"), "not a policy file");
              EXPECT_NE(run({"status", "--verbose"}).out.find("E KestruneCtl QVX_KESTRUNE_Initialize"), std::string::npos);
              fs::remove(root_ + "/GroupPolicy/Machine/Registry.pol");
              fs::remove(root_ + "/Policies/Machine.pol");
          }}});
}

TEST_F(RootTest, WatchReportsVethArrivalsAndRemovalsInTheTestsNamespace)
{
    auto watch = start({"watch", "--json"}, true);
    // The command listens some time after it started: pairs of our own until it reports one.
    bool listening = false;
    for (int i = 0; i < 20 && !listening; ++i) {
        const std::string name = "ksync" + std::to_string(i);
        net_->run("ip link add " + name + " type veth peer name " + name + "p");
        listening = watch->wait_for_output(";" + name + ";", 500ms);
    }
    ASSERT_TRUE(listening) << watch->output() << watch->errors();
    ASSERT_EQ(net_->run("ip link add kt0 type veth peer name kt1"), 0);
    EXPECT_TRUE(watch->wait_for_output(";kt1;", 10s)) << watch->output();
    ASSERT_EQ(net_->run("ip link del kt0"), 0);
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         kt_events(watch->output(), "removal") < 2 && std::chrono::steady_clock::now() < deadline;)
        watch->wait_for_output("\"removal\"", 100ms);
    watch->signal(SIGINT);
    EXPECT_EQ(watch->wait_exit(20s), 0);
    EXPECT_EQ(watch->errors(), "");

    std::istringstream out(watch->output());
    for (std::string event; std::getline(out, event);) {
        const size_t at = event.find("\",\"event\":\"");
        const std::string rest = at == std::string::npos ? "" : event.substr(at + 11);
        EXPECT_TRUE(event.starts_with("{\"time\":\"20") && rest.ends_with("\"}") &&
                    (rest.starts_with("arrival\",\"text\":\"") || rest.starts_with("removal\",\"text\":\"")))
            << event;
    }
    EXPECT_EQ(kt_events(watch->output(), "arrival"), 2) << watch->output();
    EXPECT_EQ(kt_events(watch->output(), "removal"), 2) << watch->output();
}

TEST_F(RootTest, LimitSamplesTheRateItHoldsUntilInterrupted)
{
    auto limit = start({"limit", "50", "--json"});
    // Far more than the limit: 1000-byte datagrams to itself, one every 100 us.
    std::atomic<bool> stop{false};
    std::thread traffic([&] {
        inside_namespace(net_->path(), [&] {
            const int sock = self_addressed_socket();
            char payload[1000] = {};
            for (; sock >= 0 && !stop; std::this_thread::sleep_for(100us)) {
                static_cast<void>(send(sock, payload, sizeof payload, MSG_DONTWAIT));
                static_cast<void>(recv(sock, payload, sizeof payload, MSG_DONTWAIT));
            }
            close(sock);
        });
    });
    // Five samples, one a second; no sample line is empty, so "\n\n" only collects output.
    const std::string &samples = limit->output();
    for (auto deadline = std::chrono::steady_clock::now() + 30s;
         std::count(samples.begin(), samples.end(), '\n') < 5 && std::chrono::steady_clock::now() < deadline;)
        limit->wait_for_output("\n\n", 200ms);
    stop = true;
    traffic.join();
    limit->signal(SIGINT);
    EXPECT_EQ(limit->wait_exit(30s), 0) << limit->errors();
    EXPECT_EQ(limit->errors(), "");

    // A sample is a second of the namespace's counters, in and out together. An
    // interface counts a packet as it arrives, before the limit may drop it: on
    // loopback up to twice what the limit passed, and far below what was offered.
    std::istringstream out(samples);
    double busiest = 0;
    for (std::string line; std::getline(out, line);) {
        double received = -1, sent = -1, total = -1;
        int end = 0;
        const size_t at = line.find("\",\"received_kbps\":");
        ASSERT_TRUE(line.starts_with("{\"time\":\"20") && at != std::string::npos &&
                    std::sscanf(line.c_str() + at, "\",\"received_kbps\":%lf,\"sent_kbps\":%lf,\"total_kbps\":%lf,"
                                                   "\"limit_kbps\":50}%n", &received, &sent, &total, &end) == 3 &&
                    at + static_cast<size_t>(end) == line.size() && received >= 0 && sent >= 0)
            << line;
        EXPECT_NEAR(total, received + sent, 0.11) << line;
        EXPECT_LE(total, 50 * 2.2) << line;
        busiest = std::max(busiest, total);
    }
    EXPECT_GE(std::count(samples.begin(), samples.end(), '\n'), 5);
    EXPECT_GE(busiest, 50 * 0.4) << "the offered traffic never reached the limit:\n" << samples;
    EXPECT_NE(net_->run("iptables -w 5 -n -L KESTRUNE"), 0) << "the diversion rules outlived the limit";
    EXPECT_TRUE(loopback_datagram_arrives(net_->path(), 5s)) << "the limit was not released";
    EXPECT_FALSE(fs::exists(root_)) << "a limit changes no saved policy";
}

TEST_F(RootTest, SetWithALimitAppliesThePolicyThenHoldsTheLimit)
{
    auto set = start({"set", "camera", "deny", "eth", "limit", "--speed", "0"});
    ASSERT_TRUE(set->wait_for_output("holding this network namespace to 0 KB/s; Ctrl-C releases the limit\n", 30s))
        << set->output() << set->errors();
    EXPECT_NE(run({"policy", "show"}).out.find("DenyDeviceClasses : 1 = \"{CA3E7AB9-B4C3-4AE6-8251-579EF933890F}\""),
              std::string::npos);
    EXPECT_FALSE(loopback_datagram_arrives(net_->path(), 300ms)) << "a limit of 0 lets nothing through";
    set->signal(SIGTERM);
    EXPECT_EQ(set->wait_exit(30s), 0) << set->errors();
    EXPECT_TRUE(set->output().ends_with("released the limit\n")) << set->output();
    EXPECT_TRUE(loopback_datagram_arrives(net_->path(), 5s)) << "the limit was not released";
}

} // namespace
