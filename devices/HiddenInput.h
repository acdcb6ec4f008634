#pragma once
// An input port on a hidden MIDI pin of the maker's driver. A reader thread of its own
// brings the pin up, keeps one read outstanding and hands each completed read to
// decodeReceived. A port whose pin is missing or cannot be started stays silent.
//
// The reader's state (the read block: stream header, OVERLAPPED, frame and event in one
// InFlightBlock; the stop flag and event) is a Reader shared by the port and the thread,
// freed by whichever lets go last. The destroying thread sets the stop flag and the stop
// event (which no driver touches); the reader then cancels its own read (only the
// issuing thread's CancelIo reaches it), waits a bounded time for the driver to give it
// back, and ends. A block the driver never gives back is left to it. A reader the driver
// holds in pin creation past the stop bound is left behind: the port detaches from it and
// keeps its filter reference for good, so that the pin the reader is creating stays.
#include "ks/KsWin.h"

#include <cstdint>

#include "midi/MidiPorts.h"
#include "support/InFlightBlock.h"

class CKsMidiFilter;
class CKsPin;
class IDevType;

class HiddenInput : public MIDI::Input {
public:
    // Exit codes of the reader thread: which step of bringing the pin up failed.
    static constexpr DWORD kExitInstantiate = 0xFFFFFFFE;
    static constexpr DWORD kExitAcquire = 0xFFFFFFFD;
    static constexpr DWORD kExitPause = 0xFFFFFFFC;
    static constexpr DWORD kExitRun = 0xFFFFFFFB;
    // The reader met an exception (a failed allocation) and ended.
    static constexpr DWORD kExitException = 0xFFFFFFFA;
    // Reads kept failing kMaxFailedReads times running, and the reader gave up.
    static constexpr DWORD kExitReadsFailing = 0xFFFFFFF9;
    // How long a cancelled read is given to come back before it is left to the driver.
    static constexpr DWORD kCancelTimeoutMs = kCancelledRequestBoundMs;
    // A failed read is tried again after 10 ms, then twice as long each time up to 1 s: a
    // device that fails one read recovers at once, one that keeps failing is not spun on.
    static constexpr DWORD kFirstRetryMs = 10;
    static constexpr DWORD kLongestRetryMs = 1000;
    // Ten failures running (about 3 s) mean the device is gone or broken: the port falls silent.
    static constexpr int kMaxFailedReads = 10;
    // A running reader answers the stop within its cancel bound (1 s) or the queue lock's
    // (2 s, inside decodeReceived); past this the driver holds it in pin creation or a
    // state change, and the port leaves it behind.
    static constexpr DWORD kStopTimeoutMs = kCancelTimeoutMs + 2000;
    // One KSMUSICFORMAT entry of 8 bytes and at most 12 MIDI bytes per read.
    static constexpr ULONG kFrameExtent = 20;
    static constexpr uint32_t kMaxReadBytes = kFrameExtent - sizeof(KSMUSICFORMAT);

    // Reads from the out-sink pin at pinIndex of the filter; holds a filter reference.
    HiddenInput(CKsMidiFilter* filter, unsigned pinIndex, IDevType* row);
    ~HiddenInput() override;

    uint32_t getPortId() override;
    uint32_t getDeviceId() override;
    bool isPresent() override;

    virtual void decodeReceived(const uint8_t* bytes, int32_t count, uint64_t timestamp);

    // The reader's exit code while it runs (STILL_ACTIVE), after it ended, or false
    // without a reader.
    bool readerExitCode(DWORD* code) const;

protected:
    // A derived port starts the reader once it is fully built and stops it before it is
    // taken apart, so that decodeReceived never runs on a half-made object.
    struct DeferredStart {};
    HiddenInput(CKsMidiFilter* filter, unsigned pinIndex, IDevType* row, DeferredStart);
    void startReader();
    void stopReader();

private:
    struct Reader;

    static DWORD WINAPI readerMain(void* reader);
    static DWORD read(Reader& reader);
    // On the reader thread: the outstanding read is cancelled and waited for.
    static void endRead(Reader& reader);
    // On the reader thread: false when the stop came or the reads failed too often.
    static bool retryAfterFailure(Reader& reader, int failures);
    // Hands a completed read to the port, unless the port has left.
    static void deliver(Reader& reader, const uint8_t* bytes, int32_t count, uint64_t timestamp);
    static void letGo(Reader* reader);
    void lowerPin();

    CKsMidiFilter* filter_;
    CKsPin* pin_;
    Reader* reader_;
    HANDLE thread_;
    bool stopped_;
    bool readerLeft_;  // the reader outlived the stop bound: the pin and the filter are its
    IDevType* row_;
};

// The Dusker controller reports in its own two-byte form; see decodeDuskerReport.
class DuskerInput : public HiddenInput {
public:
    DuskerInput(CKsMidiFilter* filter, unsigned pinIndex, IDevType* row);
    ~DuskerInput() override;

    void decodeReceived(const uint8_t* bytes, int32_t count, uint64_t timestamp) override;

private:
    int32_t held_;
};
