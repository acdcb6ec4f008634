// The update protocol against the simulated WinMM and the simulated Zeph library, with
// its pauses shortened (the program itself keeps 5 s, 20 x 1 s and 5 s).

#include <windows.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/UpdateWorker.h"
#include "device/FirmwareImage.h"
#include "device/UpdateProtocol.h"
#include "device/UpdaterDev.h"
#include "midi/MidiPorts.h"
#include "midi/VeltroDeviceList.h"
#include "sim/zeph/SimZephControl.h"
#include "support/Diagnostics.h"
#include "tests/common/DebugCapture.h"
#include "tests/device/AcceptingOutput.h"
#include "tests/midi/SimWinmmFixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

const char kZephKey[] = "Software\\Veltro\\Zeph";
const char kSimZeph[] = "C:\\windows\\system32\\carrowick_simzeph.dll";

class RecordingProgress : public ProgressSink {
public:
    long setProgress(uint32_t position, uint32_t total, uint32_t, uint32_t) override {
        calls.push_back({position, total});
        return 0;
    }
    std::vector<std::pair<uint32_t, uint32_t>> calls;
};

Bytes startMessage() { return {0xF0, 0x00, 0x7A, 0x51, 0x03, 0x71, 1, 2, 3, 4, 5, 6, 7, 8, 0xF7}; }

Bytes dataMessage(uint8_t n) {
    Bytes m{0xF0, 0x00, 0x7A, 0x51};
    for (int i = 0; i < 39; ++i) m.push_back(static_cast<uint8_t>((n + i) & 0x7F));
    m.push_back(0xF7);
    return m;  // 44 bytes
}

class UpdateProtocol : public SimWinmmTest {
protected:
    void SetUp() override {
        SimWinmmTest::SetUp();
        timing.startPauseMs = 50;
        timing.searchPauseMs = 20;
        timing.searchTries = 5;
        timing.refusedRetryMs = 1500;
        _putenv("CARROWICK_SIMZEPH_LUMETRA_DELAY_MS=-1");
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kZephKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, "Location", 0, REG_SZ, reinterpret_cast<const BYTE*>(kSimZeph), sizeof kSimZeph);
        RegCloseKey(key);
        zeph = LoadLibraryExA(kSimZeph, nullptr, 0);
        ASSERT_NE(zeph, nullptr);
        reinterpret_cast<SimZephResetFn>(GetProcAddress(zeph, "SimZeph_Reset"))();
    }
    void TearDown() override {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kZephKey);
        SimWinmmTest::TearDown();
    }

    void load(const Bytes& file) { image.assign(file.data(), static_cast<uint32_t>(file.size())); }

    MIDI::Output* run(UpdaterDev& device) {
        return rvoVirize(image, device, progress, deviceManager(), &result, timing);
    }

    std::vector<Bytes> longMessagesSent() {
        std::vector<Bytes> all;
        for (uint32_t i = 0; i < sim.sentCount(); ++i) {
            SimWinmmSent record = {};
            Bytes bytes = sentBytes(i, &record);
            if (record.kind == SimWinmmSentLong) all.push_back(bytes);
        }
        return all;
    }

    Bytes zephWrite(int index) {
        Bytes bytes(64);
        int n = reinterpret_cast<SimZephWriteAtFn>(GetProcAddress(zeph, "SimZeph_WriteAt"))(index, bytes.data(), 64);
        bytes.resize(n < 0 ? 0 : static_cast<size_t>(n));
        return bytes;
    }
    int zephWriteCount() { return reinterpret_cast<SimZephWriteCountFn>(GetProcAddress(zeph, "SimZeph_WriteCount"))(); }

    FirmwareImage image;
    RecordingProgress progress;
    ProtocolTiming timing;
    int32_t result = -1;
    HMODULE zeph = nullptr;
};

