#include "devices/HiddenInput.h"

#include <atomic>
#include <cstring>
#include <mutex>

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

// One KSMUSICFORMAT entry of at most 12 MIDI bytes, in a 40-byte frame.
constexpr size_t kReadBytes = 40;

}  // namespace

struct HiddenInput::Reader {
    Reader(HiddenInput* owner, CKsPin* readPin)
        : block("HiddenInput::endRead", kReadBytes),
          pin(readPin),
          stopEvent(CreateEventA(NULL, TRUE, FALSE, NULL)),
          stop(false),
          port(owner),
          holders(1) {
        if (block.valid()) block.header().overlapped.hEvent = block.event();
    }
    ~Reader() {
        if (stopEvent) CloseHandle(stopEvent);
    }

    InFlightBlock<KsStreamRequest> block;  // the reader's, and the driver's while a read is out
    CKsPin* pin;                           // the filter's; the reader brings it up
    HANDLE stopEvent;                      // set once by the port; no driver touches it
    std::atomic<bool> stop;                // set once by the port
    std::mutex portLock;                   // held while the reader hands bytes to the port
    HiddenInput* port;                     // NULL once the port has left the reader behind
    std::atomic<int> holders;              // the port, and the thread while it runs
};

HiddenInput::HiddenInput(CKsMidiFilter* filter, unsigned pinIndex, IDevType* row)
    : HiddenInput(filter, pinIndex, row, DeferredStart{}) {
    startReader();
}

HiddenInput::HiddenInput(CKsMidiFilter* filter, unsigned pinIndex, IDevType* row, DeferredStart)
    : filter_(filter),
      pin_(filter ? pinAt(filter->OutSinkPins(), pinIndex) : nullptr),
      reader_(new Reader(this, pin_)),
      thread_(NULL),
      stopped_(false),
      readerLeft_(false),
      row_(row) {
    if (filter_) filter_->AddRef();
}

void HiddenInput::startReader() {
    if (pin_ == nullptr || !reader_->block.valid() || reader_->stopEvent == NULL) return;
    ++reader_->holders;
    thread_ = CreateThread(NULL, 0, readerMain, reader_, 0, NULL);
    if (thread_ == NULL) --reader_->holders;
}

HiddenInput::~HiddenInput() {
    stopReader();
    // A reader left behind still uses the pin: the pin, and the filter that owns it, stay.
    if (!readerLeft_) {
        lowerPin();
        if (filter_) filter_->Release();
    }
    if (thread_) CloseHandle(thread_);
    letGo(reader_);
}

void HiddenInput::stopReader() {
    if (stopped_) return;
    stopped_ = true;
    reader_->stop = true;
    if (reader_->stopEvent) SetEvent(reader_->stopEvent);
    if (thread_ == NULL) return;
    const ULONGLONG deadline = GetTickCount64() + kStopTimeoutMs;
    DWORD code = 0;
    do {
        Sleep(10);
    } while (GetExitCodeThread(thread_, &code) && code == STILL_ACTIVE && GetTickCount64() < deadline);
    if (code != STILL_ACTIVE) return;
    {
        std::lock_guard<std::mutex> lock(reader_->portLock);
        reader_->port = nullptr;
    }
    readerLeft_ = true;
    diagnosticPrint("HiddenInput::stopReader: the reader did not stop within %lu ms; it is left to end on its own\n",
                    static_cast<unsigned long>(kStopTimeoutMs));
}

void HiddenInput::letGo(Reader* reader) {
    if (--reader->holders == 0) delete reader;
}

void HiddenInput::lowerPin() {
    if (!pin_) return;
    pin_->SetState(KSSTATE_PAUSE);
    pin_->SetState(KSSTATE_ACQUIRE);
    pin_->SetState(KSSTATE_STOP);
}

