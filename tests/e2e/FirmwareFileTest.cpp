// Firmware files at the edges of what the program takes: empty, without an F7, with
// messages as long as the WinMM port's buffer and longer, and one of 64 MiB. The
// instrument is reached by its WinMM port name alone: the Zeph library offers no device.

#include <algorithm>
#include <cstdint>
#include <fstream>

#include "device/FirmwareImage.h"
#include "inspector/FirmwareReport.h"
#include "tests/e2e/InstrumentTest.h"

namespace {

// The longest message the program's WinMM port takes.
const size_t kPortBufferBytes = 4352;
// A file's messages are searched for after the 5 s pause and the first 1 s look.
const int32_t kFirstLookMs = 6000;
// From Yes to the result box when there is little or nothing to send.
const int32_t kShortUpdateMs = 10000;

Bytes messageOfLength(size_t length, uint8_t seed) {
    Bytes message = {0xF0, 0x00, 0x7A, 0x51};
    while (message.size() + 1 < length) message.push_back(static_cast<uint8_t>((seed + message.size() * 7) & 0x7F));
    message.push_back(0xF7);
    return message;
}

// A start message followed by these messages; the instrument must receive them as they are.
Firmware firmwareOf(const std::vector<Bytes>& messages) {
    Firmware firmware = makeFirmware(0, true);
    for (const Bytes& message : messages) {
        firmware.file.insert(firmware.file.end(), message.begin(), message.end());
        firmware.expected.push_back(message);
    }
    return firmware;
}

class FirmwareFileTest : public InstrumentTest {
protected:
    std::vector<std::string> environment() const {
        return InstrumentTest::environment({"CARROWICK_SIMZEPH_NO_DEVICE=1"});
    }

    // Yes to the one confirmation; returns the time from it to the result box.
    int32_t confirmedToResult(const UpdateRun& run) {
        std::vector<BoxSeen> confirms = run.boxesCaptioned(kConfirmCaption);
        std::vector<BoxSeen> results = run.boxesCaptioned(kResultCaption);
        EXPECT_EQ(1u, confirms.size()) << "boxes:" << run.describeBoxes();
        EXPECT_TRUE(run.boxesCaptioned(kConnectCaption).empty()) << "boxes:" << run.describeBoxes();
        if (confirms.empty() || results.empty()) return -1;
        return ticksBetween(confirms[0].tick, results[0].tick);
    }

    std::string droppedTailLine(size_t bytes) {
        return "RIR: FirmwareImage: " + std::to_string(bytes) + " bytes after the last F7 dropped (an unterminated message)\n";
    }
};

TEST_F(FirmwareFileTest, MessagesUpToThePortBufferArriveWhole) {
    Firmware firmware = firmwareOf({messageOfLength(45, 1), messageOfLength(46, 2), messageOfLength(128, 3),
                                    messageOfLength(1000, 4), messageOfLength(kPortBufferBytes - 1, 5),
                                    messageOfLength(kPortBufferBytes, 6), messageOfLength(20, 7),
                                    messageOfLength(kPortBufferBytes, 8), messageOfLength(45, 9)});
    uint32_t port = addLumetra();
    ASSERT_NE(0u, port);
    UpdateRun run(writeFirmware(firmware), environment());
    RUN_TO_EXIT(run, kUpdateTimeoutMs);

    expectResult(run, 0);
    expectDelivered(firmware.expected, port);
    int32_t elapsed = confirmedToResult(run);
    EXPECT_GE(elapsed, kFirstLookMs);
    EXPECT_LE(elapsed, kShortUpdateMs);
}

TEST_F(FirmwareFileTest, MessageLongerThanThePortBufferStopsTheTransferWithNothingOfIt) {
    std::vector<Bytes> before = {messageOfLength(45, 1), messageOfLength(kPortBufferBytes, 2)};
    std::vector<Bytes> all = before;
    all.push_back(messageOfLength(kPortBufferBytes + 1, 3));
    all.push_back(messageOfLength(20, 4));
    all.push_back(messageOfLength(45, 5));
    Firmware firmware = firmwareOf(all);
    uint32_t port = addLumetra();
    ASSERT_NE(0u, port);
    UpdateRun run(writeFirmware(firmware), environment());
    RUN_TO_EXIT(run, kUpdateTimeoutMs);

    expectResult(run, 2);
    // The messages before it went out whole; nothing of it and nothing after it.
    expectDelivered(before, port);
    EXPECT_EQ(1, run.session().debugCount("RIR: rvoVirize: a message of 4353 bytes does not fit the port\n"))
        << "debugger output: " << run.session().launcher().debugText();
    std::vector<BoxSeen> results = run.boxesCaptioned(kResultCaption);
    ASSERT_EQ(1u, results.size());
    EXPECT_EQ(static_cast<int>(before.size()), results[0].progressPosition);
    EXPECT_LE(confirmedToResult(run), kShortUpdateMs);
}

// A message of hundreds of megabytes is judged before anything of it is copied: a copy
// would not fit an x86 process (which then ended through std::terminate, with exit 3).
TEST_F(FirmwareFileTest, MessageOfHundredsOfMegabytesEndsWithTwoAndTheLogSaysWhy) {
    const size_t kLength = 400u << 20;
    Firmware start = makeFirmware(0, true);
    std::string path = temp_.file("huge.syx");
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(start.file.data()), static_cast<std::streamsize>(start.file.size()));
        out.put(static_cast<char>(0xF0));
        const Bytes block(1u << 20, 0x35);
        for (size_t left = kLength - 2; left > 0;) {
            size_t part = std::min(left, block.size());
            out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(part));
            left -= part;
        }
        out.put(static_cast<char>(0xF7));
        ASSERT_TRUE(out.good()) << "could not write " << path;
    }
    uint32_t port = addLumetra();
    ASSERT_NE(0u, port);
    UpdateRun run(path, environment());
    // Reading 400 MB back takes a few seconds on a quiet machine, far longer while other suites
    // write to the same disk.
    RUN_TO_EXIT(run, 2 * kUpdateTimeoutMs);

    expectResult(run, 2);
    EXPECT_TRUE(winmm_.sent().empty()) << "a message reached the port";
    const std::string why = "rvoVirize: a message of " + std::to_string(kLength) + " bytes does not fit the port";
    EXPECT_EQ(1, run.session().debugCount("RIR: " + why + "\n")) << "debugger output: " << run.session().launcher().debugText();
    std::string log = onlyUpdateLog();
    EXPECT_NE(std::string::npos, log.find(why)) << log;
    EXPECT_NE(std::string::npos, log.find("result: 2 (failed: the transfer stopped before the end of the file)")) << log;
}

