#include "support/DebugOutput_host.h"

#include <cstdio>
#include <mutex>

#include "support/Diagnostics.h"

namespace {

std::mutex g_sinkMutex;
DebugOutputSink g_sink = nullptr;
void* g_context = nullptr;

}  // namespace

void setDebugOutputSink(DebugOutputSink sink, void* context) {
    std::lock_guard<std::mutex> guard(g_sinkMutex);
    g_sink = sink;
    g_context = context;
}

// Held while writing, so a sink is never called after it was replaced.
void writeDebugOutput(const char* text) {
    std::lock_guard<std::mutex> guard(g_sinkMutex);
    if (g_sink) {
        g_sink(text, g_context);
    } else {
        std::fputs(text ? text : "", stderr);
    }
}
