#include "tests/e2e/SimInstrument.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

const char* const kSimZephPath = "C:\\windows\\system32\\carrowick_simzeph.dll";

namespace {

const char kZephKey[] = "Software\\Veltro\\Zeph";
const uint32_t kLongestMessage = 0x2000;

}  // namespace

std::string writeZephKey(const std::string& location) {
    HKEY key = nullptr;
    LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kZephKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return "RegCreateKeyExA failed with " + std::to_string(status);
    status = RegSetValueExA(key, "Location", 0, REG_SZ, reinterpret_cast<const BYTE*>(location.c_str()),
                            static_cast<DWORD>(location.size() + 1));
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? "" : "RegSetValueExA failed with " + std::to_string(status);
}

std::string deleteZephKey() {
    LONG status = RegDeleteKeyA(HKEY_LOCAL_MACHINE, kZephKey);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? ""
                                                                     : "RegDeleteKeyA failed with " + std::to_string(status);
}

std::string SimWinmm::load() {
    // The system folder's winmm, as the program loads it; the override makes it the stand-in.
    module_ = LoadLibraryExA("winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module_) return "winmm.dll did not load (error " + std::to_string(GetLastError()) + ")";
    if (!control_.load(module_)) return "the loaded winmm.dll is not the stand-in (WINEDLLOVERRIDES=winmm=n,b?)";
    return "";
}

std::vector<WinmmSent> SimWinmm::sent() const {
    std::vector<WinmmSent> result;
    uint32_t count = control_.sentCount();
    Bytes buffer(kLongestMessage);
    for (uint32_t i = 0; i < count; ++i) {
        WinmmSent sent = {};
        if (!control_.getSent(i, &sent.record, buffer.data(), static_cast<uint32_t>(buffer.size()))) break;
        if (sent.record.kind == SimWinmmSentReset) continue;
        uint32_t length = sent.record.length < kLongestMessage ? sent.record.length : kLongestMessage;
        sent.bytes.assign(buffer.begin(), buffer.begin() + length);
        result.push_back(sent);
    }
    return result;
}

std::vector<std::string> SimWinmm::programEnvironment() {
    const char* name = std::getenv("CARROWICK_SIM_WINMM");
    std::vector<std::string> entries = {"WINEDLLOVERRIDES=winmm=n,b"};
    if (name && *name) entries.push_back(std::string("CARROWICK_SIM_WINMM=") + name);
    return entries;
}

std::vector<ZephWrite> readZephCapture(const std::string& path) {
    std::vector<ZephWrite> writes;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        ZephWrite write = {};
        if (!(fields >> write.tick)) continue;
        unsigned value = 0;
        while (fields >> std::hex >> value) write.bytes.push_back(static_cast<uint8_t>(value));
        writes.push_back(write);
    }
    return writes;
}

std::vector<ZephEvent> readZephEvents(const std::string& path) {
    std::vector<ZephEvent> events;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] != '@') continue;
        size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        events.push_back({static_cast<DWORD>(std::strtoul(line.c_str() + 1, nullptr, 10)), line.substr(space + 1)});
    }
    return events;
}

Firmware makeFirmware(int dataMessages, bool withStartMessage) {
    Firmware firmware;
    if (withStartMessage) {
        firmware.startMessage = {0xF0, 0x00, 0x7A, 0x51, 0x03, 0x71, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xF7};
        firmware.file = firmware.startMessage;
    }
    for (int i = 0; i < dataMessages; ++i) {
        if (i == dataMessages / 3) {
            firmware.file.insert(firmware.file.end(), {0xF0, 0x01, 0x80, 0x02, 0xF7});
            firmware.expected.push_back({0xF0, 0x01, 0x02, 0xF7});
            continue;
        }
        Bytes message = {0xF0, 0x00, 0x7A, 0x51};
        int bodyLength = 1 + (i * 11) % 32;
        for (int j = 0; j < bodyLength; ++j) message.push_back(static_cast<uint8_t>((i * 3 + j * 5) & 0x7F));
        message.push_back(0xF7);
        firmware.expected.push_back(message);

        Bytes onFile = message;
        // A status byte inside a message (a second F0 too) is not part of what goes out.
        if (i % 7 == 3) {
            uint8_t status = i % 14 == 10 ? 0xF0 : static_cast<uint8_t>(0x80 + i % 0x70);
            onFile.insert(onFile.begin() + 4 + bodyLength / 2, status);
        }
        // Bytes between an F7 and the next F0 belong to no message.
        if (i % 5 == 2) onFile.insert(onFile.begin(), {0x00, 0x55, 0xA0});
        firmware.file.insert(firmware.file.end(), onFile.begin(), onFile.end());
    }
    return firmware;
}

std::string hex(const Bytes& bytes) {
    std::string text;
    char byte[4];
    for (uint8_t b : bytes) {
        std::snprintf(byte, sizeof byte, "%s%02X", text.empty() ? "" : " ", b);
        text += byte;
    }
    return text;
}
