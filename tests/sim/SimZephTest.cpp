// The simulated Zeph library on its own: the binary contract, called slot by slot, and
// the behaviour of a real library that the program has to live with.

#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/winmm/SimWinmmControl.h"
#include "sim/zeph/SimZephControl.h"
#include "sim/zeph/ZephContract.h"
#include "tests/common/DebugCapture.h"
#include "tests/common/TempFiles.h"

namespace {

using Bytes = std::vector<uint8_t>;

const char kSimPath[] = "C:\\windows\\system32\\carrowick_simzeph.dll";
const Bytes kStatusRequest = {0xF0, 0x00, 0x7A, 0x51, 0x03, 0x01, 0x7F, 0x60, 0x21, 0x00, 0x00, 0x00, 0x00, 0xF7};
const Bytes kStatusAnswer = {0xF0, 0x00, 0x7A, 0x51, 0x03, 0x01, 0x7F, 0x20, 0x00, 0x01, 0x05, 0x01, 0x00, 0xF7};
const Bytes kStartMessage = {0xF0, 0x00, 0x7A, 0x51, 0x03, 0x71, 1, 2, 3, 4, 5, 6, 7, 8, 0xF7};

// Calls slot n (counted from 1) of an object's table with the maker's member convention,
// without the class declarations: pins the slot order and the convention on their own.
template <typename R, typename... A>
R slot(void* object, int n, A... args) {
    typedef R(ZEPH_MEMBER * Fn)(void*, A...);
    Fn* table = *static_cast<Fn**>(object);
    return table[n - 1](object, args...);
}

// A rebinding callback that records each call and its thread, and may act.
struct Callbacks {
    std::mutex mutex;
    std::vector<DWORD> threads;
    std::function<void()> action;

    static void __cdecl call(void* self) {
        Callbacks* calls = static_cast<Callbacks*>(self);
        if (calls->action) calls->action();
        std::lock_guard<std::mutex> guard(calls->mutex);
        calls->threads.push_back(GetCurrentThreadId());
    }
    size_t count() {
        std::lock_guard<std::mutex> guard(mutex);
        return threads.size();
    }
    DWORD thread(size_t index) {
        std::lock_guard<std::mutex> guard(mutex);
        return index < threads.size() ? threads[index] : 0;
    }
};

// A receive callback that keeps every chunk.
struct Received {
    std::mutex mutex;
    std::vector<Bytes> chunks;
    std::function<void()> action;

    static void __cdecl call(const unsigned char* bytes, int length, void* self) {
        Received* received = static_cast<Received*>(self);
        {
            std::lock_guard<std::mutex> guard(received->mutex);
            received->chunks.emplace_back(bytes, bytes + length);
        }
        if (received->action) received->action();
    }
    std::vector<Bytes> all() {
        std::lock_guard<std::mutex> guard(mutex);
        return chunks;
    }
    // The bytes without the real-time ones.
    Bytes messageBytes() {
        Bytes bytes;
        for (const Bytes& chunk : all())
            for (uint8_t b : chunk)
                if (b < 0xF8) bytes.push_back(b);
        return bytes;
    }
    size_t count() {
        std::lock_guard<std::mutex> guard(mutex);
        return chunks.size();
    }
};

class SimZeph : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name :
             {"CARROWICK_SIMZEPH_DEVICES", "CARROWICK_SIMZEPH_NO_DEVICE", "CARROWICK_SIMZEPH_BACK_MS",
              "CARROWICK_SIMZEPH_CALLBACK_IN_CREATE", "CARROWICK_SIMZEPH_CALLBACK_IN_DESTROY", "CARROWICK_SIMZEPH_SEED",
              "CARROWICK_SIMZEPH_ANSWER_AT_ONCE", "CARROWICK_SIMZEPH_CAPTURE", "CARROWICK_SIMZEPH_SENSING_MS",
              "CARROWICK_SIMZEPH_REBOOT_INSIDE"})
            _putenv((std::string(name) + "=").c_str());
        _putenv("CARROWICK_SIMZEPH_LUMETRA_DELAY_MS=-1");
        ASSERT_NE(module, nullptr) << "the simulated library is not installed";
        create = get<zeph::CreateFn>("ZEPHCreate");
        destroy = get<zeph::DestroyFn>("ZEPHDestroy");
        reset();
    }
    void TearDown() override { reset(); }

    template <typename T>
    T get(const char* name) {
        return reinterpret_cast<T>(GetProcAddress(module, name));
    }
    void reset() { get<SimZephResetFn>("SimZeph_Reset")(); }
    int violations() { return get<SimZephViolationCountFn>("SimZeph_ViolationCount")(); }
    std::string text(const char* exportName) {
        auto read = get<SimZephEventsFn>(exportName);
        std::string all(static_cast<size_t>(read(nullptr, 0)) + 1, '\0');
        all.resize(static_cast<size_t>(read(&all[0], static_cast<int>(all.size()))));
        return all;
    }
    std::string events() { return text("SimZeph_Events"); }
    std::string violationTexts() { return text("SimZeph_Violations"); }
    std::array<int, 2> objects(SimZephKind kind) {
        std::array<int, 2> counts = {};
        get<SimZephObjectsFn>("SimZeph_Objects")(kind, &counts[0], &counts[1]);
        return counts;
    }
    void expectEachObjectDestroyedOnce() {
        for (SimZephKind kind : {SimZephConnections, SimZephDevices, SimZephInputs, SimZephOutputs})
            EXPECT_EQ(objects(kind)[0], objects(kind)[1]) << "kind " << kind;
    }
    // Position of an event in the log (npos when absent).
    size_t at(const std::string& event) { return events().find(event + "\n"); }
    static bool waitFor(const std::function<bool()>& done, int ms = 5000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            Sleep(2);
        }
        return true;
    }
    // The first offered device with this number, or null.
    static zeph::Device* find(zeph::Connection* connection, int number) {
        for (int i = 0; i < connection->count(); ++i) {
            zeph::Device* device = connection->deviceAt(i);
            if (device && device->deviceNumber() == number) return device;
            if (device) device->destroy(1);
        }
        return nullptr;
    }

    HMODULE module = LoadLibraryExA(kSimPath, nullptr, 0);
    zeph::CreateFn create = nullptr;
    zeph::DestroyFn destroy = nullptr;
    Callbacks callbacks;
};

