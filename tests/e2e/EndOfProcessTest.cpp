// How the running program ends once the worker has started: the Exit command and the
// result message in its main loop, and the worker's last steps, which the process waits for.

#include "tests/e2e/InstrumentTest.h"

namespace {

class EndOfProcessTest : public InstrumentTest {
protected:
    std::vector<std::string> environment() const {
        return InstrumentTest::environment({"CARROWICK_SIMZEPH_NO_DEVICE=1"});
    }
};

// The last message is still playing when the result is posted: the worker's release waits
// for it (up to 1000 ms) before it resets and closes the port. The user answers the result
// box at once; the process still must not end before the port is closed.
TEST_F(EndOfProcessTest, PortIsClosedBeforeTheProcessEndsEvenWhenTheResultIsAnsweredAtOnce) {
    Firmware firmware = makeFirmware(1, true);
    uint32_t port = addLumetra();
    ASSERT_NE(0u, port);
    // Longer than the flush waits, shorter than the release and the end of the process wait.
    winmm_.control().setCompletionDelay(1500);
    UpdateRun run(writeFirmware(firmware), environment());
    run.setCheckResultIcon(false);
    RUN_TO_EXIT(run, kUpdateTimeoutMs);

    expectResult(run, 2, false);
    EXPECT_EQ(0u, winmm_.control().openHandleCount()) << "the port was left open";
    std::vector<WinmmSent> sent = winmm_.sent();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(SimWinmmOutcomePlayed, sent[0].record.outcome) << "the last message was cut off";
}

// Once the worker runs, the main loop serves the Exit command and the result message
// itself (not the check flow's boxes): each ends the program with its own code.
TEST_F(EndOfProcessTest, ExitAndResultMessageInTheMainLoopEndWithTheirCodes) {
    struct Case {
        const char* name;
        int command;  // 0: post the result message instead
        int result;
        int32_t exitCode;
    };
    const Case cases[] = {{"Exit", 105, 0, 0}, {"result 7", 0, 7, 7}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        winmm_.control().reset();
        uint32_t port = addLumetra();
        ASSERT_NE(0u, port);
        // Slow enough that the transfer is still running when the test acts.
        winmm_.control().setCompletionDelay(50);
        UpdateRun run(writeFirmware(makeFirmware(200, true)), environment());
        bool acted = false;
        run.setPoll([&] {
            if (acted || winmm_.control().sentCount() < 2) return;
            acted = c.command ? run.session().ui().postCommand(c.command) : run.session().ui().postUpdateResult(c.result);
        });
        RUN_TO_EXIT(run, kUpdateTimeoutMs);
        EXPECT_TRUE(acted);
        EXPECT_EQ(c.exitCode, run.exitCode());
        EXPECT_LT(winmm_.control().sentCount(), 200u) << "the program ended only after the transfer";
        // The log tells an update cut short from one never made.
        std::vector<std::string> logs = updateLogNames();
        ASSERT_FALSE(logs.empty());
        EXPECT_NE(std::string::npos,
                  updateLogText(logs.back())
                      .find("exit code: " + std::to_string(c.exitCode) + " (the program ended during the update, before its result)"))
            << updateLogText(logs.back());
        if (c.command == 0) {
            ASSERT_EQ(1u, run.boxesCaptioned(kResultCaption).size()) << "boxes:" << run.describeBoxes();
            EXPECT_EQ(kErrorText, run.boxesCaptioned(kResultCaption)[0].text);
        }
    }
}

}  // namespace
