// The simulated driver's completions and cancellations: requests it holds, completed
// later from its worker thread; cancelling only asks, and the request comes back after
// the cancel delay; a closed handle's requests keep their pin instance until they end.

#include "sim/ksdriver/SimKsDriverInternal.h"

#include <algorithm>

namespace simks {
namespace completion {

BOOL WINAPI OverlappedResult(HANDLE h, LPOVERLAPPED overlapped, LPDWORD bytes, BOOL wait) {
    Driver& d = Driver::current();
    {
        auto l = d.lock();
        if (d.handles_.find(h) == d.handles_.end()) return fail(ERROR_INVALID_HANDLE);
    }
    if (overlapped->Internal == kStatusPending) {
        if (!wait) return fail(ERROR_IO_INCOMPLETE);
        HANDLE event = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR(1));
        WaitForSingleObject(event, INFINITE);
    }
    auto l = d.lock();
    *bytes = static_cast<DWORD>(overlapped->InternalHigh);
    const uint32_t status = static_cast<uint32_t>(overlapped->Internal);
    return status == kStatusSuccess ? TRUE : fail(errorFromStatus(status));
}

BOOL WINAPI Cancel(HANDLE h) {
    Driver& d = Driver::current();
    auto l = d.lock();
    if (d.handles_.find(h) == d.handles_.end()) return fail(ERROR_INVALID_HANDLE);
    // Like CancelIo: only the requests this thread issued.
    d.cancel(h, nullptr, false, kStatusCancelled);
    return TRUE;
}

BOOL WINAPI CancelEx(HANDLE h, LPOVERLAPPED overlapped) {
    Driver& d = Driver::current();
    auto l = d.lock();
    if (d.handles_.find(h) == d.handles_.end()) return fail(ERROR_INVALID_HANDLE);
    // Like CancelIoEx: from any thread; nothing to cancel is ERROR_NOT_FOUND.
    return d.cancel(h, overlapped, true, kStatusCancelled) ? TRUE : fail(ERROR_NOT_FOUND);
}

BOOL WINAPI Close(HANDLE h) {
    Driver& d = Driver::current();
    auto l = d.lock();
    if (d.handles_.find(h) == d.handles_.end()) return fail(ERROR_INVALID_HANDLE);
    d.closeHandle(h);
    return TRUE;
}

}  // namespace completion

void Driver::completeRead(const Pending& p) {
    Pin* pin = p.pin;
    KSSTREAM_HEADER* header = p.header;
    Pin::Frame& frame = pin->input_.front();
    const uint32_t room = std::min<uint32_t>(12, header->FrameExtent - sizeof(KSMUSICFORMAT));
    // A frame with its own ByteCount goes whole into one read.
    const bool whole = frame.byteCount != frame.midi.size() || frame.error != ERROR_SUCCESS;
    const uint32_t n = std::min<uint32_t>(room, static_cast<uint32_t>(frame.midi.size()));
    uint8_t* data = static_cast<uint8_t*>(header->Data);
    KSMUSICFORMAT entry = {0, whole ? frame.byteCount : n};
    std::memcpy(data, &entry, sizeof entry);
    std::memcpy(data + sizeof entry, frame.midi.data(), n);
    header->DataUsed = sizeof(KSMUSICFORMAT) + n;
    const uint32_t status = statusFromError(frame.error);
    if (whole || n == frame.midi.size())
        pin->input_.pop_front();
    else
        frame.midi.erase(frame.midi.begin(), frame.midi.begin() + n);
    finish(p.overlapped, status, header->Size);
}

void Driver::finish(OVERLAPPED* overlapped, uint32_t status, ULONG_PTR information) {
    if (overlapped == nullptr) return;
    // A request that fails inside the call: the I/O manager writes neither the status nor
    // the event (the caller learns of it from the call alone).
    if (overlapped == dispatching_ && isErrorStatus(status)) return;
    overlapped->Internal = status;
    overlapped->InternalHigh = isErrorStatus(status) ? 0 : information;
    HANDLE event = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR(1));
    if (event && event == startedEvent_) startedEventSet_ = true;
    if (event && !SetEvent(event)) ++eventFaults_;
}

