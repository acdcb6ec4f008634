// Whole updates with the Zeph library named in the registry (or deliberately not): the
// instrument connected from the start, the start message through the library, the restart
// into update mode, the data messages through the port that comes back.

#include <algorithm>
#include <fstream>

#include "tests/e2e/InstrumentTest.h"

namespace {

const Bytes kStatusRequest = {0xF0, 0x00, 0x7A, 0x51, 0x03, 0x01, 0x7F, 0x60, 0x21, 0x00, 0x00, 0x00, 0x00, 0xF7};

class ZephUpdateTest : public InstrumentTest {
protected:
    void SetUp() override {
        InstrumentTest::SetUp();
        ASSERT_EQ("", writeZephKey());
    }

    // What the library's output received: the start message exactly once, and otherwise
    // only status requests (the program asks for status whenever it binds the device).
    void expectStartMessageOnly(const Firmware& firmware) {
        int starts = 0;
        for (const ZephWrite& write : readZephCapture(zephCapture_)) {
            if (write.bytes == firmware.startMessage)
                ++starts;
            else
                EXPECT_EQ(hex(kStatusRequest), hex(write.bytes)) << "written to the Zeph output at tick " << write.tick;
        }
        EXPECT_EQ(1, starts) << "start messages on the Zeph output";
        // The library's own record of a misuse: a destroyed object used, or an object
        // destroyed on one of its threads.
        std::ifstream capture(zephCapture_);
        for (std::string line; std::getline(capture, line);)
            EXPECT_NE('!', line.empty() ? ' ' : line[0]) << "the Zeph library saw: " << line;
    }

