#include "support/CriticalSection.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

// The same rules as the Windows mutex: the owner may lock again and must unlock as often;
// an unlock by a thread that does not own the lock fails instead of corrupting it.
namespace {

// A thread's own number, never given to another: a std::thread::id may be reused by a
// thread started after its first one ended, which would then pass for the owner.
uint64_t threadToken() {
    static std::atomic<uint64_t> next{1};
    thread_local const uint64_t token = next++;
    return token;
}

struct HostMutex {
    std::timed_mutex mutex;
    std::atomic<uint64_t> owner{0};  // 0: nobody
    unsigned depth = 0;  // touched by the owner only
};

}  // namespace

uint64_t currentThreadToken() { return threadToken(); }

Win32CriticalSection::Win32CriticalSection() : mutex_(new HostMutex) {}

Win32CriticalSection::~Win32CriticalSection() { delete static_cast<HostMutex*>(mutex_); }

bool Win32CriticalSection::TryLock() { return Lock(0); }

bool Win32CriticalSection::Lock(uint32_t timeoutMs) {
    HostMutex& m = *static_cast<HostMutex*>(mutex_);
    if (m.owner.load() == threadToken()) {
        ++m.depth;
        return true;
    }
    // A free lock is taken without asking the clock, which is most of a timed wait's cost.
    if (!m.mutex.try_lock() && !m.mutex.try_lock_for(std::chrono::milliseconds(timeoutMs))) return false;
    m.owner.store(threadToken());
    m.depth = 1;
    return true;
}

int Win32CriticalSection::Unlock() {
    HostMutex& m = *static_cast<HostMutex*>(mutex_);
    if (m.owner.load() != threadToken()) return 0;
    if (--m.depth == 0) {
        m.owner.store(0);
        m.mutex.unlock();
    }
    return 1;
}
