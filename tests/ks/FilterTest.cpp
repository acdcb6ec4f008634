#include "tests/ks/KsTestSupport.h"

namespace {

using kstest::KsTest;

class Filter : public KsTest {};

TEST_F(Filter, PathThatDoesNotOpen) {
    HRESULT outcome = E_FAIL;
    CKsFilter* filter = new CKsFilter("\\\\?\\missing", &outcome);
    EXPECT_EQ(outcome, S_OK);
    EXPECT_EQ(filter->Instantiate(), E_FAIL);
    EXPECT_EQ(filter->GetHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(filter->EnumeratePins(), E_FAIL);
    EXPECT_EQ(Shown(), (std::vector<std::string>{
                           "CKsFilter::Instantiate: CreateFile failed for device \\\\?\\missing.  ErrorCode = 0x00000002",
                           "CKsIrpTarget::SyncIoctl Invalid Handle",
                           "Filter is not viable. It has no pins.",
                       }));
    filter->Release();
}

TEST_F(Filter, OpensWithExclusiveOverlappedAccess) {
    simks::SimDevice& dev = driver.addDevice("\\\\?\\dev#open");
    dev.setOpenError(ERROR_ACCESS_DENIED);
    HRESULT outcome;
    CKsFilter* filter = new CKsFilter("\\\\?\\dev#open", &outcome);
    EXPECT_EQ(filter->Instantiate(), E_FAIL);
    EXPECT_TRUE(Shows("CKsFilter::Instantiate: CreateFile failed for device \\\\?\\dev#open.  ErrorCode = 0x00000005"));
    EXPECT_EQ(dev.lastAccess(), 0xC0000000u);
    EXPECT_EQ(dev.lastShare(), 0u);
    EXPECT_EQ(dev.lastDisposition(), 3u);
    EXPECT_EQ(dev.lastFlags(), 0x40000080u);
    filter->Release();
}

TEST_F(Filter, PathIsRequiredAndCutTo259Characters) {
    HRESULT outcome = S_OK;
    CKsFilter* none = new CKsFilter(nullptr, &outcome);
    EXPECT_EQ(outcome, E_INVALIDARG);
    EXPECT_EQ(Shown(), std::vector<std::string>{"pszName cannot be NULL"});
    none->Release();

    std::string path(300, 'p');
    CKsFilter* longPath = new CKsFilter(path.c_str(), &outcome);
    EXPECT_EQ(outcome, S_OK);
    EXPECT_EQ(std::string(longPath->GetDevicePath()), path.substr(0, 259));
    EXPECT_EQ(longPath->GetFriendlyName()[0], '\0');
    longPath->Release();
}

TEST_F(Filter, PinsAreSortedByDataFlowAndCommunication) {
    simks::SimDevice& dev = driver.addDevice("\\\\?\\dev#sort");
    const uint32_t in = KSPIN_DATAFLOW_IN, out = KSPIN_DATAFLOW_OUT;
    for (uint32_t flow : {in, out})
        for (uint32_t communication : {0u, 1u, 2u, 3u, 7u}) dev.addPin(flow, communication);
    CKsFilter* filter = OpenFilter("\\\\?\\dev#sort");
    EXPECT_EQ(filter->EnumeratePins(), S_OK);
    ASSERT_EQ(filter->Pins().GetCount(), 10u);
    auto pin = [&](ULONG id) { return filter->Pins().GetAt(id); };
    // Pin ids: IN none 0, sink 1, source 2, both 3, 7 -> 4; OUT the same from 5.
    EXPECT_EQ(filter->NoCommPins().GetCount(), 2u);
    EXPECT_EQ(filter->NoCommPins().GetAt(0), pin(0));
    EXPECT_EQ(filter->NoCommPins().GetAt(1), pin(5));
    EXPECT_EQ(filter->InSinkPins().GetCount(), 2u);
    EXPECT_EQ(filter->InSinkPins().GetAt(0), pin(1));
    EXPECT_EQ(filter->InSinkPins().GetAt(1), pin(3));
    EXPECT_EQ(filter->InSourcePins().GetCount(), 2u);
    EXPECT_EQ(filter->InSourcePins().GetAt(0), pin(2));
    EXPECT_EQ(filter->InSourcePins().GetAt(1), pin(3));
    EXPECT_EQ(filter->OutSinkPins().GetCount(), 2u);
    EXPECT_EQ(filter->OutSinkPins().GetAt(0), pin(6));
    EXPECT_EQ(filter->OutSinkPins().GetAt(1), pin(8));
    EXPECT_EQ(filter->OutSourcePins().GetCount(), 2u);
    EXPECT_EQ(filter->OutSourcePins().GetAt(0), pin(7));
    EXPECT_EQ(filter->OutSourcePins().GetAt(1), pin(8));
    // The unrecognised type is traced at level 5 only: nothing shown.
    EXPECT_TRUE(capture.lines().empty());
    filter->Release();
}

TEST_F(Filter, PinWithBothIsListedTwiceAndDestroyedOnce) {
    simks::SimPin& simPin = driver.addDevice("\\\\?\\dev#both").addPin(KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH);
    simPin.addDataRange(kstest::MidiPortRange());
    CKsFilter* filter = OpenFilter("\\\\?\\dev#both");
    ASSERT_EQ(filter->EnumeratePins(), S_OK);
    ASSERT_EQ(filter->Pins().GetCount(), 1u);
    CKsPin* pin = static_cast<CKsPin*>(filter->Pins().GetAt(0));
    EXPECT_EQ(filter->OutSinkPins().GetAt(0), pin);
    EXPECT_EQ(filter->OutSourcePins().GetAt(0), pin);
    EXPECT_EQ(filter->OutSinkPins().GetCount() + filter->OutSourcePins().GetCount(), 2u);

    // An instantiated pin is stopped and closed by its destructor: once.
    ASSERT_EQ(kstest::ConnectPin(pin, simks::kMidiSubFormat), S_OK);
    ASSERT_EQ(pin->Instantiate(FALSE), S_OK);
    EXPECT_EQ(simPin.openInstances(), 1);
    filter->Release();
    EXPECT_EQ(simPin.stateRequests(), std::vector<uint32_t>{KSSTATE_STOP});
    EXPECT_EQ(simPin.openInstances(), 0);
    EXPECT_EQ(driver.openHandles(), 0);
}

TEST_F(Filter, OnlyNoCommunicationPinsAreViable) {
    driver.addDevice("\\\\?\\dev#none").addPin(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE);
    CKsFilter* filter = OpenFilter("\\\\?\\dev#none");
    EXPECT_EQ(filter->EnumeratePins(), S_OK);
    EXPECT_EQ(filter->NoCommPins().GetCount(), 1u);
    filter->Release();
}

TEST_F(Filter, PinCountFailuresLeaveNoPins) {
    simks::SimDevice& dev = driver.addDevice("\\\\?\\dev#count");
    dev.addPin();
    simks::PropertyFault refuse;
    for (const simks::PropertyFault& fault : {refuse, kstest::Replace({1, 0}), kstest::Replace({})}) {
        dev.faultPinCount(fault);
        CKsFilter* filter = OpenFilter("\\\\?\\dev#count");
        capture.clear();
        EXPECT_EQ(filter->EnumeratePins(), E_FAIL);
        EXPECT_EQ(filter->Pins().GetCount(), 0u);
        EXPECT_EQ(Shown(), std::vector<std::string>{"Filter is not viable. It has no pins."});
        filter->Release();
    }
}

TEST_F(Filter, NodesAreReadFromTheTopology) {
    simks::SimDevice& dev = driver.addDevice("\\\\?\\dev#nodes");
    dev.setTopologyNodes({ToGuid(ksbytes::kPropSetPin), ToGuid(ksbytes::kPropSetTopology), ToGuid(ksbytes::kMediumSetStandard)});
    CKsFilter* filter = OpenFilter("\\\\?\\dev#nodes");
    ASSERT_EQ(filter->EnumerateNodes(), S_OK);
    ASSERT_EQ(filter->Nodes().GetCount(), 3u);
    const ksbytes::KsGuid expected[] = {ksbytes::kPropSetPin, ksbytes::kPropSetTopology, ksbytes::kMediumSetStandard};
    for (ULONG i = 0; i < 3; ++i) {
        auto* node = static_cast<CKsNode*>(filter->Nodes().GetAt(i));
        EXPECT_EQ(node->m_nodeId, i);
        EXPECT_EQ(std::string(node->m_name, 4), "NONE");
        EXPECT_EQ(FromGuid(node->m_nodeType), expected[i]);
    }
    // A second read replaces the nodes.
    ASSERT_EQ(filter->EnumerateNodes(), S_OK);
    EXPECT_EQ(filter->Nodes().GetCount(), 3u);
    filter->Release();
}

TEST_F(Filter, MalformedNodeRepliesGiveNoNodes) {
    simks::SimDevice& dev = driver.addDevice("\\\\?\\dev#badnodes");
    CKsFilter* filter = OpenFilter("\\\\?\\dev#badnodes");
    simks::Bytes countTooLarge = kstest::Header(3, 16);
    countTooLarge.resize(8 + 16);
    simks::Bytes hugeCount = kstest::Header(0x10000001u, 16);
    hugeCount.resize(8 + 16);
    for (const simks::Bytes& reply : {countTooLarge, hugeCount, simks::Bytes(5, 0)}) {
        dev.faultTopology(kstest::Replace(reply));
        EXPECT_EQ(filter->EnumerateNodes(), E_FAIL);
        EXPECT_EQ(filter->Nodes().GetCount(), 0u);
    }
    simks::PropertyFault refuse;
    refuse.error = ERROR_NOT_SUPPORTED;
    dev.faultTopology(refuse);
    EXPECT_EQ(filter->EnumerateNodes(), E_FAIL);
    // The node read's failure is traced at level 4: not shown.
    EXPECT_TRUE(capture.lines().empty());
    filter->Release();
}

TEST_F(Filter, PtrListKeepsOrderAndCount) {
    PtrList list;
    int a = 1, b = 2, c = 3;
    ASSERT_NE(list.AddTail(&a), nullptr);
    ASSERT_NE(list.AddTail(&b), nullptr);
    ASSERT_NE(list.AddTail(&c), nullptr);
    EXPECT_EQ(list.GetCount(), 3u);
    EXPECT_EQ(list.GetAt(2), &c);
    EXPECT_EQ(list.GetAt(3), nullptr);
    EXPECT_EQ(list.RemoveHead(), &a);
    EXPECT_EQ(list.GetHead()->prev, nullptr);
    EXPECT_EQ(list.GetCount(), 2u);
    EXPECT_EQ(list.RemoveHead(), &b);
    EXPECT_EQ(list.RemoveHead(), &c);
    EXPECT_EQ(list.RemoveHead(), nullptr);
    EXPECT_EQ(list.GetCount(), 0u);
    ASSERT_NE(list.AddTail(&a), nullptr);
    EXPECT_EQ(list.GetAt(0), &a);
}

}  // namespace
