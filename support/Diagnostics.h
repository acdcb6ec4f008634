#pragma once
// Diagnostic output. Everything goes to the debugger output and never to the user.

#include <cstdarg>
#include <stdexcept>
#include <string>

// The exception of the port library and the device manager.
class GeneralError : public std::runtime_error {
public:
    explicit GeneralError(const std::string& text) : std::runtime_error(text) {}
};

// Writes one string to the debugger output (OutputDebugStringA on Windows).
void writeDebugOutput(const char* text);

// Also given every line of KsTrace, diagnosticPrint and debugPrint after it was written
// (the update log). Called on the writer's thread; it must not allocate or throw.
using DiagnosticTap = void (*)(const char* line);
void setDiagnosticTap(DiagnosticTap tap);

// None of the three below allocates or throws: each formats into a fixed buffer.

// Trace of the kernel-streaming layer: only levels 0 and 1 are written, cut to 259
// characters (also when formatting fails part way) and followed by "\r\n". Higher levels
// return before any formatting.
void KsTrace(int level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Device layer diagnostics: "RIR: " in front, the whole line cut to fit 8192 bytes.
void diagnosticPrint(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Updater texts that go to the debugger output without a prefix, cut like diagnosticPrint.
void debugPrint(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Formats into a caller's buffer of exactly 128 bytes. A text that does not fit is a
// formatting failure: the buffer is left empty and -1 is returned.
int FormatShortText(char (&buffer)[128], const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