TEST_F(UpdateProtocol, SendsStartThenEveryDataMessageInOrder) {
    sim.addDevice(0, "Other Synth");
    sim.addDevice(0, "2- Lumetra");
    Bytes file = startMessage();
    std::vector<Bytes> data;
    for (uint8_t i = 0; i < 30; ++i) {
        data.push_back(dataMessage(i));
        file.insert(file.end(), data.back().begin(), data.back().end());
    }
    load(file);
    UpdaterDev device;
    MIDI::Output* port = run(device);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(result, kUpdateCompleted);
    // The status request at binding, then the start message as exactly 15 bytes.
    ASSERT_EQ(zephWriteCount(), 2);
    EXPECT_EQ(zephWrite(1), startMessage());
    EXPECT_EQ(longMessagesSent(), data);
    ASSERT_EQ(progress.calls.size(), 31u);
    EXPECT_EQ(progress.calls.front(), std::make_pair(0u, 13000u));
    EXPECT_EQ(progress.calls.back(), std::make_pair(30u, 13000u));
    port->release();
}

TEST_F(UpdateProtocol, DataMessagesAreRebuiltAsSysex) {
    sim.addDevice(0, "Lumetra");
    load({0xF0, 0x01, 0x80, 0x02, 0xF7, 0x33, 0xF0, 0x05, 0xF7, 0x44, 0xF7});
    UpdaterDev device;
    MIDI::Output* port = run(device);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(result, kUpdateCompleted);
    // The stray byte before the second F0 is left out; a message without F0 is not sent.
    EXPECT_EQ(longMessagesSent(), (std::vector<Bytes>{{0xF0, 0x01, 0x02, 0xF7}, {0xF0, 0x05, 0xF7}}));
    EXPECT_EQ(zephWriteCount(), 1);  // no start message in this file: only the status request
    port->release();
}

TEST_F(UpdateProtocol, NoPortMeansNothingButTheStartMessage) {
    sim.addDevice(0, "lumetra");  // the search is case-sensitive
    Bytes file = startMessage();
    Bytes one = dataMessage(1);
    file.insert(file.end(), one.begin(), one.end());
    load(file);
    UpdaterDev device;
    EXPECT_EQ(run(device), nullptr);
    EXPECT_EQ(result, kUpdateNoPort);
    EXPECT_TRUE(longMessagesSent().empty());
    EXPECT_EQ(progress.calls.size(), 1u);
}

TEST_F(UpdateProtocol, PortAppearingDuringTheSearchIsUsed) {
    load(dataMessage(7));
    // The instrument arrives while the search counts the devices of its second try.
    const uint32_t other = sim.addDevice(0, "Other Synth");
    ASSERT_NE(sim.scheduleChange(SimWinmmAtNumDevs, 3, 0, other, "Lumetra"), 0u);
    UpdaterDev device;
    MIDI::Output* port = run(device);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(result, kUpdateCompleted);
    port->release();
}

TEST_F(UpdateProtocol, FailedOpensCountAsNoPortForThatTry) {
    sim.addDevice(0, "Lumetra");
    sim.failNext(SimWinmmFailOpen, 2);
    load(dataMessage(1));
    UpdaterDev device;
    MIDI::Output* port = run(device);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(result, kUpdateCompleted);
    EXPECT_EQ(longMessagesSent().size(), 1u);
    port->release();
}

TEST_F(UpdateProtocol, UnpluggedInstrumentStopsTheTransferQuickly) {
    uint32_t id = sim.addDevice(0, "Lumetra");
    Bytes file;
    for (uint8_t i = 0; i < 200; ++i) {
        Bytes m = dataMessage(i);
        file.insert(file.end(), m.begin(), m.end());
    }
    load(file);
    sim.setCompletionDelay(2);
    std::thread unplug([&] {
        waitFor([&] { return sim.sentCount() >= 50; }, 5000);
        sim.removeDevice(id);
    });
    UpdaterDev device;
    Stopwatch watch;
    MIDI::Output* port = run(device);
    unplug.join();
    EXPECT_EQ(result, kUpdateIncomplete);
    EXPECT_LT(watch.ms(), 5000);
    size_t sent = longMessagesSent().size();
    EXPECT_GE(sent, 50u);
    EXPECT_LT(sent, 200u);
    if (port) port->release();
}

