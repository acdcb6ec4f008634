#include "support/Diagnostics.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string formatV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed < 0) return std::string();
    std::vector<char> text(static_cast<size_t>(needed) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    return std::string(text.data(), static_cast<size_t>(needed));
}

}  // namespace

void KsTrace(int level, const char* format, ...) {
    if (level > 1) return;
    char line[260];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0) line[0] = '\0';
    line[259] = '\0';
    writeDebugOutput(line);
    writeDebugOutput("\r\n");
}

void diagnosticPrint(const char* format, ...) {
    static const size_t kLimit = 8192;  // bytes, terminator included
    va_list args;
    va_start(args, format);
    std::string line = "RIR: " + formatV(format, args);
    va_end(args);
    if (line.size() > kLimit - 1) line.resize(kLimit - 1);
    writeDebugOutput(line.c_str());
}

void debugPrint(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string line = formatV(format, args);
    va_end(args);
    writeDebugOutput(line.c_str());
}

int FormatShortText(char (&buffer)[128], const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0 || n >= static_cast<int>(sizeof buffer)) {
        buffer[0] = '\0';
        return -1;
    }
    return n;
}
