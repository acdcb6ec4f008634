// The update log that support reads: what a successful and a failed update leave behind,
// that a log folder which cannot be written changes no result, and that only the newest
// logs are kept. The instrument is reached by its WinMM port name alone.

#include <algorithm>
#include <cstring>
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
            // The first bind, before the file was even loaded: no device of the library.
            "VOVirize:Device disconnected",
            "start message: not sent, the device has no output of its own",
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

// Unplugged while the last message plays: its driver hands the message back as done, but
// the instrument is gone from behind the port, so the update did not complete; the log says why.
TEST_F(UpdateLogTest, InstrumentUnpluggedWhileTheLastMessagePlaysEndsWithTwo) {
    const int messages = 30;
    Firmware firmware = makeFirmware(messages, true);
    const uint32_t port = addLumetra();
    ASSERT_NE(0u, port);
    winmm_.control().setWireSpeed(port, 3125);
    ASSERT_EQ(1, winmm_.control().unplugDuring(port, messages, 4));
    UpdateRun run(writeFirmware(firmware), environment({"CARROWICK_SIMZEPH_NO_DEVICE=1"}));
    RUN_TO_EXIT(run, kUpdateTimeoutMs);

    expectResult(run, 2, false);
    std::vector<WinmmSent> sent = winmm_.sent();
    ASSERT_EQ(static_cast<size_t>(messages), sent.size());
    EXPECT_EQ(static_cast<uint32_t>(SimWinmmOutcomeUnplugged), sent.back().record.outcome);
    EXPECT_LT(sent.back().record.playedLength, sent.back().record.length);
    const std::string log = onlyUpdateLog();
    EXPECT_NE(std::string::npos, log.find("the instrument's port went away during the last message")) << log;
    EXPECT_NE(std::string::npos, log.find("result: 2 (failed")) << log;
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

// Logs named by a clock that was later than now (set back since, or a move west): the run's
// own log must not be the one pruned, and the oldest made go first.
TEST_F(UpdateLogTest, RunsOwnLogSurvivesLogsNamedInTheFuture) {
    ASSERT_TRUE(CreateDirectoryA((appData_ + "\\Carrowick").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(logsFolder().c_str(), nullptr));
    for (int i = 0; i < 25; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "update-20990101-0000%02d.log", i);
        std::ofstream(logsFolder() + "\\" + name) << "old\r\n";
    }
    UpdateRun run(writeFirmware(makeFirmware(4, true)), environment({"CARROWICK_SIMZEPH_NO_DEVICE=1"}));
    RUN_TO_EXIT(run, kUpdateTimeoutMs);  // no instrument: Cancel in the connect box
    EXPECT_EQ(-1, run.exitCode());

    std::vector<std::string> names = updateLogNames();
    EXPECT_LE(names.size(), 20u);
    std::vector<std::string> own;
    for (const std::string& name : names)
        if (updateLogText(name).find("exit code:") != std::string::npos) own.push_back(name);
    ASSERT_EQ(1u, own.size()) << "the run's own log is gone";
    EXPECT_NE(std::string::npos, updateLogText(own[0]).find("exit code: -1 (no update was made)"));
    // The six made first went (update-20990101-000000 to -000005): the run's own and the 19
    // made last stay.
    names.erase(std::find(names.begin(), names.end(), own[0]));
    std::vector<std::string> kept;
    for (int i = 6; i < 25; ++i) kept.push_back("update-20990101-0000" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".log");
    EXPECT_EQ(kept, names);
}

// The test build's log disk takes 30 s for every write, as a hung network profile would:
// the result box still comes right after the transfer, and the exit code is the result.
TEST_F(UpdateLogTest, LogDiskThatStallsHoldsNothingBack) {
    const int messages = 40;
    Firmware firmware = makeFirmware(messages, true);
    uint32_t port = addLumetra();
    ASSERT_NE(0u, port);
    UpdateRun run(writeFirmware(firmware),
                  environment({"CARROWICK_SIMZEPH_NO_DEVICE=1", "CARROWICK_TEST_LOG_STALL_MS=30000"}));
    run.session().useProgram(CARROWICK_TEST_HOOKS_EXE, true);
    run.setCheckResultIcon(false);
    DWORD transferEnd = 0;
    run.setPoll([&] {
        if (!transferEnd && winmm_.control().sentCount() >= static_cast<uint32_t>(messages)) transferEnd = GetTickCount();
    });
    RUN_TO_EXIT(run, kUpdateTimeoutMs);
    expectResult(run, 0, false);
    expectDelivered(firmware.expected, port);
    std::vector<BoxSeen> results = run.boxesCaptioned(kResultCaption);
    ASSERT_EQ(1u, results.size());
    ASSERT_NE(0u, transferEnd);
    EXPECT_LT(results[0].tick - transferEnd, 5000u) << "the result box waited for the log";
}

// The test build's log disk is full once the header is written: the log ends there, and the
// update, its box and its exit code are what they would have been.
TEST_F(UpdateLogTest, FullDiskLeavesTheUpdateUnchanged) {
    Firmware firmware = makeFirmware(kMessages, true);
    uint32_t port = addLumetra();
    ASSERT_NE(0u, port);
    UpdateRun run(writeFirmware(firmware), environment({"CARROWICK_SIMZEPH_NO_DEVICE=1", "CARROWICK_TEST_LOG_DISK_FULL=1"}));
    run.session().useProgram(CARROWICK_TEST_HOOKS_EXE, true);
    RUN_TO_EXIT(run, kUpdateTimeoutMs);
    expectResult(run, 0, false);
    expectDelivered(firmware.expected, port);
    const std::string log = onlyUpdateLog();
    EXPECT_NE(std::string::npos, log.find("looking for an output whose name contains")) << log;
    EXPECT_EQ(std::string::npos, log.find("result:")) << "the disk was not full: " << log;
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Reads a little-endian 32-bit value at offset; 0 past the end.
uint32_t le32(const std::string& bytes, size_t offset) {
    if (offset + 4 > bytes.size()) return 0;
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, 4);
    return value;
}

// A crash on the worker (test build), as a fault and as a C++ exception nothing catches: a
// minidump beside the logs, named in the log, with its header, a stream directory inside the
// file and the exception's own stream; the process still ends as a crashed one does. Dumps
// beyond 5 go, the oldest made first (whatever their names), never the new one.
TEST_F(UpdateLogTest, CrashLeavesADumpNamedInTheLog) {
    struct Case {
        const char* crash;
        int32_t exitCode;
        uint32_t exceptionCode;
        const char* logText;
        int oldDumps;  // made before the run, named in 2099
    };
    const Case cases[] = {
        {"fault", static_cast<int32_t>(EXCEPTION_ACCESS_VIOLATION), EXCEPTION_ACCESS_VIOLATION,
         "unhandled exception 0xc0000005", 0},
#if defined(_WIN64)
        // The x86-64 runtime throws as an exception of the system's, which the filter sees.
        {"throw", 0x20474343, 0x20474343, "unhandled exception 0x20474343", 7},
#else
        // The x86 runtime ends an uncaught exception through std::terminate and abort().
        {"throw", 3, 0xE0435258, "unhandled exception 0xe0435258", 7},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.crash);
        winmm_.control().reset();
        const std::string appData = temp_.file(std::string("appdata-") + c.crash);
        ASSERT_TRUE(CreateDirectoryA(appData.c_str(), nullptr));
        const std::string folder = appData + "\\Carrowick\\Logs";
        ASSERT_TRUE(CreateDirectoryA((appData + "\\Carrowick").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
        std::vector<std::string> oldDumps;
        for (int i = 0; i < c.oldDumps; ++i) {
            oldDumps.push_back("crash-20990101-00000" + std::to_string(i) + "-1.dmp");
            std::ofstream(folder + "\\" + oldDumps.back()) << "old";
        }
        ASSERT_NE(0u, addLumetra());
        UpdateRun run(writeFirmware(makeFirmware(4, true)),
                      environment({"CARROWICK_SIMZEPH_NO_DEVICE=1", std::string("CARROWICK_TEST_CRASH=") + c.crash,
                                   "LOCALAPPDATA=" + appData}));
        // A debugged program hands its crash to the debugger, never to its own filter.
        run.session().useProgram(CARROWICK_TEST_HOOKS_EXE, false);
        RUN_TO_EXIT(run, kUpdateTimeoutMs);
        EXPECT_EQ(c.exitCode, run.exitCode()) << "it no longer ends as a crash";

        std::vector<std::string> logs;
        std::vector<std::string> dumps;
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
        ASSERT_NE(INVALID_HANDLE_VALUE, search) << "no folder " << folder;
        do {
            const std::string name = found.cFileName;
            if (name.size() > 4 && name.substr(name.size() - 4) == ".dmp") dumps.push_back(name);
            if (name.size() > 4 && name.substr(name.size() - 4) == ".log") logs.push_back(name);
        } while (FindNextFileA(search, &found));
        FindClose(search);
        ASSERT_EQ(1u, logs.size());
        const std::string log = readText(folder + "\\" + logs[0]);
        EXPECT_NE(std::string::npos, log.find(c.logText)) << log;
        std::vector<std::string> kept;
        std::string own;
        for (const std::string& name : dumps) {
            if (std::find(oldDumps.begin(), oldDumps.end(), name) != oldDumps.end())
                kept.push_back(name);
            else
                own = name;
        }
        ASSERT_FALSE(own.empty()) << "no crash dump in " << folder;
        EXPECT_EQ(std::min<size_t>(c.oldDumps + 1, 5), dumps.size());
        // The old dumps that stay are the ones made last.
        std::sort(kept.begin(), kept.end());
        EXPECT_EQ(std::vector<std::string>(oldDumps.end() - kept.size(), oldDumps.end()), kept);
        EXPECT_NE(std::string::npos, log.find("crash dump written to " + folder + "\\" + own)) << log;

        const std::string dump = readText(folder + "\\" + own);
        ASSERT_GE(dump.size(), 32u);
        EXPECT_EQ("MDMP", dump.substr(0, 4));
        EXPECT_EQ(0xA793u, le32(dump, 4) & 0xFFFF);  // MINIDUMP_VERSION
        const uint32_t streams = le32(dump, 8);
        const uint32_t directory = le32(dump, 12);
        ASSERT_GT(streams, 0u);
        ASSERT_LE(static_cast<size_t>(directory) + streams * 12u, dump.size()) << "the directory lies outside the file";
        bool exceptionStream = false;
        for (uint32_t i = 0; i < streams; ++i) {
            const size_t entry = directory + i * 12u;
            const uint32_t type = le32(dump, entry);
            const uint32_t size = le32(dump, entry + 4);
            const uint32_t rva = le32(dump, entry + 8);
            if (type == 0) continue;  // an unused entry
            EXPECT_LE(static_cast<size_t>(rva) + size, dump.size()) << "stream " << type << " lies outside the file";
            // MINIDUMP_EXCEPTION_STREAM: thread id, alignment, then the record, its code first.
            if (type == 6) {  // ExceptionStream
                exceptionStream = true;
                EXPECT_EQ(c.exceptionCode, le32(dump, rva + 8));
            }
        }
        EXPECT_TRUE(exceptionStream);
    }
}
}  // namespace
