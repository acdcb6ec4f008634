// The WinMM path as Windows has it: a port that takes its time (whole buffers over a MIDI
// cable, and a USB link), and a device list that changes between the port search and the
// open. The instrument is reached by its WinMM port name alone: the Zeph library offers
// no device here.

#include <cstdio>

#include "tests/e2e/InstrumentTest.h"

namespace {

const size_t kPortBufferBytes = 4352;
const uint32_t kCableBytesPerSecond = 3125;
const uint32_t kUsbBytesPerSecond = 100000;

class WinmmPathTest : public InstrumentTest {
protected:
    std::vector<std::string> environment() const {
        return InstrumentTest::environment({"CARROWICK_SIMZEPH_NO_DEVICE=1"});
    }
};

// A start message, then `count` messages as long as the port's buffer.
Firmware fullBuffers(int count) {
    Firmware firmware = makeFirmware(0, true);
    for (int i = 0; i < count; ++i) {
        Bytes message = {0xF0, 0x00, 0x7A, 0x51};
        while (message.size() + 1 < kPortBufferBytes) message.push_back(static_cast<uint8_t>((i * 13 + message.size()) & 0x7F));
        message.push_back(0xF7);
        firmware.file.insert(firmware.file.end(), message.begin(), message.end());
        firmware.expected.push_back(message);
    }
    return firmware;
}

struct Link {
    const char* name;
    uint32_t bytesPerSecond;
    int messages;  // a few seconds on the wire
};

class SlowLink : public WinmmPathTest, public ::testing::WithParamInterface<Link> {};

// Each message takes 1.39 s on the cable, longer than the wait a driver was once given.
TEST_P(SlowLink, WholeBuffersArriveInOrderAndTheUpdateCompletes) {
    const Firmware firmware = fullBuffers(GetParam().messages);
    const uint32_t port = addLumetra();
    ASSERT_NE(0u, port);
    ASSERT_EQ(1, winmm_.control().setWireSpeed(port, GetParam().bytesPerSecond));
    UpdateRun run(writeFirmware(firmware), environment());
    RUN_TO_EXIT(run, kUpdateTimeoutMs);

    expectResult(run, 0);
    expectDelivered(firmware.expected, port);
    // The link set the pace: the last byte left no sooner than the rate allows.
    std::vector<WinmmSent> sent = winmm_.sent();
    ASSERT_FALSE(sent.empty());
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const double wireMs =
        1000.0 * static_cast<double>(sent.back().record.completedQpc - sent.front().record.acceptedQpc) / frequency.QuadPart;
    const double leastMs = 1000.0 * kPortBufferBytes * sent.size() / GetParam().bytesPerSecond;
    EXPECT_GE(wireMs, leastMs - 20);
    RecordProperty("wire_ms", std::to_string(static_cast<int>(wireMs)));
    std::printf("%zu x %zu bytes at %u bytes/s: %.0f ms from the first acceptance to the last completion\n",
                sent.size(), kPortBufferBytes, GetParam().bytesPerSecond, wireMs);
}

INSTANTIATE_TEST_SUITE_P(Rates, SlowLink,
                         ::testing::Values(Link{"MidiCable", kCableBytesPerSecond, 3}, Link{"Usb", kUsbBytesPerSecond, 40}),
                         [](const ::testing::TestParamInfo<Link>& info) { return std::string(info.param.name); });

struct Change {
    const char* name;
    bool remove;  // the device before the instrument goes; else another comes before it
};

class ChangeBeforeTheOpen : public WinmmPathTest, public ::testing::WithParamInterface<Change> {};

// The index the search matched names another device when the port is opened: the firmware
// must still reach the instrument and nothing of it the other devices.
TEST_P(ChangeBeforeTheOpen, FirmwareReachesTheInstrumentOnly) {
    const Firmware firmware = makeFirmware(40, true);
    const uint32_t other = winmm_.control().addDevice(0, "Other Synth");
    const uint32_t port = addLumetra();
    const uint32_t spare = winmm_.control().addDevice(0, "Spare Synth");
    ASSERT_NE(0u, spare);
    const uint32_t changed = winmm_.control().scheduleChange(SimWinmmAtOpen, 1, GetParam().remove, other, "Intruder");
    ASSERT_NE(0u, changed);
    UpdateRun run(writeFirmware(firmware), environment());
    RUN_TO_EXIT(run, kUpdateTimeoutMs);

    expectResult(run, 0);
    expectDelivered(firmware.expected, port);
    EXPECT_NE(std::string::npos, run.session().launcher().debugText().find("not the instrument"))
        << "the change did not come between the search and the open";
}

INSTANTIATE_TEST_SUITE_P(Devices, ChangeBeforeTheOpen,
                         ::testing::Values(Change{"Inserted", false}, Change{"Removed", true}),
                         [](const ::testing::TestParamInfo<Change>& info) { return std::string(info.param.name); });

}  // namespace
