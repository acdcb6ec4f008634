#pragma once
// An output port that WinMM lists. SysEx goes out as WinMM long messages from the port's
// own buffer, one message in flight at a time. WinMM's callback thread signals the
// auto-reset completion event when the driver is done with the buffer (and on open and
// close); the sending thread waits for that signal before it touches the buffer again.

#include <windows.h>
#include <mmsystem.h>

#include <cstdint>

#include "midi/MidiPorts.h"

class MidiOutput : public MIDI::Output {
public:
    static constexpr size_t kSysexBufferSize = 0x1100;
    // How long a call waits for the driver to finish the previous message.
    static constexpr DWORD kCompletionWaitMs = 1000;

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

private:
    bool failAfterWait();

    uint8_t sysexBuffer_[kSysexBufferSize];
    MIDIHDR header_;
    HMIDIOUT handle_;
    HANDLE completion_;
    uint32_t deviceIndex_;
    uint32_t portId_;
    uint32_t deviceId_;
};
