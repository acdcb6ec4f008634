#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "midi/PortNaming.h"

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

}  // namespace
