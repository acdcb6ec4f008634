#include "support/CriticalSection.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

// The same rules as the Windows mutex: the owner may lock again and must unlock as often;
// an unlock by a thread that does not own the lock fails instead of corrupting it.
namespace {

struct HostMutex {
    std::timed_mutex mutex;
    std::atomic<std::thread::id> owner{};
    unsigned depth = 0;  // touched by the owner only
};

}  // namespace

Win32CriticalSection::Win32CriticalSection() : mutex_(new HostMutex) {}

Win32CriticalSection::~Win32CriticalSection() { delete static_cast<HostMutex*>(mutex_); }

bool Win32CriticalSection::TryLock() { return Lock(0); }

bool Win32CriticalSection::Lock(uint32_t timeoutMs) {
    HostMutex& m = *static_cast<HostMutex*>(mutex_);
    if (m.owner.load() == std::this_thread::get_id()) {
        ++m.depth;
        return true;
    }
    // A free lock is taken without asking the clock, which is most of a timed wait's cost.
    if (!m.mutex.try_lock() && !m.mutex.try_lock_for(std::chrono::milliseconds(timeoutMs))) return false;
    m.owner.store(std::this_thread::get_id());
    m.depth = 1;
    return true;
}

int Win32CriticalSection::Unlock() {
    HostMutex& m = *static_cast<HostMutex*>(mutex_);
    if (m.owner.load() != std::this_thread::get_id()) return 0;
    if (--m.depth == 0) {
        m.owner.store(std::thread::id());
        m.mutex.unlock();
    }
    return 1;
}
