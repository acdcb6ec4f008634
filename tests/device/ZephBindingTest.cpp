// The binding against the simulated Zeph library, installed in the prefix's system folder.

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device/UpdaterDev.h"
#include "device/ZephBinding.h"
#include "sim/zeph/SimZephControl.h"
#include "tests/common/DebugCapture.h"

namespace {

const char kKey[] = "Software\\Veltro\\Zeph";
const char kSimPath[] = "C:\\windows\\system32\\carrowick_simzeph.dll";

void setLocation(const std::string& location, DWORD type = REG_SZ) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), ERROR_SUCCESS);
    RegSetValueExA(key, "Location", 0, type, reinterpret_cast<const BYTE*>(location.c_str()),
                   static_cast<DWORD>(location.size() + 1));
    RegCloseKey(key);
}

void removeKey() { RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey); }

// The simulated library, loaded the way the binding loads it, for its control exports.
struct SimLibrary {
    HMODULE module = LoadLibraryExA(kSimPath, nullptr, 0);
    template <typename T>
    T get(const char* name) {
        return reinterpret_cast<T>(GetProcAddress(module, name));
    }
};

class ZephBinding : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"CARROWICK_SIMZEPH_VERSION", "CARROWICK_SIMZEPH_CREATE_NULL",
                                 "CARROWICK_SIMZEPH_NO_DEVICE", "CARROWICK_SIMZEPH_LUMETRA_DELAY_MS",
                                 "CARROWICK_SIMZEPH_ANSWER_AT_ONCE", "CARROWICK_SIMZEPH_CALLBACK_IN_CREATE",
                                 "CARROWICK_SIMZEPH_CALLBACK_IN_DESTROY", "CARROWICK_SIMZEPH_BACK_MS",
                                 "CARROWICK_SIMZEPH_REBOOT_INSIDE"})
            SetEnvironmentVariableA(name, nullptr);
        for (const char* unset : {"CARROWICK_SIMZEPH_VERSION=", "CARROWICK_SIMZEPH_CREATE_NULL=",
                                  "CARROWICK_SIMZEPH_NO_DEVICE=", "CARROWICK_SIMZEPH_ANSWER_AT_ONCE=",
                                  "CARROWICK_SIMZEPH_CALLBACK_IN_CREATE=", "CARROWICK_SIMZEPH_CALLBACK_IN_DESTROY=",
                                  "CARROWICK_SIMZEPH_BACK_MS=", "CARROWICK_SIMZEPH_REBOOT_INSIDE="})
            _putenv(unset);
        _putenv("CARROWICK_SIMZEPH_LUMETRA_DELAY_MS=-1");
        setLocation(kSimPath);
        ASSERT_NE(sim.module, nullptr) << "the simulated library is not installed";
        sim.get<SimZephResetFn>("SimZeph_Reset")();
    }
    // Whatever a test did, the library saw no use of a destroyed object, no object destroyed
    // twice or on one of its own threads.
    void TearDown() override {
        removeKey();
        EXPECT_EQ(text<SimZephViolationsFn>("SimZeph_Violations"), "");
    }

    template <typename Fn>
    std::string text(const char* name) {
        std::vector<char> buffer(65536);
        sim.get<Fn>(name)(buffer.data(), static_cast<int>(buffer.size()));
        return buffer.data();
    }
    std::string events() { return text<SimZephEventsFn>("SimZeph_Events"); }
    // Position of an event in the library's log; npos when it is not there.
    size_t at(const std::string& event) { return events().find(event + "\n"); }
    // Objects of one kind created and destroyed so far.
    std::pair<int, int> objects(SimZephKind kind) {
        int created = 0, destroyed = 0;
        sim.get<SimZephObjectsFn>("SimZeph_Objects")(kind, &created, &destroyed);
        return {created, destroyed};
    }

    int counter(int which) {
        int values[4] = {};
        sim.get<SimZephCountersFn>("SimZeph_Counters")(&values[0], &values[1], &values[2], &values[3]);
        return values[which];
    }
    std::vector<std::vector<uint8_t>> writes() {
        std::vector<std::vector<uint8_t>> all;
        int count = sim.get<SimZephWriteCountFn>("SimZeph_WriteCount")();
        for (int i = 0; i < count; ++i) {
            std::vector<uint8_t> bytes(64);
            int n = sim.get<SimZephWriteAtFn>("SimZeph_WriteAt")(i, bytes.data(), 64);
            bytes.resize(static_cast<size_t>(n));
            all.push_back(bytes);
        }
        return all;
    }
    bool waitFor(const std::function<bool()>& done, int ms = 3000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            Sleep(2);
        }
        return true;
    }

    SimLibrary sim;
};