TEST_F(SimZeph, SlotsAndConventionsOfTheContract) {
    ASSERT_EQ(get<zeph::GetVersionFn>("ZEPHGetVersion")(), 1);
    ASSERT_EQ(get<SimZephSetDevicesFn>("SimZeph_SetDevices")("30:1:1,null,7:0:2"), 1);
    void* connection = create(&Callbacks::call, &callbacks);
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(slot<int>(connection, 1), 3);
    EXPECT_EQ(slot<void*>(connection, 2, 1), nullptr);
    void* device = slot<void*>(connection, 2, 2);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(slot<int>(device, 4), 7);
    EXPECT_EQ(slot<int>(device, 5), 0);
    EXPECT_EQ(slot<int>(device, 6), 2);
    void* input = slot<void*>(device, 7, 0);  // index 0 opens whatever the count
    void* output = slot<void*>(device, 8, 1);
    ASSERT_NE(input, nullptr);
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(slot<void*>(device, 8, 2), nullptr);

    Received received;
    slot<void>(input, 3, &Received::call, static_cast<void*>(&received));
    const unsigned char bytes[3] = {0xF0, 0x42, 0xF7};
    EXPECT_EQ(slot<int>(output, 3, bytes, 3), 3);
    Bytes written(8);
    EXPECT_EQ(get<SimZephWriteAtFn>("SimZeph_WriteAt")(0, written.data(), 8), 3);
    get<SimZephDeliverFn>("SimZeph_Deliver")(bytes, 3);
    EXPECT_TRUE(waitFor([&] { return received.messageBytes().size() == 3; }));

    EXPECT_EQ(slot<void*>(input, 1, 1u), input);
    EXPECT_EQ(slot<void*>(output, 1, 1u), output);
    EXPECT_EQ(slot<void*>(device, 1, 1u), device);
    EXPECT_EQ(slot<void*>(connection, 3, 1u), connection);
    EXPECT_EQ(violations(), 0) << violationTexts();
    expectEachObjectDestroyedOnce();
}

struct ListCase {
    const char* environment;  // NAME=value, or null
    const char* set;          // given to SimZeph_SetDevices, or null
    std::vector<std::array<int, 3>> offered;  // number, inputs, outputs; number -1: null
    int violations;
};