TEST_F(UpdateProtocol, CompletionsThatStopComingEndWithIncomplete) {
    sim.addDevice(0, "Lumetra");
    Bytes file;
    for (uint8_t i = 0; i < 5; ++i) {
        Bytes m = dataMessage(i);
        file.insert(file.end(), m.begin(), m.end());
    }
    load(file);
    sim.holdCompletions(1);
    UpdaterDev device;
    Stopwatch watch;
    MIDI::Output* port = run(device);
    EXPECT_EQ(result, kUpdateIncomplete);
    EXPECT_LT(watch.ms(), 6000);  // bounded by the retry window, not by the file
    EXPECT_EQ(longMessagesSent().size(), 1u);
    sim.holdCompletions(0);
    if (port) port->release();
}

TEST_F(UpdateProtocol, LastMessageMustCompleteBeforeSuccess) {
    sim.addDevice(0, "Lumetra");
    load(dataMessage(3));
    sim.setCompletionDelay(300);
    UpdaterDev device;
    MIDI::Output* port = run(device);
    EXPECT_EQ(result, kUpdateCompleted);  // flush waited for the completion
    port->release();

    sim.reset();
    sim.addDevice(0, "Lumetra");
    load(dataMessage(4));
    sim.holdCompletions(1);
    port = run(device);
    EXPECT_EQ(result, kUpdateIncomplete);  // handed over, but never completed
    sim.holdCompletions(0);
    if (port) port->release();
}

TEST_F(UpdateProtocol, UnterminatedMessageAtTheEndIsAHole) {
    sim.addDevice(0, "Lumetra");
    Bytes file = dataMessage(1);
    file.insert(file.end(), {0xF0, 0x01, 0x02});
    load(file);
    UpdaterDev device;
    MIDI::Output* port = run(device);
    EXPECT_EQ(result, kUpdateIncomplete);
    EXPECT_EQ(longMessagesSent().size(), 1u);
    if (port) port->release();

    load({0xF0, 0x01, 0xF7, 0x00, 0x00});  // stray bytes without F0 are no hole
    port = run(device);
    EXPECT_EQ(result, kUpdateCompleted);
    if (port) port->release();
}

TEST_F(UpdateProtocol, MessageLongerThanThePortBufferStopsTheTransfer) {
    sim.addDevice(0, "Lumetra");
    Bytes big(5000, 0x10);
    big.front() = 0xF0;
    big.back() = 0xF7;
    Bytes file = dataMessage(1);
    file.insert(file.end(), big.begin(), big.end());
    Bytes after = dataMessage(2);
    file.insert(file.end(), after.begin(), after.end());
    load(file);
    UpdaterDev device;
    Stopwatch watch;
    MIDI::Output* port = run(device);
    EXPECT_EQ(result, kUpdateIncomplete);
    EXPECT_LT(watch.ms(), 1000);  // no retries for what can never fit
    EXPECT_EQ(longMessagesSent().size(), 1u);
    if (port) port->release();
}