void noCallback(void*) {}

TEST_F(ZephBinding, NoKeyGivesTheDummy) {
    removeKey();
    EXPECT_EQ(bindConnection(noCallback, nullptr), &DummyConnection::instance());
}

TEST_F(ZephBinding, RelativeOrMissingLibraryGivesTheDummy) {
    setLocation("carrowick_simzeph.dll");  // would be searched for beside the program
    EXPECT_EQ(bindConnection(noCallback, nullptr), &DummyConnection::instance());
    setLocation("C:\\nowhere\\zeph.dll");
    EXPECT_EQ(bindConnection(noCallback, nullptr), &DummyConnection::instance());
    EXPECT_EQ(counter(0), 0);
}

TEST_F(ZephBinding, ExpandableLocationIsExpandedBeforeItIsJudged) {
    SetEnvironmentVariableA("CARROWICK_ZEPH_DIR", "C:\\windows\\system32");
    setLocation("%CARROWICK_ZEPH_DIR%\\carrowick_simzeph.dll", REG_EXPAND_SZ);
    VeltroHiddenMIDI::Connection* connection = bindConnection(noCallback, nullptr);
    EXPECT_NE(connection, &DummyConnection::instance());
    releaseConnection(connection);
    // Expanded to a relative path, it is refused like any relative path.
    SetEnvironmentVariableA("CARROWICK_ZEPH_DIR", ".");
    EXPECT_EQ(bindConnection(noCallback, nullptr), &DummyConnection::instance());
    SetEnvironmentVariableA("CARROWICK_ZEPH_DIR", nullptr);
}

TEST_F(ZephBinding, VersionTwoGivesTheDummyButKeepsZephDestroy) {
    _putenv("CARROWICK_SIMZEPH_VERSION=2");
    EXPECT_EQ(bindConnection(noCallback, nullptr), &DummyConnection::instance());
    EXPECT_NE(zephDestroy(), nullptr);
    EXPECT_EQ(counter(0), 0);
}

TEST_F(ZephBinding, NullConnectionGivesTheDummy) {
    _putenv("CARROWICK_SIMZEPH_CREATE_NULL=1");
    EXPECT_EQ(bindConnection(noCallback, nullptr), &DummyConnection::instance());
}

TEST_F(ZephBinding, DeviceFindsItsPortsAndAsksForStatus) {
    DebugCapture capture;
    UpdaterDev device;
    EXPECT_TRUE(device.isConnected());
    std::vector<uint8_t> request{0xF0, 0x00, 0x7A, 0x51, 0x03, 0x01, 0x7F, 0x60, 0x21, 0x00, 0x00, 0x00, 0x00, 0xF7};
    ASSERT_EQ(writes().size(), 1u);
    EXPECT_EQ(writes()[0], request);
    // The instrument answers on the library's delivery thread.
    EXPECT_TRUE(waitFor([&] { return device.statusReceived(); }));
    EXPECT_EQ(device.statusValue(), static_cast<uint32_t>(0x105 | 0x01000000));
    EXPECT_TRUE(capture.contains("VoVirize:Device received status\n"));
    EXPECT_FALSE(capture.contains("RDS guard zones corrupted"));
}

// A library may answer the status request before the write returns, inside the bind:
// the answer must survive the rest of the bind.
TEST_F(ZephBinding, AnAnswerBeforeTheBindEndsIsKept) {
    _putenv("CARROWICK_SIMZEPH_ANSWER_AT_ONCE=1");
    DebugCapture capture;
    UpdaterDev device;
    EXPECT_TRUE(device.statusReceived());
    EXPECT_EQ(device.statusValue(), static_cast<uint32_t>(0x105 | 0x01000000));
    EXPECT_TRUE(capture.contains("VoVirize:Device received status\n"));
    EXPECT_FALSE(capture.contains("VOVirize:Device disconnected"));
    // A rebind starts afresh and keeps the new answer too.
    device.connectDevice();
    EXPECT_TRUE(device.statusReceived());
}

TEST_F(ZephBinding, WithoutDeviceTheDeviceSaysDisconnected) {
    _putenv("CARROWICK_SIMZEPH_NO_DEVICE=1");
    DebugCapture capture;
    UpdaterDev device;
    EXPECT_FALSE(device.isConnected());
    EXPECT_TRUE(capture.contains("VOVirize:Device disconnected\n"));
    EXPECT_TRUE(writes().empty());
}

