#include "tests/e2e/InstrumentTest.h"

#include <algorithm>
#include <fstream>
#include <iterator>

const char* const kCompletedText = "Lumetra firmware update completed.";
const char* const kErrorText = "Error updating the Lumetra firmware.";
const char* const kConnectText =
    "Please connect your Lumetra, wait for the\n"
    "driver installation to complete, then press\n"
    "'OK' to do a firmware upgrade check.\n\n"
    "Pressing 'Cancel' will skip the upgrade.\n";

namespace {

// Past this many differences a listing of them says nothing more.
const int kMaxReported = 3;

}  // namespace

std::string confirmationText() {
    const char* version = sizeof(void*) == 8 ? "v1.169" : "v1.157";
    return std::string("This installer includes ") + version +
           " of the Lumetra firmware.\n\n"
           "If you wish to install this firmware, press 'Yes'. Otherwise press 'No'.\n"
           "Firmware updates improve the stability and performance of your synthesizer.\n"
           "Do you want to proceed?\n";
}

void InstrumentTest::SetUp() {
    ASSERT_EQ("", winmm_.load());
    loaded_ = true;
    winmm_.control().reset();
    zephCapture_ = temp_.file("zeph-capture.txt");
    appData_ = temp_.file("appdata");
    ASSERT_TRUE(CreateDirectoryA(appData_.c_str(), nullptr));
}

void InstrumentTest::TearDown() {
    if (loaded_) winmm_.control().reset();
}

std::vector<std::string> InstrumentTest::environment(const std::vector<std::string>& extra) const {
    std::vector<std::string> entries = SimWinmm::programEnvironment();
    entries.push_back("CARROWICK_SIMZEPH_CAPTURE=" + zephCapture_);
    entries.push_back("LOCALAPPDATA=" + appData_);
    entries.insert(entries.end(), extra.begin(), extra.end());
    return entries;
}

void InstrumentTest::expectDelivered(const std::vector<Bytes>& expected, uint32_t deviceId) {
    std::vector<WinmmSent> sent = winmm_.sent();
    EXPECT_EQ(expected.size(), sent.size()) << "messages that went out through WinMM";
    int reported = 0;
    for (size_t i = 0; i < sent.size() && reported < kMaxReported; ++i) {
        const SimWinmmSent& record = sent[i].record;
        bool right = record.kind == SimWinmmSentLong && record.deviceId == deviceId &&
                     record.outcome == SimWinmmOutcomePlayed && i < expected.size() && sent[i].bytes == expected[i];
        if (right) continue;
        ++reported;
        ADD_FAILURE() << "message " << i << ": kind " << record.kind << ", device " << record.deviceId << " ("
                      << record.deviceName << "), outcome " << record.outcome << ", bytes " << hex(sent[i].bytes)
                      << "; expected a played long message on device " << deviceId << ": "
                      << (i < expected.size() ? hex(expected[i]) : "(none)");
    }
}

size_t InstrumentTest::expectStoppedAt(const std::vector<Bytes>& expected, DWORD stopTick) {
    std::vector<WinmmSent> sent = winmm_.sent();
    size_t played = 0;
    while (played < sent.size() && sent[played].record.outcome == SimWinmmOutcomePlayed) ++played;
    int reported = 0;
    for (size_t i = 0; i < sent.size() && reported < kMaxReported; ++i) {
        const SimWinmmSent& record = sent[i].record;
        bool before = ticksBetween(stopTick, record.timeMs) < 0;
        if (i < played) {
            if (before && i < expected.size() && sent[i].bytes == expected[i]) continue;
            ++reported;
            ADD_FAILURE() << "played message " << i << " accepted " << ticksBetween(stopTick, record.timeMs)
                          << " ms after the stop: " << hex(sent[i].bytes) << "; expected "
                          << (i < expected.size() ? hex(expected[i]) : "(none)");
        } else if (record.outcome == SimWinmmOutcomePlayed) {
            ++reported;
            ADD_FAILURE() << "message " << i << " was played after an unplayed one";
        }
    }
    EXPECT_LT(played, expected.size()) << "the whole firmware was played although the transfer was stopped";
    return played;
}

void InstrumentTest::expectResult(UpdateRun& run, int32_t exitCode, bool iconChecked) {
    std::vector<BoxSeen> results = run.boxesCaptioned(kResultCaption);
    // The program's own diagnostics say why an update went otherwise.
    EXPECT_EQ(exitCode, run.exitCode()) << "debugger output: " << run.session().launcher().debugText();
    ASSERT_EQ(1u, results.size()) << "boxes:" << run.describeBoxes();
    EXPECT_EQ(exitCode == 0 ? kCompletedText : kErrorText, results[0].text);
    if (iconChecked) {
        EXPECT_EQ(exitCode == 0 ? IconKind::Information : IconKind::Exclamation, results[0].icon);
    }
    EXPECT_FALSE(results[0].progressVisible) << "the progress dialog was still up when the result box showed";
}

std::vector<std::string> InstrumentTest::updateLogNames() const {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((logsFolder() + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

std::string InstrumentTest::updateLogText(const std::string& name) const {
    std::ifstream in(logsFolder() + "\\" + name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string InstrumentTest::onlyUpdateLog() const {
    std::vector<std::string> names = updateLogNames();
    EXPECT_EQ(1u, names.size()) << "update logs in " << logsFolder();
    return names.empty() ? std::string() : updateLogText(names.back());
}