// The port's limit is on the rebuilt message: status bytes that the rebuild leaves out do
// not count, the bytes before its F0 neither.
TEST_F(UpdateProtocol, PortLimitCountsTheRebuiltMessageNotTheRun) {
    ASSERT_NE(sim.addDevice(0, "Lumetra"), 0u);
    Bytes fits(4352, 0x10);
    fits.front() = 0xF0;
    fits.back() = 0xF7;
    Bytes file = {0x01, 0x02};  // before the F0: not part of the message
    file.insert(file.end(), fits.begin(), fits.end() - 1);
    file.insert(file.end(), {0xF8, 0xFE, 0x80});  // left out by the rebuild
    file.push_back(0xF7);
    Bytes over = fits;
    over.insert(over.end() - 1, 0x10);
    file.insert(file.end(), over.begin(), over.end());
    load(file);
    UpdaterDev device;
    DebugCapture capture;
    MIDI::Output* port = run(device);
    EXPECT_EQ(result, kUpdateIncomplete);
    // The stop does not wait for the message before it: its bytes are read as it leaves the port.
    EXPECT_TRUE(waitFor([&] { return sim.sentCount() > 0 && sentRecord(0).outcome != SimWinmmOutcomeQueued; }, 10000));
    ASSERT_EQ(longMessagesSent().size(), 1u);
    EXPECT_EQ(longMessagesSent()[0], fits);
    EXPECT_TRUE(capture.contains("RIR: rvoVirize: a message of 4353 bytes does not fit the port\n"));
    if (port) port->release();
}

TEST_F(UpdateProtocol, StartMessageMustEndAtByte14) {
    sim.addDevice(0, "Lumetra");
    Bytes start = startMessage();
    start.insert(start.end() - 1, 0x09);  // 16 bytes: byte 14 is not the F7
    load(start);
    DebugCapture capture;
    UpdaterDev device;
    MIDI::Output* port = run(device);
    EXPECT_TRUE(capture.contains("RIR: WriteSysex - invalid packet. len = 15, (start=f0, end=09)\n"));
    EXPECT_EQ(zephWriteCount(), 1);  // only the status request
    if (port) port->release();

    // A start message that ends before byte 14 has no end byte to show.
    Bytes shortStart(start.begin(), start.begin() + 9);
    shortStart.push_back(0xF7);
    load(shortStart);
    capture.clear();
    reinterpret_cast<SimZephResetFn>(GetProcAddress(zeph, "SimZeph_Reset"))();
    port = run(device);
    EXPECT_TRUE(capture.contains("RIR: WriteSysex - invalid packet. len = 15, (start=f0, end=none)\n"))
        << capture.text();
    EXPECT_EQ(zephWriteCount(), 0);
    if (port) port->release();
}

