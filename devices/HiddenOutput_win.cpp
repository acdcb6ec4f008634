#include "devices/HiddenOutput.h"

#include <cstring>

#include "devices/DevType.h"
#include "devices/DevicePresence.h"
#include "ks/KsMidi.h"
#include "ks/KsOsApi.h"
#include "support/Diagnostics.h"

HiddenOutputPort::HiddenOutputPort(CKsMidiFilter* filter, unsigned pinIndex, IDevType* row, int packetSize)
    : packet_(packetSize),
      frame_(reinterpret_cast<KSMUSICFORMAT*>(writeBuffer_)),
      data_(writeBuffer_ + sizeof(KSMUSICFORMAT)),
      filter_(filter),
      pin_(filter ? static_cast<CKsMidiPin*>(filter->InSinkPins().GetAt(pinIndex)) : nullptr),
      row_(row) {
    std::memset(writeBuffer_, 0, sizeof writeBuffer_);
    std::memset(&header_, 0, sizeof header_);
    header_.Size = sizeof(KSSTREAM_HEADER);
    header_.PresentationTime.Numerator = 1;
    header_.PresentationTime.Denominator = 1;
    header_.FrameExtent = static_cast<ULONG>(packet_.size()) + 12;
    // The driver reads the entry's ByteCount; DataUsed stays at 12 for every size.
    header_.DataUsed = 12;
    header_.Data = writeBuffer_;
    std::memset(&overlapped_, 0, sizeof overlapped_);
    // Signalled: no write is in flight yet.
    overlapped_.hEvent = CreateEventA(NULL, FALSE, TRUE, NULL);
    if (filter_) filter_->AddRef();
    bool started = pin_ != nullptr && overlapped_.hEvent != NULL && pin_->Instantiate(FALSE) >= 0 &&
                   pin_->SetState(KSSTATE_ACQUIRE) >= 0 && pin_->SetState(KSSTATE_PAUSE) >= 0 &&
                   pin_->SetState(KSSTATE_RUN) >= 0;
    if (!started) {
        if (overlapped_.hEvent) CloseHandle(overlapped_.hEvent);
        lowerPin();
        if (filter_) filter_->Release();
        throw GeneralError("HiddenOutput creation failed");
    }
}

HiddenOutputPort::~HiddenOutputPort() {
    // A write still in flight gets its chance to complete before the buffers go away.
    WaitForSingleObject(overlapped_.hEvent, kWriteTimeoutMs);
    CloseHandle(overlapped_.hEvent);
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

void HiddenOutputPort::sendPending() {
    if (packet_.pending() == 0) return;
    if (WaitForSingleObject(overlapped_.hEvent, kWriteTimeoutMs) != WAIT_OBJECT_0) {
        packet_.clear();
        throw GeneralError("Sysex output timeout");
    }
    frame_->TimeDeltaMs = 0;
    frame_->ByteCount = static_cast<ULONG>(packet_.pending());
    std::memcpy(data_, packet_.data(), static_cast<size_t>(packet_.pending()));
    pin_->WriteData(&header_, &overlapped_);
    packet_.clear();
}

bool HiddenOutputPort::sendSysex(MIDI::SysexMessage& message) {
    for (uint8_t b : message.bytes) append(b);
    return true;
}

bool HiddenOutputPort::sendShort(MIDI::ShortMessage& message) {
    append(message.status);
    append(static_cast<uint8_t>(message.data1));
    append(static_cast<uint8_t>(message.data2));
    return true;
}

bool HiddenOutputPort::flush() {
    sendPending();
    // An idle port's event is signalled, so this only waits for a write in flight.
    if (WaitForSingleObject(overlapped_.hEvent, kWriteTimeoutMs) != WAIT_OBJECT_0) return false;
    // The write is over; the event goes back to "no write in flight".
    SetEvent(overlapped_.hEvent);
    DWORD transferred = 0;
    return KsOs().GetOverlappedResult(pin_->GetHandle(), &overlapped_, &transferred, FALSE) != FALSE;
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
