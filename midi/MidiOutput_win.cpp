#include "midi/MidiOutput.h"

#include <cstring>
#include <new>

#include "midi/PortIdHash.h"
#include "midi/PortNaming.h"
#include "midi/WinMM.h"
#include "support/Diagnostics.h"

// The records WinMM reads and writes must have the layout its ABI fixes.
static_assert(sizeof(MIDIHDR) == (sizeof(void*) == 8 ? 112 : 64), "MIDIHDR layout");
static_assert(sizeof(MIDIOUTCAPSA) == 52, "MIDIOUTCAPSA layout");

MidiOutput::MidiOutput(uint32_t deviceIndex)
    : transfer_("MidiOutput::~MidiOutput", kSysexBufferSize),
      handle_(NULL),
      deviceIndex_(deviceIndex),
      portId_(portIdHash(getOutputPortName(static_cast<int32_t>(deviceIndex), true, true))),
      deviceId_(portIdHash(getOutputPortName(static_cast<int32_t>(deviceIndex), true, false))) {
    // Without the event nothing would ever tell us a message completed.
    if (transfer_.event() == NULL) {
        diagnosticPrint("MidiOutput: CreateEventA failed (%lu)\n", GetLastError());
        throw GeneralError("midiOutOpen failed");
    }
    if (!transfer_.valid()) throw std::bad_alloc();
    const WinMM& mm = winmm();
    const MMRESULT result = mm.midiOutOpen(&handle_, deviceIndex_, reinterpret_cast<DWORD_PTR>(transfer_.event()),
                                           0, CALLBACK_EVENT);
    if (result != MMSYSERR_NOERROR) {
        report("open", "midiOutOpen", result);
        if (handle_) {
            mm.midiOutReset(handle_);
            mm.midiOutClose(handle_);
            handle_ = NULL;
        }
        throw GeneralError("midiOutOpen failed");
    }
}

namespace {
// A close refused for want of memory is tried again this often, this far apart: the port is
// exclusive, so a handle kept open would refuse every later open of the instrument.
const int kCloseRetries = 5;
const DWORD kCloseRetryMs = 20;
// The resets' all-notes-off at cable speed.
const DWORD kResetNotesOffMs = 16 * 3 * 1000 / MidiOutput::kCableBytesPerSecond;
static_assert(MidiOutput::completionBoundMs(MidiOutput::kSysexBufferSize) + kCancelledRequestBoundMs +
                      kCloseRetries * kCloseRetryMs + 2 * kResetNotesOffMs <=
                  MidiOutput::kLongestReleaseMs,
              "the destructor's waits fit the bound the program allows it");
}  // namespace

MidiOutput::~MidiOutput() {
    if (!handle_) return;
    const WinMM& mm = winmm();
    // A message counted as sent must not be cut off by the reset.
    waitForCompletion();
    MMRESULT result = mm.midiOutReset(handle_);
    if (result != MMSYSERR_NOERROR) report("close", "midiOutReset", result);
    result = mm.midiOutClose(handle_);
    if (result == MIDIERR_STILLPLAYING) {
        // The driver still holds the header: have it handed back, then close again.
        report("close", "midiOutClose", result);
        transfer_.cancelAndWait(
            [&] {
                const MMRESULT reset = mm.midiOutReset(handle_);
                if (reset != MMSYSERR_NOERROR) report("close", "midiOutReset", reset);
            },
            kCancelledRequestBoundMs);
        result = mm.midiOutUnprepareHeader(handle_, &transfer_.header(), sizeof(MIDIHDR));
        if (result != MMSYSERR_NOERROR) report("close", "midiOutUnprepareHeader", result);
        result = mm.midiOutClose(handle_);
    }
    // Short of memory for a moment: nothing is queued, so the close is only tried again.
    for (int attempt = 0; result == MMSYSERR_NOMEM && attempt < kCloseRetries; ++attempt) {
        report("close", "midiOutClose", result);
        Sleep(kCloseRetryMs);
        result = mm.midiOutClose(handle_);
    }
    if (result != MMSYSERR_NOERROR) {
        report("close", "midiOutClose", result);
        // The handle stays open: its driver may still read the buffer, write the header
        // and signal the event, so they are never freed.
        transfer_.abandon();
    }
    handle_ = NULL;
}

void MidiOutput::report(const char* operation, const char* call, MMRESULT result) {
    diagnosticPrint("MidiOutput %s (device %u): %s failed: %s\n", operation, deviceIndex_, call,
                    mmresultName(result).c_str());
}

// The bound fits the message in flight: at cable speed a whole buffer takes 1.4 s to play.
bool MidiOutput::waitForCompletion() { return transfer_.wait(completionBoundMs(lastLength_)); }

bool MidiOutput::sendSysex(MIDI::SysexMessage& message) {
    const size_t length = message.bytes.size();
    if (length > kSysexBufferSize) return false;
    // The previous message must be done before its buffer is reused.
    if (!waitForCompletion()) return false;
    const WinMM& mm = winmm();
    MIDIHDR& header = transfer_.header();
    const char* call = "midiOutUnprepareHeader";
    MMRESULT result = mm.midiOutUnprepareHeader(handle_, &header, sizeof(header));
    if (result == MMSYSERR_NOERROR) {
        if (length) std::memcpy(transfer_.data(), message.bytes.data(), length);
        std::memset(&header, 0, sizeof(header));
        header.lpData = reinterpret_cast<LPSTR>(transfer_.data());
        header.dwBufferLength = static_cast<DWORD>(length);
        call = "midiOutPrepareHeader";
        result = mm.midiOutPrepareHeader(handle_, &header, sizeof(header));
    }
    if (result == MMSYSERR_NOERROR) {
        call = "midiOutLongMsg";
        result = mm.midiOutLongMsg(handle_, &header, sizeof(header));
    }
    if (result != MMSYSERR_NOERROR) {
        report("sendSysex", call, result);
        return false;
    }
    transfer_.handOver();
    lastLength_ = length;
    return true;
}

bool MidiOutput::sendShort(MIDI::ShortMessage& message) {
    const DWORD packed = static_cast<DWORD>(message.status) |
                         (static_cast<DWORD>(message.data1 & 0xFF) << 8) |
                         (static_cast<DWORD>(message.data2 & 0xFF) << 16);
    const MMRESULT result = winmm().midiOutShortMsg(handle_, packed);
    if (result != MMSYSERR_NOERROR) report("sendShort", "midiOutShortMsg", result);
    return result == MMSYSERR_NOERROR;
}

bool MidiOutput::isPresent() {
    MIDIOUTCAPSA caps;
    const MMRESULT result =
        winmm().midiOutGetDevCapsA(reinterpret_cast<UINT_PTR>(handle_), &caps, sizeof(caps));
    if (result != MMSYSERR_NOERROR) report("isPresent", "midiOutGetDevCapsA", result);
    return result == MMSYSERR_NOERROR;
}

std::string MidiOutput::deviceShortName() {
    MIDIOUTCAPSA caps = {};
    const MMRESULT result =
        winmm().midiOutGetDevCapsA(reinterpret_cast<UINT_PTR>(handle_), &caps, sizeof(caps));
    if (result != MMSYSERR_NOERROR) {
        report("deviceShortName", "midiOutGetDevCapsA", result);
        return std::string();
    }
    caps.szPname[MAXPNAMELEN - 1] = '\0';
    return winmmOutputPortName(caps.szPname, false, false);
}

// A message is handed to WinMM whole, so there is nothing held back; waiting for the one
// in flight tells the caller that its last message arrived.
bool MidiOutput::flush() { return waitForCompletion(); }