DWORD WINAPI HiddenInput::readerMain(void* arg) {
    Reader* reader = static_cast<Reader*>(arg);
    DWORD code = kExitException;
    try {
        code = read(*reader);
    } catch (const std::exception& e) {
        diagnosticPrint("HiddenInput::readerMain: the reader ended on an exception: %s\n", e.what());
    } catch (...) {
        diagnosticPrint("HiddenInput::readerMain: the reader ended on an unknown exception\n");
    }
    {
        // Left behind: nobody else will take the pin down.
        std::lock_guard<std::mutex> lock(reader->portLock);
        if (reader->port == nullptr) reader->pin->ClosePin();
    }
    letGo(reader);
    return code;
}

DWORD HiddenInput::read(Reader& r) {
    if (r.pin->Instantiate(FALSE) < 0) return kExitInstantiate;
    if (r.pin->SetState(KSSTATE_ACQUIRE) < 0) return kExitAcquire;
    if (r.pin->SetState(KSSTATE_PAUSE) < 0) return kExitPause;
    if (r.pin->SetState(KSSTATE_RUN) < 0) return kExitRun;
    KsStreamRequest& request = r.block.header();
    KSMUSICFORMAT* frame = reinterpret_cast<KSMUSICFORMAT*>(r.block.data());
    const uint8_t* midi = r.block.data() + sizeof(KSMUSICFORMAT);
    // The stop event wakes the reader even when the driver reset the read event as the
    // read started, after the stop had already been signalled.
    const HANDLE wakers[2] = {r.block.event(), r.stopEvent};
    int failures = 0;
    while (!r.stop) {
        KSSTREAM_HEADER& header = request.header;
        std::memset(&header, 0, sizeof header);
        header.Size = sizeof(KSSTREAM_HEADER);
        header.PresentationTime.Numerator = 1;
        header.PresentationTime.Denominator = 1;
        header.FrameExtent = kFrameExtent;
        header.Data = r.block.data();
        // A read that ends empty, failed or cancelled must not hand on the last bytes.
        frame->ByteCount = 0;
        if (FAILED(r.pin->ReadData(&request.header, &request.overlapped))) {
            if (!retryAfterFailure(r, ++failures)) break;
            continue;
        }
        r.block.handOver();
        bool stopping = false;
        while (!stopping && !r.block.wait(0))
            stopping = r.stop || WaitForMultipleObjects(2, wakers, FALSE, INFINITE) != WAIT_OBJECT_0 || r.stop;
        if (stopping) {
            endRead(r);
            break;
        }
        // Decoded only when the driver completed the read and handed a header back.
        DWORD transferred = 0;
        if (!KsOs().GetOverlappedResult(r.pin->GetHandle(), &request.overlapped, &transferred, FALSE)) {
            if (!retryAfterFailure(r, ++failures)) break;
            continue;
        }
        failures = 0;
        if (transferred == 0) continue;
        const uint64_t timestamp = static_cast<uint64_t>(winmm().timeGetTime()) * 1000000ull;
        // Only the first entry is decoded; a count beyond the frame is cut to what it holds.
        uint32_t count = frame->ByteCount;
        if (count > kMaxReadBytes) count = kMaxReadBytes;
        deliver(r, midi, static_cast<int32_t>(count), timestamp);
    }
    return failures >= kMaxFailedReads ? kExitReadsFailing : 0;
}

bool HiddenInput::retryAfterFailure(Reader& r, int failures) {
    if (failures >= kMaxFailedReads) {
        diagnosticPrint("HiddenInput::read: %d reads failed running; the port falls silent\n", failures);
        return false;
    }
    DWORD pause = kFirstRetryMs << (failures - 1);
    if (pause > kLongestRetryMs) pause = kLongestRetryMs;
    return WaitForSingleObject(r.stopEvent, pause) == WAIT_TIMEOUT && !r.stop;
}

void HiddenInput::endRead(Reader& r) {
    if (r.block.wait(0)) return;
    if (!r.block.cancelAndWait([&r] { KsOs().CancelIo(r.pin->GetHandle()); }, kCancelTimeoutMs)) r.block.abandon();
}

void HiddenInput::deliver(Reader& r, const uint8_t* bytes, int32_t count, uint64_t timestamp) {
    std::lock_guard<std::mutex> lock(r.portLock);
    if (r.port) r.port->decodeReceived(bytes, count, timestamp);
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
