// A names file as found on disk: parsed on its own, then looked up through the file the
// way the device manager does, which writes the table back and must read as it was.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "midi/NamesFile.h"

namespace {

std::string g_directory;  // ends with '/'

void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(file);
    FUZZ_CHECK(std::fwrite(data, 1, size, file) == size);
    FUZZ_CHECK(std::fclose(file) == 0);
}

// Every input writes and renames a file: a memory file system keeps that fast.
std::string temporaryBase() {
    const char* base = std::getenv("TMPDIR");
    if (base && *base) return base;
    struct stat info;
    if (stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode)) return "/dev/shm";
    return "/tmp";
}

void removeDirectory() {
    std::remove((g_directory + "FuzzNames.ini").c_str());
    std::remove((g_directory + "FuzzNames.ini.new").c_str());
    rmdir(g_directory.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    discardDebugOutput();
    std::string pattern = temporaryBase() + "/carrowick-names-XXXXXX";
    FUZZ_CHECK(mkdtemp(&pattern[0]));
    g_directory = pattern + "/";
    std::atexit(removeDirectory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    NameTable table;
    parseNamesText(text, table);
    size_t held = 0;
    for (const auto& entry : table) {
        FUZZ_CHECK(entry.first.find('=') == std::string::npos);
        FUZZ_CHECK(entry.second.find('\n') == std::string::npos);
        held += entry.first.size() + entry.second.size();
    }
    FUZZ_CHECK(held <= size);

    const std::string path = g_directory + "FuzzNames.ini";
    writeFile(path, data, size);
    if (!table.empty()) {
        const auto& first = *table.begin();
        FUZZ_CHECK(lookupPortName(g_directory, "Fuzz", first.first) == first.second);
    }
    // A new key gets the next number and the table is written back with it.
    const std::string key = "\x01new";
    if (table.count(key)) return 0;
    const std::string expected = "Fuzz " + std::to_string(table.size() + 1);
    FUZZ_CHECK(lookupPortName(g_directory, "Fuzz", key) == expected);
    table[key] = expected;
    NameTable reread;
    parseNamesText(TextFileReader(path).text(), reread);
    FUZZ_CHECK(reread == table);
    std::remove(path.c_str());
    return 0;
}
