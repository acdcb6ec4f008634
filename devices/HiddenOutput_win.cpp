#include "devices/HiddenOutput.h"

#include <cstring>

#include "devices/DevType.h"
#include "devices/DevicePresence.h"
#include "devices/DuskerCodec.h"
#include "ks/KsMidi.h"
#include "ks/KsOsApi.h"
#include "support/Diagnostics.h"

HiddenOutputPort::HiddenOutputPort(CKsMidiFilter* filter, unsigned pinIndex, IDevType* row, int packetSize)
    : packet_(packetSize),
      block_("HiddenOutput::~HiddenOutput", kFrameBytes),
      failed_(false),
      filter_(filter),
      pin_(filter ? static_cast<CKsPin*>(filter->InSinkPins().GetAt(pinIndex)) : nullptr),
      row_(row) {
    if (filter_) filter_->AddRef();
    if (block_.valid()) {
        KSSTREAM_HEADER& header = block_.header().header;
        header.Size = sizeof(KSSTREAM_HEADER);
        header.PresentationTime.Numerator = 1;
        header.PresentationTime.Denominator = 1;
        header.FrameExtent = static_cast<ULONG>(packet_.size()) + 12;
        // The driver reads the entry's ByteCount; DataUsed stays at 12 for every size.
        header.DataUsed = 12;
        header.Data = block_.data();
        block_.header().overlapped.hEvent = block_.event();
    }
    bool started = pin_ != nullptr && block_.valid() && pin_->Instantiate(FALSE) >= 0 &&
                   pin_->SetState(KSSTATE_ACQUIRE) >= 0 && pin_->SetState(KSSTATE_PAUSE) >= 0 &&
                   pin_->SetState(KSSTATE_RUN) >= 0;
    if (!started) {
        lowerPin();
        if (filter_) filter_->Release();
        throw GeneralError("HiddenOutput creation failed");
    }
}

HiddenOutputPort::~HiddenOutputPort() {
    // A write still in flight gets its time to complete, then is cancelled; cancellation
    // is asynchronous, so the block stays the driver's until it has come back.
    if (!block_.wait(kWriteTimeoutMs) &&
        !block_.cancelAndWait([this] { KsOs().CancelIoEx(pin_->GetHandle(), &block_.header().overlapped); },
                              kCancelTimeoutMs))
        block_.abandon();
    lowerPin();
    if (filter_) filter_->Release();
}

void HiddenOutputPort::lowerPin() {
    if (!pin_) return;
    pin_->SetState(KSSTATE_PAUSE);
    pin_->SetState(KSSTATE_ACQUIRE);
    pin_->SetState(KSSTATE_STOP);
}

void HiddenOutputPort::append(uint8_t b) {
    if (packet_.append(b)) sendPending();
}

bool HiddenOutputPort::awaitWrite() {
    if (!block_.inFlight()) return true;
    if (!block_.wait(kWriteTimeoutMs)) return false;
    DWORD transferred = 0;
    if (!KsOs().GetOverlappedResult(pin_->GetHandle(), &block_.header().overlapped, &transferred, FALSE))
        failed_ = true;
    return true;
}

void HiddenOutputPort::sendPending() {
    if (packet_.pending() == 0) return;
    if (!awaitWrite()) {
        packet_.clear();
        throw GeneralError("Sysex output timeout");
    }
    KSMUSICFORMAT* frame = reinterpret_cast<KSMUSICFORMAT*>(block_.data());
    frame->TimeDeltaMs = 0;
    frame->ByteCount = static_cast<ULONG>(packet_.pending());
    std::memcpy(block_.data() + sizeof(KSMUSICFORMAT), packet_.data(), static_cast<size_t>(packet_.pending()));
    // A write refused at once is a failed write with nothing in flight.
    if (SUCCEEDED(pin_->WriteData(&block_.header().header, &block_.header().overlapped)))
        block_.handOver();
    else
        failed_ = true;
    packet_.clear();
}

bool HiddenOutputPort::sendSysex(MIDI::SysexMessage& message) {
    if (failed_) return false;
    for (uint8_t b : message.bytes) append(b);
    return true;
}

bool HiddenOutputPort::sendShort(MIDI::ShortMessage& message) {
    if (failed_) return false;
    append(message.status);
    append(static_cast<uint8_t>(message.data1));
    append(static_cast<uint8_t>(message.data2));
    return true;
}

bool HiddenOutputPort::flush() {
    sendPending();
    if (!awaitWrite()) return false;
    const bool ok = !failed_;
    failed_ = false;
    return ok;
}

uint32_t HiddenOutputPort::getPortId() { return getDeviceId(); }

uint32_t HiddenOutputPort::getDeviceId() { return row_->getDeviceId(filter_); }

bool HiddenOutputPort::isPresent() { return devicePathOpens(filter_); }

DuskerOutput::DuskerOutput(CKsMidiFilter* filter, unsigned pinIndex, IDevType* row)
    : HiddenOutput<8>(filter, pinIndex, row) {
    for (int32_t& value : remembered_) value = -1;
}

void DuskerOutput::initialise() {
    // The first packet must fit beside what is pending; more than 5 bytes go out first.
    if (packet().pending() > packet().size() - static_cast<int>(sizeof kDuskerStartReset)) sendPending();
    for (uint8_t b : kDuskerStartReset) append(b);
    sendPending();
    for (uint8_t b : kDuskerStartMode) append(b);
    sendPending();
    Sleep(kDuskerStartPauseMs);
    for (uint8_t b : kDuskerStartLeds) append(b);
    sendPending();
}

bool DuskerOutput::sendShort(MIDI::ShortMessage& message) {
    if (failureKept()) return false;
    const int32_t controller = message.data1;
    if (controller < 0 || controller > 127) return false;
    const int32_t value = message.data2;
    if (remembered_[controller] == value) return true;
    if (packet().free() < 2) sendPending();
    append(static_cast<uint8_t>(controller));
    append(static_cast<uint8_t>(value));
    // Remembered only once handed on: a value lost to a time-out is sent again next time.
    remembered_[controller] = value;
    return true;
}
