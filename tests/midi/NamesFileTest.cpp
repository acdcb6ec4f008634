#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "midi/NamesFile.h"
#include "support/Diagnostics.h"
#include "tests/common/DebugCapture.h"
#include "tests/common/TempFiles.h"

namespace {

std::string fileText(const std::string& path) {
    const std::vector<uint8_t> bytes = readFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

TEST(NamesFileTest, FirstLookupsNumberAndCreateTheFile) {
    TempDir dir;
    const std::string folder = dir.path() + "\\";
    const std::string path = folder + "DuskerNames.ini";
    EXPECT_EQ(lookupPortName(folder, "Dusker", "K"), "Dusker 1");
    EXPECT_EQ(fileText(path), "K=Dusker 1\r\n");
    EXPECT_EQ(lookupPortName(folder, "Dusker", "\\\\?\\usb#vid_1"), "Dusker 2");
    EXPECT_EQ(lookupPortName(folder, "Dusker", "K"), "Dusker 1");
    EXPECT_EQ(fileText(path), "K=Dusker 1\r\n\\\\?\\usb#vid_1=Dusker 2\r\n");
    EXPECT_FALSE(exists(path + ".new"));
}

// The file's identity: a write-back replaces the file, so it changes.
uint64_t fileIndex(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_EXISTING, 0, NULL);
    BY_HANDLE_FILE_INFORMATION info = {};
    GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    return (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

TEST(NamesFileTest, RepeatedLookupDoesNotWrite) {
    TempDir dir;
    const std::string folder = dir.path() + "\\";
    const std::string path = folder + "DuskerNames.ini";
    EXPECT_EQ(lookupPortName(folder, "Dusker", "K"), "Dusker 1");
    const uint64_t written = fileIndex(path);
    EXPECT_EQ(lookupPortName(folder, "Dusker", "K"), "Dusker 1");
    EXPECT_EQ(fileIndex(path), written);
    EXPECT_EQ(lookupPortName(folder, "Dusker", "L"), "Dusker 2");
    EXPECT_NE(fileIndex(path), written);
}

TEST(NamesFileTest, WriteBackSortsByteWiseInCrLf) {
    TempDir dir;
    const std::string path = dir.write("GridletNames.ini", std::string("b=x\r\na=y\r\nb=dup\r\nlast=z"));
    EXPECT_EQ(lookupPortName(dir.path() + "\\", "Gridlet", "B"), "Gridlet 4");
    // "B" (0x42) sorts before "a" (0x61); the duplicate key keeps its first value.
    EXPECT_EQ(fileText(path), "B=Gridlet 4\r\na=y\r\nb=x\r\nlast=z\r\n");
}

TEST(NamesFileTest, GetAndSet) {
    TempDir dir;
    const std::string folder = dir.path() + "\\";
    {
        NamesFile names("Dusker", folder);
        EXPECT_EQ(names.path(), folder + "DuskerNames.ini");
        names.set("a", "Stage left");
        names.set("b", "Dusker 2");
        EXPECT_EQ(names.get("c", "Dusker"), "Dusker 3");
        names.set("a", "Stage right");
        EXPECT_EQ(names.get("a", "Dusker"), "Stage right");
    }
    EXPECT_EQ(fileText(folder + "DuskerNames.ini"), "a=Stage right\r\nb=Dusker 2\r\nc=Dusker 3\r\n");
}

TEST(NamesFileTest, DirectoryInPlaceOfFileIsTreatedAsEmpty) {
    TempDir dir;
    const std::string folder = dir.path() + "\\";
    ASSERT_TRUE(CreateDirectoryA((folder + "DuskerNames.ini").c_str(), NULL));
    // Nothing can be written over a folder: the name is still handed out.
    EXPECT_EQ(lookupPortName(folder, "Dusker", "K"), "Dusker 1");
    EXPECT_EQ(lookupPortName(folder, "Dusker", "K"), "Dusker 1");
    EXPECT_FALSE(exists(folder + "DuskerNames.ini.new"));
}

TEST(NamesFileTest, UnreadableFileGivesTypeName) {
    TempDir dir;
    const std::string path = dir.write("DuskerNames.ini", std::string("K=Mine\r\n"));
    HANDLE locked = CreateFileA(path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    EXPECT_THROW(TextFileReader reader(path), GeneralError);
    try {
        TextFileReader reader(path);
    } catch (const GeneralError& e) {
        EXPECT_EQ(std::string(e.what()), "unable to read file: " + path);
    }
    EXPECT_EQ(lookupPortName(dir.path() + "\\", "Dusker", "K"), "Dusker");
    CloseHandle(locked);
    EXPECT_EQ(fileText(path), "K=Mine\r\n");
}

TEST(NamesFileTest, UnwritableFileKeepsOldTable) {
    TempDir dir;
    const std::string folder = dir.path() + "\\";
    const std::string path = dir.write("DuskerNames.ini", std::string("K=Mine\r\n"));
    // Another program holds the file open without sharing writes: the replacement fails.
    HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(lookupPortName(folder, "Dusker", "L"), "Dusker 2");
    CloseHandle(held);
    EXPECT_EQ(fileText(path), "K=Mine\r\n");
    EXPECT_FALSE(exists(path + ".new"));

    EXPECT_EQ(lookupPortName(folder + "missing\\", "Dusker", "L"), "Dusker 1");
    EXPECT_FALSE(exists(folder + "missing"));
}

// What the user set on the file stays, and a reader that holds it for a moment without
// delete sharing only delays the write-back; one that keeps holding it costs the entry, said
// in a diagnostic, after a bounded wait.
TEST(NamesFileTest, ReplaceKeepsTheFileAndWaitsBrieflyForReaders) {
    struct Case {
        const char* name;
        DWORD holdMs;  // 0: no reader; INFINITE: held through the whole lookup
        bool remembered;
    };
    const Case cases[] = {{"no reader", 0, true}, {"reader for 150 ms", 150, true}, {"reader throughout", INFINITE, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string folder = dir.path() + "\\";
        const std::string path = dir.write("DuskerNames.ini", std::string("K=Mine\r\n"));
        ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN));
        HANDLE reader = INVALID_HANDLE_VALUE;
        if (c.holdMs) {
            reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                                 NULL);
            ASSERT_NE(reader, INVALID_HANDLE_VALUE);
        }
        std::thread release;
        if (c.holdMs && c.holdMs != INFINITE) release = std::thread([&] {
                Sleep(c.holdMs);
                CloseHandle(reader);
            });
        DebugCapture capture;
        const DWORD started = GetTickCount();
        EXPECT_EQ(lookupPortName(folder, "Dusker", "L"), "Dusker 2");
        const DWORD tookMs = GetTickCount() - started;
        if (release.joinable()) release.join();
        if (c.holdMs == INFINITE) CloseHandle(reader);
        EXPECT_EQ(fileText(path), c.remembered ? "K=Mine\r\nL=Dusker 2\r\n" : "K=Mine\r\n");
        EXPECT_FALSE(exists(path + ".new"));
        EXPECT_EQ(c.remembered, !capture.contains("could not be replaced")) << capture.text();
        EXPECT_LT(tookMs, 3000u) << "the write-back waited too long";
        EXPECT_TRUE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_HIDDEN) << "the attribute was lost";
    }
}

TEST(NamesFileTest, WriterAndReaderErrors) {
    TempDir dir;
    const std::string bad = dir.path() + "\\missing\\x.ini";
    try {
        TextFileWriter writer(bad);
        FAIL() << "opened " << bad;
    } catch (const GeneralError& e) {
        EXPECT_EQ(std::string(e.what()), "unable to write file: " + bad);
    }
    EXPECT_THROW(TextFileReader reader(bad), GeneralError);

    const std::string path = dir.write("t.ini", std::string("a=1\r\nb=2"));
    TextFileReader reader(path);
    EXPECT_EQ(reader.text(), "a=1\nb=2");
    EXPECT_EQ(reader.size(), 7u);
}

}  // namespace
