#include "support/Diagnostics.h"

#include <atomic>
#include <cstdio>
#include <cstring>

// Every text is formatted into a buffer on the caller's stack: these run on the library's
// delivery thread inside C callbacks and on the out-of-memory paths themselves, where
// nothing may allocate or throw.

namespace {

const size_t kLineBytes = 8192;  // terminator included
const char kPrefix[] = "RIR: ";

std::atomic<DiagnosticTap> g_tap{nullptr};

// Formats after `used` bytes already in the buffer; a text that does not fit, or a
// formatting failure, keeps what was written, cut at the buffer's last byte.
void formatInto(char* line, size_t size, size_t used, const char* format, va_list args) {
    std::vsnprintf(line + used, size - used, format, args);
    line[size - 1] = '\0';
}

void write(const char* line) {
    writeDebugOutput(line);
    if (DiagnosticTap tap = g_tap.load()) tap(line);
}

}  // namespace

void setDiagnosticTap(DiagnosticTap tap) { g_tap.store(tap); }

void KsTrace(int level, const char* format, ...) {
    if (level > 1) return;
    char line[260] = {};
    va_list args;
    va_start(args, format);
    formatInto(line, sizeof line, 0, format, args);
    va_end(args);
    write(line);
    writeDebugOutput("\r\n");
}

void diagnosticPrint(const char* format, ...) {
    char line[kLineBytes] = {};
    std::memcpy(line, kPrefix, sizeof kPrefix - 1);
    va_list args;
    va_start(args, format);
    formatInto(line, sizeof line, sizeof kPrefix - 1, format, args);
    va_end(args);
    write(line);
}

void debugPrint(const char* format, ...) {
    char line[kLineBytes] = {};
    va_list args;
    va_start(args, format);
    formatInto(line, sizeof line, 0, format, args);
    va_end(args);
    write(line);
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
