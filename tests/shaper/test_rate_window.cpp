// The one-second meter on a clock the test sets.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "shaper/rate_window.h"

using kestrune::shaper::RateWindow;

namespace {

struct Window {
    RateWindow *window = RateWindow::create();
    ~Window() { RateWindow::destroy(window); }
    RateWindow *operator->() { return window; }
};

TEST(RateWindow, RatesFromTheFirstSampleAndEmptiesAfterASecond)
{
    Window meter;
    EXPECT_EQ(meter->rate(5000), -1);
    meter->add(600, 5000);
    EXPECT_EQ(meter->rate(5000), 600) << "the part of the window not yet seen counts as empty";
    meter->add(999, 4990); // before the window: ignored
    meter->add(300, 5500);
    EXPECT_EQ(meter->rate(5999), 900);
    EXPECT_EQ(meter->rate(6000), 300) << "the sample of 5000 left the window";
    EXPECT_EQ(meter->rate(6500), -1) << "an empty window has no rate";
    // After a long idle time the meter starts over from the next sample.
    meter->add(50, 90000);
    EXPECT_EQ(meter->rate(90999), 50);
    EXPECT_EQ(meter->rate(91000), -1);
}

TEST(RateWindow, ClockMayWrap)
{
    Window meter;
    const uint32_t start = std::numeric_limits<uint32_t>::max() - 300;
    meter->add(1000, start);
    meter->add(2000, start + 500); // past the wrap
    EXPECT_EQ(meter->rate(start + 600), 3000);
    EXPECT_EQ(meter->rate(start + 1000), 2000);
    meter->add(4000, start + 1200);
    EXPECT_EQ(meter->rate(start + 1499), 6000);
    EXPECT_EQ(meter->rate(start + 2199), 4000);
    EXPECT_EQ(meter->rate(start + 2200), -1);
}

TEST(RateWindow, RateSaturatesInsteadOfWrapping)
{
    Window meter;
    for (int i = 0; i < 3; ++i)
        meter->add(1000000000u, 7000);
    EXPECT_EQ(meter->rate(7000), std::numeric_limits<int32_t>::max());
}

} // namespace
