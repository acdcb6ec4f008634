#include "tests/ks/KsTestSupport.h"

namespace {

using kstest::KsTest;

class IrpTarget : public KsTest {
protected:
    void SetUp() override {
        simks::SimPin& pin = driver.addDevice("\\\\?\\dev#irp").addPin(KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK);
        pin.addDataRange(kstest::MidiPortRange());
        filter = OpenFilter("\\\\?\\dev#irp");
        property.Property.Set = ToGuid(ksbytes::kPropSetPin);
        property.Property.Id = KSPROPERTY_PIN_DATARANGES;
        property.Property.Flags = KSPROPERTY_TYPE_GET;
        property.PinId = 0;
        property.Reserved = 0;
        capture.clear();
    }
    void TearDown() override { filter->Release(); }

    CKsFilter* filter = nullptr;
    KSP_PIN property;
    static constexpr ULONG kRangesReply = 8 + 96;
};

TEST_F(IrpTarget, SizeProbeAnsweredWithEitherErrorIsAProbe) {
    // ERROR_MORE_DATA is a warning and carries the size; ERROR_INSUFFICIENT_BUFFER is an
    // error status, for which the system reports no byte count at all.
    const struct {
        DWORD error;
        ULONG size;
    } cases[] = {{ERROR_MORE_DATA, kRangesReply}, {ERROR_INSUFFICIENT_BUFFER, 0}};
    for (const auto& c : cases) {
        driver.setProbeError(c.error);
        ULONG bytes = 77;
        EXPECT_EQ(CKsIrpTarget::SyncIoctl(filter->GetHandle(), IOCTL_KS_PROPERTY, &property, sizeof property, nullptr,
                                          0, &bytes),
                  S_OK)
            << c.error;
        EXPECT_EQ(bytes, c.size) << c.error;
    }
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_EQ(driver.propertyRequestsWithoutLowBit(), 0);
}

TEST_F(IrpTarget, SameErrorsOnARequestWithABufferFail) {
    for (DWORD error : {DWORD(ERROR_MORE_DATA), DWORD(ERROR_INSUFFICIENT_BUFFER)}) {
        driver.setProbeError(error);
        BYTE small[16];
        ULONG bytes = 77;
        EXPECT_EQ(CKsIrpTarget::SyncIoctl(filter->GetHandle(), IOCTL_KS_PROPERTY, &property, sizeof property, small,
                                          sizeof small, &bytes),
                  E_FAIL);
        EXPECT_EQ(bytes, 0u);
    }
    // A refusal is not traced.
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(IrpTarget, PendedRequestsReportTheCompletedByteCount) {
    driver.setPendProperties(true, 20);
    ULONG bytes = 0;
    ASSERT_EQ(CKsIrpTarget::SyncIoctl(filter->GetHandle(), IOCTL_KS_PROPERTY, &property, sizeof property, nullptr, 0,
                                      &bytes),
              S_OK);
    ASSERT_EQ(bytes, kRangesReply);
    std::vector<BYTE> reply(bytes);
    bytes = 0;
    ASSERT_EQ(CKsIrpTarget::SyncIoctl(filter->GetHandle(), IOCTL_KS_PROPERTY, &property, sizeof property,
                                      reply.data(), static_cast<ULONG>(reply.size()), &bytes),
              S_OK);
    EXPECT_EQ(bytes, kRangesReply);
    EXPECT_EQ(ksbytes::ReadU32(reply.data() + 4), 1u);
    EXPECT_EQ(ksbytes::ReadU32(reply.data() + 8), 96u);
    // Without a caller's count the call uses its own.
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(filter->GetHandle(), IOCTL_KS_PROPERTY, &property, sizeof property,
                                      reply.data(), static_cast<ULONG>(reply.size()), nullptr),
              S_OK);
}

// A thread's requests share one event, and one that completed at once leaves it signalled
// (as Windows does): a pended request after it must still wait for its own completion.
TEST_F(IrpTarget, PendedRequestAfterOneCompletedAtOnceWaitsForItsOwnCompletion) {
    for (bool pend : {false, true, false, false, true, true}) {
        driver.setPendProperties(pend, 30);
        std::vector<BYTE> reply(kRangesReply, 0);
        ULONG bytes = 0;
        EXPECT_EQ(CKsIrpTarget::SyncIoctl(filter->GetHandle(), IOCTL_KS_PROPERTY, &property, sizeof property,
                                          reply.data(), static_cast<ULONG>(reply.size()), &bytes),
                  S_OK)
            << (pend ? "pended" : "at once");
        EXPECT_EQ(bytes, kRangesReply);
        EXPECT_EQ(ksbytes::ReadU32(reply.data() + 8), 96u) << "the reply was read before the driver wrote it";
    }
}

TEST_F(IrpTarget, PendedRefusalFails) {
    driver.setPendProperties(true, 5);
    BYTE small[16];
    ULONG bytes = 5;
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(filter->GetHandle(), IOCTL_KS_PROPERTY, &property, sizeof property, small,
                                      sizeof small, &bytes),
              E_FAIL);
    EXPECT_EQ(bytes, 0u);
}