// A file that ends inside its only message has no message: the port is still looked for
// and opened, nothing is sent, and the update is reported as not completed.
TEST_F(FirmwareFileTest, FileWithoutF7SendsNothingAndEndsWithTwo) {
    Firmware firmware = makeFirmware(0, true);
    firmware.file.pop_back();  // the start message's F7
    for (uint8_t i = 0; i < 30; ++i) firmware.file.push_back(i);
    uint32_t port = addLumetra();
    ASSERT_NE(0u, port);
    UpdateRun run(writeFirmware(firmware), environment());
    RUN_TO_EXIT(run, kUpdateTimeoutMs);

    expectResult(run, 2);
    EXPECT_EQ(0u, winmm_.sent().size());
    EXPECT_EQ(1, run.session().debugCount(droppedTailLine(firmware.file.size())))
        << "debugger output: " << run.session().launcher().debugText();
    // Not 1: the port was found; and that took the pause and a look.
    int32_t elapsed = confirmedToResult(run);
    EXPECT_GE(elapsed, kFirstLookMs);
    EXPECT_LE(elapsed, kShortUpdateMs);
}

// An empty file is a firmware with nothing to send: nothing is missing, so it completes.
TEST_F(FirmwareFileTest, EmptyFileCompletesWithNothingSent) {
    uint32_t port = addLumetra();
    ASSERT_NE(0u, port);
    UpdateRun run(writeFirmware(Firmware()), environment());
    RUN_TO_EXIT(run, kUpdateTimeoutMs);

    expectResult(run, 0);
    EXPECT_EQ(0u, winmm_.sent().size());
    int32_t elapsed = confirmedToResult(run);
    EXPECT_GE(elapsed, kFirstLookMs);
    EXPECT_LE(elapsed, kShortUpdateMs);
}

