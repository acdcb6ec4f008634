#pragma once
// Threads of the simulated library: Win32 threads, not std::thread. A detached std::thread
// (winpthreads) races with its own end: a thread that ends as it is detached can have its
// record freed twice, two later threads then share it, and a join spins forever.

#include <windows.h>

#include <functional>

// Runs work on a thread of its own; the handle is the caller's to wait on and close. Null
// when no thread could be started (the work does not run).
HANDLE startLibraryThread(std::function<void()> work, DWORD* threadId = nullptr);

// Runs work on a thread of its own that nobody waits for; false when none could be started.
bool runDetached(std::function<void()> work);
