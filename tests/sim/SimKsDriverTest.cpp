// The simulated driver's own contract: what a real driver and the I/O manager do that the
// kernel-streaming layer relies on, reached through the OS table as the layer reaches it.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ks/KsOsApi.h"
#include "ks/KsPin.h"
#include "ks/KsFilter.h"
#include "sim/ksdriver/SimKsDriver.h"
#include "tests/ks/KsTestSupport.h"

namespace {

const char kPath[] = "\\\\?\\dev#sim";

using kstest::Stream;

class SimDriver : public ::testing::Test {
protected:
    void SetUp() override {
        simPin = &driver.addDevice(kPath).addHiddenMidiPin(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK);
        HRESULT outcome = E_FAIL;
        filter = new CKsFilter(kPath, &outcome);
        ASSERT_EQ(filter->Instantiate(), S_OK);
    }
    void TearDown() override {
        delete built;
        filter->Release();
    }
    // Another instance of the same pin type, connected but not instantiated.
    std::unique_ptr<CKsPin> Second() {
        HRESULT outcome = E_FAIL;
        std::unique_ptr<CKsPin> pin(new CKsPin(filter, 0, &outcome));
        EXPECT_EQ(kstest::ConnectPin(pin.get(), simks::kHiddenMidiSubFormat), S_OK);
        return pin;
    }
    // A pin instance in the run state.
    CKsPin* Running() {
        HRESULT outcome = E_FAIL;
        built = new CKsPin(filter, 0, &outcome);
        EXPECT_EQ(kstest::ConnectPin(built, simks::kHiddenMidiSubFormat), S_OK);
        EXPECT_EQ(built->Instantiate(FALSE), S_OK);
        for (KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) EXPECT_EQ(built->SetState(s), S_OK);
        return built;
    }
    BOOL Property(KSP_PIN& request, void* out, DWORD outSize, DWORD* bytes, OVERLAPPED* overlapped) {
        return KsOs().DeviceIoControl(filter->GetHandle(), IOCTL_KS_PROPERTY, &request, sizeof request, out, outSize,
                                      bytes, overlapped);
    }
    static KSP_PIN PinRequest(ULONG id) {
        KSP_PIN request = {};
        request.Property.Set = GUID{STATIC_KSPROPSETID_Pin};
        request.Property.Id = id;
        request.Property.Flags = KSPROPERTY_TYPE_GET;
        return request;
    }

    simks::SimKsDriver driver;
    simks::SimPin* simPin = nullptr;
    CKsFilter* filter = nullptr;
    CKsPin* built = nullptr;
};

TEST_F(SimDriver, ARequestResetsItsEventAsItStarts) {
    CKsPin* pin = Running();
    Stream s(20);
    SetEvent(s.overlapped.hEvent);
    EXPECT_EQ(pin->ReadData(&s.header, &s.overlapped), S_OK);
    EXPECT_FALSE(s.Signalled(0));
    EXPECT_EQ(s.overlapped.Internal, ULONG_PTR(0x103));
    simPin->queueInput({0x90, 0x40, 0x7F});
    EXPECT_TRUE(s.Signalled(2000));

    // Ended in the call: answered, the event is set; refused, it stays reset.
    ULONG count = 0;
    DWORD bytes = 0;
    KSP_PIN answered = PinRequest(KSPROPERTY_PIN_CTYPES);
    SetEvent(s.overlapped.hEvent);
    EXPECT_TRUE(Property(answered, &count, sizeof count, &bytes, &s.overlapped));
    EXPECT_TRUE(s.Signalled(0));
    KSP_PIN refused = PinRequest(KSPROPERTY_PIN_CTYPES);
    refused.Property.Set = simks::kMusicFormat;
    SetEvent(s.overlapped.hEvent);
    EXPECT_FALSE(Property(refused, &count, sizeof count, &bytes, &s.overlapped));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SET_NOT_FOUND));
    EXPECT_FALSE(s.Signalled(0));
}

