#include "devices/HiddenInput.h"

#include <cstring>

#include "devices/DevType.h"
#include "devices/DevicePresence.h"
#include "devices/DuskerCodec.h"
#include "ks/KsMidi.h"
#include "ks/KsOsApi.h"
#include "midi/WinMM.h"
#include "support/Diagnostics.h"

static_assert(sizeof(KSMUSICFORMAT) == 8, "KSMUSICFORMAT layout");

namespace {

// Filters keep their pins as CKsPin*.
CKsPin* pinAt(const PtrList& pins, unsigned index) { return static_cast<CKsPin*>(pins.GetAt(index)); }

}  // namespace

HiddenInput::HiddenInput(CKsMidiFilter* filter, unsigned pinIndex, IDevType* row)
    : HiddenInput(filter, pinIndex, row, DeferredStart{}) {
    startReader();
}

HiddenInput::HiddenInput(CKsMidiFilter* filter, unsigned pinIndex, IDevType* row, DeferredStart)
    : filter_(filter),
      pin_(filter ? pinAt(filter->OutSinkPins(), pinIndex) : nullptr),
      block_(new ReadBlock()),
      stopEvent_(CreateEventA(NULL, TRUE, FALSE, NULL)),
      thread_(NULL),
      stop_(false),
      stopped_(false),
      row_(row) {
    if (filter_) filter_->AddRef();
    resetStreamHeader();
    block_->overlapped.hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
}

void HiddenInput::startReader() {
    if (pin_ == nullptr || block_->overlapped.hEvent == NULL || stopEvent_ == NULL) return;
    thread_ = CreateThread(NULL, 0, readerMain, this, 0, NULL);
}

HiddenInput::~HiddenInput() {
    stopReader();
    lowerPin();
    if (filter_) filter_->Release();
    if (block_) {
        if (block_->overlapped.hEvent) CloseHandle(block_->overlapped.hEvent);
        delete block_;
    }
    if (stopEvent_) CloseHandle(stopEvent_);
    if (thread_) CloseHandle(thread_);
}

void HiddenInput::stopReader() {
    if (stopped_) return;
    stopped_ = true;
    stop_ = true;
    if (stopEvent_) SetEvent(stopEvent_);
    // The reader ends in bounded time: its own cancellation wait is bounded, and so is a
    // queue's lock wait inside decodeReceived. Polled rather than joined, as the reader
    // may be inside that wait.
    DWORD code = 0;
    do {
        Sleep(10);
    } while (thread_ && GetExitCodeThread(thread_, &code) && code == STILL_ACTIVE);
}

void HiddenInput::lowerPin() {
    if (!pin_) return;
    pin_->SetState(KSSTATE_PAUSE);
    pin_->SetState(KSSTATE_ACQUIRE);
    pin_->SetState(KSSTATE_STOP);
}

void HiddenInput::resetStreamHeader() {
    KSSTREAM_HEADER& header = block_->header;
    std::memset(&header, 0, sizeof header);
    header.Size = sizeof(KSSTREAM_HEADER);
    header.PresentationTime.Time = 0;
    header.PresentationTime.Numerator = 1;
    header.PresentationTime.Denominator = 1;
    header.FrameExtent = kFrameExtent;
    header.DataUsed = 0;
    header.Data = block_->buffer;
}

DWORD WINAPI HiddenInput::readerMain(void* self) {
    try {
        return static_cast<HiddenInput*>(self)->read();
    } catch (const std::exception& e) {
        diagnosticPrint("HiddenInput::readerMain: the reader ended on an exception: %s\n", e.what());
    } catch (...) {
        diagnosticPrint("HiddenInput::readerMain: the reader ended on an unknown exception\n");
    }
    return kExitException;
}

DWORD HiddenInput::read() {
    if (pin_->Instantiate(FALSE) < 0) return kExitInstantiate;
    if (pin_->SetState(KSSTATE_ACQUIRE) < 0) return kExitAcquire;
    if (pin_->SetState(KSSTATE_PAUSE) < 0) return kExitPause;
    if (pin_->SetState(KSSTATE_RUN) < 0) return kExitRun;
    KSMUSICFORMAT* frame = reinterpret_cast<KSMUSICFORMAT*>(block_->buffer);
    const uint8_t* midi = block_->buffer + sizeof(KSMUSICFORMAT);
    // The stop event wakes the reader even when the driver reset the read event as the
    // read started, after the stop had already been signalled.
    const HANDLE wakers[2] = {block_->overlapped.hEvent, stopEvent_};
    while (!stop_) {
        resetStreamHeader();
        // A read that ends empty, failed or cancelled must not hand on the last bytes.
        frame->ByteCount = 0;
        if (FAILED(pin_->ReadData(&block_->header, &block_->overlapped))) {
            // Nothing outstanding: only the stop ends the wait.
            WaitForSingleObject(stopEvent_, INFINITE);
            break;
        }
        if (stop_ || WaitForMultipleObjects(2, wakers, FALSE, INFINITE) != WAIT_OBJECT_0 || stop_) {
            endRead();
            break;
        }
        // Decoded only when the driver completed the read and handed a header back.
        DWORD transferred = 0;
        if (!KsOs().GetOverlappedResult(pin_->GetHandle(), &block_->overlapped, &transferred, FALSE) ||
            transferred == 0)
            continue;
        const uint64_t timestamp = static_cast<uint64_t>(winmm().timeGetTime()) * 1000000ull;
        // Only the first entry is decoded; a count beyond the frame is cut to what it holds.
        uint32_t count = frame->ByteCount;
        if (count > kMaxReadBytes) count = kMaxReadBytes;
        decodeReceived(midi, static_cast<int32_t>(count), timestamp);
    }
    return 0;
}

void HiddenInput::endRead() {
    DWORD transferred = 0;
    const HANDLE pin = pin_->GetHandle();
    if (KsOs().GetOverlappedResult(pin, &block_->overlapped, &transferred, FALSE) ||
        GetLastError() != ERROR_IO_INCOMPLETE)
        return;
    KsOs().CancelIo(pin);
    if (WaitForSingleObject(block_->overlapped.hEvent, kCancelTimeoutMs) == WAIT_OBJECT_0) return;
    diagnosticPrint("HiddenInput::endRead: the driver kept a cancelled read; its buffer stays allocated\n");
    block_ = nullptr;
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