uint64_t Driver::hold(HANDLE handle, OVERLAPPED* overlapped, KSSTREAM_HEADER* header, Kind kind, Pin* pin,
                      size_t write) {
    const uint64_t serial = nextSerial_++;
    auto h = handles_.find(handle);
    const uint64_t file = h != handles_.end() ? h->second.file : 0;
    pending_.push_back(
        Pending{handle, overlapped, GetCurrentThreadId(), header, kind, pin, file, serial, false, write, overlapped->hEvent});
    changed_.notify_all();
    return serial;
}

bool Driver::release(uint64_t serial, uint32_t status, ULONG_PTR information) {
    auto it = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) { return p.serial == serial; });
    if (it == pending_.end()) return false;
    const Pending p = *it;
    pending_.erase(it);
    if (intact(p)) {
        // The driver reads a write's bytes while it holds them: they are recorded as the
        // buffer is now, not as it was at hand-over.
        if (p.kind == Kind::Write) recordWrite(p.pin, p.header, p.write);
        finish(p.overlapped, status, information);
    }
    // The last request of a closed pin instance gives its room back.
    if (p.handle == NULL && p.pin &&
        std::none_of(pending_.begin(), pending_.end(), [&](const Pending& q) { return q.file == p.file; }))
        --p.pin->open_;
    changed_.notify_all();
    return true;
}

bool Driver::intact(const Pending& p) {
    if (p.overlapped->hEvent == p.event && p.overlapped->Internal == kStatusPending) return true;
    ++changedBlocks_;
    return false;
}

void Driver::releaseLater(unsigned delayMs, uint64_t serial, uint32_t status, ULONG_PTR information) {
    later(delayMs, [this, serial, status, information] {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Pending& p : pending_) {
            if (p.serial != serial || p.cancelling) continue;
            release(serial, status, information);
            break;
        }
    });
}

size_t Driver::cancel(HANDLE handle, OVERLAPPED* overlapped, bool anyThread, uint32_t status) {
    const DWORD self = GetCurrentThreadId();
    size_t asked = 0;
    for (Pending& p : pending_) {
        if (p.handle != handle || p.cancelling || (overlapped && p.overlapped != overlapped)) continue;
        if (!anyThread && p.thread != self) continue;
        p.cancelling = true;
        ++asked;
        const uint64_t serial = p.serial;
        later(cancelDelayMs_, [this, serial, status] {
            std::lock_guard<std::mutex> lock(mutex_);
            release(serial, status, 0);
        });
    }
    changed_.notify_all();
    return asked;
}

void Driver::closeHandle(HANDLE handle) {
    auto it = handles_.find(handle);
    cancel(handle, nullptr, true, kStatusCancelled);
    bool held = false;
    for (Pending& p : pending_) {
        if (p.handle != handle) continue;
        p.handle = NULL;
        held = true;
    }
    if (it->second.pin) {
        it->second.pin->state_ = KSSTATE_STOP;
        if (!held) --it->second.pin->open_;
    }
    handles_.erase(it);
    freeHandle(handle);
    changed_.notify_all();
}

void Driver::later(unsigned delayMs, std::function<void()> action) {
    {
        std::lock_guard<std::mutex> lock(timerMutex_);
        timers_.emplace(std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs), std::move(action));
    }
    timerChanged_.notify_all();
}

void Driver::worker() {
    std::unique_lock<std::mutex> lock(timerMutex_);
    while (!stopping_) {
        if (timers_.empty()) {
            timerChanged_.wait(lock);
            continue;
        }
        auto due = timers_.begin()->first;
        if (std::chrono::steady_clock::now() < due) {
            timerChanged_.wait_until(lock, due);
            continue;
        }
        std::function<void()> action = std::move(timers_.begin()->second);
        timers_.erase(timers_.begin());
        lock.unlock();
        action();
        lock.lock();
    }
}

HANDLE Driver::newHandle() {
    if (!freeHandles_.empty()) {
        HANDLE h = freeHandles_.back();
        freeHandles_.pop_back();
        return h;
    }
    HANDLE h = reinterpret_cast<HANDLE>(nextHandle_);
    nextHandle_ += 4;
    return h;
}

void Driver::freeHandle(HANDLE handle) { freeHandles_.push_back(handle); }

HANDLE Driver::open(Device* device, Pin* pin) {
    HANDLE h = newHandle();
    handles_[h] = Handle{device, pin, nextFile_++};
    return h;
}

}  // namespace simks