// Cancelling only asks: the request comes back later, from the driver's thread. CancelIo
// reaches the calling thread's requests only; CancelIoEx any thread's.
TEST_F(SimDriver, CancellationIsAsynchronous) {
    CKsPin* pin = Running();
    driver.setCancelDelay(200);
    Stream s(20);
    ASSERT_EQ(pin->ReadData(&s.header, &s.overlapped), S_OK);
    std::thread other([&] { KsOs().CancelIo(pin->GetHandle()); });
    other.join();
    EXPECT_FALSE(s.Signalled(300));
    ASSERT_TRUE(KsOs().CancelIo(pin->GetHandle()));
    EXPECT_EQ(driver.liveRequests(), 1u);
    EXPECT_FALSE(s.Signalled(0));
    ASSERT_TRUE(s.Signalled(2000));
    DWORD bytes = 9;
    EXPECT_FALSE(KsOs().GetOverlappedResult(pin->GetHandle(), &s.overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(bytes, 0u);

    ASSERT_EQ(pin->ReadData(&s.header, &s.overlapped), S_OK);
    std::thread any([&] { EXPECT_TRUE(KsOs().CancelIoEx(pin->GetHandle(), &s.overlapped)); });
    any.join();
    EXPECT_TRUE(s.Signalled(2000));
    EXPECT_FALSE(KsOs().CancelIoEx(pin->GetHandle(), &s.overlapped));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_FOUND));
}

TEST_F(SimDriver, ErrorStatusesCarryNoByteCount) {
    KSP_PIN request = PinRequest(KSPROPERTY_PIN_DATARANGES);
    OVERLAPPED overlapped = {};
    BYTE small[16];
    const struct {
        DWORD error;
        bool counted;
    } cases[] = {{ERROR_MORE_DATA, true}, {ERROR_INSUFFICIENT_BUFFER, false}};
    for (const auto& c : cases) {
        driver.setProbeError(c.error);
        DWORD bytes = 77;
        EXPECT_FALSE(Property(request, small, sizeof small, &bytes, &overlapped));
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(bytes, c.counted ? 8u + 96u : 77u) << c.error;
    }
}

TEST_F(SimDriver, RequestFieldsAreChecked) {
    // The layer's requests carry the low bit that keeps completions off a completion port.
    Running();
    EXPECT_EQ(driver.propertyRequestsWithoutLowBit(), 0);
    OVERLAPPED overlapped = {};
    BYTE reply[256];
    DWORD bytes = 0;
    KSP_PIN good = PinRequest(KSPROPERTY_PIN_DATARANGES);
    EXPECT_TRUE(Property(good, reply, sizeof reply, &bytes, &overlapped));
    KSP_PIN noFlags = good;
    noFlags.Property.Flags = 0;
    KSP_PIN both = good;
    both.Property.Flags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET;
    KSP_PIN set = good;
    set.Property.Flags = KSPROPERTY_TYPE_SET;
    KSP_PIN reserved = good;
    reserved.Reserved = 1;
    for (KSP_PIN* bad : {&noFlags, &both, &set, &reserved}) {
        EXPECT_FALSE(Property(*bad, reply, sizeof reply, &bytes, &overlapped));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    }
    // These raw requests had no event at all.
    EXPECT_EQ(driver.propertyRequestsWithoutLowBit(), 5);
}

TEST_F(SimDriver, OnlyDigcfPresentLeavesOutDevicesThatLeft) {
    driver.addDevice("\\\\?\\dev#gone");
    driver.removeDevice("\\\\?\\dev#gone");
    const GUID audio = simks::kCategoryAudio;
    for (DWORD flags : {DWORD(DIGCF_DEVICEINTERFACE), DWORD(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)}) {
        HDEVINFO set = KsOs().SetupDiGetClassDevsA(&audio, NULL, NULL, flags);
        DWORD count = 0;
        SP_DEVICE_INTERFACE_DATA data = {};
        data.cbSize = sizeof data;
        while (KsOs().SetupDiEnumDeviceInterfaces(set, NULL, &audio, count, &data)) ++count;
        KsOs().SetupDiDestroyDeviceInfoList(set);
        EXPECT_EQ(count, flags & DIGCF_PRESENT ? 1u : 2u);
    }
}

TEST_F(SimDriver, AWriteCanFailLater) {
    CKsPin* pin = Running();
    simPin->setWriteMode(simks::WriteMode::Now, 20);
    simPin->failWrite(1, ERROR_GEN_FAILURE);
    Stream s(15);
    s.header.DataUsed = 12;
    DWORD bytes = 0;
    for (int n = 0; n < 2; ++n) {
        ASSERT_EQ(pin->WriteData(&s.header, &s.overlapped), S_OK);
        ASSERT_TRUE(s.Signalled(2000));
        EXPECT_EQ(KsOs().GetOverlappedResult(pin->GetHandle(), &s.overlapped, &bytes, FALSE) != FALSE, n == 0);
    }
}

