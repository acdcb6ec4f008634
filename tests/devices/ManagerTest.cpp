// The device manager against the simulated driver: which filters give ports, how they
// are numbered and named, and that every operation leaves no filter behind.

#include "tests/devices/DevicesTestSupport.h"

#include <memory>
#include <vector>

#include "midi/NamesFile.h"
#include "midi/PortIdHash.h"
#include "tests/common/DebugCapture.h"
#include "tests/common/TempFiles.h"

namespace {

using devtest::AddHiddenDevice;
using devtest::DevicesTest;
using devtest::ErrorOf;
using devtest::UsbPath;

const char kNotFound[] = "Device type not found for index";

class Manager : public DevicesTest {
protected:
    std::vector<std::string> TypeNames(USBDeviceManager& manager) {
        std::vector<std::string> names;
        const uint32_t count = manager.getPortCount();
        for (uint32_t i = 0; i < count; ++i) names.push_back(manager.getTypeName(i));
        return names;
    }
    // Every indexed operation at index fails with the manager's error.
    void ExpectNoPortAt(USBDeviceManager& manager, uint32_t index) {
        EXPECT_EQ(ErrorOf([&] { manager.getPortName(index); }), kNotFound);
        EXPECT_EQ(ErrorOf([&] { manager.getTypeName(index); }), kNotFound);
        EXPECT_EQ(ErrorOf([&] { manager.openOutput(index); }), kNotFound);
        EXPECT_EQ(ErrorOf([&] { manager.openInput(index); }), kNotFound);
        EXPECT_EQ(driver.openHandles(), 0);
    }
};

TEST_F(Manager, BuildsTheFifteenRowsAndInstallsTheHiddenPinTest) {
    const simks::Bytes hidden = simks::HiddenMidiRange();
    const simks::Bytes plain = simks::MusicRange(simks::kMidiSubFormat, simks::kPortTechnology);
    auto admits = [](const simks::Bytes& range) {
        return IsMidiDataRange(reinterpret_cast<const KSDATARANGE*>(range.data()));
    };
    IsMidiDataRange = DefaultIsMidiDataRange;
    ASSERT_FALSE(admits(hidden));
    {
        USBDeviceManager manager("");
        EXPECT_EQ(manager.rowCount(), 15u);
        EXPECT_TRUE(admits(hidden));
        EXPECT_FALSE(admits(plain));
    }
    // It stays after the manager is gone.
    EXPECT_TRUE(admits(hidden));
    EXPECT_FALSE(admits(plain));
}

TEST_F(Manager, NoMakerDeviceGivesNoPorts) {
    USBDeviceManager manager("");
    EXPECT_EQ(manager.getPortCount(), 0u);
    ExpectNoPortAt(manager, 0);

    // Another maker's device, and a maker's device that offers only ordinary MIDI pins.
    AddHiddenDevice(driver, "\\\\?\\usb#vid_1234&pid_4a02#1", 1, 1);
    simks::SimDevice& plain = driver.addDevice(UsbPath(usbids::kXrMkII, "plain"));
    plain.addPin(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK)
        .addDataRange(simks::MusicRange(simks::kMidiSubFormat, simks::kPortTechnology));
    EXPECT_EQ(manager.getPortCount(), 0u);
    ExpectNoPortAt(manager, 0);
}

TEST_F(Manager, TwoPortDeviceGivesConsecutivePortsEncodersFirst) {
    const std::string path = UsbPath(usbids::kStroma49, "s49");
    simks::SimDevice& stroma = AddHiddenDevice(driver, path, 2, 2);
    USBDeviceManager manager("");
    ASSERT_EQ(manager.getPortCount(), 2u);
    EXPECT_EQ(TypeNames(manager), (std::vector<std::string>{"Stroma 49 (Encoders)", "Stroma 49 (Faders)"}));
    ExpectNoPortAt(manager, 2);

    MIDI::Output* encoders = manager.openOutput(0);
    MIDI::Output* faders = manager.openOutput(1);
    MIDI::ShortMessage note{0x90, 0x3C, 0x40, 0};
    encoders->sendShort(note);
    MIDI::ShortMessage off{0x80, 0x3C, 0x00, 0};
    faders->sendShort(off);
    // In-sink pins are the device's pins 0 and 1: Encoders writes to the second.
    ASSERT_EQ(stroma.pin(1).writes().size(), 1u);
    EXPECT_EQ(stroma.pin(1).writes()[0].midi, (simks::Bytes{0x90, 0x3C, 0x40}));
    ASSERT_EQ(stroma.pin(0).writes().size(), 1u);
    EXPECT_EQ(stroma.pin(0).writes()[0].midi, (simks::Bytes{0x80, 0x3C, 0x00}));

    EXPECT_EQ(encoders->getDeviceId(), portIdHash(path));
    EXPECT_EQ(encoders->getDeviceId(), faders->getDeviceId());
    EXPECT_EQ(encoders->getPortId(), faders->getPortId());
    encoders->release();
    faders->release();

    MIDI::Input* in = manager.openInput(0);
    EXPECT_EQ(in->getDeviceId(), portIdHash(path));
    EXPECT_EQ(in->getPortId(), in->getDeviceId());
    // The Encoders input reads the second out-sink pin (device pin 3).
    EXPECT_TRUE(stroma.pin(3).waitForPendingReads(1, 2000));
    EXPECT_EQ(stroma.pin(2).createCount(), 0);
    in->release();
    EXPECT_EQ(driver.openHandles(), 0);
}

TEST_F(Manager, DevicesAreNumberedInFilterOrder) {
    AddHiddenDevice(driver, UsbPath(usbids::kXrMkII, "first"), 1, 1);
    AddHiddenDevice(driver, UsbPath(usbids::kStroma25, "middle"), 2, 2);
    AddHiddenDevice(driver, UsbPath(usbids::kXrMkII, "second"), 1, 1);
    AddHiddenDevice(driver, UsbPath(usbids::kDusker, "dusker"), 1, 1);
    USBDeviceManager manager("");
    EXPECT_EQ(TypeNames(manager), (std::vector<std::string>{"XR MkII", "Stroma 25 (Encoders)", "Stroma 25 (Faders)",
                                                            "XR MkII", "Dusker"}));
    MIDI::Output* first = manager.openOutput(0);
    MIDI::Output* second = manager.openOutput(3);
    EXPECT_EQ(first->getDeviceId(), portIdHash(UsbPath(usbids::kXrMkII, "first")));
    EXPECT_EQ(second->getDeviceId(), portIdHash(UsbPath(usbids::kXrMkII, "second")));
    first->release();
    second->release();
}

TEST_F(Manager, EveryModelOfTheTableIsRecognised) {
    const uint16_t ids[] = {usbids::kDusker,  usbids::kXrMkII,    usbids::kOmniMkII,  usbids::kDuskerKeyboard,
                            usbids::kQuarvel, usbids::kStroma25,  usbids::kStroma49,  usbids::kStroma61};
    int n = 0;
    for (uint16_t id : ids) AddHiddenDevice(driver, UsbPath(id, "m" + std::to_string(n++)), 2, 2);
    for (const char* name : {"Bindery MIDI", "Bindery HUI", "Bindery Studiox", "Bindery Studiox Mixer"})
        AddHiddenDevice(driver, "\\\\?\\root#media#" + std::to_string(n++), 1, 1, name);
    USBDeviceManager manager("");
    EXPECT_EQ(TypeNames(manager),
              (std::vector<std::string>{"Dusker", "XR MkII", "OmNI MkII", "Dusker Keyboard", "Quarvel",
                                        "Stroma 25 (Encoders)", "Stroma 25 (Faders)", "Stroma 49 (Encoders)",
                                        "Stroma 49 (Faders)", "Stroma 61 (Encoders)", "Stroma 61 (Faders)",
                                        "Bindery MIDI", "Bindery HUI", "Bindery Studiox", "Bindery Studiox Mixer"}));
}

TEST_F(Manager, VirtualPortsAreKnownByTheirExactName) {
    AddHiddenDevice(driver, "\\\\?\\root#media#0001#{6994ad04-93ef-11d0-a3cc-00a0c9223196}", 1, 1, "Bindery MIDI");
    // The name decides, even on a path that carries a model's identity.
    AddHiddenDevice(driver, UsbPath(0x0999, "virtual"), 1, 1, "Bindery HUI");
    AddHiddenDevice(driver, "\\\\?\\root#media#0002", 1, 1, "bindery midi");
    AddHiddenDevice(driver, "\\\\?\\root#media#0003", 1, 1, "Bindery MIDI ");
    AddHiddenDevice(driver, "\\\\?\\root#media#0004", 1, 1, "Bindery");
    TempDir names;
    USBDeviceManager manager(names.path() + "\\");
    EXPECT_EQ(TypeNames(manager), (std::vector<std::string>{"Bindery MIDI", "Bindery HUI"}));
    // Named after the row, without a names file.
    EXPECT_EQ(manager.getPortName(0), "Bindery MIDI");
    EXPECT_EQ(manager.getPortName(1), "Bindery HUI");
    EXPECT_EQ(GetFileAttributesA((names.path() + "\\Bindery MIDINames.ini").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Manager, UpperCaseIdentityMatchesNothing) {
    std::string path = UsbPath(usbids::kXrMkII, "upper");
    for (char& c : path) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    AddHiddenDevice(driver, path, 1, 1);
    USBDeviceManager manager("");
    EXPECT_EQ(manager.getPortCount(), 0u);
}

TEST_F(Manager, NamesFilesNumberTheDevicesAcrossCalls) {
    AddHiddenDevice(driver, UsbPath(usbids::kDusker, "one"), 1, 1);
    TempDir names;
    const std::string prefix = names.path() + "\\";
    {
        USBDeviceManager manager(prefix);
        EXPECT_EQ(manager.getPortName(0), "Dusker 1");
        EXPECT_EQ(manager.getPortName(0), "Dusker 1");
    }
    AddHiddenDevice(driver, UsbPath(usbids::kDusker, "two"), 1, 1);
    USBDeviceManager manager(prefix);
    EXPECT_EQ(manager.getPortName(1), "Dusker 2");
    EXPECT_EQ(manager.getPortName(0), "Dusker 1");
    NameTable table;
    parseNamesText(TextFileReader(prefix + "DuskerNames.ini").text(), table);
    EXPECT_EQ(table, (NameTable{{UsbPath(usbids::kDusker, "one"), "Dusker 1"},
                                {UsbPath(usbids::kDusker, "two"), "Dusker 2"}}));
}

TEST_F(Manager, OutputWhosePinCannotStartLeavesNothingBehind) {
    simks::SimDevice& device = AddHiddenDevice(driver, UsbPath(usbids::kXrMkII, "stuck"), 1, 1);
    device.pin(0).refuseState(KSSTATE_RUN);
    USBDeviceManager manager("");
    EXPECT_EQ(ErrorOf([&] { manager.openOutput(0); }), "HiddenOutput creation failed");
    // The pin was taken back down, and the filter and pin handles are closed.
    EXPECT_EQ(devtest::FirstStates(device.pin(0), 6),
              (std::vector<uint32_t>{KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_ACQUIRE,
                                     KSSTATE_STOP}));
    EXPECT_EQ(driver.openHandles(), 0);

    device.pin(0).setCreateError(ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_EQ(ErrorOf([&] { manager.openOutput(0); }), "HiddenOutput creation failed");
    EXPECT_EQ(driver.openHandles(), 0);
}

TEST_F(Manager, OutputWithoutItsPinFails) {
    // A Stroma with one pin each way: the Encoders row wants pin index 1.
    AddHiddenDevice(driver, UsbPath(usbids::kStroma61, "short"), 1, 1);
    USBDeviceManager manager("");
    ASSERT_EQ(manager.getPortCount(), 2u);
    EXPECT_EQ(ErrorOf([&] { manager.openOutput(0); }), "HiddenOutput creation failed");
    EXPECT_EQ(driver.openHandles(), 0);
    MIDI::Output* faders = manager.openOutput(1);
    ASSERT_NE(faders, nullptr);
    faders->release();
}

TEST_F(Manager, APortKeepsItsFilterAfterTheListIsGone) {
    simks::SimDevice& device = AddHiddenDevice(driver, UsbPath(usbids::kQuarvel, "q"), 1, 1);
    USBDeviceManager manager("");
    MIDI::Output* port = manager.openOutput(0);
    // The filter and the pin stay open for the port alone.
    EXPECT_EQ(driver.openHandles(), 2);
    EXPECT_TRUE(port->isPresent());
    EXPECT_EQ(device.lastAccess(), DWORD(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(device.lastShare(), 0u);
    EXPECT_EQ(device.lastDisposition(), DWORD(OPEN_EXISTING));
    EXPECT_EQ(device.lastFlags(), DWORD(FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED));
    driver.removeDevice(device.path());
    EXPECT_FALSE(port->isPresent());
    port->release();
    EXPECT_EQ(driver.openHandles(), 0);
}

// A filter whose driver lets a request hang costs one time limit in the process, not one
// in every look: the instrument search looks at the hidden devices up to 20 times.
TEST_F(Manager, AHungFilterCostsOneTimeLimitForTwentyLooks) {
    AddHiddenDevice(driver, UsbPath(usbids::kXrMkII, "good"), 1, 1);
    simks::SimDevice& hung = AddHiddenDevice(driver, UsbPath(usbids::kXrMkII, "hung"), 1, 1);
    simks::PropertyFault hang;
    hang.kind = simks::PropertyFault::Hang;
    hung.pin(0).fault(KSPROPERTY_PIN_DATARANGES, hang);
    // Nor does the driver give the cancelled request back: its block is left to it, once.
    driver.setCancelDelay(10 * 60 * 1000);
    DebugCapture debug;
    USBDeviceManager manager("");
    const auto start = std::chrono::steady_clock::now();
    const long long boundMs = 10000;
    int looks = 0;
    for (; looks < 20 && devtest::ElapsedMs(start) < boundMs; ++looks) EXPECT_EQ(manager.getPortCount(), 1u);
    EXPECT_EQ(looks, 20);
    EXPECT_LT(devtest::ElapsedMs(start), boundMs);
    EXPECT_EQ(driver.openHandles(), 0);
    EXPECT_EQ(driver.liveRequests(), 1u);
    EXPECT_TRUE(debug.contains("CKsIrpTarget::SyncIoctl: the driver kept a cancelled request; its memory is left to it ("))
        << debug.text();
    driver.completeAllNow();
}

}  // namespace
