#include "tests/ks/KsTestSupport.h"

#include <thread>

#include "ks/KsOsApi.h"

namespace {

using kstest::KsTest;

const char kPath[] = "\\\\?\\dev#pin";

class Pin : public KsTest {
protected:
    void SetUp() override {
        simPin = &driver.addDevice(kPath).addPin(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK);
        simPin->addDataRange(kstest::MidiPortRange());
    }
    void TearDown() override {
        delete built;
        if (filter) filter->Release();
    }
    CKsPin* Build(HRESULT expected = S_OK) {
        filter = OpenFilter(kPath);
        HRESULT outcome = E_FAIL;
        built = new CKsPin(filter, 0, &outcome);
        EXPECT_EQ(outcome, expected);
        return built;
    }
    // A connect block for the pin's MIDI range.
    static void Connect(CKsPin* pin) {
        ASSERT_EQ(kstest::ConnectPin(pin, simks::kMidiSubFormat), S_OK);
    }
    CKsPin* Running() {
        CKsPin* pin = Build();
        Connect(pin);
        EXPECT_EQ(pin->Instantiate(FALSE), S_OK);
        for (KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) EXPECT_EQ(pin->SetState(s), S_OK);
        return pin;
    }

    simks::SimPin* simPin = nullptr;
    CKsFilter* filter = nullptr;
    CKsPin* built = nullptr;
};

TEST_F(Pin, ReadsItsDescription) {
    simPin->setInstances(4, 1).setGlobalInstances(8, 2).setCategory(ToGuid(ksbytes::kPropSetTopology)).setName("Port 1");
    simPin->addInterface(ToGuid(ksbytes::kPropSetPin), 5, 1);
    CKsPin* pin = Build(S_OK);
    EXPECT_EQ(pin->GetCommunication(), ULONG(KSPIN_COMMUNICATION_SINK));
    EXPECT_EQ(pin->GetDataFlow(), ULONG(KSPIN_DATAFLOW_IN));
    EXPECT_EQ(pin->GetInstances().PossibleCount, 4u);
    EXPECT_EQ(pin->GetInstances().CurrentCount, 1u);
    EXPECT_EQ(pin->GetGlobalInstances().PossibleCount, 8u);
    EXPECT_EQ(FromGuid(pin->GetCategory()), ksbytes::kPropSetTopology);
    EXPECT_STREQ(pin->GetName(), "Port 1");
    ASSERT_EQ(pin->GetInterfaceCount(), 2u);
    EXPECT_EQ(FromGuid(pin->GetInterfaces()[1].Set), ksbytes::kPropSetPin);
    EXPECT_EQ(pin->GetInterfaces()[1].Id, 5u);
    ASSERT_EQ(pin->GetMediumCount(), 1u);
    EXPECT_EQ(FromGuid(pin->GetMediums()[0].Set), ksbytes::kMediumSetStandard);
    ASSERT_EQ(pin->GetDataRangeCount(), 1u);
    EXPECT_EQ(FromGuid(pin->GetDataRanges()[0].SubFormat), ksbytes::kDataFormatSubtypeMidi);
    EXPECT_EQ(pin->GetState(), KSSTATE_STOP);
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(Pin, PinAnsweringSomePropertiesIsKeptWithSFalse) {
    simPin->refuse(KSPROPERTY_PIN_NAME).refuse(KSPROPERTY_PIN_MEDIUMS).refuse(KSPROPERTY_PIN_CATEGORY);
    driver.device(kPath)->addPin(KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK).refuse(KSPROPERTY_PIN_CINSTANCES);
    filter = OpenFilter(kPath);
    EXPECT_EQ(filter->EnumeratePins(), S_OK);
    ASSERT_EQ(filter->Pins().GetCount(), 2u);
    auto* pin = static_cast<CKsPin*>(filter->Pins().GetAt(0));
    EXPECT_EQ(pin->GetMediumCount(), 0u);
    EXPECT_EQ(pin->GetMediums(), nullptr);
    EXPECT_EQ(pin->GetInterfaceCount(), 1u);
    EXPECT_STREQ(pin->GetName(), "");
    EXPECT_EQ(filter->InSinkPins().GetCount(), 1u);
    EXPECT_EQ(filter->OutSinkPins().GetCount(), 1u);
    // Level-3 messages are not shown.
    EXPECT_TRUE(capture.lines().empty());
    HRESULT outcome = S_OK;
    CKsPin second(filter, 1, &outcome);
    EXPECT_EQ(outcome, S_FALSE);
}

TEST_F(Pin, ShortAndMalformedRepliesAreFailedReads) {
    simks::Bytes countTooLarge = kstest::Header(3, 24);
    countTooLarge.resize(8 + 24);
    simks::Bytes badRange = kstest::Header(1, 96);
    badRange.resize(8 + 96);  // FormatSize 0
    simPin->fault(KSPROPERTY_PIN_INTERFACES, kstest::Replace(countTooLarge))
        .fault(KSPROPERTY_PIN_MEDIUMS, kstest::Replace({}, 0))
        .fault(KSPROPERTY_PIN_DATARANGES, kstest::Replace(badRange));
    CKsPin* pin = Build(S_FALSE);
    EXPECT_EQ(pin->GetInterfaceCount(), 0u);
    EXPECT_EQ(pin->GetInterfaces(), nullptr);
    EXPECT_EQ(pin->GetMediumCount(), 0u);
    EXPECT_EQ(pin->GetDataRangeCount(), 0u);
    EXPECT_EQ(pin->GetDataRanges(), nullptr);
}

TEST_F(Pin, TruncatedReplyIsReadByItsCompletedSize) {
    // The probe asks for room for three ranges; the completion carries one.
    simks::Bytes one = kstest::Header(1, 96);
    simks::Bytes range = kstest::MidiPortRange();
    one.insert(one.end(), range.begin(), range.end());
    simks::Bytes claimsTwo = one;
    claimsTwo[4] = 2;
    simPin->fault(KSPROPERTY_PIN_DATARANGES, kstest::Replace(one, 8 + 3 * 96));
    CKsPin* pin = Build(S_OK);
    EXPECT_EQ(pin->GetDataRangeCount(), 1u);
    simPin->fault(KSPROPERTY_PIN_DATARANGES, kstest::Replace(claimsTwo, 8 + 3 * 96));
    HRESULT outcome = S_OK;
    CKsPin second(filter, 0, &outcome);
    EXPECT_EQ(outcome, S_FALSE);
    EXPECT_EQ(second.GetDataRangeCount(), 0u);
}

TEST_F(Pin, FixedSizePropertiesRejectShortReplies) {
    const struct {
        ULONG id;
        size_t size;
    } fixed[] = {{KSPROPERTY_PIN_COMMUNICATION, 4},
                 {KSPROPERTY_PIN_DATAFLOW, 4},
                 {KSPROPERTY_PIN_CINSTANCES, 8},
                 {KSPROPERTY_PIN_GLOBALCINSTANCES, 8},
                 {KSPROPERTY_PIN_CATEGORY, 16}};
    filter = OpenFilter(kPath);
    for (const auto& f : fixed) {
        for (size_t got : {size_t(0), f.size - 1}) {
            simPin->fault(f.id, kstest::Replace(simks::Bytes(got, 0xAB)));
            HRESULT outcome = S_OK;
            CKsPin pin(filter, 0, &outcome);
            EXPECT_EQ(outcome, S_FALSE) << f.id << " " << got;
            // No field took any of the short reply's bytes.
            EXPECT_NE(pin.GetCommunication() & 0xFF, 0xABu);
            EXPECT_NE(pin.GetDataFlow() & 0xFF, 0xABu);
            EXPECT_NE(pin.GetInstances().PossibleCount & 0xFF, 0xABu);
            EXPECT_NE(pin.GetGlobalInstances().PossibleCount & 0xFF, 0xABu);
            EXPECT_NE(pin.GetCategory().Data1 & 0xFF, 0xABu);
        }
        simPin->fault(f.id, kstest::Replace(simks::Bytes(f.size, 0)));
    }
}

TEST_F(Pin, RangeRepliesBeyondTheBlockAreFailedReads) {
    using simks::PropertyFault;
    simks::Bytes ranges = kstest::Header(1, 96);
    simks::Bytes range = kstest::MidiPortRange();
    ranges.insert(ranges.end(), range.begin(), range.end());
    const PropertyFault faults[] = {kstest::Fault(PropertyFault::Grow, ranges, 0),
                                    kstest::Fault(PropertyFault::Oversize, ranges, 8)};
    filter = OpenFilter(kPath);
    for (const PropertyFault& fault : faults) {
        simPin->fault(KSPROPERTY_PIN_DATARANGES, fault);
        HRESULT outcome = S_OK;
        CKsPin pin(filter, 0, &outcome);
        EXPECT_EQ(outcome, S_FALSE) << fault.kind;
        EXPECT_EQ(pin.GetDataRangeCount(), 0u) << fault.kind;
    }
}

TEST_F(Pin, InstantiatingAgainClosesTheFirstInstance) {
    CKsPin* pin = Running();
    int open = driver.openHandles();
    ASSERT_EQ(pin->Instantiate(FALSE), S_OK);
    EXPECT_EQ(simPin->createCount(), 2);
    EXPECT_EQ(simPin->openInstances(), 1);
    EXPECT_EQ(driver.openHandles(), open);
    EXPECT_EQ(simPin->stateRequests().back(), uint32_t(KSSTATE_STOP));
}

TEST_F(Pin, InstantiateWithoutConnectBlockCallsNothing) {
    CKsPin* pin = Build();
    EXPECT_EQ(pin->Instantiate(FALSE), E_INVALIDARG);
    EXPECT_EQ(driver.ksUserLoads(), 0);
    EXPECT_EQ(simPin->createCount(), 0);
    EXPECT_EQ(pin->GetHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(pin->SetPinConnect(nullptr, 0), E_INVALIDARG);
}

TEST_F(Pin, MissingKsUserFailsAndIsLookedForAgain) {
    driver.setKsUserPresent(false);
    CKsPin* pin = Build();
    Connect(pin);
    EXPECT_EQ(pin->Instantiate(FALSE), HRESULT(0x80070002));
    EXPECT_EQ(pin->Instantiate(FALSE), HRESULT(0x80070002));
    EXPECT_EQ(pin->GetHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(driver.ksUserLoads(), 2);
    EXPECT_EQ(Shown(), std::vector<std::string>(2, "Failed to instantiate pin. hr=0x80070002"));

    driver.setKsUserPresent(true);
    driver.setKsCreatePinExported(false);
    EXPECT_EQ(pin->Instantiate(FALSE), HRESULT(0x80070002));
    driver.setKsCreatePinExported(true);
    EXPECT_EQ(pin->Instantiate(FALSE), S_OK);
    // The library is kept once loaded.
    int loads = driver.ksUserLoads();
    pin->ClosePin();
    EXPECT_EQ(pin->Instantiate(FALSE), S_OK);
    EXPECT_EQ(driver.ksUserLoads(), loads);
    EXPECT_EQ(simPin->createCount(), 2);
    EXPECT_EQ(simPin->createAccess(), DWORD(GENERIC_READ | GENERIC_WRITE));
}

// Pins are instantiated on ports' reading threads as well as the caller's: two threads
// binding KsCreatePin at once load ksuser.dll once.
TEST_F(Pin, TwoThreadsBindKsCreatePinOnce) {
    simPin->setInstances(2, 0);
    driver.setKsUserLoadDelay(200);
    CKsPin* first = Build();
    Connect(first);
    HRESULT outcome = E_FAIL;
    CKsPin second(filter, 0, &outcome);
    Connect(&second);
    HRESULT results[2] = {E_FAIL, E_FAIL};
    std::thread other([&] { results[1] = second.Instantiate(FALSE); });
    results[0] = first->Instantiate(FALSE);
    other.join();
    EXPECT_EQ(results[0], S_OK);
    EXPECT_EQ(results[1], S_OK);
    EXPECT_EQ(driver.ksUserLoads(), 1);
    EXPECT_EQ(simPin->openInstances(), 2);
}

TEST_F(Pin, CreateErrorsBecomeHresults) {
    simPin->setCreateError(ERROR_NO_SYSTEM_RESOURCES);
    CKsPin* pin = Build();
    Connect(pin);
    EXPECT_EQ(pin->Instantiate(FALSE), HRESULT(0x800705AA));
    EXPECT_EQ(Shown(), std::vector<std::string>{"Failed to instantiate pin. hr=0x800705aa"});
}

TEST_F(Pin, LoopedFlagChoosesTheInterface) {
    CKsPin* pin = Build();
    Connect(pin);
    ASSERT_EQ(pin->Instantiate(TRUE), S_OK);
    EXPECT_EQ(reinterpret_cast<const KSPIN_CONNECT*>(simPin->connectBlock().data())->Interface.Id,
              ULONG(KSINTERFACE_STANDARD_LOOPED_STREAMING));
    EXPECT_TRUE(pin->IsLooped());
    pin->ClosePin();
    ASSERT_EQ(pin->Instantiate(FALSE), S_OK);
    EXPECT_EQ(reinterpret_cast<const KSPIN_CONNECT*>(simPin->connectBlock().data())->Interface.Id,
              ULONG(KSINTERFACE_STANDARD_STREAMING));
}

TEST_F(Pin, RefusedStateChangeKeepsTheStoredState) {
    simPin->refuseState(KSSTATE_PAUSE);
    CKsPin* pin = Build();
    Connect(pin);
    ASSERT_EQ(pin->Instantiate(FALSE), S_OK);
    EXPECT_EQ(pin->SetState(KSSTATE_ACQUIRE), S_OK);
    EXPECT_EQ(pin->SetState(KSSTATE_PAUSE), E_FAIL);
    EXPECT_EQ(pin->GetState(), KSSTATE_ACQUIRE);
    EXPECT_EQ(simPin->state(), uint32_t(KSSTATE_ACQUIRE));
    EXPECT_EQ(Shown(), std::vector<std::string>{"Failed to Set Pin State"});
    EXPECT_EQ(simPin->stateRequests(), (std::vector<uint32_t>{KSSTATE_ACQUIRE, KSSTATE_PAUSE}));
}

TEST_F(Pin, ClosingAPinThatWasNeverInstantiatedSendsNothing) {
    CKsPin* pin = Build();
    int requests = driver.propertyRequests();
    int open = driver.openHandles();
    pin->ClosePin();
    EXPECT_EQ(driver.propertyRequests(), requests);
    EXPECT_EQ(driver.openHandles(), open);
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(Pin, ClosePinStopsAndCloses) {
    CKsPin* pin = Running();
    pin->ClosePin();
    EXPECT_EQ(pin->GetHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(simPin->stateRequests().back(), uint32_t(KSSTATE_STOP));
    EXPECT_EQ(simPin->openInstances(), 0);
}

using kstest::Stream;

TEST_F(Pin, PendedWriteCompletesThroughTheEvent) {
    CKsPin* pin = Running();
    simPin->setWriteMode(simks::WriteMode::Never);
    Stream s(15);
    const BYTE msg[] = {0x90, 0x40, 0x7F};
    uint32_t count = 3;
    std::memcpy(s.buffer + 4, &count, 4);
    std::memcpy(s.buffer + 8, msg, 3);
    s.header.DataUsed = 12;
    EXPECT_EQ(pin->WriteData(&s.header, &s.overlapped), S_OK);
    EXPECT_FALSE(s.Signalled(0));
    ASSERT_EQ(simPin->writes().size(), 1u);
    simks::SimWrite w = simPin->writes()[0];
    EXPECT_EQ(w.midi, simks::Bytes(msg, msg + 3));
    EXPECT_EQ(w.headerSize, uint32_t(sizeof(KSSTREAM_HEADER)));
    EXPECT_EQ(w.dataUsed, 12u);
    EXPECT_EQ(w.frameExtent, 15u);
    simPin->completePendingWrites();
    EXPECT_TRUE(s.Signalled(2000));

    simPin->setWriteMode(simks::WriteMode::Later, 30);
    EXPECT_EQ(pin->WriteData(&s.header, &s.overlapped), S_OK);
    EXPECT_TRUE(s.Signalled(2000));
    simPin->setWriteMode(simks::WriteMode::Now);
    EXPECT_EQ(pin->WriteData(&s.header, &s.overlapped), S_OK);
    EXPECT_TRUE(s.Signalled(0));
    EXPECT_EQ(simPin->writes().size(), 3u);
}

TEST_F(Pin, RefusedStreamRequestsFail) {
    CKsPin* pin = Running();
    simPin->setWriteMode(simks::WriteMode::Refuse);
    Stream s(20);
    EXPECT_EQ(pin->WriteData(&s.header, &s.overlapped), E_FAIL);
    s.header.Size = 12;  // not a stream header
    EXPECT_EQ(pin->ReadData(&s.header, &s.overlapped), E_FAIL);
    EXPECT_EQ(Shown(), (std::vector<std::string>{"CKsPin::WriteData's DeviceIoControl Failed!  Error=0x0x00001f",
                                                 "DeviceIoControl Failed!  Error=0x00000057"}));
}

TEST_F(Pin, ReadsDeliverQueuedBytesInMusicFrames) {
    CKsPin* pin = Running();
    simPin->queueInput({0xB0, 0x10, 0x40});
    Stream s(20);
    ASSERT_EQ(pin->ReadData(&s.header, &s.overlapped), S_OK);
    ASSERT_TRUE(s.Signalled(0));
    EXPECT_EQ(ksbytes::ReadU32(s.buffer + 4), 3u);
    EXPECT_EQ(simks::Bytes(s.buffer + 8, s.buffer + 11), (simks::Bytes{0xB0, 0x10, 0x40}));

    // Nothing queued: the read waits until the driver has bytes.
    ASSERT_EQ(pin->ReadData(&s.header, &s.overlapped), S_OK);
    EXPECT_FALSE(s.Signalled(0));
    simks::Bytes many(15);
    for (size_t i = 0; i < many.size(); ++i) many[i] = BYTE(i);
    std::thread feeder([&] { simPin->queueInput(many); });
    ASSERT_TRUE(s.Signalled(2000));
    feeder.join();
    EXPECT_EQ(ksbytes::ReadU32(s.buffer + 4), 12u);
    EXPECT_EQ(simks::Bytes(s.buffer + 8, s.buffer + 20), simks::Bytes(many.begin(), many.begin() + 12));
    ASSERT_EQ(pin->ReadData(&s.header, &s.overlapped), S_OK);
    ASSERT_TRUE(s.Signalled(0));
    EXPECT_EQ(ksbytes::ReadU32(s.buffer + 4), 3u);
}

TEST_F(Pin, StopEndsAnOutstandingRead) {
    CKsPin* pin = Running();
    Stream s(20);
    ASSERT_EQ(pin->ReadData(&s.header, &s.overlapped), S_OK);
    EXPECT_EQ(simPin->pendingReads(), 1u);
    // CancelIo from another thread leaves it; stopping the pin ends it.
    std::thread other([&] { KsOs().CancelIo(pin->GetHandle()); });
    other.join();
    EXPECT_EQ(simPin->pendingReads(), 1u);
    EXPECT_EQ(pin->SetState(KSSTATE_PAUSE), S_OK);
    EXPECT_EQ(pin->SetState(KSSTATE_ACQUIRE), S_OK);
    EXPECT_EQ(pin->SetState(KSSTATE_STOP), S_OK);
    EXPECT_TRUE(s.Signalled(2000));
    EXPECT_EQ(simPin->pendingReads(), 0u);
}

TEST_F(Pin, RemovedDeviceEndsOutstandingRequests) {
    CKsPin* pin = Running();
    Stream s(20);
    ASSERT_EQ(pin->ReadData(&s.header, &s.overlapped), S_OK);
    driver.removeDevice(kPath);
    EXPECT_TRUE(s.Signalled(2000));
    DWORD bytes = 0;
    EXPECT_FALSE(KsOs().GetOverlappedResult(pin->GetHandle(), &s.overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_REMOVED));
    EXPECT_EQ(pin->SetState(KSSTATE_PAUSE), E_FAIL);
    HRESULT outcome;
    CKsFilter* again = new CKsFilter(kPath, &outcome);
    EXPECT_EQ(again->Instantiate(), E_FAIL);
    again->Release();
}

}  // namespace

namespace {

// The way the hidden ports drive a pin: a reader on its own thread, and a writer that
// waits for each write's completion before reusing its buffer.
}  // namespace