TEST_F(SimDriver, ReaderThreadReceivesQueuedFrames) {
    CKsPin* pin = Running();
    Stream s(20);
    std::mutex mutex;
    std::condition_variable received;
    std::vector<simks::Bytes> frames;
    std::atomic<bool> stop(false);
    std::thread reader([&] {
        while (!stop) {
            s.header.DataUsed = 0;
            pin->ReadData(&s.header, &s.overlapped);
            WaitForSingleObject(s.overlapped.hEvent, INFINITE);
            if (stop) break;
            uint32_t n = std::min<uint32_t>(reinterpret_cast<KSMUSICFORMAT*>(s.buffer)->ByteCount, 12);
            std::lock_guard<std::mutex> lock(mutex);
            frames.emplace_back(s.buffer + 8, s.buffer + 8 + n);
            received.notify_all();
        }
    });
    ASSERT_TRUE(simPin->waitForPendingReads(1, 2000));
    simPin->queueInput({0x90, 0x40, 0x7F});
    simPin->queueInput({0xF0, 0x00, 0x7A, 0x51, 0xF7});
    {
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(received.wait_for(lock, std::chrono::seconds(2), [&] { return frames.size() == 2; }));
        EXPECT_EQ(frames[0], (simks::Bytes{0x90, 0x40, 0x7F}));
        EXPECT_EQ(frames[1], (simks::Bytes{0xF0, 0x00, 0x7A, 0x51, 0xF7}));
    }
    ASSERT_TRUE(simPin->waitForPendingReads(1, 2000));
    stop = true;
    SetEvent(s.overlapped.hEvent);
    reader.join();
    // The read the thread left behind ends when the pin stops, later, from the driver's
    // thread: its block must outlive that.
    EXPECT_EQ(simPin->pendingReads(), 1u);
    EXPECT_EQ(pin->SetState(KSSTATE_PAUSE), S_OK);
    EXPECT_EQ(pin->SetState(KSSTATE_ACQUIRE), S_OK);
    EXPECT_EQ(pin->SetState(KSSTATE_STOP), S_OK);
    EXPECT_EQ(simPin->pendingReads(), 0u);
    EXPECT_TRUE(s.Signalled(2000));
}

TEST_F(SimDriver, WriterWaitsForEachCompletion) {
    CKsPin* pin = Running();
    EXPECT_EQ(driver.device(kPath)->pinCount(), 1u);
    EXPECT_EQ(simPin->id(), 0u);
    Stream s(15);
    SetEvent(s.overlapped.hEvent);
    s.header.DataUsed = 12;
    simPin->setWriteMode(simks::WriteMode::Later, 10);
    for (BYTE b = 0; b < 3; ++b) {
        ASSERT_TRUE(s.Signalled(1000)) << int(b);
        uint32_t count = 1;
        std::memcpy(s.buffer + 4, &count, 4);
        s.buffer[8] = b;
        EXPECT_EQ(pin->WriteData(&s.header, &s.overlapped), S_OK);
    }
    ASSERT_TRUE(simPin->waitForWrites(3, 2000));
    ASSERT_TRUE(s.Signalled(1000));
    std::vector<simks::SimWrite> writes = simPin->writes();
    for (BYTE b = 0; b < 3; ++b) EXPECT_EQ(writes[b].midi, simks::Bytes{b});

    // A driver that never completes: the next wait runs out.
    simPin->setWriteMode(simks::WriteMode::Never);
    EXPECT_EQ(pin->WriteData(&s.header, &s.overlapped), S_OK);
    EXPECT_FALSE(s.Signalled(100));
    EXPECT_EQ(simPin->pendingWrites(), 1u);
    EXPECT_FALSE(simPin->waitForWrites(5, 50));
    pin->ClosePin();
    EXPECT_EQ(simPin->pendingWrites(), 0u);
    // The write comes back cancelled, later: its block must outlive that.
    EXPECT_TRUE(s.Signalled(2000));
}

// Each case below says where the behaviour comes from: documented, measured, or assumed
// as the harsher choice where the real driver may do either.

// Documented (KSPIN_CINSTANCES: PossibleCount is the most instances the pin type makes):
// a pin type with no room refuses KsCreatePin, whether the room went to this process or
// another. The error is assumed.
TEST_F(SimDriver, PinInstancesAreRefusedWithoutRoom) {
    Running();
    std::unique_ptr<CKsPin> second = Second();
    EXPECT_EQ(second->Instantiate(FALSE), HRESULT_FROM_WIN32(ERROR_NO_SYSTEM_RESOURCES));
    const struct {
        uint32_t possible, elsewhere;
        bool room;
    } cases[] = {{2, 1, false}, {2, 0, true}, {KSINSTANCE_INDETERMINATE, 5, true}};
    for (const auto& c : cases) {
        second->ClosePin();
        simPin->setInstances(c.possible, c.elsewhere);
        EXPECT_EQ(SUCCEEDED(second->Instantiate(FALSE)), c.room) << c.possible << "/" << c.elsewhere;
    }
    // The instances reply counts what is held.
    KSPIN_CINSTANCES instances = {};
    KSP_PIN request = PinRequest(KSPROPERTY_PIN_CINSTANCES);
    OVERLAPPED overlapped = {};
    DWORD bytes = 0;
    ASSERT_TRUE(Property(request, &instances, sizeof instances, &bytes, &overlapped));
    EXPECT_EQ(instances.CurrentCount, 5u + 2u);
}