TEST_F(SimZeph, DeviceListFromTheEnvironmentOrSetInProcess) {
    const std::vector<ListCase> cases = {
        {nullptr, nullptr, {{30, 1, 1}}, 0},
        {"CARROWICK_SIMZEPH_DEVICES=30:1:1,null,30:2:0", nullptr, {{30, 1, 1}, {-1, 0, 0}, {30, 2, 0}}, 0},
        {"CARROWICK_SIMZEPH_DEVICES=30:1:1", "12:0:1,null", {{12, 0, 1}, {-1, 0, 0}}, 0},
        {"CARROWICK_SIMZEPH_NO_DEVICE=1", "30:1:1", {}, 0},
        {"CARROWICK_SIMZEPH_DEVICES=30:1", nullptr, {{30, 1, 1}}, 1},
    };
    for (const ListCase& c : cases) {
        SCOPED_TRACE(std::string(c.environment ? c.environment : "-") + " / " + (c.set ? c.set : "-"));
        reset();
        if (c.environment) _putenv(c.environment);
        if (c.set) {
            ASSERT_EQ(get<SimZephSetDevicesFn>("SimZeph_SetDevices")(c.set), 1);
        }
        zeph::Connection* connection = create(&Callbacks::call, &callbacks);
        ASSERT_EQ(connection->count(), static_cast<int>(c.offered.size()));
        for (size_t i = 0; i < c.offered.size(); ++i) {
            zeph::Device* device = connection->deviceAt(static_cast<int>(i));
            if (c.offered[i][0] < 0) {
                EXPECT_EQ(device, nullptr);
                continue;
            }
            ASSERT_NE(device, nullptr);
            EXPECT_EQ(device->deviceNumber(), c.offered[i][0]);
            EXPECT_EQ(device->inputCount(), c.offered[i][1]);
            EXPECT_EQ(device->outputCount(), c.offered[i][2]);
            device->destroy(1);
        }
        EXPECT_EQ(connection->deviceAt(static_cast<int>(c.offered.size())), nullptr);
        destroy(connection);
        EXPECT_EQ(violations(), c.violations) << violationTexts();
        expectEachObjectDestroyedOnce();
        if (c.environment) {
            std::string name(c.environment);
            _putenv(name.substr(0, name.find('=') + 1).c_str());
        }
    }
    EXPECT_EQ(get<SimZephSetDevicesFn>("SimZeph_SetDevices")("30:x:1"), 0);
}

