#pragma once
// Base of the tests that run the real program through an update against the simulated
// Lumetra: a clean simulated WinMM per test, a folder for the firmware and the Zeph
// capture, and the checks that every such test makes of what reached the instrument.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/common/TempFiles.h"
#include "tests/e2e/SimInstrument.h"
#include "tests/e2e/UpdateRun.h"

extern const char* const kCompletedText;
extern const char* const kErrorText;
// The confirmation text of this build's architecture.
std::string confirmationText();
extern const char* const kConnectText;

// Long enough for the 5 s pause, the first 1 s search and a transfer of a few hundred messages,
// with room for a slow machine busy with builds and other suites: a bound for a program that
// never ends, not a timing of the program.
const DWORD kUpdateTimeoutMs = 60000;
// The port search gives up 25 s after the start message.
const DWORD kNoPortTimeoutMs = 45000;

class InstrumentTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string writeFirmware(const Firmware& firmware) { return temp_.write("lumetra.syx", firmware.file); }
    // The simulated WinMM's and Zeph library's settings for the program, plus extra ones.
    std::vector<std::string> environment(const std::vector<std::string>& extra = {}) const;
    uint32_t addLumetra() { return winmm_.control().addDevice(0, "Lumetra"); }

    // The program's LOCALAPPDATA: its update logs are made under it.
    std::string logsFolder() const { return appData_ + "\\Carrowick\\Logs"; }
    // The update logs' names, oldest first, and the text of one.
    std::vector<std::string> updateLogNames() const;
    std::string updateLogText(const std::string& name) const;
    // The text of the only update log; fails the test when there is not exactly one.
    std::string onlyUpdateLog() const;

    // Every message that went out through WinMM is a played long message on the device, and
    // together they are the expected ones in order.
    void expectDelivered(const std::vector<Bytes>& expected, uint32_t deviceId);
    // The transfer stopped at `stopTick`: what was played is a prefix of the expected messages,
    // all accepted before then, and nothing accepted from then on was played. Returns how many
    // were played.
    size_t expectStoppedAt(const std::vector<Bytes>& expected, DWORD stopTick);
    // One result box with this text and icon, shown after the progress dialog was hidden,
    // and the exit code.
    void expectResult(UpdateRun& run, int32_t exitCode, bool iconChecked = true);

    TempDir temp_;
    SimWinmm winmm_;
    std::string zephCapture_;
    std::string appData_;
    bool loaded_ = false;
};

// Runs the program to its end; fails the test when it did not end in time.
#define RUN_TO_EXIT(run, timeoutMs)                                                                      \
    do {                                                                                                 \
        ASSERT_TRUE((run).start()) << "error " << (run).session().launcher().error();                   \
        ASSERT_TRUE((run).runToExit(timeoutMs)) << "the program did not end; boxes:" << (run).describeBoxes() \
                                                << "; debugger output: " << (run).session().launcher().debugText(); \
    } while (0)
