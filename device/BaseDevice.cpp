#include "device/BaseDevice.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "device/ZephBinding.h"
#include "support/Diagnostics.h"

namespace {

// How long the program's own threads wait for a port in use (a start message being
// written); a library that never returns from a write must not hang the check flow.
const uint32_t kPortWaitMs = 10000;
const int kMaxDiagnostic = 8192;

}  // namespace

BaseDevice::BaseDevice(const char* name, int deviceNumber)
    : deviceNumber_(deviceNumber), sysex_(new uint8_t[kInitialSysexCapacity]) {
    std::snprintf(name_, sizeof name_, "%s", name ? name : "");
    dumpText_[0] = '\0';
    std::memset(ring_, 0, sizeof ring_);
}

BaseDevice::~BaseDevice() { unbind(); }

void BaseDevice::unbind() {
    // The binder ends first: a rebind must not run once the derived device is going. It
    // stays to be woken (in vain) by a callback that comes before the connection ends.
    if (binder_) binder_->stop();
    rebindPending_.store(false);
    destroyLibraryObject(input_);
    input_ = nullptr;
    destroyLibraryObject(output_);
    output_ = nullptr;
    dropConnection();
}

// Holds the ports for one use on a program thread and lets go at the end of the scope.
class BaseDevice::PortHold {
public:
    PortHold(BaseDevice& device, bool wait) : device_(device), held_(device.acquirePorts(wait)) {}
    ~PortHold() {
        if (!held_) return;
        device_.releasePorts();
        // A rebind asked for while this thread used the ports is done now, once; a later
        // request waits for the next use.
        if (device_.rebindPending_.load() && device_.acquirePorts(false)) device_.releasePorts();
    }
    PortHold(const PortHold&) = delete;
    PortHold& operator=(const PortHold&) = delete;
    explicit operator bool() const { return held_; }

private:
    BaseDevice& device_;
    bool held_;
};

bool BaseDevice::isConnected() {
    PortHold hold(*this, true);
    return hold && input_ && output_;
}

bool BaseDevice::hasOutput() {
    PortHold hold(*this, true);
    return hold && output_ != nullptr;
}

// Holding the ports: the lock, and not already in use further up this thread's stack
// (the library may call back into us from inside one of its own calls). A rebind that is
// pending is carried out before the ports are used.
bool BaseDevice::acquirePorts(bool wait) {
    if (!(wait ? portLock_.Lock(kPortWaitMs) : portLock_.TryLock())) return false;
    if (portsBusy_) {
        portLock_.Unlock();
        return false;
    }
    portsBusy_ = true;
    runPendingRebindsWithPortsHeld();
    return true;
}

void BaseDevice::releasePorts() {
    portsBusy_ = false;
    portLock_.Unlock();
}

// Bounded: a library that asks again during every rebind gets a few passes per use of the
// ports, never an endless loop; what is still pending waits for the next use.
void BaseDevice::runPendingRebindsWithPortsHeld() {
    for (int pass = 0; pass < kMaxRebindPasses && rebindPending_.exchange(false); ++pass) rebindWithPortsHeld();
}

// The binder's round: what a callback asked for, carried out without waiting for a use.
bool BaseDevice::runPendingRebindsOnBinder() {
    if (rebindPending_.load() && acquirePorts(true)) releasePorts();
    return rebindPending_.load();
}

void BaseDevice::connectDevice() {
    rebindPending_.store(true);
    PortHold hold(*this, true);
}

// Runs on whatever thread the library chooses: it only marks the rebind as pending and
// wakes the binder.
void BaseDevice::connectDeviceCallback(void* context) {
    BaseDevice* device = static_cast<BaseDevice*>(context);
    if (device->threadInCreateOrDestroy_.load() == currentThreadToken()) return;
    device->rebindPending_.store(true);
    if (BinderThread* binder = device->binderToWake_.load()) binder->wake();
}

