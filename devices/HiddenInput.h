#pragma once
// An input port on a hidden MIDI pin of the maker's driver. A reader thread of its own
// brings the pin up, keeps one read outstanding and hands each completed read to
// decodeReceived. A port whose pin is missing or cannot be started stays silent.
//
// The read block (buffer, stream header, OVERLAPPED and its event) belongs to the reader
// thread and, while a read is outstanding, to the driver. The destroying thread sets the
// stop flag and the stop event (which no driver touches); the reader then cancels its own
// read (only the issuing thread's CancelIo reaches it), waits a bounded time for the
// driver to give it back, and ends. A block the driver never gives back is left allocated.

#include "ks/KsWin.h"

#include <atomic>
#include <cstdint>

#include "midi/MidiPorts.h"

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
    // How long a cancelled read is given to come back.
    static constexpr DWORD kCancelTimeoutMs = 1000;
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
    struct ReadBlock {
        alignas(8) uint8_t buffer[40];
        KSSTREAM_HEADER header;
        OVERLAPPED overlapped;
    };

    static DWORD WINAPI readerMain(void* self);
    DWORD read();
    // On the reader thread: the outstanding read is cancelled and waited for.
    void endRead();
    void resetStreamHeader();
    void lowerPin();

    CKsMidiFilter* filter_;
    CKsPin* pin_;
    ReadBlock* block_;
    HANDLE stopEvent_;
    HANDLE thread_;
    std::atomic<bool> stop_;
    bool stopped_;
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