    // Watches the Zeph capture for the start message; then the instrument restarts into its
    // update mode, so its old port goes away (the library brings it back).
    UpdateRun::Poll restartOnStartMessage(const Firmware& firmware, uint32_t oldPort, DWORD& startTick) {
        return [this, &firmware, oldPort, &startTick] {
            if (startTick != 0) return;
            for (const ZephWrite& write : readZephCapture(zephCapture_)) {
                if (write.bytes != firmware.startMessage) continue;
                startTick = write.tick;
                if (oldPort) winmm_.control().removeDevice(oldPort);
                return;
            }
        };
    }
};

// OK in the connect box binds the device again: a library named in the registry since the
// start is taken up, the instrument is bound (which asks it for its status) and the
// confirmation follows.
TEST_F(ZephUpdateTest, OkInTheConnectBoxConnectsTheDeviceAgain) {
    ASSERT_EQ("", deleteZephKey());
    UpdateRun run(writeFirmware(makeFirmware(4, true)), environment());
    run.setAnswer([](const std::string& caption, int earlier) {
        if (caption != kConnectCaption) return IDNO;
        if (earlier > 0) return IDCANCEL;
        return writeZephKey().empty() ? IDOK : IDCANCEL;
    });
    RUN_TO_EXIT(run, kUpdateTimeoutMs);

    EXPECT_EQ(-1, run.exitCode());
    ASSERT_EQ(2u, run.boxes().size()) << "boxes:" << run.describeBoxes();
    EXPECT_EQ(kConnectCaption, run.boxes()[0].caption);
    EXPECT_EQ(kConfirmCaption, run.boxes()[1].caption);
    std::vector<ZephWrite> writes = readZephCapture(zephCapture_);
    ASSERT_EQ(1u, writes.size()) << "writes to the Zeph output";
    EXPECT_EQ(hex(kStatusRequest), hex(writes[0].bytes));
}

TEST_F(ZephUpdateTest, NoInTheConfirmationEndsWithMinusOneBeforeAnythingIsSent) {
    Firmware firmware = makeFirmware(20, true);
    ASSERT_NE(0u, addLumetra());
    UpdateRun run(writeFirmware(firmware), environment());
    run.setAnswer([](const std::string& caption, int) { return caption == kConfirmCaption ? IDNO : IDCANCEL; });
    RUN_TO_EXIT(run, kUpdateTimeoutMs);

    EXPECT_EQ(-1, run.exitCode());
    ASSERT_EQ(1u, run.boxes().size()) << "boxes:" << run.describeBoxes();
    EXPECT_EQ(kConfirmCaption, run.boxes()[0].caption);
    EXPECT_EQ(confirmationText(), run.boxes()[0].text);
    EXPECT_EQ(nullptr, run.progressDialog()) << "a progress dialog was shown";
    EXPECT_EQ(0u, winmm_.control().sentCount());
    for (const ZephWrite& write : readZephCapture(zephCapture_))
        EXPECT_EQ(hex(kStatusRequest), hex(write.bytes)) << "written to the Zeph output";
}

// The instrument restarts into update mode after the start message: the library drops it,
// calls back from its own thread, and offers it again later (or never). However the
// library calls back (while the start message is written, inside ZEPHCreate or
// ZEPHDestroy), the update ends 0, byte-exact, and the library sees no misuse.
struct LibraryMode {
    const char* name;
    const char* environment;  // null: the library's defaults
};
class ConnectedInstrument : public ZephUpdateTest, public ::testing::WithParamInterface<LibraryMode> {};

TEST_P(ConnectedInstrument, YesSendsTheWholeFirmwareAndEndsWithZero) {
    Firmware firmware = makeFirmware(150, true);
    uint32_t oldPort = addLumetra();
    ASSERT_NE(0u, oldPort);
    std::vector<std::string> extra;
    if (GetParam().environment) extra.push_back(GetParam().environment);
    UpdateRun run(writeFirmware(firmware), environment(extra));
    DWORD startTick = 0;
    run.setPoll(restartOnStartMessage(firmware, oldPort, startTick));
    RUN_TO_EXIT(run, kUpdateTimeoutMs);

    ASSERT_FALSE(run.boxesCaptioned(kConfirmCaption).empty()) << "boxes:" << run.describeBoxes();
    EXPECT_EQ(kConfirmCaption, run.boxes()[0].caption) << "the first box; boxes:" << run.describeBoxes();
    EXPECT_EQ(confirmationText(), run.boxes()[0].text);
    EXPECT_TRUE(run.boxesCaptioned(kConnectCaption).empty());
    expectResult(run, 0);

    // The progress dialog showed centred on the screen and ended at the number of messages.
    ASSERT_NE(nullptr, run.progressDialog());
    RECT rect = run.progressRect();
    EXPECT_EQ(std::max(0L, (GetSystemMetrics(SM_CXSCREEN) - (rect.right - rect.left)) / 2), rect.left);
    EXPECT_EQ(std::max(0L, (GetSystemMetrics(SM_CYSCREEN) - (rect.bottom - rect.top)) / 2), rect.top);
    std::vector<BoxSeen> results = run.boxesCaptioned(kResultCaption);
    ASSERT_EQ(1u, results.size());
    EXPECT_EQ(static_cast<int>(firmware.expected.size()), results[0].progressPosition);
    EXPECT_EQ(13000, results[0].progressHigh);

    expectStartMessageOnly(firmware);
    ASSERT_NE(0u, startTick) << "the start message never reached the Zeph output";
    std::vector<WinmmSent> sent = winmm_.sent();
    ASSERT_FALSE(sent.empty());
    EXPECT_GE(ticksBetween(startTick, sent[0].record.timeMs), 5000) << "the first data message came too early";
    // The data went to the port that came back after the restart, not to the old one.
    uint32_t newPort = sent[0].record.deviceId;
    EXPECT_NE(oldPort, newPort);
    EXPECT_STREQ("Lumetra", sent[0].record.deviceName);
    expectDelivered(firmware.expected, newPort);
}

INSTANTIATE_TEST_SUITE_P(Rebinding, ConnectedInstrument,
                         ::testing::Values(LibraryMode{"Defaults", nullptr},
                                           LibraryMode{"RebindDuringStartMessage", "CARROWICK_SIMZEPH_REBIND_ON_START=1"},
                                           LibraryMode{"CallbackInsideCreate", "CARROWICK_SIMZEPH_CALLBACK_IN_CREATE=1"},
                                           LibraryMode{"CallbackInsideDestroy", "CARROWICK_SIMZEPH_CALLBACK_IN_DESTROY=1"},
                                           LibraryMode{"NeverBackOnTheLibrary", "CARROWICK_SIMZEPH_BACK_MS=-1"}),
                         [](const ::testing::TestParamInfo<LibraryMode>& info) { return info.param.name; });

// Nothing takes the device's ports after the start message, yet the program binds anew by
// itself: within a second of the library's callback from its own thread (the instrument
// rebooted), and once more when the instrument is back, which leaves it connected (both
// ports open, a status request written) until the update ends.
TEST_F(ZephUpdateTest, RebootedInstrumentIsBoundAgainByItselfWhileTheUpdateRuns) {
    Firmware firmware = makeFirmware(40, true);
    uint32_t oldPort = addLumetra();
    ASSERT_NE(0u, oldPort);
    UpdateRun run(writeFirmware(firmware), environment());
    DWORD startTick = 0;
    run.setPoll(restartOnStartMessage(firmware, oldPort, startTick));
    RUN_TO_EXIT(run, kUpdateTimeoutMs);
    expectResult(run, 0);
    expectStartMessageOnly(firmware);

    std::vector<ZephEvent> events = readZephEvents(zephCapture_);
    std::string record;
    for (const ZephEvent& e : events) record += "\n  " + std::to_string(e.tick) + " " + e.text;
    auto find = [&](size_t from, const std::string& prefix, const std::string& suffix) {
        for (size_t i = from; i < events.size(); ++i) {
            const std::string& t = events[i].text;
            if (t.compare(0, prefix.size(), prefix) == 0 && t.size() >= suffix.size() &&
                t.compare(t.size() - suffix.size(), suffix.size(), suffix) == 0)
                return i;
        }
        return events.size();
    };
    size_t reboot = find(0, "callback connection ", "(reboot)");
    ASSERT_LT(reboot, events.size()) << record;
    size_t second = find(reboot, "create connection ", "");
    ASSERT_LT(second, events.size()) << "no bind after the reboot; record:" << record;
    EXPECT_LE(ticksBetween(events[reboot].tick, events[second].tick), 1000) << record;

    size_t back = find(0, "back device 30", "");
    ASSERT_LT(back, events.size()) << record;
    // The library calls back again when the instrument is back, unless the bind after the
    // reboot came later still (a crowded machine) and found it there already.
    size_t calledBack = find(back, "callback connection ", "(back)");
    if (calledBack < events.size()) {
        size_t again = find(calledBack, "create connection ", "");
        ASSERT_LT(again, events.size()) << "no bind after the library called back; record:" << record;
        EXPECT_LE(ticksBetween(events[calledBack].tick, events[again].tick), 1000) << record;
    } else {
        EXPECT_LT(back, second) << record;
    }
    // Connected again: both ports opened once the instrument was back, and never destroyed.
    for (const char* kind : {"open input #", "open output #"}) {
        size_t open = find(back, kind, " of device 30");
        ASSERT_LT(open, events.size()) << kind << "; record:" << record;
        std::string port = events[open].text.substr(5, events[open].text.find(" of ") - 5);
        for (size_t i = open; i < events.size(); ++i) EXPECT_NE("destroy " + port, events[i].text) << record;
    }
    bool askedAgain = false;
    for (const ZephWrite& write : readZephCapture(zephCapture_))
        askedAgain |= write.bytes == kStatusRequest && ticksBetween(events[back].tick, write.tick) >= 0;
    EXPECT_TRUE(askedAgain) << "no status request after the instrument came back; record:" << record;
}

// Every way the library can be unusable leaves the program on WinMM alone.
enum class ZephUnusable { NoKey, Version2, CreateNull };

class WithoutZeph : public ZephUpdateTest, public ::testing::WithParamInterface<ZephUnusable> {};

TEST_P(WithoutZeph, TheUpdateRunsOverWinmmAlone) {
    std::vector<std::string> extra;
    switch (GetParam()) {
    case ZephUnusable::NoKey:
        ASSERT_EQ("", deleteZephKey());
        break;
    case ZephUnusable::Version2:
        extra.push_back("CARROWICK_SIMZEPH_VERSION=2");
        break;
    case ZephUnusable::CreateNull:
        extra.push_back("CARROWICK_SIMZEPH_CREATE_NULL=1");
        break;
    }
    Firmware firmware = makeFirmware(100, true);
    uint32_t port = addLumetra();
    ASSERT_NE(0u, port);
    UpdateRun run(writeFirmware(firmware), environment(extra));
    RUN_TO_EXIT(run, kUpdateTimeoutMs);

    EXPECT_TRUE(run.boxesCaptioned(kConnectCaption).empty()) << "boxes:" << run.describeBoxes();
    ASSERT_EQ(1u, run.boxesCaptioned(kConfirmCaption).size()) << "boxes:" << run.describeBoxes();
    expectResult(run, 0);
    EXPECT_TRUE(readZephCapture(zephCapture_).empty()) << "the Zeph library was written to";
    // The start message is not among the data: it is left out when it cannot go through Zeph.
    expectDelivered(firmware.expected, port);
    std::vector<WinmmSent> sent = winmm_.sent();
    ASSERT_FALSE(sent.empty());
    DWORD confirmed = run.boxesCaptioned(kConfirmCaption)[0].tick;
    EXPECT_GE(ticksBetween(confirmed, sent[0].record.timeMs), 5000) << "the pause after the start was skipped";
    std::vector<BoxSeen> results = run.boxesCaptioned(kResultCaption);
    ASSERT_EQ(1u, results.size());
    EXPECT_LE(ticksBetween(confirmed, results[0].tick), 15000) << "the update took too long";
}

INSTANTIATE_TEST_SUITE_P(Library, WithoutZeph,
                         ::testing::Values(ZephUnusable::NoKey, ZephUnusable::Version2, ZephUnusable::CreateNull),
                         [](const ::testing::TestParamInfo<ZephUnusable>& info) {
                             switch (info.param) {
                             case ZephUnusable::NoKey: return "NoKey";
                             case ZephUnusable::Version2: return "Version2";
                             case ZephUnusable::CreateNull: return "CreateReturnsNull";
                             }
                             return "Unknown";
                         });

TEST_F(ZephUpdateTest, InstrumentThatNeverComesBackEndsWithOneAfterTheSearch) {
    Firmware firmware = makeFirmware(30, true);
    UpdateRun run(writeFirmware(firmware), environment({"CARROWICK_SIMZEPH_LUMETRA_DELAY_MS=-1"}));
    DWORD startTick = 0;
    run.setPoll(restartOnStartMessage(firmware, 0, startTick));
    RUN_TO_EXIT(run, kNoPortTimeoutMs);

    EXPECT_TRUE(run.boxesCaptioned(kConnectCaption).empty()) << "boxes:" << run.describeBoxes();
    expectResult(run, 1);
    expectStartMessageOnly(firmware);
    ASSERT_NE(0u, startTick) << "the start message never reached the Zeph output";
    std::vector<BoxSeen> results = run.boxesCaptioned(kResultCaption);
    ASSERT_EQ(1u, results.size());
    // 5 s pause, then 20 looks 1 s apart.
    int32_t elapsed = ticksBetween(startTick, results[0].tick);
    EXPECT_GE(elapsed, 25000);
    EXPECT_LE(elapsed, 32000);
    EXPECT_EQ(0, results[0].progressPosition);
    EXPECT_EQ(0u, winmm_.control().sentCount());
}

// Two instruments: the old one stays while the start message brings the other back under a
// name of its own. The firmware goes to the new one only; two alike with none new get nothing.
TEST_F(ZephUpdateTest, OfTwoInstrumentsOnlyTheOneTheStartMessageBroughtIsUpdated) {
    Firmware firmware = makeFirmware(40, true);
    const uint32_t other = addLumetra();
    ASSERT_NE(0u, other);
    UpdateRun run(writeFirmware(firmware), environment({"CARROWICK_SIMZEPH_LUMETRA_NAME=2- Lumetra"}));
    RUN_TO_EXIT(run, kUpdateTimeoutMs);

    expectResult(run, 0);
    expectStartMessageOnly(firmware);
    std::vector<WinmmSent> sent = winmm_.sent();
    ASSERT_FALSE(sent.empty());
    EXPECT_STREQ("2- Lumetra", sent[0].record.deviceName);
    EXPECT_NE(other, sent[0].record.deviceId);
    expectDelivered(firmware.expected, sent[0].record.deviceId);
}

TEST_F(ZephUpdateTest, TwoInstrumentsAndNoneNewGetNothingAndEndWithOne) {
    Firmware firmware = makeFirmware(10, true);
    ASSERT_NE(0u, addLumetra());
    ASSERT_NE(0u, winmm_.control().addDevice(0, "2- Lumetra"));
    UpdateRun run(writeFirmware(firmware), environment({"CARROWICK_SIMZEPH_LUMETRA_DELAY_MS=-1"}));
    RUN_TO_EXIT(run, kNoPortTimeoutMs);

    expectResult(run, 1);
    expectStartMessageOnly(firmware);
    EXPECT_EQ(0u, winmm_.control().sentCount()) << "a message went to one of the two";
    const std::string log = onlyUpdateLog();
    EXPECT_NE(std::string::npos,
              log.find("2 outputs are named like the instrument and 0 of them are new since the start message"))
        << log;
    EXPECT_NE(std::string::npos, log.find("\"Lumetra\" (WinMM 0), \"2- Lumetra\" (WinMM 1)")) << log;
}

}  // namespace