// Only a real connection calls back, so only then is a thread of our own needed.
void BaseDevice::startBinder() {
    if (binder_) return;
    binder_.reset(new BinderThread([this] { return runPendingRebindsOnBinder(); },
                                   std::chrono::milliseconds(kRebindPauseMs)));
    if (!binder_->running()) {
        diagnosticPrint("no binder thread: a rebind the library asks for waits for the next use of the ports\n");
        return;
    }
    binderToWake_.store(binder_.get());
    if (rebindPending_.load()) binder_->wake();
}

void BaseDevice::dropConnection() {
    threadInCreateOrDestroy_.store(currentThreadToken());
    releaseConnection(connection_);
    threadInCreateOrDestroy_.store(0);
    connection_ = nullptr;
}

// Once an input is gone its stream has ended: a message it left half-delivered (the
// instrument went away mid-message) must not swallow the first one of the next input.
// No delivery is in flight: the input's destroy waited for it.
void BaseDevice::endInputStream() {
    fill_ = 0;
    skipToEnd_ = false;
    ringRead_ = ringWrite_;
    bankArmed_ = false;
    programArmed_ = false;
}

void BaseDevice::rebindWithPortsHeld() {
    dropConnection();
    destroyLibraryObject(input_);
    input_ = nullptr;
    destroyLibraryObject(output_);
    output_ = nullptr;
    endInputStream();

    threadInCreateOrDestroy_.store(currentThreadToken());
    connection_ = bindConnection(&BaseDevice::connectDeviceCallback, this);
    threadInCreateOrDestroy_.store(0);
    if (connection_ != &DummyConnection::instance()) startBinder();
    int count = connection_->count();
    for (int i = 0; i < count; ++i) {
        HiddenMidiDevice* offered = connection_->deviceAt(i);
        if (!offered) continue;
        if (offered->deviceNumber() == deviceNumber_) {
            // With several matches the last one's ports are kept.
            if (offered->inputCount() == 1) {
                if (input_) {
                    destroyLibraryObject(input_);
                    endInputStream();
                }
                input_ = offered->openInputPort(0);
                if (input_) input_->setReceiveCallback(&BaseDevice::receiveCallback, this);
            }
            if (offered->outputCount() == 1) {
                destroyLibraryObject(output_);
                output_ = offered->openOutputPort(0);
                if (output_) onStatusRequestDue();
                requestStatusWithPortsHeld();
            }
        }
        destroyLibraryObject(offered);
    }
    onConnectionChanged();
}

void BaseDevice::requestDeviceStatus() {
    PortHold hold(*this, true);
    if (hold) requestStatusWithPortsHeld();
}

void BaseDevice::requestStatusWithPortsHeld() {
    if (!output_) return;
    // Guard zones on both sides of the packet catch a library that writes into it.
    struct {
        uint8_t before[256];
        uint8_t packet[14];
        uint8_t after[256];
    } frame;
    std::memset(&frame, 0, sizeof frame);
    static const uint8_t kTemplate[14] = {0xF0, 0x00, 0x7A, 0x51, 0x03, 0x01, 0x7F, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0xF7};
    std::memcpy(frame.packet, kTemplate, sizeof kTemplate);
    frame.packet[7] = 0x60;
    frame.packet[8] |= 0x20;
    writeSysexWithPortsHeld(frame.packet, sizeof frame.packet);
    for (int i = 0; i < 256; ++i) {
        if (frame.before[i] != 0 || frame.after[i] != 0) {
            diagnosticPrint("RDS guard zones corrupted\n");
            break;
        }
    }
}

bool BaseDevice::writeSysex(const uint8_t* packet, int length) {
    PortHold hold(*this, true);
    return hold && writeSysexWithPortsHeld(packet, length);
}

