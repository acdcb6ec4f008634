#include "tests/ks/KsTestSupport.h"

#include <cstddef>

namespace {

using kstest::KsTest;
using FilterList = TKsFilterList<CKsMidiFilter>;

// Layout of the connect block: KSPIN_CONNECT, then the 64-byte KSDATAFORMAT.
constexpr bool k64 = sizeof(void*) == 8;
static_assert(sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) == (k64 ? 136 : 128), "connect block");
static_assert(offsetof(KSPIN_CONNECT, Medium) == 24, "Medium");
static_assert(offsetof(KSPIN_CONNECT, PinId) == 48, "PinId");
static_assert(offsetof(KSPIN_CONNECT, PinToHandle) == (k64 ? 56 : 52), "PinToHandle");
static_assert(offsetof(KSPIN_CONNECT, Priority) == (k64 ? 64 : 56), "Priority");
static_assert(sizeof(KSSTREAM_HEADER) == (k64 ? 56 : 48), "stream header");
static_assert(offsetof(KSSTREAM_HEADER, FrameExtent) == 32, "FrameExtent");
static_assert(offsetof(KSSTREAM_HEADER, Data) == 40, "Data");

class MidiList : public KsTest {
protected:
    void SetUp() override { previous = IsMidiDataRange; }
    void TearDown() override { IsMidiDataRange = previous; }
    MidiDataRangePredicate previous = nullptr;
    const GUID audio = ToGuid(ksbytes::kKsCategoryAudio);
};

TEST_F(MidiList, DefaultPredicateIsInForce) { EXPECT_EQ(IsMidiDataRange, &DefaultIsMidiDataRange); }

