// Throughput of the two input parsers on the build machine, against memcpy of the same
// bytes in the same pieces. Streams: SysEx-heavy (the instrument's dumps, value and status
// messages back to back) and short-message-heavy (controllers, programs, notes, clock);
// pieces of 12 bytes (one read of the driver) and of 4096 bytes. The device's parser takes
// whatever follows an F7 in a chunk as the next SysEx, so the streams do not mix the kinds:
// a mixed stream measures its unknown-message diagnostics instead.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "device/BaseDevice.h"
#include "midi/MidiPorts.h"
#include "support/DebugOutput_host.h"

namespace {

using Bytes = std::vector<uint8_t>;

const size_t kStreamBytes = 64 * 1024;

void append(Bytes& to, std::initializer_list<int> bytes) {
    for (int b : bytes) to.push_back(static_cast<uint8_t>(b));
}

Bytes sysexHeavy() {
    Bytes stream;
    int n = 0;
    while (stream.size() < kStreamBytes) {
        // A 526-byte dump whose name field reads "Bench".
        Bytes dump(526, 0);
        const uint8_t head[] = {0xF0, 0x00, 0x7A, 0x51, 0x1E, 0x00, 0x00, 0x00, 0x20};
        std::memcpy(dump.data(), head, sizeof head);
        std::memcpy(dump.data() + 15, "Bench", 5);
        for (size_t i = 40; i < 525; ++i) dump[i] = static_cast<uint8_t>((i + n) & 0x7F);
        dump[525] = 0xF7;
        stream.insert(stream.end(), dump.begin(), dump.end());
        // A value message and a status message.
        append(stream, {0xF0, 0x00, 0x7A, 0x51, 0x1E, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x01, 0x02,
                        0x00, 0x00, 0x01, 0x02, n & 0x7F, 0xF7});
        append(stream, {0xF0, 0x00, 0x7A, 0x51, 0x1E, 0x00, 0x00, 0x20, 0x00, 0x00, 0x05, 0x01, 0x00, 0x03, 0xF7});
        ++n;
    }
    return stream;
}

Bytes shortHeavy() {
    Bytes stream;
    int n = 0;
    while (stream.size() < kStreamBytes) {
        append(stream, {0x90, n & 0x7F, 0x40, 0x80, n & 0x7F, 0x00, 0xB0, 0x07, (n * 3) & 0x7F, 0xC0, n & 0x0F,
                        0xE0, 0x00, 0x40, 0xF8});
        ++n;
    }
    return stream;
}

const Bytes& streamFor(int kind) {
    static const Bytes sysex = sysexHeavy();
    static const Bytes shorts = shortHeavy();
    return kind == 0 ? sysex : shorts;
}

class BenchInput : public MIDI::Input {
public:
    void feed(const uint8_t* bytes, size_t length, uint64_t timestamp) {
        parseInput(bytes, static_cast<int32_t>(length), timestamp);
    }
    // What an application does with the records; kept out of the timing.
    void drain() {
        while (hasShortMessage()) benchmark::DoNotOptimize(getShortMessage());
        clearSysex();
    }
    uint32_t getPortId() override { return 1; }
    uint32_t getDeviceId() override { return 1; }
    bool isPresent() override { return true; }
};

class BenchDevice : public BaseDevice {
public:
    BenchDevice() : BaseDevice("Lumetra", 30) {}

protected:
    void onConnectionChanged() override {}
    void onDump(uint8_t* message, int) override { benchmark::DoNotOptimize(message); }
    void onValueMessage(int32_t value, int, int, bool) override { benchmark::DoNotOptimize(value); }
    void onStatus(int code, int, bool) override { benchmark::DoNotOptimize(code); }
    void onSysexError(const char* text) override { benchmark::DoNotOptimize(text); }
    void onBank(int value) override { benchmark::DoNotOptimize(value); }
    void onProgram(int value) override { benchmark::DoNotOptimize(value); }
};

template <typename Feed>
void pieces(const Bytes& stream, size_t piece, Feed feed) {
    for (size_t at = 0; at < stream.size(); at += piece) {
        const size_t n = stream.size() - at < piece ? stream.size() - at : piece;
        feed(stream.data() + at, n);
    }
}

// Arguments: stream (0 SysEx-heavy, 1 short-heavy), piece size.
void BM_ParseInput(benchmark::State& state) {
    const Bytes& stream = streamFor(static_cast<int>(state.range(0)));
    const size_t piece = static_cast<size_t>(state.range(1));
    BenchInput input;
    uint64_t timestamp = 0;
    for (auto _ : state) {
        pieces(stream, piece, [&](const uint8_t* bytes, size_t n) { input.feed(bytes, n, ++timestamp); });
        state.PauseTiming();
        input.drain();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

void BM_ReceiveMidi(benchmark::State& state) {
    const Bytes& stream = streamFor(static_cast<int>(state.range(0)));
    const size_t piece = static_cast<size_t>(state.range(1));
    BenchDevice device;
    for (auto _ : state)
        pieces(stream, piece, [&](const uint8_t* bytes, size_t n) { device.receiveMidi(bytes, static_cast<int>(n)); });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

void BM_Memcpy(benchmark::State& state) {
    const Bytes& stream = streamFor(static_cast<int>(state.range(0)));
    const size_t piece = static_cast<size_t>(state.range(1));
    Bytes to(stream.size());
    for (auto _ : state) {
        size_t at = 0;
        pieces(stream, piece, [&](const uint8_t* bytes, size_t n) {
            std::memcpy(to.data() + at, bytes, n);
            at += n;
        });
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

void streams(benchmark::internal::Benchmark* b) {
    b->ArgNames({"stream", "piece"});
    for (int kind : {0, 1})
        for (int piece : {12, 4096}) b->Args({kind, piece});
}

BENCHMARK(BM_ParseInput)->Apply(streams);
BENCHMARK(BM_ReceiveMidi)->Apply(streams);
BENCHMARK(BM_Memcpy)->Apply(streams);

}  // namespace

int main(int argc, char** argv) {
    // Diagnostics of unknown messages are part of the work, not of the output.
    setDebugOutputSink([](const char*, void*) {}, nullptr);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
