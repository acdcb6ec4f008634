#pragma once
// The updater's own device: the Lumetra, device number 30 of the hidden-MIDI connection.

#include <atomic>
#include <cstdint>

#include "device/BaseDevice.h"

class UpdaterDev : public BaseDevice {
public:
    UpdaterDev();
    ~UpdaterDev();

    bool statusReceived() const { return statusReceived_.load(); }
    uint32_t statusValue() const { return statusValue_.load(); }

protected:
    void onConnectionChanged() override;
    void onDump(uint8_t*, int) override {}
    void onValueMessage(int32_t, int, int, bool) override {}
    void onStatus(int code, int extra, bool bit11) override;
    void onSysexError(const char*) override {}
    void onStatusRequestDue() override;

private:
    // Written by the library's delivery thread, read by others.
    std::atomic<bool> statusReceived_{false};
    std::atomic<uint32_t> statusValue_{0};
};
