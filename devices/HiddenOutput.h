#pragma once
// An output port on a hidden MIDI pin of the maker's driver. Bytes are gathered into
// packets of N bytes; each full packet and each flush is one overlapped write of one
// KSMUSICFORMAT entry, with at most one write in flight: the write block is reused only
// once the driver has completed the previous write (or after 1000 ms, as a time-out).
// Each completed write's result is read; a failure is kept until flush reports it, and
// sendSysex and sendShort refuse while one is kept. The write block (stream header,
// OVERLAPPED, frame and event, one InFlightBlock) is the driver's while a write is in
// flight: teardown waits for it, cancels it, and leaves it to the driver if the driver
// never gives it back.

#include "ks/KsWin.h"

#include <cstdint>

#include "devices/PacketBuffer.h"
#include "ks/KsPin.h"
#include "midi/MidiPorts.h"
#include "support/InFlightBlock.h"

class CKsMidiFilter;
class CKsPin;
class IDevType;

class HiddenOutputPort : public MIDI::Output {
public:
    // The driver completes each write within this, or the port reports "Sysex output timeout".
    static constexpr DWORD kWriteTimeoutMs = 1000;
    // A cancelled write is given this long to come back before it is left to the driver.
    static constexpr DWORD kCancelTimeoutMs = kCancelledRequestBoundMs;

    ~HiddenOutputPort() override;

    void initialise() override {}
    // False, taking nothing, while an earlier write's failure is kept.
    bool sendSysex(MIDI::SysexMessage& message) override;
    bool sendShort(MIDI::ShortMessage& message) override;
    uint32_t getPortId() override;
    uint32_t getDeviceId() override;
    bool isPresent() override;
    // Sends what is pending, then waits up to 1000 ms for the last write: true when every
    // write since the last flush completed successfully (the kept failure is cleared). An
    // idle port neither waits nor writes. Throws GeneralError "Sysex output timeout" when
    // the previous write held the buffer too long (the pending bytes are dropped).
    bool flush() override;

protected:
    // Writes to the in-sink pin at pinIndex; throws "HiddenOutput creation failed" when
    // that pin is missing or cannot be started.
    HiddenOutputPort(CKsMidiFilter* filter, unsigned pinIndex, IDevType* row, int packetSize);

    void append(uint8_t b);
    // One write of the pending bytes, once the previous write has completed.
    void sendPending();
    const PacketBuffer& packet() const { return packet_; }
    // An earlier write failed and flush has not reported it yet.
    bool failureKept() const { return failed_; }

private:
    static constexpr size_t kFrameBytes = sizeof(KSMUSICFORMAT) + PacketBuffer::kMaxSize + 4;

    // Waits up to 1000 ms for the write in flight and reads its result; false when it is
    // still in flight.
    bool awaitWrite();
    void lowerPin();

    PacketBuffer packet_;
    InFlightBlock<KsStreamRequest> block_;
    bool failed_;
    CKsMidiFilter* filter_;
    CKsPin* pin_;
    IDevType* row_;
};

template <int N>
class HiddenOutput : public HiddenOutputPort {
    static_assert(N >= 1 && N <= PacketBuffer::kMaxSize, "packet size");

public:
    HiddenOutput(CKsMidiFilter* filter, unsigned pinIndex, IDevType* row)
        : HiddenOutputPort(filter, pinIndex, row, N) {}
};

// The Dusker takes controller changes only, as (controller, value) pairs without status,
// and only when a controller's value changes.
class DuskerOutput : public HiddenOutput<8> {
public:
    DuskerOutput(CKsMidiFilter* filter, unsigned pinIndex, IDevType* row);

    // The controller's start-up sequence.
    void initialise() override;
    bool sendShort(MIDI::ShortMessage& message) override;

private:
    int32_t remembered_[128];
};