TEST_F(IrpTarget, InvalidHandlesSendNothing) {
    int before = driver.propertyRequests();
    for (HANDLE h : {HANDLE(NULL), INVALID_HANDLE_VALUE}) {
        ULONG bytes = 9;
        EXPECT_EQ(CKsIrpTarget::SyncIoctl(h, IOCTL_KS_PROPERTY, &property, sizeof property, nullptr, 0, &bytes),
                  E_FAIL);
        EXPECT_EQ(bytes, 9u);
    }
    EXPECT_EQ(driver.propertyRequests(), before);
    EXPECT_EQ(Shown(), std::vector<std::string>(2, "CKsIrpTarget::SyncIoctl Invalid Handle"));
    EXPECT_TRUE(Shows("CKsIrpTarget::SyncIoctl Invalid Handle"));
}

TEST_F(IrpTarget, GetPropertyMultiWithAZeroProbeAllocatesNothing) {
    driver.device("\\\\?\\dev#irp")->faultTopology(kstest::Replace({}));
    BYTE marker = 0;
    BYTE* buffer = &marker;
    EXPECT_EQ(filter->GetPropertyMulti(ksbytes::kPropSetTopology, KSPROPERTY_TOPOLOGY_NODES, &buffer), S_OK);
    EXPECT_EQ(buffer, &marker);
    EXPECT_EQ(filter->EnumerateNodes(), S_OK);
    EXPECT_EQ(filter->Nodes().GetCount(), 0u);
}

TEST_F(IrpTarget, GetPropertyMultiGivesTheReplyAndItsSize) {
    driver.device("\\\\?\\dev#irp")->setTopologyNodes({ToGuid(ksbytes::kPropSetPin), ToGuid(ksbytes::kMediumSetStandard)});
    BYTE* buffer = nullptr;
    ULONG size = 0;
    ASSERT_EQ(filter->GetPropertyMulti(ksbytes::kPropSetTopology, KSPROPERTY_TOPOLOGY_NODES, &buffer, &size), S_OK);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(size, 8u + 32u);
    EXPECT_EQ(ksbytes::ReadGuid(buffer + 24), ksbytes::kMediumSetStandard);
    delete[] buffer;
}