// Documented (a file object is closed only once its last request has completed): a pin
// closed while the driver still holds a cancelled request keeps its instance until then.
TEST_F(SimDriver, ClosedPinKeepsItsInstanceWhileTheDriverHoldsARequest) {
    CKsPin* pin = Running();
    driver.setCancelDelay(300);
    Stream s(20);
    ASSERT_EQ(pin->ReadData(&s.header, &s.overlapped), S_OK);
    const HANDLE closed = pin->GetHandle();
    pin->ClosePin();
    EXPECT_EQ(simPin->openInstances(), 1);
    std::unique_ptr<CKsPin> second = Second();
    EXPECT_TRUE(FAILED(second->Instantiate(FALSE)));
    ASSERT_TRUE(s.Signalled(2000));
    EXPECT_EQ(simPin->openInstances(), 0);
    EXPECT_EQ(second->Instantiate(FALSE), S_OK);
    // Assumed harsher, as Windows recycles handle values: the freed value is given out again.
    EXPECT_EQ(second->GetHandle(), closed);
}

// Documented (the I/O manager on an error status returned by the driver in the call): the
// request's OVERLAPPED keeps STATUS_PENDING and its event stays reset; a warning such as
// STATUS_BUFFER_OVERFLOW (ERROR_MORE_DATA) is written and signalled.
TEST_F(SimDriver, AFailureInsideTheCallWritesNoStatusAndNoEvent) {
    CKsPin* pin = Running();
    simPin->failNextRead({0x90, 0x40, 0x7F});
    Stream s(20);
    SetEvent(s.overlapped.hEvent);
    EXPECT_TRUE(FAILED(pin->ReadData(&s.header, &s.overlapped)));
    EXPECT_EQ(s.overlapped.Internal, ULONG_PTR(0x103));
    EXPECT_FALSE(s.Signalled(0));

    const struct {
        DWORD probeError;
        bool written;
    } cases[] = {{ERROR_INSUFFICIENT_BUFFER, false}, {ERROR_MORE_DATA, true}};
    for (const auto& c : cases) {
        driver.setProbeError(c.probeError);
        KSP_PIN request = PinRequest(KSPROPERTY_PIN_DATARANGES);
        BYTE small[16];
        DWORD bytes = 0;
        SetEvent(s.overlapped.hEvent);
        EXPECT_FALSE(Property(request, small, sizeof small, &bytes, &s.overlapped));
        EXPECT_EQ(s.overlapped.Internal != 0x103, c.written) << c.probeError;
        EXPECT_EQ(s.Signalled(0), c.written) << c.probeError;
    }
}

// Assumed harsher: the driver reads a write's bytes when it sends them, any time before it
// completes the request, so the record is of the buffer as it was then.
TEST_F(SimDriver, WriteBytesAreReadWhileTheDriverHoldsThem) {
    CKsPin* pin = Running();
    simPin->setWriteMode(simks::WriteMode::Never);
    Stream s(15);
    s.header.DataUsed = 12;
    KSMUSICFORMAT entry = {0, 1};
    std::memcpy(s.buffer, &entry, sizeof entry);
    s.buffer[8] = 0x11;
    ASSERT_EQ(pin->WriteData(&s.header, &s.overlapped), S_OK);
    s.buffer[8] = 0x22;
    simPin->completePendingWrites();
    ASSERT_TRUE(s.Signalled(2000));
    EXPECT_EQ(simPin->writes().at(0).midi, simks::Bytes{0x22});
}

// Assumed harsher (a USB MIDI driver completes a write once its packet went out on the
// bus): a write pends by default and completes a moment later.
TEST_F(SimDriver, WritesPendByDefault) {
    CKsPin* pin = Running();
    Stream s(15);
    s.header.DataUsed = 12;
    DWORD bytes = 0;
    EXPECT_FALSE(KsOs().DeviceIoControl(pin->GetHandle(), IOCTL_KS_WRITE_STREAM, NULL, 0, &s.header, sizeof s.header,
                                        &bytes, &s.overlapped));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    ASSERT_TRUE(s.Signalled(2000));
    EXPECT_TRUE(KsOs().GetOverlappedResult(pin->GetHandle(), &s.overlapped, &bytes, FALSE));
}

}  // namespace
