#pragma once
// The program's one lock type: a Windows mutex behind a small interface, so that
// the owner thread may take it again and every wait has a time-out.

#include <cstdint>

namespace Process {

class ICriticalSection {
public:
    virtual ~ICriticalSection() {}
    virtual bool TryLock() = 0;
    virtual bool Lock(uint32_t timeoutMs) = 0;
    virtual int Unlock() = 0;  // BOOL
};

}  // namespace Process

class Win32CriticalSection : public Process::ICriticalSection {
public:
    Win32CriticalSection();
    ~Win32CriticalSection() override;
    Win32CriticalSection(const Win32CriticalSection&) = delete;
    Win32CriticalSection& operator=(const Win32CriticalSection&) = delete;

    bool TryLock() override;
    bool Lock(uint32_t timeoutMs) override;
    int Unlock() override;

private:
    void* mutex_;  // HANDLE; null when creation failed, and then every attempt fails
};

// Holds a lock for one scope, and gives it back only if it was obtained.
class ScopedLock {
public:
    ScopedLock(Process::ICriticalSection& lock, uint32_t timeoutMs)
        : lock_(lock), held_(lock.Lock(timeoutMs)) {}
    struct Try {};
    ScopedLock(Process::ICriticalSection& lock, Try) : lock_(lock), held_(lock.TryLock()) {}
    ~ScopedLock() {
        if (held_) lock_.Unlock();
    }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;
    bool held() const { return held_; }

private:
    Process::ICriticalSection& lock_;
    bool held_;
};

// The calling thread's number, which no other running thread has: on Windows the system's
// thread id, which a thread the program did not start (the Zeph library's) has too, with no
// runtime record behind it.
uint64_t currentThreadToken();
