#include <string>

#include <gtest/gtest.h>

#include "support/Diagnostics.h"
#include "tests/common/DebugCapture.h"

namespace {

TEST(KsTrace, LevelsAboveOneAreDropped) {
    DebugCapture capture;
    for (int level = 2; level <= 6; ++level) KsTrace(level, "%s Enter", "CKsFilter::Instantiate()");
    EXPECT_TRUE(capture.lines().empty());
}

TEST(KsTrace, HigherLevelsDoNotFormat) {
    DebugCapture capture;
    // Formatting this would read through a bad pointer and crash.
    const char* volatile bad = reinterpret_cast<const char*>(16);
    KsTrace(6, "%s", bad);
    EXPECT_TRUE(capture.lines().empty());
}

TEST(KsTrace, LevelZeroAndOneAreWrittenWithLineEnd) {
    DebugCapture capture;
    KsTrace(1, "CKsIrpTarget::SyncIoctl WaitForSingleObject failed dwWait:0x%08x", 0x102u);
    KsTrace(0, "plain");
    std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "CKsIrpTarget::SyncIoctl WaitForSingleObject failed dwWait:0x00000102");
    EXPECT_EQ(lines[1], "\r\n");
    EXPECT_EQ(lines[2], "plain");
    EXPECT_EQ(lines[3], "\r\n");
}

TEST(KsTrace, LongLineIsCutTo259Characters) {
    DebugCapture capture;
    std::string text(300, 'a');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
    KsTrace(1, "%s", text.c_str());
    std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], text.substr(0, 259));
    EXPECT_EQ(lines[1], "\r\n");
}

// A conversion that fails part way (a wide character the C locale cannot write) keeps
// what was formatted before it instead of losing the whole line.
TEST(KsTrace, FormattingFailureKeepsTheTextBeforeIt) {
    DebugCapture capture;
    const wchar_t wide[] = {0x20AC, 0};
    KsTrace(1, "CKsPin::GetName failed for %ls", wide);
    std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, 26), "CKsPin::GetName failed for");
    EXPECT_EQ(lines[1], "\r\n");
}

// Every writer's line is cut at its buffer, and the tap sees exactly what was written.
TEST(Diagnostics, LongLinesAreCutAndTheTapSeesThem) {
    static std::vector<std::string>* tapped = nullptr;
    std::vector<std::string> seen;
    tapped = &seen;
    setDiagnosticTap([](const char* line) { tapped->push_back(line); });
    DebugCapture capture;
    const std::string big(20000, 'z');
    diagnosticPrint("%s", big.c_str());
    debugPrint("%s%s", big.c_str(), big.c_str());
    KsTrace(1, "%s", big.c_str());
    KsTrace(2, "%s", big.c_str());
    setDiagnosticTap(nullptr);
    diagnosticPrint("after");
    const std::vector<std::string> expected = {"RIR: " + big.substr(0, 8186), big.substr(0, 8191), big.substr(0, 259)};
    EXPECT_EQ(seen, expected);
    std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], expected[0]);
    EXPECT_EQ(lines[1], expected[1]);
    EXPECT_EQ(lines[2], expected[2]);
    EXPECT_EQ(lines[4], "RIR: after");
}

TEST(DiagnosticPrint, PrefixesAndAddsNoLineEnd) {
    DebugCapture capture;
    diagnosticPrint("bank -> %d\n", 5);
    diagnosticPrint("no end");
    std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "RIR: bank -> 5\n");
    EXPECT_EQ(lines[1], "RIR: no end");
}

TEST(DiagnosticPrint, WholeLineFitsEightKilobytesWithTerminator) {
    DebugCapture capture;
    std::string big(10000, 'x');
    diagnosticPrint("%s", big.c_str());
    std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 8191u);
    EXPECT_EQ(lines[0].substr(0, 6), "RIR: x");
}

TEST(DebugPrint, WritesWithoutPrefix) {
    DebugCapture capture;
    debugPrint("UN_FW_Check: invalid file: %s\n", "C:\\a b.syx");
    EXPECT_EQ(capture.text(), "UN_FW_Check: invalid file: C:\\a b.syx\n");
}

TEST(FormatShortText, FormatsTheVendorProductText) {
    char buffer[128];
    EXPECT_EQ(FormatShortText(buffer, "vid_%4.4x&pid_%4.4x", 0x2A4Bu, 0x1u), 17);
    EXPECT_STREQ(buffer, "vid_2a4b&pid_0001");
}

TEST(FormatShortText, TooLongIsAFailureWithEmptyBuffer) {
    char buffer[128];
    std::string text(127, 'y');
    EXPECT_EQ(FormatShortText(buffer, "%s", text.c_str()), 127);
    EXPECT_EQ(std::string(buffer), text);
    text += 'y';
    EXPECT_EQ(FormatShortText(buffer, "%s", text.c_str()), -1);
    EXPECT_STREQ(buffer, "");
}

TEST(GeneralError, CarriesItsTextThroughEveryCatch) {
    try {
        throw GeneralError("Sysex output timeout");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Sysex output timeout");
    }
    GeneralError original("midiOutOpen failed");
    GeneralError copy(original);
    EXPECT_STREQ(copy.what(), "midiOutOpen failed");
}

}  // namespace
