#pragma once
// Records what this process writes to the debugger output. OutputDebugStringA raises
// DBG_PRINTEXCEPTION_C; a vectored handler sees it first and lets it pass on.

#include <mutex>
#include <string>
#include <vector>

class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    // Every string written while the capture was active, in order.
    std::vector<std::string> lines() const;
    // All of it joined.
    std::string text() const;
    bool contains(const std::string& needle) const;
    void clear();

    void record(const char* text);

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    void* handler_;
};