TEST_F(ZephBinding, EachRebindEndsTheOldConnectionFirst) {
    UpdaterDev device;
    device.connectDevice();
    device.connectDevice();
    EXPECT_EQ(counter(0), 3);
    EXPECT_EQ(counter(1), 2);  // every connection but the newest was handed to ZEPHDestroy
    EXPECT_EQ(counter(2), 2);  // only the newest input and output are open
    EXPECT_TRUE(device.isConnected());
}

TEST_F(ZephBinding, WriteSysexRuleGuardsTheOutput) {
    DebugCapture capture;
    UpdaterDev device;
    sim.get<SimZephResetFn>("SimZeph_Reset")();
    uint8_t bad[3] = {0xF0, 0x01, 0x02};
    EXPECT_FALSE(device.writeSysex(bad, 3));
    EXPECT_TRUE(capture.contains("RIR: WriteSysex - invalid packet. len = 3, (start=f0, end=02)\n"));
    uint8_t good[3] = {0xF0, 0x01, 0xF7};
    EXPECT_TRUE(device.writeSysex(good, 3));
    EXPECT_EQ(writes().size(), 1u);
}

// The library calls the rebinding callback on its own thread while this thread writes
// and while bytes are being delivered: no port may be destroyed while in use, and nothing
// may deadlock (the library's input destructor waits for its delivery in flight).
TEST_F(ZephBinding, RebindFromLibraryThreadsWhileInUse) {
    UpdaterDev device;
    auto trigger = sim.get<SimZephTriggerRebindFn>("SimZeph_TriggerRebind");
    auto deliver = sim.get<SimZephDeliverFn>("SimZeph_Deliver");
    std::vector<uint8_t> status{0xF0, 0x00, 0x7A, 0x51, 0x03, 0x01, 0x7F, 0x20, 0x00, 0x00, 0x07, 0x00, 0x00, 0xF7};
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        uint8_t packet[15] = {0xF0, 0x00, 0x7A, 0x51, 0x03, 0x70, 0, 0, 0, 0, 0, 0, 0, 0, 0xF7};
        while (!stop) device.writeSysex(packet, 15);
    });
    // Paced: an unpaced feeder queues faster than any input delivers, and an input's destroy
    // then waits for a backlog that only grows.
    std::thread feeder([&] {
        while (!stop) {
            deliver(status.data(), static_cast<int>(status.size()));
            Sleep(1);
        }
    });
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 30; ++i) trigger(i % 2);  // some waited for, some not
    stop = true;
    writer.join();
    feeder.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    // The last rebind asked for is carried out (by the binder, or by the next use of the
    // ports), and leaves exactly one connection's ports.
    EXPECT_TRUE(device.isConnected());
    EXPECT_EQ(counter(0) - counter(1), 1);
    EXPECT_EQ(counter(2), 2);
}

// What the connection offers against what the device keeps: its number, counts of exactly
// 1, the last match winning, a null entry skipped; every offered device object is
// destroyed once, and only the kept ports stay open.
TEST_F(ZephBinding, DeviceMatchingTable) {
    struct Case {
        const char* devices;
        bool connected;
        int requests;    // status requests: one per output opened
        int openPorts;   // left open once bound
        const char* kept;  // the input kept, when there is one
    } const cases[] = {
        {"30:1:1", true, 1, 2, "input #1"},
        {"12:1:1", false, 0, 0, nullptr},
        {"12:1:1,30:1:1", true, 1, 2, "input #1"},
        {"30:1:1,30:1:1", true, 2, 2, "input #2"},
        {"null,30:1:1,null", true, 1, 2, "input #1"},
        {"30:2:1", false, 1, 1, nullptr},
        {"30:1:2", false, 0, 1, "input #1"},
        {"30:0:0", false, 0, 0, nullptr},
        {"30:1:1,31:1:1", true, 1, 2, "input #1"},
    };
    auto setDevices = sim.get<SimZephSetDevicesFn>("SimZeph_SetDevices");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.devices);
        sim.get<SimZephResetFn>("SimZeph_Reset")();
        ASSERT_NE(setDevices(c.devices), 0);
        {
            UpdaterDev device;
            EXPECT_EQ(device.isConnected(), c.connected);
            EXPECT_EQ(static_cast<int>(writes().size()), c.requests);
            EXPECT_EQ(counter(2), c.openPorts);
            std::pair<int, int> devices = objects(SimZephDevices);
            EXPECT_EQ(devices.first, devices.second) << "offered device objects not destroyed";
            if (c.kept) {
                std::pair<int, int> inputs = objects(SimZephInputs);
                EXPECT_EQ(inputs.first - inputs.second, 1);
                EXPECT_EQ(events().find(std::string("destroy ") + c.kept), std::string::npos) << events();
            }
        }
        EXPECT_EQ(counter(2), 0) << "ports left open after the device";
    }
    setDevices(nullptr);
}

