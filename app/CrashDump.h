#pragma once
// A crash leaves a minidump for support beside the update logs, named in the log; the
// process then ends as it would have without it.

// Early in WinMain, before any other thread starts.
void installCrashDump();

const int kCrashDumpsKept = 5;
