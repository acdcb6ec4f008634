#pragma once
// A FIFO written by a port's receiving thread and read by the application's thread.
// Every wait on its lock is bounded (2000 ms) so a stuck peer cannot hang the other side;
// what happens when the lock is not obtained is part of each operation's contract.

#include <cstddef>
#include <cstdint>
#include <deque>

#include "support/CriticalSection.h"

template <typename Record>
class LockedQueue {
public:
    static constexpr uint32_t kLockTimeoutMs = 2000;

    // Returns whether the record was queued; it is dropped when the lock is not obtained.
    bool push(const Record& record) {
        ScopedLock guard(lock_, kLockTimeoutMs);
        if (!guard.held()) return false;
        items_.push_back(record);
        return true;
    }

    // Several records under one lock, in order; all are dropped when it is not obtained.
    bool push(const Record* records, size_t count) {
        if (count == 0) return true;
        ScopedLock guard(lock_, kLockTimeoutMs);
        if (!guard.held()) return false;
        items_.insert(items_.end(), records, records + count);
        return true;
    }

    // Never waits: a busy lock reads as "nothing there yet".
    bool hasAny() {
        ScopedLock guard(lock_, ScopedLock::Try{});
        return guard.held() && !items_.empty();
    }

    // The front record, or the empty record on a lock time-out or an empty queue.
    Record pop() {
        ScopedLock guard(lock_, kLockTimeoutMs);
        if (!guard.held() || items_.empty()) return Record();
        Record front = items_.front();
        items_.pop_front();
        return front;
    }

    void clear() {
        ScopedLock guard(lock_, kLockTimeoutMs);
        if (guard.held()) items_.clear();
    }

    // For tests of the time-outs: the queue's own lock.
    Process::ICriticalSection& lock() { return lock_; }

private:
    // The lock is destroyed first, then the records.
    std::deque<Record> items_;
    Win32CriticalSection lock_;
};
