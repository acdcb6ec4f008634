#pragma once
// What the updater will do with a firmware file, worked out with the updater's own code:
// the image's message scan and the SysEx rebuilding of every data message.

#include <cstdint>
#include <string>

class FirmwareImage;

struct FirmwareReport {
    uint32_t fileBytes = 0;
    bool hasStartMessage = false;
    uint32_t startMessageBytes = 0;
    bool startMessageSendable = false;  // F0 at byte 0 and F7 at byte 14
    uint32_t dataMessages = 0;          // messages that will be sent
    uint32_t emptyMessages = 0;         // runs with no F0 before their F7: nothing is sent
    uint32_t smallestMessage = 0;
    uint32_t largestMessage = 0;
    uint32_t messagesOver44 = 0;
    uint32_t messagesOverPortBuffer = 0;  // longer than a WinMM port can take at all
    uint64_t bytesSent = 0;
    // CRC-32 (zlib's) of the data messages as sent, one after another: a script can hold
    // what an instrument received against it without rebuilding the messages itself.
    uint32_t bytesSentCrc32 = 0;
    uint32_t bytesBeforeF0 = 0;   // between an F7 and the next F0: not sent
    uint32_t bytesAfterLastF7 = 0;
    bool unterminatedMessage = false;  // an F0 among the bytes after the last F7
    uint32_t statusBytesLeftOut = 0;
    double secondsAtMidi = 0;  // 3125 bytes/s
    double secondsAtUsb = 0;   // 48 SysEx bytes per 1 ms USB frame

    // True when the instrument will receive exactly the file's messages, nothing left out.
    bool sentUnchanged() const;
};

// Scans the image from its start. Messages that the updater's SysEx rebuilding reports
// are counted, not printed.
FirmwareReport inspectFirmware(FirmwareImage& image);

// The text as the inside of a JSON string: quotes, backslashes and control characters escaped.
std::string jsonEscape(const std::string& text);

std::string formatReportText(const FirmwareReport& report, const std::string& path);
std::string formatReportJson(const FirmwareReport& report, const std::string& path);
