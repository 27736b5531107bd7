// The message loop's sleep between two pumps in each wait mode: what ends it early, and
// that it still never runs anything nor sleeps past its length.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <stdexcept>
#include <thread>

#include "platform/clock.h"
#include "platform/message_loop.h"

namespace czqic {
namespace {

TEST(LoopSleep, OnTheVirtualClockTheResponsiveSleepJumpsToTheNextDueMessageOrTick) {
    VirtualClock clock;
    MessageLoop loop(clock);
    int ran = 0;
    loop.post([&] { ++ran; }, 120);
    Timer timer(loop, 200, [&] { ++ran; });
    timer.set_enabled(true);

    loop.sleep(300, WaitMode::Standard);
    EXPECT_EQ(clock.now_ms(), 300);
    EXPECT_EQ(ran, 0);  // a sleep never runs what came due
    loop.pump();
    ASSERT_EQ(ran, 2);

    loop.post([&] { ++ran; }, 50);
    loop.sleep(300, WaitMode::Responsive);
    EXPECT_EQ(clock.now_ms(), 350);  // the posted message, before the tick at 500
    loop.pump();
    loop.sleep(300, WaitMode::Responsive);
    EXPECT_EQ(clock.now_ms(), 500);  // the tick
    loop.pump();
    timer.set_enabled(false);
    loop.sleep(300, WaitMode::Responsive);
    EXPECT_EQ(clock.now_ms(), 800);  // nothing due: the whole length
    loop.post([] {});
    loop.sleep(300, WaitMode::Responsive);
    EXPECT_EQ(clock.now_ms(), 800);  // something already due: no sleep at all

    // At the end of the scale the clock cannot move in either mode.
    clock.sleep_until_ms(INT64_MAX);
    EXPECT_THROW(loop.sleep(300, WaitMode::Responsive), std::range_error);
}

// One of the few tests on the real clock: only a real sleep can be cut short.
TEST(LoopSleep, OnTheRealClockAMessageHandedOverEndsOnlyTheResponsiveSleep) {
    auto clock = make_real_clock();
    MessageLoop loop(*clock);
    for (WaitMode mode : {WaitMode::Standard, WaitMode::Responsive}) {
        int ran = 0;
        std::thread worker([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            loop.post_from_any_thread([&] { ++ran; });
        });
        const int64_t start = clock->now_ms();
        loop.sleep(300, mode);
        const int64_t slept = clock->now_ms() - start;
        worker.join();
        EXPECT_EQ(ran, 0);
        if (mode == WaitMode::Responsive) {
            EXPECT_GE(slept, 25);
            EXPECT_LT(slept, 250);
        } else {
            EXPECT_GE(slept, 299);
        }
        loop.pump();
        EXPECT_EQ(ran, 1);
    }
}

}  // namespace
}  // namespace czqic