TEST_F(MidiList, PresentMidiDevicesBecomeFilters) {
    simks::SimDevice& a = driver.addDevice("\\\\?\\usb#vid_1111&pid_0001#a", "Alpha");
    a.addPin(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK).addDataRange(kstest::MidiPortRange());
    a.addPin(KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK).addDataRange(kstest::MidiPortRange());
    a.setService("veltrousb", "\\SystemRoot\\system32\\drivers\\veltrousb.sys");
    // Not MIDI: an audio pin only.
    driver.addDevice("\\\\?\\usb#audio", "Audio")
        .addPin()
        .addDataRange(simks::MusicRange(ToGuid(ksbytes::kPropSetPin), ToGuid(ksbytes::kPropSetPin), 96, ToGuid(ksbytes::kPropSetPin)));
    // Another category.
    driver.addDevice("\\\\?\\usb#other", "Other").setCategory(ToGuid(ksbytes::kPropSetPin)).addPin().addDataRange(
        kstest::MidiPortRange());
    simks::SimDevice& b = driver.addDevice("\\\\?\\usb#vid_1111&pid_0002#b");
    b.addPin(KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH).addDataRange(kstest::MidiPortRange());

    {
        FilterList list(audio);
        list.EnumerateDevices();
        ASSERT_EQ(list.GetFilterCount(), 2u);
        ASSERT_EQ(list.GetDeviceCount(), 2u);
        CKsMidiFilter* first = list.GetFilter(0);
        EXPECT_STREQ(first->GetDevicePath(), "\\\\?\\usb#vid_1111&pid_0001#a");
        EXPECT_STREQ(first->GetFriendlyName(), "Alpha");
        EXPECT_EQ(first->InSinkPins().GetCount(), 1u);
        EXPECT_EQ(first->OutSinkPins().GetCount(), 1u);
        EXPECT_NE(dynamic_cast<CKsMidiPin*>(static_cast<CKsPin*>(first->Pins().GetAt(0))), nullptr);
        DeviceRecord* record = list.GetFilterRecord(0);
        EXPECT_STREQ(record->imagePath, "\\SystemRoot\\system32\\drivers\\veltrousb.sys");
        EXPECT_STREQ(record->friendlyName, "Alpha");
        CKsMidiFilter* second = list.GetFilter(1);
        EXPECT_STREQ(second->GetFriendlyName(), "");
        EXPECT_EQ(list.GetDeviceRecord(1)->imagePath[0], '\0');
        EXPECT_EQ(list.GetFilter(2), nullptr);
        EXPECT_EQ(list.GetFilter(32), nullptr);
        // Enumerating again adds nothing.
        list.EnumerateDevices();
        EXPECT_EQ(list.GetFilterCount(), 2u);
    }
    // Every handle, set and key was given back.
    EXPECT_EQ(driver.openHandles(), 0);
    // Nothing failed that would be shown.
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(MidiList, PathsDifferingInCaseGiveOneRecord) {
    driver.addDevice("\\\\?\\usb#vid_1111&pid_0001#a").addPin().addDataRange(kstest::MidiPortRange());
    driver.addDevice("\\\\?\\USB#VID_1111&PID_0001#A").addPin().addDataRange(kstest::MidiPortRange());
    FilterList list(audio);
    list.EnumerateDevices();
    EXPECT_EQ(list.GetDeviceCount(), 1u);
    EXPECT_EQ(list.GetFilterCount(), 1u);
    EXPECT_NE(list.FindDeviceRecord("\\\\?\\Usb#Vid_1111&Pid_0001#a"), nullptr);
}

TEST_F(MidiList, LongFriendlyNameIsCut) {
    std::string name(300, 'n');
    driver.addDevice("\\\\?\\usb#long", name).addPin().addDataRange(kstest::MidiPortRange());
    FilterList list(audio);
    list.EnumerateDevices();
    ASSERT_EQ(list.GetFilterCount(), 1u);
    EXPECT_EQ(std::string(list.GetFilter(0)->GetFriendlyName()), name.substr(0, 259));
    EXPECT_EQ(std::string(list.GetDeviceRecord(0)->friendlyName), name.substr(0, 259));
}

TEST_F(MidiList, FriendlyNameOfTheLargestSizeIsNotRead) {
    driver.addDevice("\\\\?\\usb#huge", "Huge")
        .setFriendlyNameSizeReport(MAXDWORD)
        .addPin()
        .addDataRange(kstest::MidiPortRange());
    FilterList list(audio);
    list.EnumerateDevices();
    ASSERT_EQ(list.GetFilterCount(), 1u);
    EXPECT_STREQ(list.GetDeviceRecord(0)->friendlyName, "");
}

TEST_F(MidiList, FilterWithoutMidiRangeIsLeftOut) {
    simks::SimDevice& dev = driver.addDevice("\\\\?\\usb#nomidi", "Hidden only");
    dev.addHiddenMidiPin(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK);
    FilterList list(audio);
    list.EnumerateDevices();
    EXPECT_EQ(list.GetFilterCount(), 0u);
    EXPECT_EQ(list.GetDeviceCount(), 0u);
    EXPECT_EQ(driver.openHandles(), 0);
    // The device manager's predicate admits the hidden pins.
    IsMidiDataRange = kstest::AcceptHiddenRange;
    list.EnumerateDevices();
    EXPECT_EQ(list.GetFilterCount(), 1u);
}

TEST_F(MidiList, OnlyMidiPinIsNoCommunication) {
    driver.addDevice("\\\\?\\usb#nocomm").addPin(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE).addDataRange(
        kstest::MidiPortRange());
    HRESULT outcome;
    CKsMidiFilter* filter = new CKsMidiFilter("\\\\?\\usb#nocomm", &outcome);
    ASSERT_EQ(filter->Instantiate(), S_OK);
    EXPECT_EQ(filter->EnumeratePins(), E_FAIL);
    EXPECT_EQ(filter->NoCommPins().GetCount(), 1u);
    filter->Release();
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(MidiList, DataRangeRequestFailureFailsTheEnumeration) {
    simks::SimDevice& dev = driver.addDevice("\\\\?\\usb#ranges");
    dev.addPin().addDataRange(kstest::MidiPortRange());
    dev.addPin().refuse(KSPROPERTY_PIN_DATARANGES);
    HRESULT outcome;
    CKsMidiFilter* filter = new CKsMidiFilter("\\\\?\\usb#ranges", &outcome);
    ASSERT_EQ(filter->Instantiate(), S_OK);
    EXPECT_EQ(filter->EnumeratePins(), E_FAIL);
    // The pin already stored stays.
    EXPECT_EQ(filter->Pins().GetCount(), 1u);
    filter->Release();
}

// One hung request costs one time limit: the filter is left out and not asked again,
// whichever request hung.
TEST_F(MidiList, HungDriverIsLeftOutWithinOneTimeLimit) {
    IsMidiDataRange = kstest::AcceptHiddenRange;
    driver.addDevice("\\\\?\\usb#good").addHiddenMidiPin(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK);
    const simks::PropertyFault hang = kstest::Fault(simks::PropertyFault::Hang);
    // A hung driver answers nothing more: first the data ranges the filter asks for, then
    // everything the pin asks for once the ranges were read.
    const std::vector<std::vector<ULONG>> hungSets = {
        {KSPROPERTY_PIN_DATARANGES},
        {KSPROPERTY_PIN_COMMUNICATION, KSPROPERTY_PIN_INTERFACES, KSPROPERTY_PIN_MEDIUMS, KSPROPERTY_PIN_DATAFLOW,
         KSPROPERTY_PIN_CINSTANCES, KSPROPERTY_PIN_GLOBALCINSTANCES, KSPROPERTY_PIN_CATEGORY, KSPROPERTY_PIN_NAME}};
    for (const std::vector<ULONG>& hung : hungSets) {
        const ULONG id = hung.front();
        const std::string path = "\\\\?\\usb#hung" + std::to_string(id);
        simks::SimPin& pin = driver.addDevice(path).addHiddenMidiPin(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK);
        for (ULONG property : hung) pin.fault(property, hang);
        capture.clear();
        auto start = std::chrono::steady_clock::now();
        {
            FilterList list(audio);
            list.EnumerateDevices();
            ASSERT_EQ(list.GetFilterCount(), 1u) << id;
            EXPECT_STREQ(list.GetFilter(0)->GetDevicePath(), "\\\\?\\usb#good");
        }
        EXPECT_LT(kstest::ElapsedMs(start), kstest::kHungRequestBoundMs) << id;
        EXPECT_TRUE(Shows("CKsIrpTarget::SyncIoctl WaitForSingleObject failed dwWait:0x00000102")) << id;
        driver.removeDevice(path);
    }
    EXPECT_EQ(driver.liveRequests(), 0u);
    EXPECT_EQ(driver.openHandles(), 0);
}

TEST_F(MidiList, SeveralRangesConnectWithTheFirst) {
    IsMidiDataRange = kstest::AcceptHiddenRange;
    simks::SimDevice& dev = driver.addDevice("\\\\?\\usb#several");
    simks::Bytes first = kstest::MidiPortRange(92);
    std::memset(first.data() + 48, 0x5A, 16);  // a Specifier to recognise
    simks::SimPin& simPin = dev.addPin(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK);
    dev.addPin(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK);
    simks::SimPin& third = dev.addPin(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK);
    simPin.addDataRange(first).addDataRange(simks::HiddenMidiRange());
    third.addDataRange(simks::HiddenMidiRange());

    FilterList list(audio);
    list.EnumerateDevices();
    ASSERT_EQ(list.GetFilterCount(), 1u);
    CKsMidiFilter* filter = list.GetFilter(0);
    ASSERT_EQ(filter->InSinkPins().GetCount(), 2u);
    auto* pin = static_cast<CKsPin*>(filter->InSinkPins().GetAt(0));
    EXPECT_EQ(pin->GetPinId(), 0u);
    EXPECT_EQ(static_cast<CKsPin*>(filter->InSinkPins().GetAt(1))->GetPinId(), 2u);
    ASSERT_EQ(pin->Instantiate(FALSE), S_OK);

    simks::Bytes block = simPin.connectBlock();
    ASSERT_EQ(block.size(), CKsPin::kConnectSize);
    ASSERT_EQ(block.size(), k64 ? 136u : 128u);
    auto u32 = [&](size_t at) { return ksbytes::ReadU32(block.data() + at); };
    auto guid = [&](size_t at) { return ksbytes::ReadGuid(block.data() + at); };
    EXPECT_EQ(guid(0), ksbytes::kInterfaceSetStandard);
    EXPECT_EQ(u32(16), 0u);  // KSINTERFACE_STANDARD_STREAMING
    EXPECT_EQ(u32(20), 0u);
    EXPECT_EQ(guid(24), ksbytes::kMediumSetStandard);
    EXPECT_EQ(u32(40), 0u);  // KSMEDIUM_TYPE_ANYINSTANCE
    EXPECT_EQ(u32(44), 0u);
    EXPECT_EQ(u32(48), 0u);  // PinId
    const size_t priority = k64 ? 64 : 56;
    for (size_t at = 52; at < priority; ++at) EXPECT_EQ(block[at], 0) << at;  // PinToHandle (and padding)
    EXPECT_EQ(u32(priority), 0x40000000u);
    EXPECT_EQ(u32(priority + 4), 1u);
    const size_t format = priority + 8;
    EXPECT_EQ(u32(format), 64u);
    EXPECT_EQ(u32(format + 4), 0u);
    EXPECT_EQ(u32(format + 8), 0u);
    EXPECT_EQ(u32(format + 12), 0u);
    EXPECT_EQ(guid(format + 16), ksbytes::kDataFormatTypeMusic);
    EXPECT_EQ(guid(format + 32), ksbytes::kDataFormatSubtypeMidi);
    EXPECT_EQ(simks::Bytes(block.begin() + format + 48, block.end()), simks::Bytes(16, 0x5A));
}

TEST_F(MidiList, AtMost32Interfaces) {
    for (int i = 0; i < 40; ++i)
        driver.addDevice("\\\\?\\usb#many" + std::to_string(i)).addPin().addDataRange(kstest::MidiPortRange());
    {
        FilterList list(audio);
        list.EnumerateDevices();
        EXPECT_EQ(list.GetDeviceCount(), 32u);
        EXPECT_EQ(list.GetFilterCount(), 32u);
        EXPECT_STREQ(list.GetFilter(31)->GetDevicePath(), "\\\\?\\usb#many31");
        EXPECT_EQ(list.GetFilter(32), nullptr);
        EXPECT_EQ(driver.device("\\\\?\\usb#many32")->openCount(), 0);
        list.AddDevice(INVALID_HANDLE_VALUE, "\\\\?\\usb#many39");
        EXPECT_EQ(list.GetDeviceCount(), 32u);
        EXPECT_EQ(driver.device("\\\\?\\usb#many39")->openCount(), 0);
    }
    EXPECT_EQ(driver.openHandles(), 0);
}

TEST_F(MidiList, MalformedRangeRepliesAreReadInsideTheReply) {
    simks::Bytes range = kstest::MidiPortRange();
    auto reply = [&](uint32_t count, const simks::Bytes& body) {
        simks::Bytes out = kstest::Header(count, body.size());
        out.insert(out.end(), body.begin(), body.end());
        return out;
    };
    simks::Bytes zeroSize = range;
    std::memset(zeroSize.data(), 0, 4);
    simks::Bytes size64 = range;
    size64[0] = 64;
    simks::Bytes oversize = range;
    oversize[0] = 200;
    struct Case {
        const char* what;
        simks::Bytes reply;
        bool midi;
    };
    const Case cases[] = {
        {"count larger than the reply", reply(7, range), true},
        {"huge count, header only", reply(0xFFFFFFFFu, {}), false},
        {"FormatSize 0", reply(2, zeroSize), false},
        {"FormatSize below 80", reply(1, size64), false},
        {"range runs past the reply", reply(1, oversize), false},
        {"short header", simks::Bytes(6, 1), false},
        {"empty", simks::Bytes(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        simks::SimKsDriver* sim = &driver;
        std::string path = std::string("\\\\?\\usb#bad ") + c.what;
        simks::SimPin& pin = sim->addDevice(path).addPin();
        pin.addDataRange(range).fault(KSPROPERTY_PIN_DATARANGES, kstest::Replace(c.reply));
        HRESULT outcome;
        CKsMidiFilter* filter = new CKsMidiFilter(path.c_str(), &outcome);
        ASSERT_EQ(filter->Instantiate(), S_OK);
        EXPECT_EQ(filter->EnumeratePins(), c.midi ? S_OK : E_FAIL);
        EXPECT_EQ(filter->Pins().GetCount(), c.midi ? 1u : 0u);
        filter->Release();
    }
}

TEST_F(MidiList, RemovedRecordClosesItsFilter) {
    driver.addDevice("\\\\?\\usb#r0").addPin().addDataRange(kstest::MidiPortRange());
    driver.addDevice("\\\\?\\usb#r1").addPin().addDataRange(kstest::MidiPortRange());
    FilterList list(audio);
    list.EnumerateDevices();
    ASSERT_EQ(list.GetFilterCount(), 2u);
    int open = driver.openHandles();
    list.OnDeviceRemoved(list.GetDeviceRecord(0));
    EXPECT_EQ(list.GetFilter(0), nullptr);
    EXPECT_EQ(list.GetFilterRecord(0), nullptr);
    EXPECT_EQ(list.GetFilterCount(), 2u);
    EXPECT_NE(list.GetFilter(1), nullptr);
    EXPECT_EQ(driver.openHandles(), open - 1);
}

TEST_F(MidiList, FilterHeldByAPortOutlivesTheList) {
    simks::SimPin& simPin = driver.addDevice("\\\\?\\usb#held").addPin(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK);
    simPin.addDataRange(kstest::MidiPortRange());
    CKsMidiFilter* held = nullptr;
    {
        FilterList list(audio);
        list.EnumerateDevices();
        ASSERT_EQ(list.GetFilterCount(), 1u);
        held = list.GetFilter(0);
        held->AddRef();
    }
    ASSERT_NE(held->GetHandle(), INVALID_HANDLE_VALUE);
    auto* pin = static_cast<CKsPin*>(held->InSinkPins().GetAt(0));
    EXPECT_EQ(pin->Instantiate(FALSE), S_OK);
    EXPECT_EQ(pin->SetState(KSSTATE_ACQUIRE), S_OK);
    held->Release();
    EXPECT_EQ(driver.openHandles(), 0);
    EXPECT_EQ(simPin.stateRequests(), (std::vector<uint32_t>{KSSTATE_ACQUIRE, KSSTATE_STOP}));
}

TEST_F(MidiList, OnlyLevelOneLinesReachTheDebugger) {
    // A mix of failures at every level: refused properties (3), a bad communication
    // type (5), a pin the driver will not create (1).
    simks::SimDevice& dev = driver.addDevice("\\\\?\\usb#levels");
    dev.addPin(KSPIN_DATAFLOW_IN, 9).addDataRange(kstest::MidiPortRange());
    simks::SimPin& pin = dev.addPin(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK);
    pin.addDataRange(kstest::MidiPortRange()).refuse(KSPROPERTY_PIN_NAME).setCreateError(ERROR_BUSY);
    FilterList list(audio);
    list.EnumerateDevices();
    ASSERT_EQ(list.GetFilterCount(), 1u);
    EXPECT_EQ(list.GetFilter(0)->EnumerateNodes(), S_OK);
    auto* midiPin = static_cast<CKsPin*>(list.GetFilter(0)->InSinkPins().GetAt(0));
    EXPECT_EQ(midiPin->Instantiate(FALSE), HRESULT(0x800700AA));
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"Failed to instantiate pin. hr=0x800700aa", "\r\n"}));
}

}  // namespace
