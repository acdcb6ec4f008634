#include <gtest/gtest.h>

#include <string>

#include "midi/PortNaming.h"
#include "midi/VeltroDeviceList.h"
#include "tests/midi/SimWinmmFixture.h"

namespace {

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
