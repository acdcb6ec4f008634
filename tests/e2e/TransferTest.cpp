// The check flow's wait for the instrument and what happens to a transfer that is
// disturbed: the instrument unplugged, completions that stop, the user closing the progress
// dialog or the result box at once. The instrument is reached by its WinMM port name alone:
// the Zeph library offers no device here, whatever the registry says.

#include "tests/e2e/InstrumentTest.h"

namespace {

// A transfer slow enough to be caught halfway: each message takes this long to play.
const uint32_t kSlowCompletionMs = 10;
// Near the point of an unplugging, this many messages play this slowly.
const uint32_t kSlowdownMessages = 4;
const uint32_t kSlowerCompletionMs = 100;

class TransferTest : public InstrumentTest {
protected:
    std::vector<std::string> environment() const {
        return InstrumentTest::environment({"CARROWICK_SIMZEPH_NO_DEVICE=1"});
    }
};

TEST_F(TransferTest, WithoutInstrumentOkAsksAgainAndCancelEndsWithMinusOne) {
    UpdateRun run(writeFirmware(makeFirmware(10, true)), environment());
    run.setAnswer([](const std::string& caption, int earlier) {
        if (caption == kConnectCaption) return earlier < 2 ? IDOK : IDCANCEL;
        return IDNO;
    });
    RUN_TO_EXIT(run, kUpdateTimeoutMs);

    EXPECT_EQ(-1, run.exitCode());
    std::vector<BoxSeen> connects = run.boxesCaptioned(kConnectCaption);
    EXPECT_EQ(3u, connects.size()) << "boxes:" << run.describeBoxes();
    EXPECT_EQ(connects.size(), run.boxes().size()) << "boxes:" << run.describeBoxes();
    for (const BoxSeen& box : connects) EXPECT_EQ(kConnectText, box.text);
    EXPECT_EQ(nullptr, run.progressDialog());
    EXPECT_EQ(0u, winmm_.control().sentCount());
}

TEST_F(TransferTest, InstrumentPluggedInAfterTheSecondOkIsFoundAndUpdated) {
    Firmware firmware = makeFirmware(60, true);
    uint32_t port = 0;
    UpdateRun run(writeFirmware(firmware), environment());
    run.setAnswer([this, &port](const std::string& caption, int earlier) {
        if (caption == kConnectCaption) {
            if (earlier == 1) port = addLumetra();
            return earlier < 2 ? IDOK : IDCANCEL;
        }
        return caption == kConfirmCaption ? IDYES : IDOK;
    });
    RUN_TO_EXIT(run, kUpdateTimeoutMs);

    ASSERT_NE(0u, port);
    EXPECT_EQ(2u, run.boxesCaptioned(kConnectCaption).size()) << "boxes:" << run.describeBoxes();
    ASSERT_EQ(1u, run.boxesCaptioned(kConfirmCaption).size()) << "boxes:" << run.describeBoxes();
    EXPECT_EQ(confirmationText(), run.boxesCaptioned(kConfirmCaption)[0].text);
    expectResult(run, 0);
    expectDelivered(firmware.expected, port);
}

// The instrument unplugged when this percentage of the messages was accepted.
class UnpluggedTransfer : public TransferTest, public ::testing::WithParamInterface<int> {};

TEST_P(UnpluggedTransfer, EndsWithTwoWithinSeconds) {
    Firmware firmware = makeFirmware(200, true);
    const uint32_t unplugAt = static_cast<uint32_t>(firmware.expected.size() * GetParam() / 100);
    uint32_t port = addLumetra();
    ASSERT_NE(0u, port);
    winmm_.control().setCompletionDelay(kSlowCompletionMs);
    UpdateRun run(writeFirmware(firmware), environment());
    DWORD removed = 0;
    run.setPoll([&] {
        if (removed != 0) return;
        uint32_t accepted = winmm_.control().sentCount();
        // Slower messages just before the point, so a busy machine cannot let the
        // transfer run past it (at 99% only two messages are left) before the cable goes.
        if (accepted + kSlowdownMessages >= unplugAt) winmm_.control().setCompletionDelay(kSlowerCompletionMs);
        if (accepted >= unplugAt) {
            winmm_.control().removeDevice(port);
            removed = GetTickCount();
        }
    });
    RUN_TO_EXIT(run, kUpdateTimeoutMs);

    ASSERT_NE(0u, removed) << "the transfer never got to " << unplugAt << " messages";
    expectResult(run, 2);
    std::vector<BoxSeen> results = run.boxesCaptioned(kResultCaption);
    ASSERT_EQ(1u, results.size());
    EXPECT_LE(ticksBetween(removed, results[0].tick), 5000) << "the error came late";
    size_t played = expectStoppedAt(firmware.expected, removed);
    // Only the message in flight when the cable went can be accepted and never played.
    uint32_t accepted = winmm_.control().sentCount();
    EXPECT_GE(played + 1, accepted);
    EXPECT_GE(accepted, unplugAt);
    EXPECT_EQ(static_cast<int>(accepted), results[0].progressPosition) << "the bar does not show where it stopped";
}

INSTANTIATE_TEST_SUITE_P(Percent, UnpluggedTransfer, ::testing::Values(10, 50, 99),
                         [](const ::testing::TestParamInfo<int>& info) { return "At" + std::to_string(info.param); });

TEST_F(TransferTest, CompletionsThatStopEndWithTwoWithinSeconds) {
    Firmware firmware = makeFirmware(200, true);
    uint32_t port = addLumetra();
    ASSERT_NE(0u, port);
    winmm_.control().setCompletionDelay(kSlowCompletionMs);
    UpdateRun run(writeFirmware(firmware), environment());
    DWORD held = 0;
    run.setPoll([&] {
        if (held == 0 && winmm_.control().sentCount() >= firmware.expected.size() / 2) {
            winmm_.control().holdCompletions(1);
            held = GetTickCount();
        }
    });
    RUN_TO_EXIT(run, kUpdateTimeoutMs);

    ASSERT_NE(0u, held) << "the transfer never got halfway";
    expectResult(run, 2);
    std::vector<BoxSeen> results = run.boxesCaptioned(kResultCaption);
    ASSERT_EQ(1u, results.size());
    // One message waits 1 s for its predecessor, then is offered again for 5 s.
    EXPECT_LE(ticksBetween(held, results[0].tick), 10000) << "the error came late";
    expectStoppedAt(firmware.expected, held);
}

TEST_F(TransferTest, PortThatFailsToOpenIsLookedForAgain) {
    Firmware firmware = makeFirmware(40, true);
    uint32_t port = addLumetra();
    ASSERT_NE(0u, port);
    winmm_.control().failNext(SimWinmmFailOpen, 2);
    UpdateRun run(writeFirmware(firmware), environment());
    RUN_TO_EXIT(run, kUpdateTimeoutMs);

    expectResult(run, 0);
    expectDelivered(firmware.expected, port);
    std::vector<WinmmSent> sent = winmm_.sent();
    ASSERT_FALSE(sent.empty());
    ASSERT_EQ(1u, run.boxesCaptioned(kConfirmCaption).size());
    // 5 s pause, then looks at 6 s and 7 s that found the port but could not open it.
    DWORD confirmed = run.boxesCaptioned(kConfirmCaption)[0].tick;
    EXPECT_GE(ticksBetween(confirmed, sent[0].record.timeMs), 7500) << "the port opened before its failures were used up";
}

TEST_F(TransferTest, RefusedMessagesAreOfferedAgainWithoutLossOrRepetition) {
    Firmware firmware = makeFirmware(60, true);
    uint32_t port = addLumetra();
    ASSERT_NE(0u, port);
    winmm_.control().failNext(SimWinmmFailLongMsg, 3);
    UpdateRun run(writeFirmware(firmware), environment());
    RUN_TO_EXIT(run, kUpdateTimeoutMs);

    expectResult(run, 0);
    expectDelivered(firmware.expected, port);
}

TEST_F(TransferTest, ProgressCloseBoxDuringTheTransferChangesNothing) {
    Firmware firmware = makeFirmware(150, true);
    uint32_t port = addLumetra();
    ASSERT_NE(0u, port);
    winmm_.control().setCompletionDelay(kSlowCompletionMs);
    UpdateRun run(writeFirmware(firmware), environment());
    int closedAt = -1;
    int lastSeen = -1;
    bool hiddenWhileSending = false;
    run.setPoll([&] {
        // Visibility before the position: the bar is told the last position before the
        // dialog is hidden, so hidden with the bar short of the end is a fault. Read the
        // other way round, the end could fall between the two looks.
        const bool visible = UiDriver::visible(run.progressDialog());
        int position = 0, high = 0;
        if (!run.readProgress(position, high)) return;
        if (closedAt < 0 && position > 0 && position < static_cast<int>(firmware.expected.size()) / 2) {
            ASSERT_TRUE(UiDriver::closeBox(run.progressDialog()));
            closedAt = position;
        }
        // Until the last message, the dialog must stay where the user can see it.
        if (closedAt >= 0 && position < static_cast<int>(firmware.expected.size()) && !visible)
            hiddenWhileSending = true;
        lastSeen = position;
    });
    RUN_TO_EXIT(run, kUpdateTimeoutMs);

    ASSERT_GE(closedAt, 0) << "the close box was never used during the transfer";
    EXPECT_GT(lastSeen, closedAt) << "the bar did not move after the close box";
    EXPECT_FALSE(hiddenWhileSending) << "the close box hid the progress dialog";
    expectResult(run, 0);
    expectDelivered(firmware.expected, port);
}

TEST_F(TransferTest, ResultBoxClosedTheMomentItAppearsStillGivesTheResult) {
    Firmware firmware = makeFirmware(40, true);
    uint32_t port = addLumetra();
    ASSERT_NE(0u, port);
    UpdateRun run(writeFirmware(firmware), environment());
    run.setCheckResultIcon(false);
    run.setAnswer([](const std::string& caption, int) {
        if (caption == kConfirmCaption) return IDYES;
        return caption == kResultCaption ? kUseCloseBox : IDCANCEL;
    });
    RUN_TO_EXIT(run, kUpdateTimeoutMs);

    expectResult(run, 0, false);
    expectDelivered(firmware.expected, port);
}

TEST_F(TransferTest, FileEndingInsideAMessageEndsWithTwoAfterSendingTheRest) {
    Firmware firmware = makeFirmware(30, true);
    firmware.file.insert(firmware.file.end(), {0xF0, 0x00, 0x7A, 0x51, 0x05, 0x06});
    uint32_t port = addLumetra();
    ASSERT_NE(0u, port);
    UpdateRun run(writeFirmware(firmware), environment());
    RUN_TO_EXIT(run, kUpdateTimeoutMs);

    expectResult(run, 2);
    expectDelivered(firmware.expected, port);
}

}  // namespace
