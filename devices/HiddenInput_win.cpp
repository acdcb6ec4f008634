#include "devices/HiddenInput.h"

#include <cstring>

#include "devices/DevType.h"
#include "devices/DevicePresence.h"
#include "devices/DuskerCodec.h"
#include "ks/KsMidi.h"
#include "ks/KsOsApi.h"
#include "midi/WinMM.h"

static_assert(sizeof(KSMUSICFORMAT) == 8, "KSMUSICFORMAT layout");

namespace {

CKsPin* pinAt(const PtrList& pins, unsigned index) {
    return static_cast<CKsMidiPin*>(pins.GetAt(index));
}

}  // namespace

HiddenInput::HiddenInput(CKsMidiFilter* filter, unsigned pinIndex, IDevType* row)
    : HiddenInput(filter, pinIndex, row, DeferredStart{}) {
    startReader();
}

HiddenInput::HiddenInput(CKsMidiFilter* filter, unsigned pinIndex, IDevType* row, DeferredStart)
    : filter_(filter),
      pin_(filter ? pinAt(filter->OutSinkPins(), pinIndex) : nullptr),
      frame_(reinterpret_cast<KSMUSICFORMAT*>(buffer_)),
      midi_(buffer_ + sizeof(KSMUSICFORMAT)),
      thread_(NULL),
      stop_(false),
      stopped_(false),
      row_(row) {
    if (filter_) filter_->AddRef();
    std::memset(buffer_, 0, sizeof buffer_);
    resetStreamHeader();
    std::memset(&overlapped_, 0, sizeof overlapped_);
    overlapped_.hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
}

void HiddenInput::startReader() {
    if (pin_ == nullptr || overlapped_.hEvent == NULL) return;
    thread_ = CreateThread(NULL, 0, readerMain, this, 0, NULL);
}

HiddenInput::~HiddenInput() {
    stopReader();
    lowerPin();
    if (filter_) filter_->Release();
    if (overlapped_.hEvent) CloseHandle(overlapped_.hEvent);
    if (thread_) CloseHandle(thread_);
}

void HiddenInput::stopReader() {
    if (stopped_) return;
    stopped_ = true;
    if (pin_) KsOs().CancelIo(pin_->GetHandle());
    stop_ = true;
    if (overlapped_.hEvent) SetEvent(overlapped_.hEvent);
    // Polled rather than joined: the reader may be inside a queue's bounded lock wait.
    DWORD code = 0;
    do {
        Sleep(10);
    } while (thread_ && GetExitCodeThread(thread_, &code) && code == STILL_ACTIVE);
}

// Stopping the pin also ends a read still outstanding, before its buffers go away.
void HiddenInput::lowerPin() {
    if (!pin_) return;
    pin_->SetState(KSSTATE_PAUSE);
    pin_->SetState(KSSTATE_ACQUIRE);
    pin_->SetState(KSSTATE_STOP);
}

void HiddenInput::resetStreamHeader() {
    std::memset(&header_, 0, sizeof header_);
    header_.Size = sizeof(KSSTREAM_HEADER);
    header_.PresentationTime.Time = 0;
    header_.PresentationTime.Numerator = 1;
    header_.PresentationTime.Denominator = 1;
    header_.FrameExtent = kFrameExtent;
    header_.DataUsed = 0;
    header_.Data = buffer_;
}

DWORD WINAPI HiddenInput::readerMain(void* self) { return static_cast<HiddenInput*>(self)->read(); }

DWORD HiddenInput::read() {
    if (pin_->Instantiate(FALSE) < 0) return kExitInstantiate;
    if (pin_->SetState(KSSTATE_ACQUIRE) < 0) return kExitAcquire;
    if (pin_->SetState(KSSTATE_PAUSE) < 0) return kExitPause;
    if (pin_->SetState(KSSTATE_RUN) < 0) return kExitRun;
    while (!stop_) {
        resetStreamHeader();
        // A read that ends empty, failed or cancelled must not hand on the last bytes.
        frame_->ByteCount = 0;
        pin_->ReadData(&header_, &overlapped_);
        if (WaitForSingleObject(overlapped_.hEvent, INFINITE) != WAIT_OBJECT_0 || stop_) continue;
        // Decoded only when the driver completed the read and handed a header back.
        DWORD transferred = 0;
        if (!KsOs().GetOverlappedResult(pin_->GetHandle(), &overlapped_, &transferred, FALSE) || transferred == 0)
            continue;
        const uint64_t timestamp = static_cast<uint64_t>(winmm().timeGetTime()) * 1000000ull;
        // Only the first entry is decoded; a count beyond the frame is cut to what it holds.
        uint32_t count = frame_->ByteCount;
        if (count > kMaxReadBytes) count = kMaxReadBytes;
        decodeReceived(midi_, static_cast<int32_t>(count), timestamp);
    }
    return 0;
}

void HiddenInput::decodeReceived(const uint8_t* bytes, int32_t count, uint64_t timestamp) {
    parseInput(bytes, count, timestamp);
}

uint32_t HiddenInput::getPortId() { return getDeviceId(); }

uint32_t HiddenInput::getDeviceId() { return row_->getDeviceId(filter_); }

bool HiddenInput::isPresent() { return devicePathOpens(filter_); }

bool HiddenInput::readerExitCode(DWORD* code) const {
    return thread_ != NULL && GetExitCodeThread(thread_, code) != FALSE;
}

DuskerInput::DuskerInput(CKsMidiFilter* filter, unsigned pinIndex, IDevType* row)
    : HiddenInput(filter, pinIndex, row, DeferredStart{}), held_(0) {
    startReader();
}

DuskerInput::~DuskerInput() { stopReader(); }

void DuskerInput::decodeReceived(const uint8_t* bytes, int32_t count, uint64_t timestamp) {
    for (const DuskerControlChange& change : decodeDuskerReport(bytes, count, held_)) {
        MIDI::ShortMessage message;
        message.status = 0xB0;
        message.data1 = change.controller;
        message.data2 = change.value;
        message.timestamp = timestamp;
        pushShortMessage(message);
    }
}
