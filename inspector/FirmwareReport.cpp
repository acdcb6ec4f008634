#include "inspector/FirmwareReport.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "device/FirmwareImage.h"
#include "midi/MidiMessages.h"

namespace {

const double kMidiBytesPerSecond = 3125.0;
const double kUsbBytesPerSecond = 48000.0;
const uint32_t kPortBufferBytes = 0x1100;


// The report is as long as its path makes it: a long path, or one with control characters
// that the JSON escaping makes six times longer, must not cut off the verdict.
std::string format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

std::string format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int needed = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::vector<char> text(needed > 0 ? static_cast<size_t>(needed) + 1 : 1, '\0');
    if (needed > 0) std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    return std::string(text.data());
}

// Continues a CRC-32 over more bytes, as zlib's crc32() does.
uint32_t crc32(uint32_t crc, const uint8_t* bytes, size_t count) {
    crc = ~crc;
    for (size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

}  // namespace

std::string jsonEscape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", c);
            out += code;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool FirmwareReport::sentUnchanged() const {
    return (!hasStartMessage || startMessageSendable) && emptyMessages == 0 && bytesBeforeF0 == 0 &&
           bytesAfterLastF7 == 0 && statusBytesLeftOut == 0 && messagesOverPortBuffer == 0;
}

FirmwareReport inspectFirmware(FirmwareImage& image) {
    FirmwareReport report;
    report.fileBytes = image.size();
    std::vector<uint8_t> message;
    if (image.takeStartMessage(message)) {
        report.hasStartMessage = true;
        report.startMessageBytes = static_cast<uint32_t>(message.size());
        report.startMessageSendable = message.size() >= 15 && message[0] == 0xF0 && message[14] == 0xF7;
    }
    while (image.takeNextMessage(message)) {
        uint32_t lead = 0;
        while (lead < message.size() && message[lead] != 0xF0) ++lead;
        MIDI::SysexMessage sysex = MIDI::SysexMessage::fromBuffer(message.data(), message.size());
        if (sysex.bytes.empty()) {
            ++report.emptyMessages;
            report.bytesBeforeF0 += static_cast<uint32_t>(message.size());
            continue;
        }
        report.bytesBeforeF0 += lead;
        report.statusBytesLeftOut += static_cast<uint32_t>(message.size() - lead - sysex.bytes.size());
        uint32_t size = static_cast<uint32_t>(sysex.bytes.size());
        if (report.dataMessages == 0 || size < report.smallestMessage) report.smallestMessage = size;
        if (size > report.largestMessage) report.largestMessage = size;
        if (size > 44) ++report.messagesOver44;
        if (size > kPortBufferBytes) ++report.messagesOverPortBuffer;
        ++report.dataMessages;
        report.bytesSent += size;
        report.bytesSentCrc32 = crc32(report.bytesSentCrc32, sysex.bytes.data(), sysex.bytes.size());
    }
    report.bytesAfterLastF7 = image.droppedTailBytes();
    report.unterminatedMessage = image.droppedTailHadStart();
    report.secondsAtMidi = static_cast<double>(report.bytesSent) / kMidiBytesPerSecond;
    report.secondsAtUsb = static_cast<double>(report.bytesSent) / kUsbBytesPerSecond;
    return report;
}

std::string formatReportText(const FirmwareReport& r, const std::string& path) {
    return format("file:                        %s (%u bytes)\n"
                  "start message:               %s\n"
                  "data messages:               %u (%u to %u bytes, %llu bytes in all)\n"
                  "messages over 44 bytes:      %u\n"
                  "messages too long to send:   %u\n"
                  "runs without F0 (not sent):  %u\n"
                  "bytes dropped before an F0:  %u\n"
                  "bytes after the last F7:     %u%s\n"
                  "status bytes left out:       %u\n"
                  "transfer at MIDI speed:      %.1f s (3125 bytes/s)\n"
                  "transfer over USB MIDI:      %.1f s (48000 bytes/s), plus 6 s of protocol pauses\n"
                  "verdict:                     %s\n",
                  path.c_str(), r.fileBytes,
                  r.hasStartMessage ? (r.startMessageSendable ? "yes, 15 bytes, sendable" : "yes, but byte 14 is not F7: not sent")
                                    : "none",
                  r.dataMessages, r.smallestMessage, r.largestMessage, static_cast<unsigned long long>(r.bytesSent),
                  r.messagesOver44, r.messagesOverPortBuffer, r.emptyMessages, r.bytesBeforeF0, r.bytesAfterLastF7,
                  r.unterminatedMessage ? " (an unterminated message: the update would fail)" : "", r.statusBytesLeftOut,
                  r.secondsAtMidi, r.secondsAtUsb,
                  r.sentUnchanged() ? "the file's messages are sent unchanged" : "the instrument would NOT receive the file as it is");
}

std::string formatReportJson(const FirmwareReport& r, const std::string& path) {
    return format("{\"file\":\"%s\",\"fileBytes\":%u,\"startMessage\":%s,\"startMessageBytes\":%u,"
                  "\"startMessageSendable\":%s,\"dataMessages\":%u,\"smallestMessage\":%u,\"largestMessage\":%u,"
                  "\"bytesSent\":%llu,\"bytesSentCrc32\":%u,\"messagesOver44\":%u,\"messagesTooLong\":%u,"
                  "\"runsWithoutF0\":%u,\"bytesBeforeF0\":%u,\"bytesAfterLastF7\":%u,\"unterminatedMessage\":%s,"
                  "\"statusBytesLeftOut\":%u,\"secondsAtMidi\":%.3f,\"secondsAtUsb\":%.3f,\"sentUnchanged\":%s}\n",
                  jsonEscape(path).c_str(), r.fileBytes, r.hasStartMessage ? "true" : "false", r.startMessageBytes,
                  r.startMessageSendable ? "true" : "false", r.dataMessages, r.smallestMessage, r.largestMessage,
                  static_cast<unsigned long long>(r.bytesSent), r.bytesSentCrc32, r.messagesOver44,
                  r.messagesOverPortBuffer, r.emptyMessages, r.bytesBeforeF0, r.bytesAfterLastF7,
                  r.unterminatedMessage ? "true" : "false", r.statusBytesLeftOut, r.secondsAtMidi, r.secondsAtUsb,
                  r.sentUnchanged() ? "true" : "false");
}