bool BaseDevice::writeSysexWithPortsHeld(const uint8_t* packet, int length) {
    if (!output_) return false;
    if (length < 1 || packet[0] != 0xF0 || packet[length - 1] != 0xF7) {
        diagnosticPrint("WriteSysex - invalid packet. len = %d, (start=%02x, end=%02x)\n", length,
                        length > 0 ? packet[0] : 0, length > 0 ? packet[length - 1] : 0);
        return false;
    }
    output_->writeSysex(packet, length);
    return true;
}

void BaseDevice::receiveCallback(const unsigned char* bytes, int length, void* context) {
    static_cast<BaseDevice*>(context)->receiveMidi(bytes, length);
}

void BaseDevice::receiveMidi(const uint8_t* bytes, int length) {
    if (!bytes || length <= 0) return;
    int at = 0;
    if (skipToEnd_) {
        while (at < length && bytes[at] != 0xF7) ++at;
        if (at == length) return;
        ++at;  // the F7 ends the skipping
        skipToEnd_ = false;
    }
    if (fill_ == 0 && at < length && bytes[at] != 0xF0) {
        int moved = 0;
        int dropped = 0;
        while (at < length && bytes[at] != 0xF0) {
            // A real-time byte may come between a status byte and its data: it is not part of
            // the message, and in the ring it would break it up.
            if (bytes[at] >= 0xF8) {
                ++at;
                continue;
            }
            // One slot stays free so that a full ring is never mistaken for an empty one.
            // A full ring is parsed first; only what is still unparsed then is kept.
            if (ringUsed() == kRingSize - 1) parseShortMessages();
            if (ringUsed() < kRingSize - 1) {
                ring_[ringWrite_] = bytes[at];
                ringWrite_ = (ringWrite_ + 1) % kRingSize;
                ++moved;
            } else {
                ++dropped;
            }
            ++at;
        }
        if (dropped) diagnosticPrint("receiveMidi: short-message buffer full, %d bytes dropped\n", dropped);
        if (moved) parseShortMessages();
    }
    for (; at < length; ++at) {
        // Real-time bytes may come anywhere, even inside a SysEx; they are not part of it.
        if (bytes[at] >= 0xF8) continue;
        // Room is made for the message in progress as it grows, byte by byte: a chunk holding
        // many small messages never counts as one big one. A message that cannot grow is
        // skipped up to its own F7, and what follows it in the chunk is read as usual.
        if (!skipToEnd_ && fill_ == capacity_) growSysexBuffer();
        if (skipToEnd_) {
            if (bytes[at] == 0xF7) skipToEnd_ = false;
            continue;
        }
        sysex_[fill_++] = bytes[at];
        if (bytes[at] == 0xF7) {
            int complete = fill_;
            fill_ = 0;
            dispatch(complete);
        }
    }
}

bool BaseDevice::growSysexBuffer() {
    const char* failure = nullptr;
    if (capacity_ >= kMaxSysexCapacity) {
        failure = "Maximum size for sysex buffer exceeded";
    } else {
        int grown = capacity_ * 2;
        uint8_t* bigger = new (std::nothrow) uint8_t[grown];
        if (!bigger) {
            failure = "Unable to allocate memory for expanding sysex buffer";
        } else {
            std::memcpy(bigger, sysex_.get(), static_cast<size_t>(fill_));
            sysex_.reset(bigger);
            capacity_ = grown;
            return true;
        }
    }
    skipToEnd_ = true;
    fill_ = 0;
    onSysexError(failure);
    return false;
}