// The device list changes between the scan and the open: the index the scan matched then
// names another device. That try finds no port; a later one finds the instrument.
TEST_F(UpdateProtocol, DeviceChangingBeforeTheOpenNeverGetsTheFirmware) {
    const struct {
        const char* what;
        std::vector<const char*> devices;  // the instrument is the second
        bool remove;                       // the first device goes, else one comes before it
    } cases[] = {
        {"inserted", {"Other Synth", "Lumetra"}, false},
        {"removed", {"Other Synth", "Lumetra", "Spare Synth"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim.reset();
        std::vector<uint32_t> ids;
        for (const char* name : c.devices) ids.push_back(sim.addDevice(0, name));
        const uint32_t intruder = sim.scheduleChange(SimWinmmAtOpen, 1, c.remove, ids[0], "Intruder");
        ASSERT_NE(intruder, 0u);
        std::vector<Bytes> data = {dataMessage(1), dataMessage(2), dataMessage(3)};
        Bytes file;
        for (const Bytes& m : data) file.insert(file.end(), m.begin(), m.end());
        load(file);
        DebugCapture capture;
        UpdaterDev device;
        MIDI::Output* port = run(device);
        ASSERT_NE(port, nullptr);
        port->release();
        EXPECT_EQ(result, kUpdateCompleted);
        std::vector<Bytes> delivered;
        for (uint32_t i = 0; i < sim.sentCount(); ++i) {
            SimWinmmSent record = {};
            Bytes bytes = sentBytes(i, &record);
            if (record.kind != SimWinmmSentLong) continue;
            EXPECT_EQ(record.deviceId, ids[1]) << "a message went to " << record.deviceName;
            delivered.push_back(bytes);
        }
        EXPECT_EQ(delivered, data);
        EXPECT_TRUE(capture.contains("not the instrument")) << capture.text();
    }
}

Bytes fileOf(const std::vector<Bytes>& messages, bool withStart) {
    Bytes file = withStart ? startMessage() : Bytes();
    for (const Bytes& m : messages) file.insert(file.end(), m.begin(), m.end());
    return file;
}

// A USB driver hands a removed device's queued messages back as done, whatever was
// played: the last completion alone does not say the last message arrived.
TEST_F(UpdateProtocol, InstrumentUnpluggedWhileTheLastMessagePlaysIsNotCompleted) {
    const uint32_t id = sim.addDevice(0, "Lumetra");
    sim.setWireSpeed(id, 3125);
    ASSERT_EQ(sim.unplugDuring(id, 3, 20), 1);
    load(fileOf({dataMessage(1), dataMessage(2), dataMessage(3)}, false));
    DebugCapture capture;
    UpdaterDev device;
    MIDI::Output* port = run(device);
    EXPECT_EQ(result, kUpdateIncomplete);
    EXPECT_TRUE(capture.contains("the instrument's port went away during the last message")) << capture.text();
    ASSERT_EQ(sim.sentCount(), 3u);
    EXPECT_EQ(sentRecord(2).outcome, SimWinmmOutcomeUnplugged);
    if (port) port->release();
    EXPECT_EQ(sim.openHandleCount(), 0u);
}

// Several outputs named like the instrument: the firmware goes only to the one the start
// message brought back, and to none when that cannot be told.
TEST_F(UpdateProtocol, WithSeveralInstrumentsOnlyTheNewOneIsUpdated) {
    const struct {
        const char* what;
        std::vector<const char*> before;  // outputs present before the start message
        const char* arrives;              // what the start message brings (null: nothing)
        int32_t result;
    } cases[] = {
        {"a second instrument beside the one restarted", {"Lumetra", "Other Synth"}, "2- Lumetra", kUpdateCompleted},
        {"one left in its update mode", {"Lumetra"}, "Lumetra Update", kUpdateCompleted},
        {"two and none new", {"Lumetra", "2- Lumetra"}, nullptr, kUpdateNoPort},
        {"two alike and one more alike", {"Lumetra", "Lumetra"}, "Lumetra", kUpdateNoPort},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim.reset();
        reinterpret_cast<SimZephResetFn>(GetProcAddress(zeph, "SimZeph_Reset"))();
        for (const char* name : c.before) sim.addDevice(0, name);
        _putenv(c.arrives ? "CARROWICK_SIMZEPH_LUMETRA_DELAY_MS=0" : "CARROWICK_SIMZEPH_LUMETRA_DELAY_MS=-1");
        _putenv((std::string("CARROWICK_SIMZEPH_LUMETRA_NAME=") + (c.arrives ? c.arrives : "")).c_str());
        const std::vector<Bytes> data = {dataMessage(1), dataMessage(2)};
        load(fileOf(data, true));
        DebugCapture capture;
        UpdaterDev device;
        MIDI::Output* port = run(device);
        EXPECT_EQ(result, c.result);
        std::vector<Bytes> delivered;
        for (uint32_t i = 0; i < sim.sentCount(); ++i) {
            SimWinmmSent record = {};
            Bytes bytes = sentBytes(i, &record);
            if (record.kind != SimWinmmSentLong) continue;
            EXPECT_STREQ(record.deviceName, c.arrives) << "a message went to another instrument";
            delivered.push_back(bytes);
        }
        EXPECT_EQ(delivered, c.result == kUpdateCompleted ? data : std::vector<Bytes>());
        if (c.result == kUpdateNoPort) {
            EXPECT_TRUE(capture.contains("are named like the instrument")) << capture.text();
        }
        if (port) port->release();
    }
    _putenv("CARROWICK_SIMZEPH_LUMETRA_DELAY_MS=-1");
    _putenv("CARROWICK_SIMZEPH_LUMETRA_NAME=");
}

// A device that leaves in the middle of a look moves the outputs after it down, past the
// look: of two instruments it would see only one, and take it. The list is read again until
// two readings agree, and two alike with none new get nothing.
TEST_F(UpdateProtocol, AListThatChangesDuringALookIsReadAgain) {
    const uint32_t other = sim.addDevice(0, "Other Synth");
    sim.addDevice(0, "Lumetra");
    sim.addDevice(0, "Lumetra B");
    // The snapshot before the start message reads the three names twice; the first look's
    // second query then finds the first device gone.
    ASSERT_NE(sim.scheduleChange(SimWinmmAtCaps, 8, 1, other, ""), 0u);
    load(fileOf({dataMessage(1)}, false));
    DebugCapture capture;
    UpdaterDev device;
    MIDI::Output* port = run(device);
    EXPECT_EQ(result, kUpdateNoPort);
    EXPECT_EQ(sim.sentCount(), 0u) << "a message went to one of the two";
    EXPECT_TRUE(capture.contains("2 outputs are named like the instrument")) << capture.text();
    if (port) port->release();
}

class ThrowingProgress : public ProgressSink {
public:
    long setProgress(uint32_t position, uint32_t, uint32_t, uint32_t) override {
        if (position == 1) throw 42;  // not a std::exception
        return 0;
    }
};

// Something behind the worker's barrier throws once the port is open: the port is released
// (WinMM ports are exclusive: a lost one refuses every later open) and the update is not
// completed.
TEST_F(UpdateProtocol, PortOpenedBeforeAnExceptionIsReleased) {
    sim.addDevice(0, "Lumetra");
    load(fileOf({dataMessage(1), dataMessage(2)}, false));
    ThrowingProgress throwing;
    UpdaterDev device;
    MIDI::Output* port = guardedUpdate(image, device, throwing, deviceManager(), &result, timing);
    EXPECT_EQ(port, nullptr);
    EXPECT_EQ(result, kUpdateIncomplete);
    EXPECT_EQ(sim.openHandleCount(), 0u) << "the port was left open";
}

}  // namespace

// The device manager as the instrument search sees it: names per port, and how often each
// query was made (each one walks every driver filter on a real manager).
class CountingManager : public VeltroDeviceList {
public:
    explicit CountingManager(std::vector<std::string> names) : names_(std::move(names)) {}
    std::string getPortName(uint32_t index) override { return names_.at(index); }
    uint32_t getPortCount() override {
        ++counts;
        return static_cast<uint32_t>(names_.size());
    }
    std::string getTypeName(uint32_t index) override {
        ++typeNames;
        return names_.at(index);
    }
    MIDI::Output* openOutput(uint32_t) override { return nullptr; }
    MIDI::Input* openInput(uint32_t) override { return nullptr; }

    int counts = 0;
    int typeNames = 0;

private:
    std::vector<std::string> names_;
};

class EnumeratingManager : public CountingManager {
public:
    using CountingManager::CountingManager;
    std::vector<std::string> getTypeNames() override {
        ++enumerations;
        if (fail) throw GeneralError("device gone");
        return CountingManager::getTypeNames();
    }
    int enumerations = 0;
    bool fail = false;
};

// An output of the manager that keeps what it was sent.
class RecordingOutput : public AcceptingOutput {
public:
    bool sendSysex(MIDI::SysexMessage& message) override {
        sent.push_back(message.bytes);
        return true;
    }
    std::vector<Bytes> sent;
};

// A WinMM output arrives while the manager enumerates its ports; the ports are opened by
// the index the enumeration gave them.
class ArrivalDuringEnumeration : public EnumeratingManager {
public:
    ArrivalDuringEnumeration(std::vector<std::string> names, SimWinmmControl& sim)
        : EnumeratingManager(std::move(names)), sim_(sim) {}
    std::vector<std::string> getTypeNames() override {
        sim_.addDevice(0, "New Synth");
        return EnumeratingManager::getTypeNames();
    }
    MIDI::Output* openOutput(uint32_t index) override {
        opened.push_back(index);
        auto* port = new RecordingOutput();
        port->addRef();  // one reference stays here to read what it was sent
        ports.push_back(port);
        return port;
    }
    ~ArrivalDuringEnumeration() override {
        for (RecordingOutput* port : ports) port->release();
    }
    std::vector<uint32_t> opened;
    std::vector<RecordingOutput*> ports;

private:
    SimWinmmControl& sim_;
};

class InstrumentSearch : public SimWinmmTest {
protected:
    void TearDown() override {
        setDeviceManager(nullptr);
        SimWinmmTest::TearDown();
    }
};

TEST_F(InstrumentSearch, ManagerPortsAreNamedByOneEnumerationPerScan) {
    sim.addDevice(0, "Wavetable");
    sim.addDevice(0, "Other Synth");
    EnumeratingManager manager({"XR MkII", "Quarvel", "Lumetra Hidden", "Dusker"});
    setDeviceManager(&manager);
    EXPECT_TRUE(outputNamedLikeInstrumentExists());
    EXPECT_EQ(manager.enumerations, 1);
    // The base class builds the list from the count and the names, once each.
    EXPECT_EQ(manager.counts, 1);
    EXPECT_EQ(manager.typeNames, 4);
}

TEST_F(InstrumentSearch, DefaultNameListFollowsTheIndexOrder) {
    CountingManager manager({"a", "b", "Lumetra"});
    EXPECT_EQ(manager.getTypeNames(), (std::vector<std::string>{"a", "b", "Lumetra"}));
    EXPECT_EQ(manager.counts, 1);
    EXPECT_EQ(manager.typeNames, 3);
}

TEST_F(InstrumentSearch, WinmmOutputIsFoundBeforeTheManagerIsAsked) {
    sim.addDevice(0, "Lumetra");
    EnumeratingManager manager({"Lumetra Hidden"});
    setDeviceManager(&manager);
    EXPECT_TRUE(outputNamedLikeInstrumentExists());
    EXPECT_EQ(manager.enumerations, 0);
}

TEST_F(InstrumentSearch, NoMatchAndFailingEnumerationFindNothing) {
    sim.addDevice(0, "Wavetable");
    EnumeratingManager manager({"XR MkII", "Stroma 25 (Faders)"});
    setDeviceManager(&manager);
    EXPECT_FALSE(outputNamedLikeInstrumentExists());
    manager.fail = true;
    EXPECT_FALSE(outputNamedLikeInstrumentExists());
    EXPECT_EQ(manager.enumerations, 2);
}

namespace {

class ManagerPortSearch : public UpdateProtocol {
protected:
    void TearDown() override {
        setDeviceManager(nullptr);
        UpdateProtocol::TearDown();
    }
};

TEST_F(ManagerPortSearch, ManagerPortIsOpenedByItsOwnIndex) {
    sim.addDevice(0, "Other Synth");
    ArrivalDuringEnumeration manager({"Stroma 25", "Lumetra"}, sim);
    setDeviceManager(&manager);
    std::vector<Bytes> data = {dataMessage(4), dataMessage(5)};
    Bytes file;
    for (const Bytes& m : data) file.insert(file.end(), m.begin(), m.end());
    load(file);
    UpdaterDev device;
    MIDI::Output* port = rvoVirize(image, device, progress, &manager, &result, timing);
    ASSERT_NE(port, nullptr);
    port->release();
    EXPECT_EQ(result, kUpdateCompleted);
    ASSERT_EQ(manager.opened, std::vector<uint32_t>{1});
    EXPECT_EQ(manager.ports[0]->sent, data);
}

}  // namespace