// 64 MiB would take an hour to send under Wine: it is loaded and offered, and No ends it.
TEST_F(FirmwareFileTest, SixtyFourMebibytesAreLoadedAndConfirmedThenNoEndsWithMinusOne) {
    const size_t kSize = 64u << 20;
    Bytes message = messageOfLength(44, 1);
    Firmware start = makeFirmware(0, true);
    std::string path = temp_.file("large.syx");
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(start.file.data()), static_cast<std::streamsize>(start.file.size()));
        Bytes block;
        while (block.size() + message.size() <= (1u << 20)) block.insert(block.end(), message.begin(), message.end());
        size_t written = start.file.size();
        while (written + block.size() <= kSize) {
            out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size()));
            written += block.size();
        }
        while (written + message.size() <= kSize) {
            out.write(reinterpret_cast<const char*>(message.data()), static_cast<std::streamsize>(message.size()));
            written += message.size();
        }
        ASSERT_TRUE(out.good()) << "could not write " << path;
    }
    ASSERT_NE(0u, addLumetra());
    UpdateRun run(path, environment());
    run.setAnswer([](const std::string& caption, int) { return caption == kConfirmCaption ? IDNO : IDCANCEL; });
    DWORD started = GetTickCount();
    RUN_TO_EXIT(run, kUpdateTimeoutMs);
    DWORD ended = GetTickCount();

    EXPECT_EQ(-1, run.exitCode());
    ASSERT_EQ(1u, run.boxes().size()) << "boxes:" << run.describeBoxes();
    EXPECT_EQ(kConfirmCaption, run.boxes()[0].caption);
    EXPECT_EQ(confirmationText(), run.boxes()[0].text);
    // Loading 64 MiB under Wine takes seconds of its own on a busy machine.
    EXPECT_LE(ticksBetween(started, run.boxes()[0].tick), static_cast<int32_t>(2 * kWindowTimeoutMs))
        << "the confirmation came late";
    EXPECT_LE(ticksBetween(run.boxes()[0].tick, ended), static_cast<int32_t>(kExitTimeoutMs)) << "No did not end it soon";
    EXPECT_EQ(nullptr, run.progressDialog()) << "a progress dialog was shown";
    EXPECT_EQ(0u, winmm_.sent().size());
    EXPECT_EQ(std::string::npos, run.session().launcher().debugText().find("invalid file"))
        << "debugger output: " << run.session().launcher().debugText();
}

// A file that cannot fit the process's memory is an invalid file: -1, no box, nothing sent.
// A 3 GiB file (sparse: it costs no disk) is beyond any allocation of the 32-bit build; a
// 64-bit process here finds room for every file size the loader accepts (up to 4 GiB), and
// reading one whole would take minutes.
TEST_F(FirmwareFileTest, FileTooLargeForMemoryEndsWithMinusOne) {
    if (sizeof(void*) == 8) GTEST_SKIP() << "a 64-bit process has room for any file the loader accepts";
    const std::string path = temp_.file("huge.syx");
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    LARGE_INTEGER size;
    size.QuadPart = 3LL << 30;
    const bool sized = SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    ASSERT_TRUE(sized);
    ASSERT_NE(0u, addLumetra());
    UpdateRun run(path, environment());
    RUN_TO_EXIT(run, kUpdateTimeoutMs);
    DeleteFileA(path.c_str());
    EXPECT_EQ(-1, run.exitCode());
    EXPECT_TRUE(run.boxes().empty()) << "boxes:" << run.describeBoxes();
    EXPECT_EQ(0u, winmm_.sent().size());
    EXPECT_NE(std::string::npos, run.session().launcher().debugText().find("UN_FW_Check: invalid file: "))
        << "debugger output: " << run.session().launcher().debugText();
}

}  // namespace

// The engineer's inspector and the instrument agree: what the inspector says the updater
// will send from a file is what the simulated instrument receives from the real program.
TEST_F(FirmwareFileTest, InspectorCountsAgreeWithWhatTheInstrumentReceived) {
    Firmware firmware = makeFirmware(60, true);  // with status bytes and stray bytes to leave out
    FirmwareImage image;
    image.assign(firmware.file.data(), static_cast<uint32_t>(firmware.file.size()));
    FirmwareReport report = inspectFirmware(image);
    ASSERT_TRUE(report.hasStartMessage);
    EXPECT_GT(report.statusBytesLeftOut + report.bytesBeforeF0, 0u);
    EXPECT_FALSE(report.sentUnchanged());

    uint32_t port = addLumetra();
    ASSERT_NE(0u, port);
    UpdateRun run(writeFirmware(firmware), environment());
    RUN_TO_EXIT(run, kUpdateTimeoutMs);
    expectResult(run, 0);

    std::vector<WinmmSent> sent = winmm_.sent();
    uint64_t bytes = 0;
    size_t smallest = SIZE_MAX, largest = 0;
    for (const WinmmSent& message : sent) {
        bytes += message.bytes.size();
        smallest = std::min(smallest, message.bytes.size());
        largest = std::max(largest, message.bytes.size());
    }
    EXPECT_EQ(report.dataMessages, sent.size());
    EXPECT_EQ(report.bytesSent, bytes);
    EXPECT_EQ(report.smallestMessage, smallest);
    EXPECT_EQ(report.largestMessage, largest);
    EXPECT_EQ(report.dataMessages, firmware.expected.size());
}
