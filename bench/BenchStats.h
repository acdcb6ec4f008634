#pragma once
// Timing and reporting shared by the Windows-side benchmarks. Every figure goes to
// standard output as one line "figure <key> <value>", which scripts/bench gathers into its table.

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace bench {

inline uint64_t qpcNow() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<uint64_t>(now.QuadPart);
}

inline double qpcPerSecond() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    return frequency;
}

inline double qpcPerMs() { return qpcPerSecond() / 1000.0; }

inline double qpcMicroseconds(uint64_t ticks) { return static_cast<double>(ticks) * 1e6 / qpcPerSecond(); }

// The value below which the given share (0..1) of the samples lie (nearest rank).
inline double percentile(std::vector<double> samples, double share) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    size_t rank = static_cast<size_t>(share * static_cast<double>(samples.size()));
    if (rank >= samples.size()) rank = samples.size() - 1;
    return samples[rank];
}

inline void report(const char* key, double value) {
    std::printf("figure %s %.3f\n", key, value);
    std::fflush(stdout);
}

}  // namespace bench
