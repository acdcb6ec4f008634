// The update log that support reads: what a successful and a failed update leave behind,
// that a log folder which cannot be written changes no result, and that only the newest
// logs are kept. The instrument is reached by its WinMM port name alone.

#include <fstream>

#include "CarrowickVersion.h"
#include "tests/e2e/InstrumentTest.h"

namespace {

const uint32_t kSlowCompletionMs = 10;
const int kMessages = 120;

struct Outcome {
    const char* name;
    bool unplugHalfway;
    int32_t exitCode;
    const char* resultLine;
};

const Outcome kOutcomes[] = {
    {"completed", false, 0, "result: 0 (completed: every data message reached the instrument)"},
    {"unplugged", true, 2, "result: 2 (failed: the transfer stopped before the end of the file)"},
};

class UpdateLogTest : public InstrumentTest {
protected:
    // Runs one update to its end; the instrument is unplugged halfway when asked.
    void runUpdate(const Outcome& outcome, const std::string& localAppData, Firmware& firmware, uint32_t& port) {
        firmware = makeFirmware(kMessages, true);
        port = addLumetra();
        ASSERT_NE(0u, port);
        winmm_.control().setCompletionDelay(kSlowCompletionMs);
        std::vector<std::string> environment =
            InstrumentTest::environment({"CARROWICK_SIMZEPH_NO_DEVICE=1", "LOCALAPPDATA=" + localAppData});
        UpdateRun run(writeFirmware(firmware), environment);
        bool removed = false;
        run.setPoll([&] {
            if (!outcome.unplugHalfway || removed || winmm_.control().sentCount() < kMessages / 2) return;
            winmm_.control().removeDevice(port);
            removed = true;
        });
        RUN_TO_EXIT(run, kUpdateTimeoutMs);
        expectResult(run, outcome.exitCode, false);
        EXPECT_EQ(outcome.unplugHalfway, removed);
    }
};

// Every field support needs, in a log of each outcome.
TEST_F(UpdateLogTest, SuccessfulAndFailedUpdatesLeaveALogWithEveryField) {
    for (const Outcome& outcome : kOutcomes) {
        SCOPED_TRACE(outcome.name);
        Firmware firmware;
        uint32_t port = 0;
        runUpdate(outcome, appData_, firmware, port);
        std::vector<std::string> names = updateLogNames();
        ASSERT_FALSE(names.empty()) << "no log in " << logsFolder();
        const std::string& name = names.back();
        EXPECT_EQ(std::string("update-"), name.substr(0, 7));
        EXPECT_EQ(std::string(".log"), name.substr(name.size() - 4));
        std::string log = updateLogText(name);
        const std::string path = temp_.file("lumetra.syx");
        const uint32_t accepted = static_cast<uint32_t>(winmm_.sent().size());
        const std::vector<std::string> fields = {
            std::string("Carrowick ") + CARROWICK_VERSION + " (" + (sizeof(void*) == 8 ? "x86-64" : "x86") + " build), carrying Lumetra firmware " +
                (sizeof(void*) == 8 ? "v1.169" : "v1.157"),
            "firmware path: " + path,
            "firmware file: " + std::to_string(firmware.file.size()) + " bytes, " + std::to_string(kMessages + 1) +
                " messages (a start message, " + std::to_string(kMessages) + " data messages), 0 bytes after the last F7",
            "looking for an output whose name contains \"Lumetra\"",
            "rvoVirize: output 0 opened (Lumetra)",
            "data messages accepted: " + std::to_string(accepted) + ", in ",
            outcome.resultLine,
            "exit code: " + std::to_string(outcome.exitCode) + "\r\n",
        };
        size_t at = 0;
        for (const std::string& field : fields) {
            size_t found = log.find(field, at);
            EXPECT_NE(std::string::npos, found) << "missing or out of order: " << field << "\nlog:\n" << log;
            if (found != std::string::npos) at = found;
        }
        // Every line carries its time, "HH:MM:SS.mmm ".
        for (size_t line = 0, end; (end = log.find("\r\n", line)) != std::string::npos; line = end + 2) {
            std::string text = log.substr(line, end - line);
            EXPECT_TRUE(text.size() > 13 && text[2] == ':' && text[5] == ':' && text[8] == '.' && text[12] == ' ') << text;
        }
        winmm_.control().reset();
    }
}

// A LOCALAPPDATA that is a file: no folder can be made under it, and nothing else changes.
TEST_F(UpdateLogTest, LogFolderThatCannotBeWrittenChangesNoResult) {
    const std::string blocked = temp_.write("not-a-folder", std::string("x"));
    for (const Outcome& outcome : kOutcomes) {
        SCOPED_TRACE(outcome.name);
        Firmware firmware;
        uint32_t port = 0;
        runUpdate(outcome, blocked, firmware, port);
        if (!outcome.unplugHalfway) expectDelivered(firmware.expected, port);
        winmm_.control().reset();
    }
}

// The newest 20 are kept: the run's own and the 19 newest before it.
TEST_F(UpdateLogTest, OnlyTheLastTwentyLogsAreKept) {
    ASSERT_TRUE(CreateDirectoryA((appData_ + "\\Carrowick").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(logsFolder().c_str(), nullptr));
    std::vector<std::string> older;
    for (int i = 0; i < 25; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "update-20200101-0000%02d.log", i);
        older.push_back(name);
        std::ofstream(logsFolder() + "\\" + name) << "old\r\n";
    }
    UpdateRun run(writeFirmware(makeFirmware(4, true)), environment({"CARROWICK_SIMZEPH_NO_DEVICE=1"}));
    RUN_TO_EXIT(run, kUpdateTimeoutMs);  // no instrument: Cancel in the connect box
    EXPECT_EQ(-1, run.exitCode());

    std::vector<std::string> names = updateLogNames();
    ASSERT_EQ(20u, names.size());
    std::vector<std::string> kept(older.end() - 19, older.end());
    EXPECT_EQ(kept, std::vector<std::string>(names.begin(), names.end() - 1));
    EXPECT_NE(std::string::npos, updateLogText(names.back()).find("exit code: -1 (no update was made)"));
}

}  // namespace