// A rebind ends the old connection before it asks for the next one.
TEST_F(ZephBinding, OldConnectionEndsBeforeTheNextIsCreated) {
    UpdaterDev device;
    device.connectDevice();
    std::string log = events();
    size_t destroyed = log.find("destroy connection #1");
    size_t created = log.find("create connection #2");
    ASSERT_NE(destroyed, std::string::npos) << log;
    ASSERT_NE(created, std::string::npos) << log;
    EXPECT_LT(destroyed, created) << log;
    EXPECT_LT(log.find("destroy input #1"), created) << log;
    EXPECT_LT(log.find("destroy output #1"), created) << log;
}

// A library may call back from inside ZEPHCreate or ZEPHDestroy, on the caller's thread:
// the rebind in progress already covers it, so binding ends, and the device is connected.
TEST_F(ZephBinding, CallbacksInsideCreateAndDestroyEndTheBind) {
    for (const char* mode : {"CARROWICK_SIMZEPH_CALLBACK_IN_CREATE=1", "CARROWICK_SIMZEPH_CALLBACK_IN_DESTROY=1"}) {
        SCOPED_TRACE(mode);
        sim.get<SimZephResetFn>("SimZeph_Reset")();
        _putenv(mode);
        {
            UpdaterDev device;
            device.connectDevice();
            device.connectDevice();
            EXPECT_TRUE(device.isConnected());
            EXPECT_EQ(counter(0), 3) << "one connection per connectDevice";
            EXPECT_EQ(counter(0) - counter(1), 1);
        }
        _putenv(std::string(mode).replace(std::string(mode).find('=') + 1, 1, "").c_str());
    }
}

// After the start message the instrument reboots: the library drops it and calls back
// from its own thread. The program rebinds on its own thread: not connected while the
// instrument is away, connected again once it is back.
TEST_F(ZephBinding, RebootingInstrumentIsBoundAgainOnTheProgramsThread) {
    _putenv("CARROWICK_SIMZEPH_BACK_MS=1000");
    UpdaterDev device;
    ASSERT_TRUE(device.isConnected());
    uint8_t start[15] = {0xF0, 0x00, 0x7A, 0x51, 0x03, 0x71, 1, 2, 3, 4, 5, 6, 7, 8, 0xF7};
    ASSERT_TRUE(device.writeSysex(start, 15));
    // The callback comes from the library's thread, a moment after the write. Only a rebind
    // that a crowded machine held up until the instrument was back may find it connected.
    bool sawAway = false;
    waitFor([&] {
        sawAway = !device.isConnected();
        return sawAway || at("back device 30") != std::string::npos;
    });
    ASSERT_TRUE(waitFor([&] { return events().find("back device 30") != std::string::npos; })) << events();
    EXPECT_TRUE(sawAway || at("back device 30") < at("create connection #2")) << events();
    EXPECT_TRUE(waitFor([&] { return device.isConnected(); }));
    // The rebind that found it again asked for its status.
    EXPECT_TRUE(waitFor([&] { return device.statusReceived(); }));
}

// The instrument went away in the middle of a message: what the old input left of it must
// not swallow the first message of the new input (the status answer would then never count).
TEST_F(ZephBinding, AMessageCutOffWithTheOldInputDoesNotSwallowTheNext) {
    DebugCapture capture;
    UpdaterDev device;
    ASSERT_TRUE(waitFor([&] { return device.statusReceived(); }));
    int delivered = counter(3);
    const uint8_t cutOff[6] = {0xF0, 0x00, 0x7A, 0x51, 0x03, 0x01};
    sim.get<SimZephDeliverFn>("SimZeph_Deliver")(cutOff, 6);
    ASSERT_TRUE(waitFor([&] { return counter(3) > delivered; }));
    device.connectDevice();
    EXPECT_TRUE(waitFor([&] { return device.statusReceived(); }));
    EXPECT_FALSE(capture.contains("Ignoring unknown Sysex")) << capture.text();
}

