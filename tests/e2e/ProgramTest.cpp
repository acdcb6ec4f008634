// The real Carrowick.exe under Wine: what its command line means, what it writes to the
// debugger, which windows it shows and which exit code it ends with.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/common/TempFiles.h"
#include "tests/e2e/ProgramSession.h"

namespace {

// A start message and two data messages: a file the program can load.
std::vector<uint8_t> sampleFirmware() {
    std::vector<uint8_t> bytes = {0xF0, 0x00, 0x7A, 0x51, 0x03, 0x71, 0x01, 0x02,
                                  0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xF7};
    for (int message = 0; message < 2; ++message) {
        bytes.insert(bytes.end(), {0xF0, 0x00, 0x7A, 0x51});
        for (int i = 0; i < 39; ++i) bytes.push_back(static_cast<uint8_t>((message * 39 + i) & 0x7F));
        bytes.push_back(0xF7);
    }
    return bytes;
}

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// A readable firmware file whose path is longer than the 260 characters of the system's
// path limit, made through the long-path form of the wide calls; removed the same way.
class LongPathFile {
public:
    explicit LongPathFile(const std::string& folder) {
        std::string path = folder;
        while (path.size() <= MAX_PATH) {
            path += "\\" + std::string(60, 'd');
            if (!CreateDirectoryW(wide("\\\\?\\" + path).c_str(), nullptr)) return;
            folders_.push_back(path);
        }
        path += "\\lumetra.syx";
        HANDLE file = CreateFileW(wide("\\\\?\\" + path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return;
        std::vector<uint8_t> bytes = sampleFirmware();
        DWORD written = 0;
        bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size();
        CloseHandle(file);
        made_ = path;
        if (ok) path_ = path;
    }
    ~LongPathFile() {
        if (!made_.empty()) DeleteFileW(wide("\\\\?\\" + made_).c_str());
        for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder)
            RemoveDirectoryW(wide("\\\\?\\" + *folder).c_str());
    }
    // Empty when the file could not be made.
    const std::string& path() const { return path_; }

private:
    std::vector<std::string> folders_;
    std::string made_;
    std::string path_;
};

std::string describe(const std::set<std::string>& windows) {
    std::string text;
    for (const std::string& window : windows) text += " \"" + window + "\"";
    return text.empty() ? " none" : text;
}

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        CreateDirectoryA(folder(), nullptr);
        // No instrument: a Zeph library another run left named would offer one.
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Veltro\\Zeph");
    }

    // A folder whose name has a blank, as a downloads folder often has.
    const char* folder() {
        folder_ = temp_.path() + "\\fw files";
        return folder_.c_str();
    }
    std::string writeFirmware(const std::string& name) {
        std::string path = std::string(folder()) + "\\" + name;
        temp_.write("fw files\\" + name, sampleFirmware());
        return path;
    }

    // Runs the program on argumentText, which it must reject as an invalid file named path,
    // before any box or window, with exit code -1.
    void expectRejected(const std::string& argumentText, const std::string& path) {
        SCOPED_TRACE("argument text [" + argumentText + "]");
        ProgramSession session(argumentText);
        ASSERT_TRUE(session.start()) << "error " << session.launcher().error();
        ASSERT_TRUE(session.waitForExitWatchingWindows(kExitTimeoutMs)) << "the program did not end by itself";
        EXPECT_EQ(-1, session.launcher().exitCode());
        EXPECT_EQ(1, session.debugCount(invalidFileLine(path))) << "debugger output: " << session.launcher().debugText();
        EXPECT_TRUE(session.windowsSeen().empty()) << "windows shown:" << describe(session.windowsSeen());
    }

    // Runs the program on a file it can read: no invalid-file line, and the check flow
    // ends with -1 once its boxes are declined.
    void expectAccepted(const std::string& argumentText) {
        SCOPED_TRACE("argument text [" + argumentText + "]");
        ProgramSession session(argumentText);
        ASSERT_TRUE(session.start()) << "error " << session.launcher().error();
        ASSERT_TRUE(session.declineUntilExit(kExitTimeoutMs)) << "the program did not end";
        EXPECT_EQ(-1, session.launcher().exitCode());
        EXPECT_EQ(std::string::npos, session.launcher().debugText().find("UN_FW_Check: invalid file"))
            << "debugger output: " << session.launcher().debugText();
    }

    TempDir temp_;
    std::string folder_;
};

TEST_F(ProgramTest, UnreadableFirmwarePathsEndWithMinusOneAndNoWindow) {
    expectRejected("", "");
    std::string missing = std::string(folder()) + "\\missing.syx";
    expectRejected(missing, missing);
    expectRejected(folder(), folder());
    // The folder of a firmware file is not the file.
    writeFirmware("lumetra.syx");
    expectRejected(std::string(folder()) + "\\", std::string(folder()) + "\\");
}

TEST_F(ProgramTest, FileHeldWithoutSharingOrBeyondThePathLimitIsInvalid) {
    std::string path = writeFirmware("lumetra.syx");
    HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    expectRejected(path, path);
    CloseHandle(held);
    // Let go, the same file is read.
    expectAccepted(path);

    LongPathFile longPath(folder());
    ASSERT_FALSE(longPath.path().empty()) << "could not make a file beyond the path limit";
    ASSERT_GT(longPath.path().size(), static_cast<size_t>(MAX_PATH));
    expectRejected(longPath.path(), longPath.path());
}

TEST_F(ProgramTest, QuotesAroundThePathAreKeptSoTheFileIsNotFound) {
    std::string path = writeFirmware("lumetra.syx");
    expectRejected("\"" + path + "\"", "\"" + path + "\"");
    expectRejected("\"" + path, "\"" + path);
}

TEST_F(ProgramTest, BlanksAfterThePathArePartOfIt) {
    std::string missing = std::string(folder()) + "\\missing.syx";
    expectRejected(missing + "  ", missing + "  ");
    expectRejected(missing + " \t", missing + " \t");
    // Only the blanks between the program's name and the path are dropped.
    expectRejected(" \t " + missing + " ", missing + " ");
}

TEST_F(ProgramTest, UnquotedPathWithBlanksIsLoadedWhole) {
    // A file named like the path's first word would be taken if the path were split.
    std::string path = writeFirmware("lumetra sample.syx");
    expectAccepted(path);
    expectAccepted("  " + path);
}

}  // namespace
