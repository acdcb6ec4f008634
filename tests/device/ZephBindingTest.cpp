// The binding against the simulated Zeph library, installed in the prefix's system folder.

#include <windows.h>

#include <chrono>
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
                                 "CARROWICK_SIMZEPH_ANSWER_AT_ONCE"})
            SetEnvironmentVariableA(name, nullptr);
        _putenv("CARROWICK_SIMZEPH_VERSION=");
        _putenv("CARROWICK_SIMZEPH_CREATE_NULL=");
        _putenv("CARROWICK_SIMZEPH_NO_DEVICE=");
        _putenv("CARROWICK_SIMZEPH_ANSWER_AT_ONCE=");
        _putenv("CARROWICK_SIMZEPH_LUMETRA_DELAY_MS=-1");
        setLocation(kSimPath);
        ASSERT_NE(sim.module, nullptr) << "the simulated library is not installed";
        sim.get<SimZephResetFn>("SimZeph_Reset")();
    }
    void TearDown() override { removeKey(); }

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
        uint8_t packet[15] = {0xF0, 0x00, 0x7A, 0x51, 0x03, 0x71, 0, 0, 0, 0, 0, 0, 0, 0, 0xF7};
        while (!stop) device.writeSysex(packet, 15);
    });
    std::thread feeder([&] {
        while (!stop) deliver(status.data(), static_cast<int>(status.size()));
    });
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 30; ++i) trigger(i % 2);  // some waited for, some not
    stop = true;
    writer.join();
    feeder.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    // Every rebind that was asked for has run and left exactly one connection's ports.
    EXPECT_TRUE(waitFor([&] { return counter(0) - counter(1) == 1 && counter(2) == 2; }));
    EXPECT_TRUE(device.isConnected());
}

}  // namespace
