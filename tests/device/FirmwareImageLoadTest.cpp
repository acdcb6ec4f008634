#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/FirmwareImage.h"
#include "tests/common/TempFiles.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(FirmwareImageLoad, ReadsARegularFileWhole) {
    TempDir dir;
    Bytes bytes{0xF0, 0x00, 0x7A, 0x51, 0x03, 0x71, 1, 2, 3, 4, 5, 6, 7, 8, 0xF7, 0xF0, 1, 2, 0xF7};
    std::string path = dir.write("fw.syx", bytes);
    FirmwareImage image;
    ASSERT_TRUE(image.load(path.c_str()));
    EXPECT_EQ(image.size(), bytes.size());
    EXPECT_EQ(Bytes(image.data(), image.data() + image.size()), bytes);
    EXPECT_EQ(image.total(), 13000u);
    EXPECT_EQ(image.cursor(), 0u);
}

TEST(FirmwareImageLoad, EmptyFileIsValidAndGivesNoMessage) {
    TempDir dir;
    FirmwareImage image;
    ASSERT_TRUE(image.load(dir.write("empty.syx", Bytes{}).c_str()));
    EXPECT_EQ(image.size(), 0u);
    Bytes message;
    EXPECT_FALSE(image.takeStartMessage(message));
    EXPECT_FALSE(image.takeNextMessage(message));
}

TEST(FirmwareImageLoad, RejectsWhatIsNotAReadableFile) {
    TempDir dir;
    FirmwareImage image;
    for (const std::string& path : {dir.file("missing.syx"), dir.path(), std::string()}) {
        SCOPED_TRACE(path);
        // Even after a good file, a failed load leaves the image empty.
        ASSERT_TRUE(image.load(dir.write("good.syx", Bytes{0xF0, 1, 0xF7}).c_str()));
        EXPECT_FALSE(image.load(path.c_str()));
        EXPECT_EQ(image.size(), 0u);
        EXPECT_EQ(image.total(), 0u);
        Bytes message;
        EXPECT_FALSE(image.takeNextMessage(message));
    }
}

TEST(FirmwareImageLoad, FileHeldOpenWithoutSharingIsRejected) {
    TempDir dir;
    std::string path = dir.write("locked.syx", Bytes{0xF0, 0xF7});
    HANDLE holder = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    FirmwareImage image;
    EXPECT_FALSE(image.load(path.c_str()));
    CloseHandle(holder);
    EXPECT_TRUE(image.load(path.c_str()));
}

}  // namespace