// A reply that does not fit the block the reader allocated: the driver's answer grew
// between the probe and the read, or it reports more than the buffer holds.
TEST_F(IrpTarget, RepliesBeyondTheBlockAreFailedReads) {
    using simks::PropertyFault;
    simks::Bytes nodes = kstest::Header(2, 32);
    nodes.resize(8 + 32);
    const struct {
        const char* name;
        PropertyFault fault;
        HRESULT hr;
        ULONG size;
        HRESULT nodes;
    } cases[] = {
        // A probe of 0 bytes is the whole answer here: nothing more is asked.
        {"grown after an empty probe", kstest::Fault(PropertyFault::Grow, nodes, 0), S_OK, 0, S_OK},
        {"grown after a header-sized probe", kstest::Fault(PropertyFault::Grow, nodes, 8), E_FAIL, 0, E_FAIL},
        {"longer than the buffer", kstest::Fault(PropertyFault::Oversize, nodes, 8), S_OK, 8, E_FAIL},
    };
    simks::SimDevice* device = driver.device("\\\\?\\dev#irp");
    for (const auto& c : cases) {
        device->faultTopology(c.fault);
        BYTE* buffer = nullptr;
        ULONG size = 99;
        EXPECT_EQ(filter->GetPropertyMulti(ksbytes::kPropSetTopology, KSPROPERTY_TOPOLOGY_NODES, &buffer, &size), c.hr)
            << c.name;
        EXPECT_EQ(size, c.size) << c.name;
        delete[] buffer;
        device->faultTopology(c.fault);
        EXPECT_EQ(filter->EnumerateNodes(), c.nodes) << c.name;
        EXPECT_EQ(filter->Nodes().GetCount(), 0u) << c.name;
    }
}

// What a driver reports is checked before it is used: a size beyond any real reply is
// refused before anything is allocated or asked again, and a reply larger than the block
// read into it (grown after an empty probe) is no reply.
TEST_F(IrpTarget, MultiRepliesAreCheckedAgainstTheCapAndTheBlock) {
    using simks::PropertyFault;
    simks::Bytes ranges = kstest::Header(1, 96);
    const simks::Bytes range = kstest::MidiPortRange();
    ranges.insert(ranges.end(), range.begin(), range.end());
    const struct {
        const char* name;
        PropertyFault fault;
        HRESULT hr;
        ULONG size;
        int requests;
    } cases[] = {
        {"a real reply", kstest::Replace(ranges), S_OK, kRangesReply, 2},
        {"the cap", kstest::Replace(simks::Bytes(CKsIrpTarget::kMaxPropertyReply, 0)), S_OK,
         CKsIrpTarget::kMaxPropertyReply, 2},
        {"beyond the cap", kstest::Replace(ranges, CKsIrpTarget::kMaxPropertyReply + 1), E_FAIL, 0, 1},
        {"4 GB", kstest::Replace(ranges, 0xFFFFFFFF), E_FAIL, 0, 1},
        {"grown after an empty probe", kstest::Fault(PropertyFault::Grow, ranges, 0), E_FAIL, 0, 2},
    };
    simks::SimDevice* device = driver.device("\\\\?\\dev#irp");
    for (const auto& c : cases) {
        device->pin(0).fault(KSPROPERTY_PIN_DATARANGES, c.fault);
        const int before = driver.propertyRequests();
        BYTE* buffer = nullptr;
        ULONG size = 99;
        EXPECT_EQ(filter->GetPinPropertyMulti(0, ksbytes::kPropSetPin, KSPROPERTY_PIN_DATARANGES, &buffer, &size), c.hr)
            << c.name;
        EXPECT_EQ(size, c.size) << c.name;
        EXPECT_EQ(driver.propertyRequests() - before, c.requests) << c.name;
        delete[] buffer;
        // The filter's own variable-length property is held to the same cap.
        device->faultTopology(c.fault);
        buffer = nullptr;
        const HRESULT nodes = filter->GetPropertyMulti(ksbytes::kPropSetTopology, KSPROPERTY_TOPOLOGY_NODES, &buffer);
        if (c.requests == 1) {
            EXPECT_EQ(nodes, E_FAIL) << c.name;
        }
        delete[] buffer;
    }
}

// A GET's output buffer is the driver's to fill: what the caller had in it does not travel.
TEST_F(IrpTarget, OnlyASetCarriesTheCallersBuffer) {
    BYTE reply[kRangesReply];
    std::memset(reply, 0xAA, sizeof reply);
    ULONG bytes = 0;
    ASSERT_EQ(CKsIrpTarget::SyncIoctl(filter->GetHandle(), IOCTL_KS_PROPERTY, &property, sizeof property, reply,
                                      sizeof reply, &bytes),
              S_OK);
    EXPECT_EQ(driver.lastGetBufferAtHandOver(), simks::Bytes(sizeof reply, 0));
}