// Each kind of object: a call after destroy, then a second destroy, both caught.
TEST_F(SimZeph, CallsThroughDestroyedObjectsAreViolations) {
    TempDir temp;
    std::string capturePath = temp.file("capture.txt");
    _putenv(("CARROWICK_SIMZEPH_CAPTURE=" + capturePath).c_str());
    DebugCapture debug;
    struct Case {
        const char* name;
        std::function<void*(zeph::Connection*)> make;    // the object, already destroyed once
        std::function<bool(void*)> callAfter;            // true when the result is 0/null
        std::function<void*(void*)> destroyAgain;
    };
    const std::vector<Case> cases = {
        {"connection",
         [&](zeph::Connection* c) {
             destroy(c);
             return static_cast<void*>(c);
         },
         [](void* o) { return static_cast<zeph::Connection*>(o)->count() == 0; },
         [](void* o) { return static_cast<zeph::Connection*>(o)->destroy(1); }},
        {"device",
         [](zeph::Connection* c) {
             zeph::Device* d = c->deviceAt(0);
             d->destroy(1);
             return static_cast<void*>(d);
         },
         [](void* o) { return static_cast<zeph::Device*>(o)->openOutputPort(0) == nullptr; },
         [](void* o) { return static_cast<zeph::Device*>(o)->destroy(1); }},
        {"input",
         [](zeph::Connection* c) {
             zeph::Device* d = c->deviceAt(0);
             zeph::Input* i = d->openInputPort(0);
             d->destroy(1);
             i->destroy(1);
             return static_cast<void*>(i);
         },
         [](void* o) {
             static_cast<zeph::Input*>(o)->setReceiveCallback(&Received::call, nullptr);
             return true;
         },
         [](void* o) { return static_cast<zeph::Input*>(o)->destroy(1); }},
        {"output",
         [](zeph::Connection* c) {
             zeph::Device* d = c->deviceAt(0);
             zeph::Output* out = d->openOutputPort(0);
             d->destroy(1);
             out->destroy(1);
             return static_cast<void*>(out);
         },
         [](void* o) { return static_cast<zeph::Output*>(o)->writeSysex(kStatusRequest.data(), 14) == 0; },
         [](void* o) { return static_cast<zeph::Output*>(o)->destroy(1); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        zeph::Connection* connection = create(&Callbacks::call, &callbacks);
        void* object = c.make(connection);
        EXPECT_EQ(violations(), 0) << violationTexts();
        EXPECT_TRUE(c.callAfter(object));
        EXPECT_EQ(violations(), 1);
        EXPECT_EQ(c.destroyAgain(object), nullptr);
        EXPECT_EQ(violations(), 2);
        EXPECT_NE(violationTexts().find(std::string("destroy on destroyed ") + c.name + " #"), std::string::npos)
            << violationTexts();
        if (std::string(c.name) != "connection") destroy(connection);
        expectEachObjectDestroyedOnce();
    }
    EXPECT_EQ(0, get<SimZephWriteCountFn>("SimZeph_WriteCount")()) << "a dead output took a write";
    EXPECT_TRUE(debug.contains("SimZeph violation: count on destroyed connection #"));
    std::vector<uint8_t> file = readFileBytes(capturePath);
    std::string captured(file.begin(), file.end());
    EXPECT_NE(captured.find("! writeSysex on destroyed output #"), std::string::npos);
    // Events with the tick they happened at, for a test in another process to time them.
    size_t created = captured.find(" create connection #1");
    ASSERT_NE(created, std::string::npos) << captured;
    size_t line = captured.rfind('\n', created);
    line = line == std::string::npos ? 0 : line + 1;
    EXPECT_EQ(captured[line], '@') << captured;
    EXPECT_GT(std::strtoul(captured.c_str() + line + 1, nullptr, 10), 0ul) << captured;
}

// After the start message the instrument reboots: its ports die, every connection is called
// back from a thread of the library, and it is offered again after BACK_MS, or never.
class SimZephReboot : public SimZeph, public ::testing::WithParamInterface<int> {};

TEST_P(SimZephReboot, TheInstrumentGoesAndComesBack) {
    int backMs = GetParam();
    _putenv(("CARROWICK_SIMZEPH_BACK_MS=" + std::to_string(backMs)).c_str());
    ASSERT_EQ(get<SimZephSetDevicesFn>("SimZeph_SetDevices")("30:1:1,7:1:1"), 1);
    Callbacks other;
    zeph::Connection* first = create(&Callbacks::call, &callbacks);
    zeph::Connection* second = create(&Callbacks::call, &other);
    zeph::Device* instrument = find(first, 30);
    zeph::Device* neighbour = find(first, 7);
    ASSERT_TRUE(instrument && neighbour);
    zeph::Output* output = instrument->openOutputPort(0);
    zeph::Input* input = instrument->openInputPort(0);
    zeph::Input* neighbourInput = neighbour->openInputPort(0);
    Received onInstrument, onNeighbour;
    input->setReceiveCallback(&Received::call, &onInstrument);
    neighbourInput->setReceiveCallback(&Received::call, &onNeighbour);

    EXPECT_EQ(output->writeSysex(kStartMessage.data(), 15), 15);
    ASSERT_TRUE(waitFor([&] { return callbacks.count() >= 1 && other.count() >= 1; }));
    const size_t heardBeforeReboot = onInstrument.count();  // active sensing only
    EXPECT_NE(callbacks.thread(0), GetCurrentThreadId());
    EXPECT_EQ(first->count(), 1);
    zeph::Connection* during = create(&Callbacks::call, &callbacks);
    EXPECT_EQ(find(during, 30), nullptr);
    EXPECT_EQ(instrument->openInputPort(0), nullptr);
    EXPECT_EQ(output->writeSysex(kStatusRequest.data(), 14), 0);
    EXPECT_NE(at("dead write output #1"), std::string::npos) << events();
    // The neighbour still hears; the instrument's dead input no longer does.
    get<SimZephDeliverFn>("SimZeph_Deliver")(kStatusAnswer.data(), 14);
    EXPECT_TRUE(waitFor([&] { return onNeighbour.messageBytes() == kStatusAnswer; }));
    EXPECT_EQ(onInstrument.count(), heardBeforeReboot);
    EXPECT_TRUE(onInstrument.messageBytes().empty());

    // First and during, again; a wait that runs out is the answer when it never comes back.
    bool back = waitFor([&] { return callbacks.count() >= 3; }, backMs >= 0 ? 5000 : 1500);
    EXPECT_EQ(back, backMs >= 0);
    zeph::Device* again = find(during, 30);
    EXPECT_EQ(again != nullptr, backMs >= 0);
    if (again) {
        EXPECT_LT(at("reboot device 30"), at("callback connection #1 (reboot)"));
        EXPECT_LT(at("callback connection #2 (reboot)"), at("back device 30"));
        EXPECT_LT(at("back device 30"), at("callback connection #3 (back)"));
        again->destroy(1);
    }
    for (zeph::Input* port : {input, neighbourInput}) port->destroy(1);
    output->destroy(1);
    instrument->destroy(1);
    neighbour->destroy(1);
    for (zeph::Connection* connection : {first, second, during}) destroy(connection);
    EXPECT_EQ(violations(), 0) << violationTexts();
    expectEachObjectDestroyedOnce();
}

// Long enough for the checks made while it is away, on a crowded machine too.
INSTANTIATE_TEST_SUITE_P(BackAfter, SimZephReboot, ::testing::Values(1000, -1),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param < 0 ? std::string("Never") : std::to_string(info.param) + "ms";
                         });

TEST_F(SimZeph, CallbackInsideCreateAndDestroyOnTheCallersThread) {
    _putenv("CARROWICK_SIMZEPH_CALLBACK_IN_CREATE=1");
    zeph::Connection* connection = create(&Callbacks::call, &callbacks);
    ASSERT_EQ(callbacks.count(), 1u);
    EXPECT_EQ(callbacks.threads[0], GetCurrentThreadId());
    _putenv("CARROWICK_SIMZEPH_CALLBACK_IN_CREATE=");
    _putenv("CARROWICK_SIMZEPH_CALLBACK_IN_DESTROY=1");
    int countInside = -1;
    callbacks.action = [&] { countInside = connection->count(); };  // still usable inside
    destroy(connection);
    ASSERT_EQ(callbacks.count(), 2u);
    EXPECT_EQ(callbacks.threads[1], GetCurrentThreadId());
    EXPECT_EQ(countInside, 1);
    EXPECT_LT(at("create connection #1"), at("callback connection #1 (in create)"));
    EXPECT_LT(at("callback connection #1 (in destroy)"), at("destroy connection #1"));
    EXPECT_EQ(violations(), 0) << violationTexts();
}

// What would deadlock a real library is recorded instead: an input destroyed from its own
// delivery, a connection destroyed inside its own callback on a thread of the library.
TEST_F(SimZeph, DestroysOnTheLibrarysThreadsAreViolations) {
    // Without sensing, whose first byte could come while setReceiveCallback has not returned:
    // the destroy below would then also count as one during a call.
    _putenv("CARROWICK_SIMZEPH_SENSING_MS=-1");
    zeph::Connection* connection = create(&Callbacks::call, &callbacks);
    zeph::Device* device = connection->deviceAt(0);
    zeph::Input* input = device->openInputPort(0);
    Received received;
    received.action = [&] {
        if (received.all().size() == 1) input->destroy(1);
    };
    input->setReceiveCallback(&Received::call, &received);
    Bytes many(300, 0x10);
    get<SimZephDeliverFn>("SimZeph_Deliver")(many.data(), static_cast<int>(many.size()));
    ASSERT_TRUE(waitFor([&] { return violations() == 2; })) << violationTexts();
    EXPECT_NE(violationTexts().find("input #1 destroyed on its own delivery thread"), std::string::npos);
    EXPECT_EQ(received.all().size(), 1u) << "delivered after the destroy";

    callbacks.action = [&] { destroy(connection); };
    get<SimZephTriggerRebindFn>("SimZeph_TriggerRebind")(1);
    EXPECT_NE(violationTexts().find("connection #1 destroyed inside its own callback"), std::string::npos);
    EXPECT_NE(violationTexts().find("connection #1 destroyed on a thread of the library"), std::string::npos);
    device->destroy(1);
    expectEachObjectDestroyedOnce();
}

// Bytes come cut at random lengths with any real-time byte anywhere, also inside a SysEx
// (MIDI allows it); the other bytes keep their order, and the same seed cuts the same way.
TEST_F(SimZeph, DeliveriesAreCutAndMixedWithRealTimeBytes) {
    _putenv("CARROWICK_SIMZEPH_SENSING_MS=-1");  // the cuts alone, comparable between runs
    Bytes sysex = {0xF0};
    for (int i = 0; i < 700; ++i) sysex.push_back(static_cast<uint8_t>(i & 0x7F));
    sysex.push_back(0xF7);
    Bytes expected = kStatusAnswer;
    expected.insert(expected.end(), sysex.begin(), sysex.end());
    auto receive = [&](const char* seed) {
        reset();
        _putenv((std::string("CARROWICK_SIMZEPH_SEED=") + seed).c_str());
        zeph::Connection* connection = create(&Callbacks::call, &callbacks);
        zeph::Device* device = connection->deviceAt(0);
        zeph::Input* input = device->openInputPort(0);
        zeph::Output* output = device->openOutputPort(0);
        Received received;
        input->setReceiveCallback(&Received::call, &received);
        output->writeSysex(kStatusRequest.data(), 14);
        EXPECT_TRUE(waitFor([&] { return received.messageBytes().size() == kStatusAnswer.size(); }));
        get<SimZephDeliverFn>("SimZeph_Deliver")(sysex.data(), static_cast<int>(sysex.size()));
        EXPECT_TRUE(waitFor([&] { return received.messageBytes().size() == expected.size(); }));
        EXPECT_EQ(received.messageBytes(), expected);
        input->destroy(1);
        output->destroy(1);
        device->destroy(1);
        destroy(connection);
        expectEachObjectDestroyedOnce();
        return received.all();
    };
    std::vector<Bytes> chunks = receive("14");
    EXPECT_GT(chunks.size(), 12u);
    bool longerThanOne = false;
    Bytes whole;
    for (const Bytes& chunk : chunks) {
        EXPECT_TRUE(chunk.size() >= 1 && chunk.size() <= 64) << chunk.size();
        longerThanOne |= chunk.size() > 1;
        whole.insert(whole.end(), chunk.begin(), chunk.end());
    }
    EXPECT_TRUE(longerThanOne);
    // Inside the status answer's SysEx, whatever the seed.
    auto open = std::find(whole.begin(), whole.end(), 0xF0);
    auto close = std::find(open, whole.end(), 0xF7);
    EXPECT_TRUE(std::find(open, close, 0xF8) != close || std::find(open, close, 0xFE) != close) << "answer not mixed";
    for (uint8_t realTime : {0xF8, 0xFA, 0xFB, 0xFC, 0xFE, 0xFF})
        EXPECT_NE(std::count(whole.begin(), whole.end(), realTime), 0) << std::hex << int(realTime);
    EXPECT_EQ(receive("14"), chunks);
    EXPECT_NE(receive("15"), chunks);
}

// A quick library answers on the writing thread, cut and mixed all the same.
// An instrument due back at once is a WinMM output when the start message's write returns:
// a look right after it never depends on a thread the machine has not run yet.
TEST_F(SimZeph, InstrumentDueAtOnceIsAnOutputWhenTheStartMessageReturns) {
    HMODULE winmm = LoadLibraryExA("winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    ASSERT_NE(winmm, nullptr);
    auto resetWinmm = reinterpret_cast<SimWinmm_ResetFn>(GetProcAddress(winmm, "SimWinmm_Reset"));
    ASSERT_NE(resetWinmm, nullptr) << "not the simulated WinMM (WINEDLLOVERRIDES=winmm=n,b?)";
    auto numDevs = reinterpret_cast<UINT(WINAPI*)()>(GetProcAddress(winmm, "midiOutGetNumDevs"));
    auto caps = reinterpret_cast<MMRESULT(WINAPI*)(UINT_PTR, LPMIDIOUTCAPSA, UINT)>(
        GetProcAddress(winmm, "midiOutGetDevCapsA"));
    resetWinmm();
    _putenv("CARROWICK_SIMZEPH_BACK_MS=-1");
    _putenv("CARROWICK_SIMZEPH_LUMETRA_DELAY_MS=0");
    _putenv("CARROWICK_SIMZEPH_LUMETRA_NAME=Lumetra Update");
    zeph::Connection* connection = create(&Callbacks::call, &callbacks);
    zeph::Device* device = connection->deviceAt(0);
    zeph::Output* output = device->openOutputPort(0);
    EXPECT_EQ(output->writeSysex(kStartMessage.data(), 15), 15);
    EXPECT_EQ(numDevs(), 1u);
    MIDIOUTCAPSA found = {};
    EXPECT_EQ(caps(0, &found, sizeof found), MMSYSERR_NOERROR);
    EXPECT_STREQ(found.szPname, "Lumetra Update");
    output->destroy(1);
    device->destroy(1);
    destroy(connection);
    _putenv("CARROWICK_SIMZEPH_LUMETRA_NAME=");
    resetWinmm();
    expectEachObjectDestroyedOnce();
}

TEST_F(SimZeph, AnswerAtOnceArrivesBeforeTheWriteReturns) {
    _putenv("CARROWICK_SIMZEPH_ANSWER_AT_ONCE=1");
    zeph::Connection* connection = create(&Callbacks::call, &callbacks);
    zeph::Device* device = connection->deviceAt(0);
    zeph::Input* input = device->openInputPort(0);
    zeph::Output* output = device->openOutputPort(0);
    Received received;
    input->setReceiveCallback(&Received::call, &received);
    EXPECT_EQ(output->writeSysex(kStatusRequest.data(), 14), 14);
    EXPECT_EQ(received.messageBytes(), kStatusAnswer);
    size_t total = 0;
    for (const Bytes& chunk : received.all()) total += chunk.size();
    EXPECT_GT(received.all().size(), 1u) << "not cut";
    EXPECT_GT(total, kStatusAnswer.size()) << "not mixed";
    input->destroy(1);
    output->destroy(1);
    device->destroy(1);
    destroy(connection);
    expectEachObjectDestroyedOnce();
}

// Assumed harsher: an instrument that sends active sensing sends it from the moment its
// port opens, before anything is asked of it; the first one waits only for a callback.
TEST_F(SimZeph, ActiveSensingComesUnaskedFromTheOpen) {
    _putenv("CARROWICK_SIMZEPH_SENSING_MS=40");
    zeph::Connection* connection = create(&Callbacks::call, &callbacks);
    zeph::Device* device = connection->deviceAt(0);
    zeph::Input* input = device->openInputPort(0);
    Sleep(100);  // longer than the interval: the first one is due already
    Received received;
    input->setReceiveCallback(&Received::call, &received);
    EXPECT_TRUE(waitFor([&] { return received.count() >= 4; }, 2000));
    for (const Bytes& chunk : received.all()) EXPECT_EQ(chunk, Bytes{0xFE});
    input->destroy(1);
    size_t after = received.count();
    Sleep(100);
    EXPECT_EQ(received.count(), after) << "sensing after the destroy";
    device->destroy(1);
    destroy(connection);
    EXPECT_EQ(violations(), 0) << violationTexts();
}

// Documented for a driver's MIDI port (a second open is refused while it is open); assumed
// for the library: the refusal lasts until the open port is destroyed, even a dead one.
TEST_F(SimZeph, EachPortOpensOnceAtATime) {
    struct Case {
        const char* name;
        std::function<void*(zeph::Device*)> open;
        std::function<void(void*)> close;
    };
    const std::vector<Case> cases = {
        {"input", [](zeph::Device* d) { return static_cast<void*>(d->openInputPort(0)); },
         [](void* port) { static_cast<zeph::Input*>(port)->destroy(1); }},
        {"output", [](zeph::Device* d) { return static_cast<void*>(d->openOutputPort(0)); },
         [](void* port) { static_cast<zeph::Output*>(port)->destroy(1); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        zeph::Connection* first = create(&Callbacks::call, &callbacks);
        zeph::Connection* second = create(&Callbacks::call, &callbacks);
        zeph::Device* device = first->deviceAt(0);
        zeph::Device* other = second->deviceAt(0);
        void* open = c.open(device);
        ASSERT_NE(open, nullptr);
        EXPECT_EQ(c.open(device), nullptr) << "the same device object";
        EXPECT_EQ(c.open(other), nullptr) << "another connection";
        EXPECT_NE(events().find("refused open"), std::string::npos) << events();
        c.close(open);
        void* again = c.open(other);
        EXPECT_NE(again, nullptr) << "refused after the destroy";
        if (again) c.close(again);
        device->destroy(1);
        other->destroy(1);
        destroy(first);
        destroy(second);
        EXPECT_EQ(violations(), 0) << violationTexts();
        expectEachObjectDestroyedOnce();
    }
}

// Assumed harsher: a library may learn of a change inside any call and call back on the
// caller's thread before the call returns. The instrument reboots inside the call: the
// port just opened or used is dead, and it comes back later from the library's thread.
struct InsideCase {
    const char* call;
    // Makes the call on a fresh connection's instrument; returns the output to try a write on.
    std::function<zeph::Output*(zeph::Device*, zeph::Input*&, Received&)> make;
};

std::vector<InsideCase> insideCases() {
    return {
        {"openOutputPort",
         [](zeph::Device* d, zeph::Input*&, Received&) { return d->openOutputPort(0); }},
        {"setReceiveCallback",
         [](zeph::Device* d, zeph::Input*& input, Received& received) {
             input = d->openInputPort(0);
             zeph::Output* output = d->openOutputPort(0);
             input->setReceiveCallback(&Received::call, &received);
             return output;
         }},
        {"writeSysex",
         [](zeph::Device* d, zeph::Input*&, Received&) {
             zeph::Output* output = d->openOutputPort(0);
             output->writeSysex(kStatusRequest.data(), 14);
             return output;
         }},
        {"deviceDestroy",
         [](zeph::Device* d, zeph::Input*&, Received&) {
             zeph::Output* output = d->openOutputPort(0);
             d->destroy(1);
             return output;
         }},
    };
}

TEST_F(SimZeph, RebootInsideACallCallsBackOnTheCallersThread) {
    _putenv("CARROWICK_SIMZEPH_BACK_MS=100");
    for (const InsideCase& c : insideCases()) {
        SCOPED_TRACE(c.call);
        reset();
        _putenv((std::string("CARROWICK_SIMZEPH_REBOOT_INSIDE=") + c.call).c_str());
        Callbacks calls;
        zeph::Connection* connection = create(&Callbacks::call, &calls);
        zeph::Device* device = connection->deviceAt(0);
        zeph::Input* input = nullptr;
        Received received;
        zeph::Output* output = c.make(device, input, received);
        // Before the call returned, on this thread (the instrument may be back already).
        ASSERT_GE(calls.count(), 1u) << events();
        EXPECT_EQ(calls.thread(0), GetCurrentThreadId());
        EXPECT_NE(at(std::string("reboot device 30 inside ") + c.call), std::string::npos) << events();
        ASSERT_NE(output, nullptr);
        EXPECT_EQ(output->writeSysex(kStatusRequest.data(), 14), 0) << "the port lives on";
        // Once only: back later, from a thread of the library.
        EXPECT_TRUE(waitFor([&] { return calls.count() == 2; })) << events();
        EXPECT_NE(calls.thread(1), GetCurrentThreadId());
        EXPECT_NE(at("callback connection #1 (back)"), std::string::npos) << events();
        if (input) input->destroy(1);
        output->destroy(1);
        if (std::string(c.call) != "deviceDestroy") device->destroy(1);
        destroy(connection);
        EXPECT_EQ(calls.count(), 2u);
        EXPECT_EQ(violations(), 0) << violationTexts();
        expectEachObjectDestroyedOnce();
    }
}

// Assumed harsher: a real library frees an object on destroy; a thread still inside a call
// on it then runs on freed memory. Here the destroy is recorded as a violation.
TEST_F(SimZeph, DestroyWhileACallIsInProgressIsAViolation) {
    _putenv("CARROWICK_SIMZEPH_BACK_MS=-1");
    for (const InsideCase& c : insideCases()) {
        if (std::string(c.call) == "deviceDestroy") continue;  // the call is the destroy
        SCOPED_TRACE(c.call);
        reset();
        _putenv((std::string("CARROWICK_SIMZEPH_REBOOT_INSIDE=") + c.call).c_str());
        Callbacks calls;
        zeph::Connection* connection = create(&Callbacks::call, &calls);
        zeph::Device* device = connection->deviceAt(0);
        zeph::Input* input = nullptr;
        zeph::Output* output = nullptr;
        // Inside the call, another thread destroys the object the call is on.
        calls.action = [&] {
            std::thread other([&] {
                if (std::string(c.call) == "openOutputPort") device->destroy(1);
                if (std::string(c.call) == "setReceiveCallback") input->destroy(1);
                if (std::string(c.call) == "writeSysex") output->destroy(1);
            });
            other.join();
        };
        Received received;
        if (std::string(c.call) == "writeSysex") {
            output = device->openOutputPort(0);
            output->writeSysex(kStatusRequest.data(), 14);
        } else {
            output = c.make(device, input, received);
        }
        ASSERT_EQ(calls.count(), 1u) << events();
        EXPECT_EQ(violations(), 1) << violationTexts();
        EXPECT_NE(violationTexts().find("destroyed while a call on it was in progress"), std::string::npos)
            << violationTexts();
        calls.action = nullptr;
        if (input && std::string(c.call) != "setReceiveCallback") input->destroy(1);
        if (output && std::string(c.call) != "writeSysex") output->destroy(1);
        if (std::string(c.call) != "openOutputPort") device->destroy(1);
        destroy(connection);
        EXPECT_EQ(violations(), 1) << violationTexts();
        expectEachObjectDestroyedOnce();
    }
}

// A real library's ZEPHCreate from its own callback thread waits for that very thread.
TEST_F(SimZeph, CreateOnALibraryThreadIsAViolation) {
    zeph::Connection* connection = create(&Callbacks::call, &callbacks);
    zeph::Connection* inside = nullptr;
    callbacks.action = [&] { inside = create(&Callbacks::call, nullptr); };
    get<SimZephTriggerRebindFn>("SimZeph_TriggerRebind")(1);
    callbacks.action = nullptr;
    EXPECT_NE(violationTexts().find("ZEPHCreate on a thread of the library"), std::string::npos) << violationTexts();
    destroy(inside);
    destroy(connection);
}

}  // namespace
