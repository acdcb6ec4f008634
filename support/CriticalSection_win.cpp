#include "support/CriticalSection.h"

#include <windows.h>

Win32CriticalSection::Win32CriticalSection() : mutex_(CreateMutexA(nullptr, FALSE, nullptr)) {}

Win32CriticalSection::~Win32CriticalSection() {
    if (mutex_) CloseHandle(mutex_);
}

bool Win32CriticalSection::TryLock() {
    return mutex_ && WaitForSingleObject(mutex_, 0) == WAIT_OBJECT_0;
}

// An abandoned mutex counts as not obtained: its owner died mid-update of what it guards.
bool Win32CriticalSection::Lock(uint32_t timeoutMs) {
    return mutex_ && WaitForSingleObject(mutex_, timeoutMs) == WAIT_OBJECT_0;
}

int Win32CriticalSection::Unlock() {
    return mutex_ ? ReleaseMutex(mutex_) : FALSE;
}
