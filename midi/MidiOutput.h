#pragma once
// An output port that WinMM lists. SysEx goes out as WinMM long messages from the port's
// own buffer, one message in flight at a time. WinMM's callback thread signals the
// auto-reset completion event when the driver is done with the buffer (and on open and
// close); the sending thread waits for that signal before it touches the buffer again.
// The buffer, its header and the event live in one in-flight block: when a driver will
// not hand them back, the port leaves that block to the driver instead of freeing memory
// it may still read or write.

#include <windows.h>
#include <mmsystem.h>

#include <cstdint>
#include <string>

#include "midi/MidiPorts.h"
#include "support/InFlightBlock.h"

// WinMM marks a header done when its driver gives it back (played, reset or removed).
inline bool inFlightDone(const MIDIHDR& header) { return (header.dwFlags & MHDR_DONE) != 0; }

class MidiOutput : public MIDI::Output {
public:
    static constexpr size_t kSysexBufferSize = 0x1100;
    // A wait for the driver allows the message in flight its time on a MIDI cable (the
    // slowest link a port has) plus this margin for a driver that is merely slow.
    static constexpr DWORD kCompletionWaitMs = 1000;
    static constexpr DWORD kCableBytesPerSecond = 3125;
    // The longest the destructor may wait: a full buffer's completion bound, then a cancelled
    // request's bound when the driver still holds the header at the close, then the close's
    // retries; twice the completion bound covers them all.
    static constexpr DWORD kLongestReleaseMs =
        2 * (kCompletionWaitMs + static_cast<DWORD>(kSysexBufferSize * 1000 / kCableBytesPerSecond));

    // Throws GeneralError "midiOutOpen failed" when the port cannot be opened.
    explicit MidiOutput(uint32_t deviceIndex);
    ~MidiOutput() override;

    void initialise() override {}
    bool sendSysex(MIDI::SysexMessage& message) override;
    bool sendShort(MIDI::ShortMessage& message) override;
    uint32_t getPortId() override { return portId_; }
    uint32_t getDeviceId() override { return deviceId_; }
    bool isPresent() override;
    bool flush() override;
    size_t sysexCapacity() override { return kSysexBufferSize; }

    // The short name of the device the handle is open on, asked through the handle (an
    // index names another device once devices change); empty when the query fails.
    std::string deviceShortName();

    // How long a wait for the completion of a message of this many bytes may take.
    static constexpr DWORD completionBoundMs(size_t length) {
        return kCompletionWaitMs + static_cast<DWORD>(length * 1000 / kCableBytesPerSecond);
    }

private:
    bool waitForCompletion();
    void report(const char* operation, const char* call, MMRESULT result);

    InFlightBlock<MIDIHDR> transfer_;  // the header, the buffer and the event WinMM signals
    HMIDIOUT handle_;
    uint32_t deviceIndex_;
    uint32_t portId_;
    uint32_t deviceId_;
    size_t lastLength_ = 0;  // the message last handed to WinMM, the only one that can be in flight
};