TEST_F(IrpTarget, HungRequestIsCancelledAfterItsTimeLimit) {
    simks::PropertyFault hangOnce = kstest::Fault(simks::PropertyFault::Hang);
    hangOnce.hangs = 1;
    driver.device("\\\\?\\dev#irp")->pin(0).fault(KSPROPERTY_PIN_DATARANGES, hangOnce);
    BYTE reply[256];
    ULONG bytes = 5;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(filter->GetHandle(), IOCTL_KS_PROPERTY, &property, sizeof property, reply,
                                      sizeof reply, &bytes),
              CKsIrpTarget::kTimedOut);
    long long elapsed = kstest::ElapsedMs(start);
    EXPECT_GE(elapsed, static_cast<long long>(CKsIrpTarget::kRequestTimeoutMs) - 50);
    EXPECT_LT(elapsed, kstest::kHungRequestBoundMs);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(Shown(), std::vector<std::string>{"CKsIrpTarget::SyncIoctl WaitForSingleObject failed dwWait:0x00000102"});
    // The cancelled request came back before the call returned.
    EXPECT_EQ(driver.liveRequests(), 0u);
    // A driver that hung once answers the next request.
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(filter->GetHandle(), IOCTL_KS_PROPERTY, &property, sizeof property, reply,
                                      sizeof reply, &bytes),
              S_OK);
    EXPECT_GT(bytes, 0u);
}

TEST_F(IrpTarget, RequestTheDriverKeepsAfterCancellingKeepsItsBuffers) {
    driver.setCancelDelay(10 * 60 * 1000);
    driver.device("\\\\?\\dev#irp")->pin(0).fault(KSPROPERTY_PIN_DATARANGES,
                                                       kstest::Fault(simks::PropertyFault::Hang));
    BYTE reply[256];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(filter->GetHandle(), IOCTL_KS_PROPERTY, &property, sizeof property, reply,
                                      sizeof reply, nullptr),
              CKsIrpTarget::kTimedOut);
    EXPECT_LT(kstest::ElapsedMs(start), kstest::kHungRequestBoundMs);
    EXPECT_TRUE(capture.contains("CKsIrpTarget::SyncIoctl: the driver kept a cancelled request; its memory is left to it"))
        << capture.text();
    ASSERT_EQ(driver.liveRequests(), 1u);
    // Blocks of the request's own size, written over: a freed request block would be one.
    const size_t blockBytes = InFlightBlock<OVERLAPPED>::bytesFor(((sizeof property + 15) & ~size_t(15)) + sizeof reply);
    std::vector<std::vector<uint8_t>> scribble;
    for (int i = 0; i < 64; ++i) scribble.emplace_back(blockBytes, 0xAA);
    // When the driver does let go, the request's block and event are still there.
    driver.completeAllNow();
    EXPECT_EQ(driver.completionsIntoChangedBlocks(), 0);
    EXPECT_EQ(driver.completionsWithoutEvent(), 0);
}

TEST_F(IrpTarget, SafeCloseHandleClosesOnlyValidHandles) {
    HANDLE invalid = INVALID_HANDLE_VALUE;
    HANDLE null = NULL;
    int open = driver.openHandles();
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(invalid));
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(null));
    EXPECT_EQ(null, HANDLE(NULL));
    EXPECT_EQ(driver.openHandles(), open);
    filter->Close();
    EXPECT_EQ(filter->GetHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(driver.openHandles(), open - 1);
    filter->Close();
    EXPECT_EQ(driver.openHandles(), open - 1);
}

TEST(RefCountedObject, LastReleaseDestroys) {
    static int destroyed = 0;
    struct Counted : CRefCountedObject {
        ~Counted() override { ++destroyed; }
    };
    Counted* object = new Counted;
    EXPECT_EQ(object->GetRefCount(), 1u);
    object->AddRef();
    object->Release();
    EXPECT_EQ(destroyed, 0);
    object->Release();
    EXPECT_EQ(destroyed, 1);
}

}  // namespace
