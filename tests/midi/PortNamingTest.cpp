#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "midi/PortNaming.h"
#include "midi/VeltroDeviceList.h"
#include "tests/midi/SimWinmmFixture.h"

namespace {

struct NameForms {
    const char* device;
    const char* shortForm;
    const char* longWithPort;
    const char* longWithoutPort;
};

const NameForms kVistaForms[] = {
    {"Gridlet", "Gridlet", "Gridlet: Port 1", "Gridlet"},
    {"2- Gridlet", "Gridlet", "2- Gridlet: Port 1", "2- Gridlet"},
    {"10- Gridlet", "Gridlet", "0- Gridlet: Port 1", "0- Gridlet"},
    {"USB 2- Gridlet", "Gridlet", "2- Gridlet", "2- Gridlet"},
    {"MIDIOUT2 (Gridlet)", "Gridlet", "Gridlet: Port 2", "Gridlet"},
    {"Gridlet Mini", "Gridlet", "Gridlet Mini: Port 1", "Gridlet Mini"},
    {"Lumetra", "Lumetra", "Lumetra: Port 1", "Lumetra"},
    {"Foo: Port 2", "Foo", "Foo: Port 2", "Foo"},
    {"", "", ": Port 1", ""},
};

TEST(PortNamingTest, FormsFromVistaOn) {
    for (const NameForms& f : kVistaForms) {
        SCOPED_TRACE(f.device);
        for (uint32_t major : {6u, 10u}) {
            EXPECT_EQ(platformPortNameForVersion(major, f.device, false, false), f.shortForm);
            EXPECT_EQ(platformPortNameForVersion(major, f.device, true, true), f.longWithPort);
            EXPECT_EQ(platformPortNameForVersion(major, f.device, true, false), f.longWithoutPort);
        }
        EXPECT_EQ(formatPortName(f.device, true, true), f.longWithPort);
    }
}

TEST(PortNamingTest, FormsBeforeVista) {
    EXPECT_EQ(platformPortNameForVersion(5, "Gridlet", false, false), "Gridlet");
    EXPECT_EQ(platformPortNameForVersion(5, "Gridlet", true, true), "Gridlet ");
    EXPECT_EQ(platformPortNameForVersion(5, "Gridlet", true, false), "Gridlet");
    EXPECT_EQ(platformPortNameForVersion(5, "Foo: Port 2", true, true), "Foo : Port 2");
    EXPECT_EQ(platformPortNameForVersion(5, "Foo: Port 2", false, true), "Foo : Port 2");
    EXPECT_EQ(platformPortNameForVersion(5, "Foo: Port 2", false, false), "Foo");
    // The long form keeps the decorations that the Vista rule trims.
    EXPECT_EQ(platformPortNameForVersion(5, "2- Gridlet", true, false), "2- Gridlet");
    EXPECT_EQ(platformPortNameForVersion(5, "MIDIOUT2 (Gridlet)", true, false), "MIDIOUT2 (Gridlet)");
}

TEST(PortNamingTest, FamilyNamesInRuleOrder) {
    EXPECT_EQ(familyName("VeNTUS XR Petite 2"), "VeNTUS XR Petite");
    EXPECT_EQ(familyName("VeNTUS OmNI XR"), "VeNTUS OmNI XR");
    EXPECT_EQ(familyName("VeNTUS XR Petite OmNI"), "VeNTUS XR Petite");
    EXPECT_EQ(familyName("3- VeNTUS XR"), "VeNTUS XR");
    EXPECT_EQ(familyName("VentusXR"), "VentusXR IN");
    EXPECT_EQ(familyName("XR MKII"), "XR MkII");
    EXPECT_EQ(familyName("OmNI XR MkII"), "XR MkII");
    EXPECT_EQ(familyName("OmNI MKII"), "OmNI MkII");
    EXPECT_EQ(familyName("OmNI"), "OmNI");
    EXPECT_EQ(familyName("XR"), "XR");
    EXPECT_EQ(familyName("gridlet"), "gridlet");
    EXPECT_EQ(familyName("My Gridlet 2"), "Gridlet");
}

TEST(PortNamingTest, TrimMarksInstanceNumber) {
    std::string name = "10- Gridlet";
    EXPECT_EQ(trimDeviceName(name, "Gridlet"), "0- Gridlet");
    EXPECT_EQ(name, "xx- Gridlet");
    name = "USB 2- Gridlet";
    EXPECT_EQ(trimDeviceName(name, "Gridlet"), "2- Gridlet");
    EXPECT_EQ(name, "USB x- Gridlet");
    // Inside parentheses the number belongs to the Windows decoration, not to the device.
    name = "MIDIOUT2 (Gridlet)";
    EXPECT_EQ(trimDeviceName(name, "Gridlet"), "Gridlet");
    EXPECT_EQ(name, "MIDIOUT2 (Gridlet)");
    name = "(Gridlet)";
    EXPECT_EQ(trimDeviceName(name, "Gridlet"), "(Gridlet)");
    name = "MIDIIN3 (VeNTUS XR)";
    EXPECT_EQ(trimDeviceName(name, "VeNTUS XR"), "VeNTUS XR");
    EXPECT_EQ(name, "MIDIIN3 (VeNTUS XR)");
}

TEST(PortNamingTest, ErasuresStopAtEndOfText) {
    std::string text = "AMIDIOUT";
    removeWord(text, "MIDIOUT");
    EXPECT_EQ(text, "A");
    text = "x MIDIIN1";
    removeWord(text, "MIDIIN");
    EXPECT_EQ(text, "x ");
    text = "(a) MIDIIN12 (b)";
    removeWord(text, "MIDIIN");
    EXPECT_EQ(text, "a  (b)");
    text = "nothing here";
    removeWord(text, "MIDIIN");
    EXPECT_EQ(text, "nothing here");

    text = "Foo: Port ";
    EXPECT_EQ(takePortSuffix(text), ": Port ");
    EXPECT_EQ(text, "Foo");
    text = "A: Port 3 B: Port 4";
    EXPECT_EQ(takePortSuffix(text), ": Port 3");
    EXPECT_EQ(text, "A B: Port 4");
    text = "none";
    EXPECT_EQ(takePortSuffix(text), "");
    EXPECT_EQ(text, "none");
}

TEST(PortNamingTest, AppendPortNumberForEveryDigit) {
    std::string out = "Synth";
    appendPortNumber(out, "Synth 1 & 3", "Synth 1 & 3x");
    EXPECT_EQ(out, "Synth: Port 1: Port 3");
    out = "Synth: Port 5";
    appendPortNumber(out, "Synth 2", "Synth");
    EXPECT_EQ(out, "Synth: Port 5");
    out = "Gridlet";
    appendPortNumber(out, "xx- Gridlet", "Gridlet");
    EXPECT_EQ(out, "Gridlet: Port 1");
    out = "Zero";
    appendPortNumber(out, "Zero 0", "Zero");
    EXPECT_EQ(out, "Zero");
}

// A device manager with fixed ports, for the combined index.
class FakeDeviceList : public VeltroDeviceList {
public:
    std::string getPortName(uint32_t index) override { return "Dusker " + std::to_string(index + 1); }
    uint32_t getPortCount() override { return 2; }
    std::string getTypeName(uint32_t) override { return "Dusker"; }
    MIDI::Output* openOutput(uint32_t) override { return nullptr; }
    MIDI::Input* openInput(uint32_t) override { return nullptr; }
};

class OutputPortNameTest : public SimWinmmTest {
protected:
    void TearDown() override {
        setDeviceManager(nullptr);
        SimWinmmTest::TearDown();
    }
};

TEST_F(OutputPortNameTest, WinmmOutputsComeFirstThenDeviceManager) {
    sim.addDevice(0, "2- Gridlet");
    sim.addDevice(1, "Lumetra In");
    sim.addDevice(0, "MIDIOUT2 (Lumetra)");
    EXPECT_EQ(getOutputPortName(0, false, false), "Gridlet");
    EXPECT_EQ(getOutputPortName(0, true, true), "2- Gridlet: Port 1");
    EXPECT_EQ(getOutputPortName(1, false, false), "MIDIOUT2 Lumetra");
    EXPECT_EQ(getOutputPortName(1, true, true), "Lumetra: Port 2");
    // Without a device manager there are no ports past WinMM's.
    EXPECT_EQ(getOutputPortName(2, false, false), "");
    FakeDeviceList manager;
    setDeviceManager(&manager);
    EXPECT_EQ(getOutputPortName(2, false, false), "Dusker");
    EXPECT_EQ(getOutputPortName(3, true, true), "Dusker 2");
    EXPECT_EQ(getOutputPortName(3, true, false), "Dusker 2");
}

TEST_F(OutputPortNameTest, FailedCapsQueryGivesEmptyName) {
    sim.addDevice(0, "Gridlet");
    EXPECT_EQ(getOutputPortName(-1, false, false), "");
    EXPECT_EQ(getOutputPortName(-1, true, true), ": Port 1");
}

TEST_F(OutputPortNameTest, NamesAreReadAnewEveryCall) {
    const uint32_t id = sim.addDevice(0, "Gridlet");
    EXPECT_EQ(getOutputPortName(0, true, false), "Gridlet");
    sim.renameDevice(id, "Lumetra");
    EXPECT_EQ(getOutputPortName(0, true, false), "Lumetra");
}

TEST_F(OutputPortNameTest, ControllerShownUnderMakerNameUnlessTwoInputsCarryIt) {
    sim.addDevice(0, "Stroma");
    EXPECT_EQ(getOutputPortName(0, false, false), "Veltro Stroma");
    sim.addDevice(1, "Stroma");
    EXPECT_EQ(getOutputPortName(0, false, false), "Veltro Stroma");
    EXPECT_EQ(getOutputPortName(0, true, true), "Veltro Stroma: Port 1");
    sim.addDevice(1, "Other");
    sim.addDevice(1, "MIDIIN2 (Stroma)");
    EXPECT_EQ(getOutputPortName(0, false, false), "Stroma");
    EXPECT_EQ(getOutputPortName(0, true, true), "Stroma: Port 1");
}

TEST_F(OutputPortNameTest, PlatformRuleOfThisSystem) {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    ASSERT_TRUE(GetVersionExA(&version));
    ASSERT_GE(version.dwMajorVersion, 6u) << "this exe expects the default Wine version";
    sim.addDevice(0, "Gridlet");
    EXPECT_EQ(getOutputPortName(0, true, true), "Gridlet: Port 1");
    EXPECT_EQ(platformPortName("Foo: Port 2", true, true), "Foo: Port 2");
}

}  // namespace