// A callback from the library's thread is carried out on the device's own thread at once,
// with nobody using the ports: connected again with one new connection, each time.
TEST_F(ZephBinding, ACallbackIsCarriedOutWithoutAnyUseOfThePorts) {
    UpdaterDev device;
    auto trigger = sim.get<SimZephTriggerRebindFn>("SimZeph_TriggerRebind");
    long fastestMs = 1000000;
    for (int round = 1; round <= 5; ++round) {
        SCOPED_TRACE(round);
        auto start = std::chrono::steady_clock::now();
        trigger(0);
        // The rebind has begun once the old connection is gone.
        ASSERT_TRUE(waitFor([&] { return counter(1) == round; }, 1000)) << events();
        long ms = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
        fastestMs = std::min(fastestMs, ms);
        ASSERT_TRUE(waitFor([&] { return counter(0) == round + 1 && counter(2) == 2; })) << events();
        EXPECT_EQ(counter(0) - counter(1), 1);
    }
    // Each begins within the second; the quickest, least disturbed by a crowded machine,
    // shows that nothing but the callback is waited for (a binder that polled would not).
    EXPECT_LE(fastestMs, 250);
    std::printf("fastest rebind began %ld ms after the callback\n", fastestMs);
    EXPECT_TRUE(device.isConnected());
    EXPECT_EQ(counter(0), 6) << "a use of the ports rebound again";
}

// After the start message nothing takes the ports again: the instrument reboots, the library
// calls back from its thread and the device binds anew by itself; when the instrument is
// back and the library calls back again, it binds once more, connected, and asks for status.
TEST_F(ZephBinding, RebootAfterTheStartMessageIsBoundAgainWithoutAnyUse) {
    _putenv("CARROWICK_SIMZEPH_BACK_MS=300");
    UpdaterDev device;
    ASSERT_TRUE(waitFor([&] { return device.statusReceived(); }));
    uint8_t start[15] = {0xF0, 0x00, 0x7A, 0x51, 0x03, 0x71, 1, 2, 3, 4, 5, 6, 7, 8, 0xF7};
    ASSERT_TRUE(device.writeSysex(start, 15));
    EXPECT_TRUE(waitFor([&] { return at("create connection #2") != std::string::npos; })) << events();
    EXPECT_LT(at("callback connection #1 (reboot)"), at("create connection #2")) << events();
    ASSERT_TRUE(waitFor([&] { return at("back device 30") != std::string::npos; })) << events();
    // Bound again after it is back: by the callback that says so, or (on a crowded machine)
    // by the rebind after the reboot, when that came later still.
    EXPECT_TRUE(waitFor([&] { return at("open output #2 of device 30") != std::string::npos; })) << events();
    EXPECT_LT(at("back device 30"), at("open output #2 of device 30")) << events();
    EXPECT_TRUE(waitFor([&] { return device.statusReceived(); })) << events();
    EXPECT_TRUE(device.isConnected());
}

// The library reports the instrument's removal on our own thread from inside a call of the
// bind (not ZEPHCreate or ZEPHDestroy): the removal is not lost and the dead ports are not
// kept; the device binds anew before the instrument is back, and again once it is.
class RemovalInsideACall : public ZephBinding, public ::testing::WithParamInterface<const char*> {};

TEST_P(RemovalInsideACall, IsBoundAgainAndLater) {
    _putenv("CARROWICK_SIMZEPH_BACK_MS=500");
    _putenv((std::string("CARROWICK_SIMZEPH_REBOOT_INSIDE=") + GetParam()).c_str());
    UpdaterDev device;
    // Within the construction's own bind: bound anew, and no port of the reboot left open.
    ASSERT_NE(at(std::string("reboot device 30 inside ") + GetParam()), std::string::npos) << events();
    EXPECT_GE(counter(0), 2) << "the removal was ignored: " << events();
    for (const char* port : {"input #1", "output #1"}) {
        if (at(std::string("open ") + port + " of device 30") != std::string::npos) {
            EXPECT_NE(at(std::string("destroy ") + port), std::string::npos) << "a dead port was kept: " << events();
        }
    }
    EXPECT_TRUE(waitFor([&] { return device.statusReceived(); })) << events();
    EXPECT_TRUE(device.isConnected());
    EXPECT_EQ(counter(2), 2);
}

INSTANTIATE_TEST_SUITE_P(Calls, RemovalInsideACall,
                         ::testing::Values("openOutputPort", "setReceiveCallback", "writeSysex", "deviceDestroy"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
