#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include <gtest/gtest.h>

#include "support/CriticalSection.h"
#include "tests/common/DebugCapture.h"

namespace {

using Clock = std::chrono::steady_clock;

long long elapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

void pause() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

// Holds the lock on another thread until told to let go.
class Holder {
public:
    explicit Holder(Win32CriticalSection& lock) : thread_([this, &lock] {
        lock.Lock(UINT32_MAX);
        held_ = true;
        while (!release_) pause();
        lock.Unlock();
        held_ = false;
    }) {
        while (!held_) pause();
    }
    ~Holder() {
        release_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> held_{false};
    std::atomic<bool> release_{false};
    std::thread thread_;
};

TEST(Win32CriticalSection, TryLockOnHeldLockFailsAtOnce) {
    Win32CriticalSection lock;
    Holder holder(lock);
    auto start = Clock::now();
    EXPECT_FALSE(lock.TryLock());
    EXPECT_LT(elapsedMs(start), 100);
}

TEST(Win32CriticalSection, LockTimesOutAfterItsWait) {
    Win32CriticalSection lock;
    Holder holder(lock);
    auto start = Clock::now();
    EXPECT_FALSE(lock.Lock(2000));
    long long waited = elapsedMs(start);
    EXPECT_GE(waited, 1900);
    EXPECT_LT(waited, 3000);
}

TEST(Win32CriticalSection, OwnerMayLockAgainAndMustUnlockTwice) {
    Win32CriticalSection lock;
    ASSERT_TRUE(lock.Lock(0));
    ASSERT_TRUE(lock.TryLock());
    EXPECT_TRUE(lock.Unlock());
    // Still held once: another thread cannot take it.
    bool otherGotIt = true;
    std::thread([&] { otherGotIt = lock.TryLock(); }).join();
    EXPECT_FALSE(otherGotIt);
    EXPECT_TRUE(lock.Unlock());
    std::thread([&] {
        otherGotIt = lock.TryLock();
        if (otherGotIt) lock.Unlock();
    }).join();
    EXPECT_TRUE(otherGotIt);
}

#if defined(_WIN32)
// The wait hands an abandoned mutex to the caller: it is taken, said so, and given back like
// any other, so a scoped guard releases it and the next thread gets it.
TEST(Win32CriticalSection, AbandonedLockIsTakenOverAndSaysSo) {
    for (bool tryLock : {false, true}) {
        SCOPED_TRACE(tryLock ? "TryLock" : "Lock");
        Win32CriticalSection lock;
        std::thread([&] { lock.Lock(0); }).join();  // ends without unlocking
        DebugCapture capture;
        if (tryLock) {
            ScopedLock guard(lock, ScopedLock::Try{});
            EXPECT_TRUE(guard.held());
        } else {
            ScopedLock guard(lock, 100);
            EXPECT_TRUE(guard.held());
        }
        EXPECT_TRUE(capture.contains("lock taken over from a thread that ended holding it")) << capture.text();
        bool otherGotIt = false;
        std::thread([&] {
            otherGotIt = lock.Lock(100);
            if (otherGotIt) lock.Unlock();
        }).join();
        EXPECT_TRUE(otherGotIt) << "the taken-over lock was never given back";
    }
}
#else
// A thread that ends holding the lock leaves it held. Threads started after it (which often
// get its std::thread::id again) are not its owner: they neither re-enter nor release it.
TEST(Win32CriticalSection, LaterThreadIsNeverTheOwnerOfAnEndedThreadsLock) {
    Win32CriticalSection lock;
    std::thread([&] { lock.Lock(0); }).join();
    for (int i = 0; i < 20; ++i) {
        bool entered = true;
        bool released = true;
        std::thread([&] {
            entered = lock.TryLock();
            released = lock.Unlock() != 0;
        }).join();
        EXPECT_FALSE(entered) << "thread " << i;
        EXPECT_FALSE(released) << "thread " << i;
    }
}
#endif

TEST(Win32CriticalSection, UnlockWithoutOwnershipFails) {
    Win32CriticalSection lock;
    EXPECT_FALSE(lock.Unlock());
}

TEST(ScopedLock, GivesBackOnlyWhatItObtained) {
    Win32CriticalSection lock;
    {
        ScopedLock guard(lock, 0);
        EXPECT_TRUE(guard.held());
    }
    {
        Holder holder(lock);
        ScopedLock guard(lock, ScopedLock::Try{});
        EXPECT_FALSE(guard.held());
    }  // the guard must not release the holder's lock: the holder's own Unlock succeeds
    EXPECT_TRUE(lock.TryLock());
    lock.Unlock();
}

}  // namespace