void BaseDevice::dispatch(int length) {
    uint8_t* m = sysex_.get();
    if (length == 526) {
        int type = m[7] & 0x7F;
        if (type <= 1 && !(m[8] & 0x02)) {
            int n = 0;
            while (n < 16 && m[15 + n] != 0) {
                dumpText_[n] = static_cast<char>(m[15 + n]);
                ++n;
            }
            dumpText_[n] = '\0';
            if (m[8] & 0x20) {
                m[8] &= static_cast<uint8_t>(~0x20);
                onDump(m, 526);
            }
            return;
        }
    } else if (length == 19) {
        int type = m[7] & 0x7F;
        if (type == 10 || (type == 1 && (m[8] & 0x02))) {
            uint32_t value = 0;
            for (int i = 13; i <= 17; ++i) value = (value << 7) | m[i];
            onValueMessage(static_cast<int32_t>(value), m[11] & 0x7F, m[12] & 0x7F, type == 10);
            return;
        }
    } else if ((length == 14 || length == 15) && m[7] == 0x20) {
        int code = ((m[9] & 0x78) << 13) | ((m[9] & 0x07) << 8) | (m[10] & 0x7F);
        if (code > 40 && m[8] == 0) code |= 0x01000000;
        statusBit11_ = (m[11] & 1) != 0;
        statusBit12_ = (m[12] & 1) != 0;
        statusExtra_ = length == 15 ? (m[13] & 0x7F) : 0;
        statusCode_ = code;
        onStatus(code, statusExtra_, (m[11] & 1) != 0);
        return;
    }
    // Built on the stack: this runs on the library's delivery thread, where nothing may throw.
    static const char kDigits[] = "0123456789abcdef";
    char hex[kMaxDiagnostic];
    size_t used = 0;
    for (int i = 0; i < length && used + 3 < sizeof hex; ++i) {
        hex[used++] = kDigits[m[i] >> 4];
        hex[used++] = kDigits[m[i] & 0x0F];
        hex[used++] = ' ';
    }
    hex[used] = '\0';
    diagnosticPrint("Ignoring unknown Sysex msg >%s<[%d]\n", hex, length);
}

int BaseDevice::ringUsed() const {
    int used = ringWrite_ - ringRead_;
    return used < 0 ? used + kRingSize : used;
}

void BaseDevice::parseShortMessages() {
    for (;;) {
        int available = ringUsed();
        if (available == 0) return;
        uint8_t first = ring_[ringRead_];
        uint8_t second = ring_[(ringRead_ + 1) % kRingSize];
        uint8_t third = ring_[(ringRead_ + 2) % kRingSize];
        switch (first & 0xF0) {
        case 0xC0:
            if (available < 2) return;
            if (second & 0x80) {
                diagnosticPrint("psa: got bad midi: %02x%02x\n", 0xC0, second);
                ringRead_ = (ringRead_ + 1) % kRingSize;
            } else {
                ringRead_ = (ringRead_ + 2) % kRingSize;
                onProgram(second);
            }
            break;
        case 0xB0:
            if (available < 3) return;
            if (second & 0x80) {
                diagnosticPrint("psa: got bad midi: %02x,%02x\n", 0xB0, second);
                ringRead_ = (ringRead_ + 1) % kRingSize;
            } else if (third & 0x80) {
                diagnosticPrint("psa: got bad midi: %02x,%02x%02x\n", 0xB0, second, third);
                ringRead_ = (ringRead_ + 2) % kRingSize;
            } else {
                ringRead_ = (ringRead_ + 3) % kRingSize;
                controlChange(second, third);
            }
            break;
        default:
            ringRead_ = (ringRead_ + 1) % kRingSize;
            break;
        }
    }
}

void BaseDevice::controlChange(int controller, int value) {
    switch (controller) {
    case 99:
        if (value == 63) bankArmed_ = true;
        break;
    case 98:
        if (value == 1) programArmed_ = true;
        break;
    case 6:
        if (bankArmed_) {
            onBank(value);
            bankArmed_ = false;
        }
        break;
    case 38:
        if (programArmed_) {
            onProgram(value);
            programArmed_ = false;
        }
        break;
    case 32:
        onBank(value);
        break;
    default:
        break;
    }
}

void BaseDevice::onBank(int value) { diagnosticPrint("bank -> %d\n", value); }

void BaseDevice::onProgram(int) {}
