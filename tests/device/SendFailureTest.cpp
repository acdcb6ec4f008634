// A port whose send throws (the hidden output's "Sysex output timeout") ends the transfer
// with 2: part of that message may have gone out, so the update is never called complete,
// and nothing after it is sent.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/FirmwareImage.h"
#include "device/UpdateProtocol.h"
#include "device/UpdaterDev.h"
#include "midi/MidiPorts.h"
#include "midi/VeltroDeviceList.h"
#include "support/Diagnostics.h"
#include "tests/device/AcceptingOutput.h"
#include "tests/midi/SimWinmmFixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

class ThrowingOutput : public AcceptingOutput {
public:
    explicit ThrowingOutput(int throwAt) : throwAt_(throwAt) {}
    bool sendSysex(MIDI::SysexMessage&) override {
        if (++sends == throwAt_) throw GeneralError("Sysex output timeout");
        return true;
    }
    int sends = 0;

private:
    int throwAt_;
};

// The instrument as the manager's one hidden port.
class OnePortManager : public VeltroDeviceList {
public:
    explicit OnePortManager(ThrowingOutput* output) : output_(output) {}
    std::string getPortName(uint32_t) override { return "Lumetra"; }
    uint32_t getPortCount() override { return 1; }
    std::string getTypeName(uint32_t) override { return "Lumetra"; }
    MIDI::Output* openOutput(uint32_t) override {
        output_->addRef();
        return output_;
    }
    MIDI::Input* openInput(uint32_t) override { return nullptr; }

private:
    ThrowingOutput* output_;
};

class NoProgress : public ProgressSink {
public:
    long setProgress(uint32_t, uint32_t, uint32_t, uint32_t) override { return 0; }
};

class SendFailure : public SimWinmmTest {};

TEST_F(SendFailure, SendThatThrowsEndsWithTwoAndStopsTheTransfer) {
    for (int throwAt : {1, 3, 5}) {
        SCOPED_TRACE(throwAt);
        Bytes file;
        for (int i = 0; i < 5; ++i) file.insert(file.end(), {0xF0, 0x01, static_cast<uint8_t>(i), 0xF7});
        FirmwareImage image;
        image.assign(file.data(), static_cast<uint32_t>(file.size()));
        ThrowingOutput* output = new ThrowingOutput(throwAt);
        OnePortManager manager(output);
        UpdaterDev device;
        NoProgress progress;
        ProtocolTiming timing;
        timing.startPauseMs = 0;
        timing.searchPauseMs = 0;
        timing.searchTries = 1;
        int32_t result = -1;
        MIDI::Output* port = rvoVirize(image, device, progress, &manager, &result, timing);
        EXPECT_EQ(kUpdateIncomplete, result);
        EXPECT_EQ(throwAt, output->sends) << "something was sent after the failed message";
        if (port) port->release();
        output->release();
    }
}

}  // namespace
