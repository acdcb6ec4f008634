// The real port naming, instrument search and update protocol code with the real device
// manager, against the simulated WinMM and the simulated USB MIDI driver: the combined
// output list is WinMM's outputs followed by the manager's ports.

#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/FirmwareImage.h"
#include "device/UpdateProtocol.h"
#include "device/UpdaterDev.h"
#include "midi/MidiOutput.h"
#include "midi/NamesFile.h"
#include "midi/PortNaming.h"
#include "midi/VeltroDeviceList.h"
#include "tests/common/TempFiles.h"
#include "tests/devices/DevicesTestSupport.h"
#include "tests/midi/SimWinmmFixture.h"

namespace {

// The update's pauses cut short; a refused message is offered again for refusedMs.
ProtocolTiming shortTiming(uint32_t refusedMs) {
    ProtocolTiming timing;
    timing.startPauseMs = 10;
    timing.searchPauseMs = 10;
    timing.searchTries = 3;
    timing.refusedRetryMs = refusedMs;
    return timing;
}

struct NoProgress : ProgressSink {
    long setProgress(uint32_t, uint32_t, uint32_t, uint32_t) override { return 0; }
};

using devtest::AddHiddenDevice;
using devtest::ErrorOf;
using devtest::UsbPath;
using Bytes = std::vector<uint8_t>;

class Combined : public SimWinmmTest {
protected:
    void SetUp() override {
        SimWinmmTest::SetUp();
        previous = IsMidiDataRange;
        manager = new USBDeviceManager(names.path() + "\\");
        setDeviceManager(manager);
    }
    void TearDown() override {
        setDeviceManager(nullptr);
        delete manager;
        IsMidiDataRange = previous;
        SimWinmmTest::TearDown();
    }
    // Two WinMM outputs, the instrument second; a Stroma and an XR on the driver.
    void StandardSet() {
        sim.addDevice(0, "Other Synth");
        sim.addDevice(0, "2- Lumetra");
        stroma = &AddHiddenDevice(driver, UsbPath(usbids::kStroma25, "s"), 2, 2);
        xr = &AddHiddenDevice(driver, UsbPath(usbids::kXrMkII, "x"), 1, 1);
    }
    std::string LongName(int32_t index) { return getOutputPortName(index, true, false); }
    std::string ShortName(int32_t index) { return getOutputPortName(index, false, false); }
    std::string NamesFile(const std::string& type) { return names.file(type + "Names.ini"); }

