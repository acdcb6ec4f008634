#pragma once
// Shared by the fuzz targets: a broken invariant is a crash that libFuzzer reports and
// keeps, like any sanitizer finding.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/DebugOutput_host.h"

#define FUZZ_CHECK(condition)                                                                    \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                        \
        }                                                                                        \
    } while (0)

// Diagnostics are only read through (so a bad text still trips ASan), never written:
// writing them would slow the run to a crawl.
inline void discardDebugOutput() {
    setDebugOutputSink(
        [](const char* text, void*) {
            volatile size_t length = std::strlen(text);
            (void)length;
        },
        nullptr);
}
