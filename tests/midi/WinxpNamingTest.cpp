#include <gtest/gtest.h>

#include "midi/PortNaming.h"
#include "tests/midi/SimWinmmFixture.h"

namespace {

class WinxpNamingTest : public SimWinmmTest {};

TEST_F(WinxpNamingTest, ThisExeSeesWindowsXp) {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    ASSERT_TRUE(GetVersionExA(&version));
    EXPECT_LT(version.dwMajorVersion, 6u);
}

TEST_F(WinxpNamingTest, NamesKeepTheirSuffix) {
    sim.addDevice(0, "Gridlet");
    sim.addDevice(0, "Foo: Port 2");
    sim.addDevice(0, "2- Gridlet");
    EXPECT_EQ(getOutputPortName(0, false, false), "Gridlet");
    EXPECT_EQ(getOutputPortName(0, true, true), "Gridlet ");
    EXPECT_EQ(getOutputPortName(1, true, true), "Foo : Port 2");
    EXPECT_EQ(getOutputPortName(1, true, false), "Foo");
    EXPECT_EQ(getOutputPortName(2, false, false), "Gridlet");
    EXPECT_EQ(getOutputPortName(2, false, true), "Gridlet ");
    EXPECT_EQ(getOutputPortName(2, true, false), "2- Gridlet");
    EXPECT_EQ(getOutputPortName(2, true, true), "2- Gridlet ");
}

}  // namespace
