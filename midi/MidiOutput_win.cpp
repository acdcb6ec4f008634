#include "midi/MidiOutput.h"

#include <cstring>

#include "midi/PortIdHash.h"
#include "midi/PortNaming.h"
#include "midi/WinMM.h"
#include "support/Diagnostics.h"

MidiOutput::MidiOutput(uint32_t deviceIndex)
    : handle_(NULL),
      completion_(CreateEventA(NULL, FALSE, TRUE, NULL)),
      deviceIndex_(deviceIndex),
      portId_(portIdHash(getOutputPortName(static_cast<int32_t>(deviceIndex), true, true))),
      deviceId_(portIdHash(getOutputPortName(static_cast<int32_t>(deviceIndex), true, false))) {
    std::memset(&header_, 0, sizeof(header_));
    std::memset(sysexBuffer_, 0, sizeof(sysexBuffer_));
    const WinMM& mm = winmm();
    // Without the event nothing would ever tell us a message completed.
    MMRESULT result = MMSYSERR_NOMEM;
    if (completion_)
        result = mm.midiOutOpen(&handle_, deviceIndex_, reinterpret_cast<DWORD_PTR>(completion_),
                                0, CALLBACK_EVENT);
    if (result != MMSYSERR_NOERROR) {
        if (handle_) {
            mm.midiOutReset(handle_);
            mm.midiOutClose(handle_);
            handle_ = NULL;
        }
        if (completion_) CloseHandle(completion_);
        throw GeneralError("midiOutOpen failed");
    }
}

MidiOutput::~MidiOutput() {
    if (handle_) {
        const WinMM& mm = winmm();
        // A message counted as sent must not be cut off by the reset; the wait is bounded
        // like every other wait for the driver.
        WaitForSingleObject(completion_, kCompletionWaitMs);
        mm.midiOutReset(handle_);
        mm.midiOutClose(handle_);
        handle_ = NULL;
    }
    CloseHandle(completion_);
}

// Nothing is in flight after a failure past the wait, so the signal the wait took is given
// back: the next call must not wait for a completion that will never come.
bool MidiOutput::failAfterWait() {
    SetEvent(completion_);
    return false;
}

bool MidiOutput::sendSysex(MIDI::SysexMessage& message) {
    const size_t length = message.bytes.size();
    if (length > sizeof(sysexBuffer_)) return false;
    // The previous message must be done before its buffer is reused; 1000 ms bounds the
    // time a call blocks on a driver that has stopped answering.
    if (WaitForSingleObject(completion_, kCompletionWaitMs) != WAIT_OBJECT_0) return false;
    const WinMM& mm = winmm();
    if (mm.midiOutUnprepareHeader(handle_, &header_, sizeof(header_)) != MMSYSERR_NOERROR)
        return failAfterWait();
    if (length) std::memcpy(sysexBuffer_, message.bytes.data(), length);
    std::memset(&header_, 0, sizeof(header_));
    header_.lpData = reinterpret_cast<LPSTR>(sysexBuffer_);
    header_.dwBufferLength = static_cast<DWORD>(length);
    if (mm.midiOutPrepareHeader(handle_, &header_, sizeof(header_)) != MMSYSERR_NOERROR)
        return failAfterWait();
    if (mm.midiOutLongMsg(handle_, &header_, sizeof(header_)) != MMSYSERR_NOERROR)
        return failAfterWait();
    return true;
}

bool MidiOutput::sendShort(MIDI::ShortMessage& message) {
    const DWORD packed = static_cast<DWORD>(message.status) |
                         (static_cast<DWORD>(message.data1 & 0xFF) << 8) |
                         (static_cast<DWORD>(message.data2 & 0xFF) << 16);
    return winmm().midiOutShortMsg(handle_, packed) == MMSYSERR_NOERROR;
}

bool MidiOutput::isPresent() {
    MIDIOUTCAPSA caps;
    return winmm().midiOutGetDevCapsA(reinterpret_cast<UINT_PTR>(handle_), &caps, sizeof(caps)) ==
           MMSYSERR_NOERROR;
}

// A message is handed to WinMM whole, so there is nothing held back; waiting for the one
// in flight tells the caller that its last message arrived.
bool MidiOutput::flush() {
    if (WaitForSingleObject(completion_, kCompletionWaitMs) != WAIT_OBJECT_0) return false;
    SetEvent(completion_);
    return true;
}
