#pragma once
// One request handed to a driver: its header, its data and its event, owned together for
// as long as the driver may touch them. The owner hands the request over, waits for it
// with a bound, asks the driver to give it back and waits again; if the driver never
// does, it abandons the block: the memory and the event are left to the driver for good
// (logged once, counted for the process), never freed under it.
//
// Header is the request's record as the driver sees it (a stream header with its
// OVERLAPPED, a bare OVERLAPPED, or a MIDIHDR); an unqualified inFlightDone(header),
// declared beside the header type, says whether the driver has given it back.
//
// Threads: one thread owns the block at a time; the driver writes the header and sets
// the event from its own.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

// A driver gives a cancelled request back within milliseconds; a second is ample on a
// loaded machine and is what a teardown waits before it leaves the block to the driver.
constexpr DWORD kCancelledRequestBoundMs = 1000;

// Blocks abandoned in this process so far.
unsigned AbandonedInFlightBlocks();
// Counts one more and writes the owner's diagnostic with the count.
void ReportAbandonedInFlightBlock(const char* owner);

template <class Header>
class InFlightBlock {
public:
    // bufferSize bytes of data beside the header, both zeroed. The event is the one
    // given (taken over), or a new auto-reset one, unsignalled.
    InFlightBlock(const char* owner, size_t bufferSize, HANDLE event = NULL)
        : owner_(owner), size_(bufferSize), block_(nullptr), event_(event), inFlight_(false), abandoned_(false) {
        uint8_t* raw = new (std::nothrow) uint8_t[bytesFor(bufferSize)];
        if (raw != nullptr) {
            std::memset(raw, 0, bytesFor(bufferSize));
            block_ = new (raw) Block;
        }
        if (event_ == NULL) event_ = CreateEventA(NULL, FALSE, FALSE, NULL);
    }
    ~InFlightBlock() {
        if (abandoned_) return;
        if (event_) CloseHandle(event_);
        if (block_) delete[] reinterpret_cast<uint8_t*>(block_);
    }
    InFlightBlock(const InFlightBlock&) = delete;
    InFlightBlock& operator=(const InFlightBlock&) = delete;

    // The bytes one block of bufferSize takes on the heap.
    static size_t bytesFor(size_t bufferSize) { return offsetof(Block, data) + bufferSize; }

    bool valid() const { return block_ != nullptr && event_ != NULL; }
    Header& header() { return block_->header; }
    uint8_t* data() { return block_->data; }
    size_t size() const { return size_; }
    HANDLE event() const { return event_; }
    bool inFlight() const { return inFlight_; }
    bool abandoned() const { return abandoned_; }

    // The driver accepted the request: it holds the block from now on.
    void handOver() { inFlight_ = true; }

    // Waits up to boundMs for the driver to give the request back. True when it is back,
    // or was never handed over; the block is the owner's again.
    bool wait(DWORD boundMs) {
        if (!inFlight_) return true;
        const ULONGLONG deadline = GetTickCount64() + boundMs;
        // The event may have been set by an earlier request that shared it: the header
        // says whether this one is back.
        while (!inFlightDone(block_->header)) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) return false;
            if (WaitForSingleObject(event_, static_cast<DWORD>(deadline - now)) == WAIT_FAILED) return false;
        }
        inFlight_ = false;
        return true;
    }

    // Asks the driver to give the request back (cancel()), then waits up to boundMs:
    // cancelling only asks, the request comes back later.
    template <class Cancel>
    bool cancelAndWait(Cancel cancel, DWORD boundMs) {
        if (!inFlight_) return true;
        cancel();
        return wait(boundMs);
    }

    // The driver kept the request: its memory and event are left to it for good. The
    // owner must not touch the block again.
    void abandon() {
        if (abandoned_) return;
        abandoned_ = true;
        ReportAbandonedInFlightBlock(owner_);
    }

    // Gives the event to the caller (to reuse for a later request) once the request is
    // back; NULL while the driver may still set it.
    HANDLE takeEvent() {
        if (inFlight_ || abandoned_) return NULL;
        HANDLE event = event_;
        event_ = NULL;
        return event;
    }

private:
    struct Block {
        Header header;
        alignas(8) uint8_t data[8];
    };

    const char* owner_;
    size_t size_;
    Block* block_;   // the driver's while inFlight_, for good once abandoned_
    HANDLE event_;   // set by the driver on completion
    bool inFlight_;  // written by the owner only
    bool abandoned_;
};
