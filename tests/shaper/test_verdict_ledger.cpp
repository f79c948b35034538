// Which verdict messages the Linux backend sends for the caller's verdicts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/linux/verdict_ledger.h"

using kestrune::platform::linux_backend::VerdictLedger;
using Messages = std::vector<std::string>;

namespace {

class RecordingSink final : public kestrune::platform::linux_backend::VerdictSink {
public:
    bool verdict(uint32_t id, bool accept) noexcept override
    {
        return record((accept ? "accept " : "drop ") + std::to_string(id));
    }
    bool accept_through(uint32_t id) noexcept override { return record("through " + std::to_string(id)); }

    Messages sent;
    bool failNext = false;

private:
    bool record(std::string message)
    {
        bool failed = failNext;
        failNext = false;
        sent.push_back(failed ? message + " failed" : message);
        return !failed;
    }
};

// r: the queue delivers packet `n` at n * 100 us; a: the caller accepts it;
// d: drops it (both noted when refused); f: flush; e: expire at time n what was
// held 100 us or longer; x: the next message fails.
struct Step {
    char op;
    uint32_t n;
};
const struct {
    const char *what;
    std::vector<Step> steps;
    Messages sent;
} kCases[] = {
    {"accepts wait for a flush and go as one batch; a drop between them goes at once",
     {{'r', 1}, {'r', 2}, {'r', 3}, {'r', 4}, {'a', 1}, {'a', 2}, {'d', 3}, {'a', 4}, {'f', 0}},
     {"drop 3", "through 4"}},
    {"no batch passes an undecided packet: the accepts behind it go one by one",
     {{'r', 1}, {'r', 2}, {'r', 3}, {'a', 1}, {'a', 3}, {'f', 0}, {'a', 2}, {'f', 0}},
     {"through 1", "accept 3", "through 2"}},
    {"a drop that could not be sent blocks every batch until it is sent again",
     {{'r', 1}, {'r', 2}, {'r', 3}, {'a', 1}, {'x', 0}, {'d', 2}, {'a', 3}, {'f', 0}},
     {"drop 2 failed", "through 1", "drop 2", "accept 3"}},
    {"a batch that could not be sent is sent again",
     {{'r', 1}, {'r', 2}, {'a', 1}, {'a', 2}, {'x', 0}, {'f', 0}},
     {"through 2 failed", "accept 1", "accept 2"}},
    {"expiry sends the accepts first, then drops the undecided whose time came",
     {{'r', 1}, {'r', 2}, {'r', 3}, {'a', 1}, {'e', 300}, {'f', 0}},
     {"through 1", "drop 2"}},
    {"verdicts for packets not held, or given twice, are refused and send nothing",
     {{'r', 1}, {'a', 7}, {'d', 7}, {'a', 1}, {'a', 1}, {'d', 1}, {'f', 0}, {'a', 1}, {'f', 0}},
     {"refused accept 7", "refused drop 7", "refused accept 1", "refused drop 1", "through 1", "refused accept 1"}},
};

TEST(VerdictLedger, MessagesForTheCallersVerdicts)
{
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.what);
        VerdictLedger ledger;
        RecordingSink sink;
        for (const Step &step : c.steps) {
            switch (step.op) {
            case 'r': ASSERT_TRUE(ledger.received(step.n, step.n * 100)); break;
            case 'a':
                if (!ledger.accept(step.n))
                    sink.sent.push_back("refused accept " + std::to_string(step.n));
                break;
            case 'd':
                if (!ledger.drop(step.n, sink))
                    sink.sent.push_back("refused drop " + std::to_string(step.n));
                break;
            case 'f': ledger.flush(sink); break;
            case 'e': ledger.expire(step.n, 100, sink); break;
            case 'x': sink.failNext = true; break;
            }
        }
        EXPECT_EQ(sink.sent, c.sent);
    }
}

TEST(VerdictLedger, FlushIsDueAt64AcceptsOrAfterAMillisecond)
{
    VerdictLedger ledger;
    for (uint32_t id = 1; id <= 64; ++id) {
        EXPECT_FALSE(ledger.flush_due(500));
        ASSERT_TRUE(ledger.received(id, 500));
        ledger.accept(id);
    }
    EXPECT_TRUE(ledger.flush_due(500));

    VerdictLedger waiting;
    ASSERT_TRUE(waiting.received(1, 5000));
    EXPECT_FALSE(waiting.flush_due(7000)) << "nothing decided yet";
    waiting.accept(1);
    EXPECT_FALSE(waiting.flush_due(5999));
    EXPECT_TRUE(waiting.flush_due(6000));
}

} // namespace
