#include "support/CriticalSection.h"

#include <windows.h>

#include "support/Diagnostics.h"

namespace {

// WAIT_ABANDONED hands the mutex to the caller like WAIT_OBJECT_0: refusing it would leave
// a mutex this thread now owns that nobody ever releases. What its guard protected may be
// half changed, so it is said.
bool obtained(DWORD wait) {
    if (wait == WAIT_ABANDONED) {
        diagnosticPrint("Win32CriticalSection: lock taken over from a thread that ended holding it (thread %lu)\n",
                        static_cast<unsigned long>(GetCurrentThreadId()));
        return true;
    }
    return wait == WAIT_OBJECT_0;
}

}  // namespace

Win32CriticalSection::Win32CriticalSection() : mutex_(CreateMutexA(nullptr, FALSE, nullptr)) {}

Win32CriticalSection::~Win32CriticalSection() {
    if (mutex_) CloseHandle(mutex_);
}

bool Win32CriticalSection::TryLock() { return mutex_ && obtained(WaitForSingleObject(mutex_, 0)); }

bool Win32CriticalSection::Lock(uint32_t timeoutMs) { return mutex_ && obtained(WaitForSingleObject(mutex_, timeoutMs)); }

int Win32CriticalSection::Unlock() {
    return mutex_ ? ReleaseMutex(mutex_) : FALSE;
}

uint64_t currentThreadToken() { return GetCurrentThreadId(); }
