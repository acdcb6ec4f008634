#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/FirmwareImage.h"
#include "inspector/FirmwareReport.h"

namespace {

using Bytes = std::vector<uint8_t>;

FirmwareReport inspect(const Bytes& file) {
    FirmwareImage image;
    image.assign(file.data(), static_cast<uint32_t>(file.size()));
    return inspectFirmware(image);
}

Bytes message(size_t length) {
    Bytes m(length, 0x20);
    m.front() = 0xF0;
    m.back() = 0xF7;
    return m;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(FirmwareReport, CleanFileIsSentUnchanged) {
    Bytes start{0xF0, 0x00, 0x7A, 0x51, 0x03, 0x71, 1, 2, 3, 4, 5, 6, 7, 8, 0xF7};
    FirmwareReport r = inspect(join({start, message(44), message(44), message(10)}));
    EXPECT_TRUE(r.hasStartMessage);
    EXPECT_TRUE(r.startMessageSendable);
    EXPECT_EQ(r.dataMessages, 3u);
    EXPECT_EQ(r.smallestMessage, 10u);
    EXPECT_EQ(r.largestMessage, 44u);
    EXPECT_EQ(r.bytesSent, 98u);
    EXPECT_TRUE(r.sentUnchanged());
    EXPECT_NEAR(r.secondsAtMidi, 98.0 / 3125.0, 1e-9);
}

TEST(FirmwareReport, StartMessageThatCannotBeSent) {
    Bytes start{0xF0, 0x00, 0x7A, 0x51, 0x03, 0x71, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xF7};  // 16 bytes
    FirmwareReport r = inspect(start);
    EXPECT_TRUE(r.hasStartMessage);
    EXPECT_FALSE(r.startMessageSendable);
    EXPECT_FALSE(r.sentUnchanged());
}

TEST(FirmwareReport, StrayBytesAndStatusBytesAreCounted) {
    FirmwareReport r = inspect(join({message(5), Bytes{0x11, 0x22}, Bytes{0xF0, 0x01, 0x80, 0xF8, 0x02, 0xF7},
                                     Bytes{0x33, 0xF7}}));
    EXPECT_EQ(r.dataMessages, 2u);
    EXPECT_EQ(r.bytesBeforeF0, 4u);  // 11 22, and the run 33 F7 with no F0 at all
    EXPECT_EQ(r.emptyMessages, 1u);
    EXPECT_EQ(r.statusBytesLeftOut, 2u);  // 80 and F8
    EXPECT_EQ(r.largestMessage, 5u);
    EXPECT_FALSE(r.sentUnchanged());
}

TEST(FirmwareReport, OversizeMessages) {
    FirmwareReport r = inspect(join({message(45), message(4352), message(4353)}));
    EXPECT_EQ(r.messagesOver44, 3u);
    EXPECT_EQ(r.messagesOverPortBuffer, 1u);
    EXPECT_EQ(r.largestMessage, 4353u);
    EXPECT_FALSE(r.sentUnchanged());
    EXPECT_TRUE(inspect(join({message(45), message(4352)})).sentUnchanged());
}

TEST(FirmwareReport, NoF7AtAll) {
    FirmwareReport r = inspect(Bytes{0xF0, 1, 2, 3});
    EXPECT_EQ(r.dataMessages, 0u);
    EXPECT_EQ(r.bytesAfterLastF7, 4u);
    EXPECT_TRUE(r.unterminatedMessage);
    EXPECT_FALSE(r.sentUnchanged());
    std::string json = formatReportJson(r, "C:\\fw \"x\".syx");
    EXPECT_NE(json.find("\"file\":\"C:\\\\fw \\\"x\\\".syx\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"sentUnchanged\":false"), std::string::npos);
}

// Reads a JSON string that starts at `at` (its opening quote); returns its text and moves
// `at` past its closing quote. Fails the test on anything JSON does not allow.
std::string readJsonString(const std::string& json, size_t& at) {
    std::string text;
    EXPECT_EQ('"', json[at]);
    for (++at; at < json.size(); ++at) {
        unsigned char c = static_cast<unsigned char>(json[at]);
        if (c == '"') {
            ++at;
            return text;
        }
        EXPECT_GE(c, 0x20u) << "raw control character at " << at;
        if (c != '\\') {
            text += static_cast<char>(c);
            continue;
        }
        char kind = json[++at];
        if (kind == 'u') {
            text += static_cast<char>(std::stoi(json.substr(at + 1, 4), nullptr, 16));
            at += 4;
        } else {
            EXPECT_TRUE(kind == '"' || kind == '\\') << "escape " << kind;
            text += kind;
        }
    }
    ADD_FAILURE() << "unterminated string";
    return text;
}

// However long the path, and however much its escaping adds, the report is whole.
TEST(FirmwareReport, LongPathWithControlCharactersKeepsTheReportWhole) {
    std::string path = "C:\\fw";
    for (int i = 0; path.size() < 4000; ++i) path += static_cast<char>(i % 3 == 0 ? 0x01 + i % 31 : 'a' + i % 26);
    path += "\"quoted\".syx";
    FirmwareReport r = inspect(join({message(44), message(10)}));

    std::string json = formatReportJson(r, path);
    const std::string head = "{\"file\":";
    ASSERT_EQ(head, json.substr(0, head.size()));
    size_t at = head.size();
    EXPECT_EQ(path, readJsonString(json, at));
    const std::string tail = "\"sentUnchanged\":true}\n";
    ASSERT_GE(json.size(), tail.size());
    EXPECT_EQ(tail, json.substr(json.size() - tail.size()));

    std::string text = formatReportText(r, path);
    EXPECT_EQ(0u, text.find("file:                        " + path + " (54 bytes)\n"));
    const std::string verdict = "verdict:                     the file's messages are sent unchanged\n";
    ASSERT_GE(text.size(), verdict.size());
    EXPECT_EQ(verdict, text.substr(text.size() - verdict.size()));
}

// The checksum covers the messages as the instrument gets them (zlib's crc32 of the rebuilt
// bytes, computed apart): stray bytes and status bytes are not in it, a message led by a
// marker-like byte 5 is data, and the JSON carries it.
TEST(FirmwareReport, ChecksumOfTheBytesSent) {
    struct Case {
        Bytes file;
        uint32_t messages;
        uint32_t crc;
    } cases[] = {
        {Bytes{0xF0, 0x01, 0xF7, 0xF0, 0x02, 0x71, 0x03, 0xF7}, 2, 0x8B5347FBu},
        {join({Bytes{0x55, 0x66}, message(5), Bytes{0x11}, Bytes{0xF0, 0x01, 0x80, 0x02, 0xF7}}), 2, 0x2DC77C28u},
        {Bytes{}, 0, 0u},
    };
    for (const Case& c : cases) {
        FirmwareReport r = inspect(c.file);
        EXPECT_EQ(c.messages, r.dataMessages);
        EXPECT_EQ(c.crc, r.bytesSentCrc32);
        EXPECT_NE(formatReportJson(r, "f").find("\"bytesSentCrc32\":" + std::to_string(c.crc) + ","), std::string::npos)
            << formatReportJson(r, "f");
    }
}

TEST(FirmwareReport, EmptyFile) {
    FirmwareReport r = inspect(Bytes{});
    EXPECT_EQ(r.dataMessages, 0u);
    EXPECT_FALSE(r.hasStartMessage);
    EXPECT_TRUE(r.sentUnchanged());
}

}  // namespace
