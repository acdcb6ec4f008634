#pragma once
// The host build has no debugger output: text goes to a sink the process installs
// (a test's capture, a fuzz target's discard), or to standard error when none is set.

using DebugOutputSink = void (*)(const char* text, void* context);

// A null sink restores standard error. Safe to call while other threads write.
void setDebugOutputSink(DebugOutputSink sink, void* context);