    simks::SimKsDriver driver;
    TempDir names;
    MidiDataRangePredicate previous = nullptr;
    USBDeviceManager* manager = nullptr;
    simks::SimDevice* stroma = nullptr;
    simks::SimDevice* xr = nullptr;
};

TEST_F(Combined, HiddenPortsFollowTheWinmmOutputsNamedByType) {
    StandardSet();
    ASSERT_EQ(winmm().midiOutGetNumDevs(), 2u);
    EXPECT_EQ(ShortName(0), "Other Synth");
    EXPECT_EQ(ShortName(1), "2- Lumetra");
    EXPECT_EQ(ShortName(2), "Stroma 25 (Encoders)");
    EXPECT_EQ(ShortName(3), "Stroma 25 (Faders)");
    EXPECT_EQ(ShortName(4), "XR MkII");
    // The long form of a hidden port is its display name from the names file.
    EXPECT_EQ(LongName(2), "Stroma 25 (Encoders) 1");
    EXPECT_EQ(LongName(4), "XR MkII 1");
    EXPECT_EQ(getOutputPortName(4, true, true), "XR MkII 1");
    EXPECT_EQ(ErrorOf([&] { ShortName(5); }), "Device type not found for index");
    // Without a manager there is nothing beyond WinMM.
    setDeviceManager(nullptr);
    EXPECT_EQ(ShortName(2), "");
}

TEST_F(Combined, InstrumentIsFoundAmongWinmmOutputsWhileHiddenDevicesArePresent) {
    StandardSet();
    EXPECT_TRUE(outputNamedLikeInstrumentExists());
    sim.reset();
    sim.addDevice(0, "Other Synth");
    EXPECT_FALSE(outputNamedLikeInstrumentExists());
    // Found again when it comes back after the hidden ports were counted.
    sim.addDevice(0, "Lumetra");
    EXPECT_TRUE(outputNamedLikeInstrumentExists());
}

TEST_F(Combined, OpenOutputAtBeyondWinmmOpensTheManagersPort) {
    StandardSet();
    MIDI::Output* winmmPort = openOutputAt(1, manager);
    ASSERT_NE(winmmPort, nullptr);
    EXPECT_NE(dynamic_cast<MidiOutput*>(winmmPort), nullptr);
    winmmPort->release();

    // Combined 4 is the manager's port 2: the XR.
    MIDI::Output* port = openOutputAt(4, manager);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(dynamic_cast<MidiOutput*>(port), nullptr);
    MIDI::ShortMessage note{0x90, 0x3C, 0x40, 0};
    port->sendShort(note);
    ASSERT_EQ(xr->pin(0).writes().size(), 1u);
    EXPECT_EQ(xr->pin(0).writes()[0].midi, (simks::Bytes{0x90, 0x3C, 0x40}));
    EXPECT_TRUE(stroma->pin(0).writes().empty());
    EXPECT_TRUE(stroma->pin(1).writes().empty());
    port->release();

    // Combined 2 is the Stroma's Encoders port, on its second pin.
    port = openOutputAt(2, manager);
    ASSERT_NE(port, nullptr);
    port->sendShort(note);
    EXPECT_EQ(stroma->pin(1).writes().size(), 1u);
    port->release();
}

TEST_F(Combined, FailedHiddenOpenGivesNoPort) {
    StandardSet();
    xr->pin(0).refuseState(KSSTATE_RUN);
    EXPECT_EQ(openOutputAt(4, manager), nullptr);
    EXPECT_EQ(openOutputAt(5, manager), nullptr);
    EXPECT_EQ(openOutputAt(-1, manager), nullptr);
    EXPECT_EQ(openOutputAt(4, nullptr), nullptr);
    EXPECT_EQ(driver.openHandles(), 0);
}

TEST_F(Combined, UpdateGoesToTheWinmmInstrumentWithHiddenDevicesPresent) {
    StandardSet();
    Bytes file;
    std::vector<Bytes> data;
    for (uint8_t n = 0; n < 3; ++n) {
        Bytes m{0xF0, 0x00, 0x7A, 0x51, n, 0x10, 0x20, 0xF7};
        data.push_back(m);
        file.insert(file.end(), m.begin(), m.end());
    }
    FirmwareImage image;
    image.assign(file.data(), static_cast<uint32_t>(file.size()));
    NoProgress progress;
    const ProtocolTiming timing = shortTiming(500);
    UpdaterDev device;
    int32_t result = -1;
    MIDI::Output* port = rvoVirize(image, device, progress, manager, &result, timing);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(result, kUpdateCompleted);
    std::vector<Bytes> sent;
    for (uint32_t i = 0; i < sim.sentCount(); ++i) {
        SimWinmmSent record = {};
        Bytes bytes = sentBytes(i, &record);
        if (record.kind == SimWinmmSentLong) sent.push_back(bytes);
    }
    EXPECT_EQ(sent, data);
    for (size_t p = 0; p < stroma->pinCount(); ++p) EXPECT_TRUE(stroma->pin(p).writes().empty());
    port->release();
}

TEST_F(Combined, ReadOnlyNamesFileStillGivesTheNextName) {
    StandardSet();
    const std::string path = NamesFile("XR MkII");
    names.write("XR MkIINames.ini", std::string("elsewhere=XR MkII 1\n"));
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    // Whether or not the entry could be written back, the device gets the same name.
    EXPECT_EQ(LongName(4), "XR MkII 2");
    EXPECT_EQ(LongName(4), "XR MkII 2");
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    NameTable table;
    parseNamesText(TextFileReader(path).text(), table);
    EXPECT_EQ(table["elsewhere"], "XR MkII 1");
}

TEST_F(Combined, DirectoryInPlaceOfTheNamesFileCountsAsEmpty) {
    StandardSet();
    ASSERT_TRUE(CreateDirectoryA(NamesFile("XR MkII").c_str(), nullptr));
    EXPECT_EQ(LongName(4), "XR MkII 1");
    EXPECT_EQ(LongName(4), "XR MkII 1");
    EXPECT_NE(GetFileAttributesA(NamesFile("XR MkII").c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    // The other types are not affected.
    EXPECT_EQ(LongName(3), "Stroma 25 (Faders) 1");
}

TEST_F(Combined, BinaryGarbageInTheNamesFileStillGivesAStableName) {
    StandardSet();
    Bytes garbage;
    uint32_t x = 12345;
    for (int i = 0; i < 4096; ++i) {
        x = x * 1103515245u + 12345u;
        garbage.push_back(static_cast<uint8_t>(x >> 16));
    }
    names.write("XR MkIINames.ini", garbage);
    const std::string first = LongName(4);
    ASSERT_EQ(first.compare(0, 8, "XR MkII "), 0) << first;
    const int number = std::atoi(first.c_str() + 8);
    EXPECT_GE(number, 1);
    EXPECT_EQ(first, "XR MkII " + std::to_string(number));
    EXPECT_EQ(LongName(4), first);
}

TEST_F(Combined, VeryLongLinesInTheNamesFile) {
    StandardSet();
    const std::string longKey(100000, 'k');
    const std::string longValue(70000, 'v');
    names.write("XR MkIINames.ini", longKey + "=" + longValue + "\n" + UsbPath(usbids::kXrMkII, "x") + "=" +
                                        std::string(5000, 'n') + "\n");
    EXPECT_EQ(LongName(4), std::string(5000, 'n'));
    // A new device is numbered after both entries, and the long lines survive the write-back.
    AddHiddenDevice(driver, UsbPath(usbids::kXrMkII, "y"), 1, 1);
    EXPECT_EQ(LongName(5), "XR MkII 3");
    NameTable table;
    parseNamesText(TextFileReader(NamesFile("XR MkII")).text(), table);
    EXPECT_EQ(table[longKey], longValue);
    EXPECT_EQ(table.size(), 3u);
}

// The search by name asks the real manager for every port's type name in one walk: each
// filter is opened once however many ports it has.
TEST_F(Combined, InstrumentSearchLooksAtTheHiddenDevicesOnce) {
    sim.addDevice(0, "Other Synth");
    stroma = &AddHiddenDevice(driver, UsbPath(usbids::kStroma25, "s"), 2, 2);
    xr = &AddHiddenDevice(driver, UsbPath(usbids::kXrMkII, "x"), 1, 1);
    EXPECT_FALSE(outputNamedLikeInstrumentExists());
    EXPECT_EQ(stroma->openCount(), 1);
    EXPECT_EQ(xr->openCount(), 1);
    EXPECT_EQ(driver.openHandles(), 0);
}

// The real manager's ports under names that contain the instrument's: the update then
// goes through a hidden output, at the combined index past the WinMM outputs.
class NamedLikeInstrument : public VeltroDeviceList {
public:
    explicit NamedLikeInstrument(USBDeviceManager& real) : real_(real) {}
    std::string getPortName(uint32_t index) override { return real_.getPortName(index); }
    uint32_t getPortCount() override { return real_.getPortCount(); }
    std::string getTypeName(uint32_t index) override { return "Lumetra " + real_.getTypeName(index); }
    std::vector<std::string> getTypeNames() override {
        std::vector<std::string> names = real_.getTypeNames();
        for (std::string& name : names) name = "Lumetra " + name;
        return names;
    }
    MIDI::Output* openOutput(uint32_t index) override { return real_.openOutput(index); }
    MIDI::Input* openInput(uint32_t index) override { return real_.openInput(index); }

private:
    USBDeviceManager& real_;
};

TEST_F(Combined, UpdateThroughAHiddenOutputReportsAFailedPacket) {
    Bytes file;
    Bytes data;
    for (uint8_t n = 0; n < 3; ++n) {
        Bytes m{0xF0, 0x00, 0x7A, 0x51, n, 0x10, 0x20, 0xF7};
        data.insert(data.end(), m.begin(), m.end());
        file.insert(file.end(), m.begin(), m.end());
    }
    NoProgress progress;
    const ProtocolTiming timing = shortTiming(200);
    NamedLikeInstrument named(*manager);
    // None failing, a middle packet, the last packet.
    for (int failing : {-1, 3, 7}) {
        sim.reset();
        sim.addDevice(0, "Other Synth");
        xr = &AddHiddenDevice(driver, UsbPath(usbids::kXrMkII, "u" + std::to_string(failing)), 1, 1);
        xr->pin(0).setWriteMode(simks::WriteMode::Later, 2);
        if (failing >= 0) xr->pin(0).failWrite(static_cast<size_t>(failing));
        FirmwareImage image;
        image.assign(file.data(), static_cast<uint32_t>(file.size()));
        UpdaterDev device;
        int32_t result = -1;
        MIDI::Output* port = rvoVirize(image, device, progress, &named, &result, timing);
        ASSERT_NE(port, nullptr) << failing;
        EXPECT_EQ(dynamic_cast<MidiOutput*>(port), nullptr) << failing;
        EXPECT_EQ(result, failing < 0 ? kUpdateCompleted : kUpdateIncomplete) << failing;
        if (failing < 0) {
            Bytes written;
            for (const simks::SimWrite& w : xr->pin(0).writes()) written.insert(written.end(), w.midi.begin(), w.midi.end());
            EXPECT_EQ(written, data);
        }
        port->release();
        driver.removeDevice(xr->path());
    }
}

}  // namespace
