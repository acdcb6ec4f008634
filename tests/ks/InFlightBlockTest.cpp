// The in-flight block against the simulated driver: a write handed over, waited for with a
// bound, cancelled, and left to a driver that keeps it.

#include "tests/ks/KsTestSupport.h"

#include <memory>

#include "ks/KsOsApi.h"
#include "support/InFlightBlock.h"

namespace {

class InFlight : public kstest::KsTest {
protected:
    void SetUp() override {
        simPin = &driver.addDevice("\\\\?\\dev#block").addHiddenMidiPin(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK);
        filter = OpenFilter("\\\\?\\dev#block");
        HRESULT outcome = E_FAIL;
        pin.reset(new CKsPin(filter, 0, &outcome));
        ASSERT_EQ(kstest::ConnectPin(pin.get(), simks::kHiddenMidiSubFormat), S_OK);
        ASSERT_EQ(pin->Instantiate(FALSE), S_OK);
        for (KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) ASSERT_EQ(pin->SetState(s), S_OK);
    }
    void TearDown() override {
        pin.reset();
        filter->Release();
    }
    // Hands one write of one byte over in the block.
    void Write(InFlightBlock<KsStreamRequest>& block) {
        KsStreamRequest& request = block.header();
        request.header.Size = sizeof(KSSTREAM_HEADER);
        request.header.FrameExtent = static_cast<ULONG>(block.size());
        request.header.DataUsed = 12;
        request.header.Data = block.data();
        request.overlapped.hEvent = block.event();
        KSMUSICFORMAT entry = {0, 1};
        std::memcpy(block.data(), &entry, sizeof entry);
        block.data()[sizeof entry] = 0x42;
        ASSERT_EQ(pin->WriteData(&request.header, &request.overlapped), S_OK);
        block.handOver();
    }
    void Cancel(InFlightBlock<KsStreamRequest>& block) {
        KsOs().CancelIoEx(pin->GetHandle(), &block.header().overlapped);
    }

    simks::SimPin* simPin = nullptr;
    CKsFilter* filter = nullptr;
    std::unique_ptr<CKsPin> pin;
};

TEST_F(InFlight, WaitsCancelsAndLeavesTheBlockToADriverThatKeepsIt) {
    simPin->setWriteMode(simks::WriteMode::Never);
    const unsigned abandonedBefore = AbandonedInFlightBlocks();
    {
        InFlightBlock<KsStreamRequest> block("InFlight test", 20);
        ASSERT_TRUE(block.valid());
        EXPECT_TRUE(block.wait(0)) << "nothing handed over yet";
        Write(block);
        EXPECT_FALSE(block.wait(50));
        EXPECT_EQ(block.takeEvent(), HANDLE(NULL)) << "the driver may still set it";
        simPin->completePendingWrites();
        EXPECT_TRUE(block.wait(2000));
        EXPECT_EQ(simPin->writes().at(0).midi, simks::Bytes{0x42});
        // Cancelling only asks; the write comes back a moment later.
        Write(block);
        EXPECT_TRUE(block.cancelAndWait([&] { Cancel(block); }, 2000));
    }
    // A driver that keeps the cancelled write: the block and its event are left to it.
    driver.setCancelDelay(10 * 60 * 1000);
    {
        InFlightBlock<KsStreamRequest> block("InFlight test", 20);
        Write(block);
        EXPECT_FALSE(block.cancelAndWait([&] { Cancel(block); }, 100));
        block.abandon();
        block.abandon();
    }
    EXPECT_EQ(AbandonedInFlightBlocks(), abandonedBefore + 1);
    const std::string line = "InFlight test: the driver kept a cancelled request; its memory is left to it";
    const std::string text = capture.text();
    EXPECT_NE(text.find(line), std::string::npos) << text;
    EXPECT_EQ(text.find(line), text.rfind(line)) << "logged once";
    std::vector<std::vector<uint8_t>> scribble;
    for (int i = 0; i < 64; ++i) scribble.emplace_back(InFlightBlock<KsStreamRequest>::bytesFor(20), 0xAA);
    driver.completeAllNow();
    EXPECT_EQ(driver.completionsIntoChangedBlocks(), 0);
    EXPECT_EQ(driver.completionsWithoutEvent(), 0);
}

}  // namespace
