// The device's binder thread on its own: a wake is served at once, one that comes during a
// round is not lost, a round that leaves work pending comes again after the pause only.

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "device/BinderThread.h"

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

bool waitFor(const std::function<bool()>& done, int ms = 3000) {
    auto deadline = Clock::now() + milliseconds(ms);
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

TEST(BinderThread, EachWakeIsServedAndNoneDuringARoundIsLost) {
    std::atomic<int> rounds{0};
    std::atomic<bool> inRound{false}, release{false};
    BinderThread binder(
        [&] {
            inRound = true;
            while (rounds == 0 && !release) std::this_thread::sleep_for(milliseconds(1));
            ++rounds;
            inRound = false;
            return false;
        },
        milliseconds(100));
    ASSERT_TRUE(binder.running());
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(rounds, 0) << "a round without a wake";
    binder.wake();
    ASSERT_TRUE(waitFor([&] { return inRound.load(); }));
    binder.wake();  // while the first round runs
    release = true;
    EXPECT_TRUE(waitFor([&] { return rounds == 2; }));
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(rounds, 2) << "more rounds than wakes";
}

// A library that asks again during every rebind: rounds keep coming without a wake, but one
// per pause, never a busy loop.
TEST(BinderThread, WorkLeftPendingComesBackAfterEachPause) {
    std::atomic<int> rounds{0};
    BinderThread binder(
        [&] {
            ++rounds;
            return true;
        },
        milliseconds(100));
    auto start = Clock::now();
    binder.wake();
    ASSERT_TRUE(waitFor([&] { return rounds >= 4; }));
    auto elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
    EXPECT_GE(elapsed, 300) << "three pauses at least between four rounds";
    binder.stop();
    int stopped = rounds;
    binder.wake();
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(rounds, stopped) << "a round after stop";
}

}  // namespace
