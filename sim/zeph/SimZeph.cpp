// The simulated Zeph library, as harsh as a real one: offers the instruments of its device
// list (the Lumetra is device 30), records what is written to it, answers the status
// request in chunks cut anywhere with any real-time byte mixed in, sends active sensing
// unasked from the moment an input opens, opens each port once at a time, and reboots the
// instrument after the start message (its ports go dead, it is offered again later, and
// every live connection is called back from a thread of the library each time, or on the
// caller's thread from inside a call when the reboot happens inside one).
//
// Objects handed out are never freed: destroying one marks it dead, so a later call
// through it (or a second destroy, or a destroy while a call on it is in progress) is
// caught and recorded as a violation.
//
// Threads: each input port delivers on a thread of its own and its destroy joins it.
// ZEPHDestroy waits for the callbacks of that connection in flight, so no callback
// follows it. Shared state is under g_mutex; callbacks are made without it.

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "sim/zeph/LibraryThread.h"
#include "sim/zeph/SimZephControl.h"
#include "sim/zeph/WinmmLink.h"
#include "sim/zeph/ZephContract.h"

namespace {

using Bytes = std::vector<uint8_t>;

const int kInstrument = 30;
// How long a destroy waits for a callback or delivery in flight before calling it a deadlock.
const auto kDeadlockWait = std::chrono::seconds(10);

int envInt(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::atoi(value) : fallback;
}

std::string envText(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

struct Entry {
    bool null;
    int number, inputs, outputs;
};

// "number:inputs:outputs" or "null", comma-separated; false when malformed.
bool parseDevices(const std::string& text, std::vector<Entry>& entries) {
    std::vector<Entry> parsed;
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find(',', at);
        if (end == std::string::npos) end = text.size();
        std::string item = text.substr(at, end - at);
        Entry entry = {item == "null", 0, 0, 0};
        int used = 0;
        if (!entry.null && (std::sscanf(item.c_str(), "%d:%d:%d%n", &entry.number, &entry.inputs, &entry.outputs, &used) != 3 ||
                            used != static_cast<int>(item.size()) || entry.inputs < 0 || entry.outputs < 0))
            return false;
        parsed.push_back(entry);
        at = end + 1;
    }
    entries = parsed;
    return true;
}

class SimConnection;
class SimPort;
class SimInput;

// When CARROWICK_SIMZEPH_REBOOT_INSIDE names the call, the instrument reboots inside it once.
void rebootIfInside(const char* call, int number);

std::mutex g_mutex;
std::condition_variable g_changed;  // a callback in flight has ended
std::vector<Bytes> g_writes;
int g_created[SimZephKinds], g_destroyed[SimZephKinds], g_serial[SimZephKinds];
int g_openPorts = 0, g_deliveries = 0, g_inputsSinceReset = 0;
unsigned g_resetEpoch = 0;
std::vector<std::string> g_events, g_violations;
std::vector<SimConnection*> g_connections;  // not yet destroyed
std::vector<SimPort*> g_ports;              // not yet destroyed
std::set<int> g_down;                       // instruments rebooting
bool g_devicesSet = false;
std::vector<Entry> g_devices;
SimConnection* g_newest = nullptr;

bool g_rebootedInside = false;  // the one reboot of CARROWICK_SIMZEPH_REBOOT_INSIDE happened

thread_local bool t_libraryThread = false;
thread_local std::vector<const SimConnection*> t_callingBack;

void capture(const std::string& line) {
    std::string path = envText("CARROWICK_SIMZEPH_CAPTURE", "");
    if (path.empty()) return;
    FILE* file = std::fopen(path.c_str(), "a");
    if (!file) return;
    std::fprintf(file, "%s\n", line.c_str());
    std::fclose(file);
}

// The callers hold g_mutex. Events also go to the capture file with their tick, so a
// test of a separate process can time them.
void event(const std::string& text) {
    g_events.push_back(text);
    capture("@" + std::to_string(GetTickCount()) + " " + text);
}
void violation(const std::string& text) {
    g_violations.push_back(text);
    capture("! " + text);
    OutputDebugStringA(("SimZeph violation: " + text + "\n").c_str());
}

// What every object handed out has: a name for the logs, and death instead of freeing.
class Life {
public:
    Life(SimZephKind kind, const char* what) : kind_(kind) {
        std::lock_guard<std::mutex> guard(g_mutex);
        name_ = std::string(what) + " #" + std::to_string(++g_serial[kind]);
        ++g_created[kind];
    }
    const std::string& name() const { return name_; }
    SimZephKind kind() const { return kind_; }
    bool aliveLocked() const { return alive_; }

protected:
    // Marks a call in progress on the object for as long as it lasts: a real library frees
    // the object on destroy, under the feet of the call.
    class InCall {
    public:
        explicit InCall(Life& life) : life_(life) {
            std::lock_guard<std::mutex> guard(g_mutex);
            ++life_.callsInProgress_;
        }
        ~InCall() {
            std::lock_guard<std::mutex> guard(g_mutex);
            --life_.callsInProgress_;
        }
        InCall(const InCall&) = delete;
        InCall& operator=(const InCall&) = delete;

    private:
        Life& life_;
    };

    // True when the object may still be called; records the call otherwise. Holds g_mutex.
    bool usableLocked(const char* call) {
        if (alive_) return true;
        violation(std::string(call) + " on destroyed " + name_);
        return false;
    }
    bool usable(const char* call) {
        std::lock_guard<std::mutex> guard(g_mutex);
        return usableLocked(call);
    }
    // Marks the object dead; false (recorded) when it already was. Holds g_mutex.
    bool dieLocked(unsigned flags) {
        if (!usableLocked("destroy")) return false;
        if (!(flags & 1)) violation("destroy without freeing (flags " + std::to_string(flags) + ") of " + name_);
        if (callsInProgress_) violation(name_ + " destroyed while a call on it was in progress");
        alive_ = false;
        ++g_destroyed[kind_];
        return true;
    }
    void checkProgramThread() {
        if (t_libraryThread) violation(name_ + " destroyed on a thread of the library");
    }

    bool alive_ = true;

private:
    SimZephKind kind_;
    std::string name_;
    int callsInProgress_ = 0;  // under g_mutex
};

class SimPort : public Life {
public:
    SimPort(SimZephKind kind, const char* what, int number) : Life(kind, what), number_(number) {
        std::lock_guard<std::mutex> guard(g_mutex);
        g_ports.push_back(this);
        ++g_openPorts;
        event("open " + name() + " of device " + std::to_string(number));
    }
    int number() const { return number_; }
    // The instrument behind the port rebooted. Holds g_mutex.
    virtual void goDeadLocked() { dead_ = true; }
    // A port of the instrument is open once at a time, as a driver's handle is: until it is
    // destroyed (dead or not), a second open is refused. Holds g_mutex.
    static bool inUseLocked(SimZephKind kind, int number) {
        for (SimPort* port : g_ports)
            if (port->kind() == kind && port->number() == number) return true;
        return false;
    }

protected:
    // Marks the port closed. Holds g_mutex.
    bool closeLocked(unsigned flags) {
        if (!dieLocked(flags)) return false;
        checkProgramThread();
        for (size_t i = 0; i < g_ports.size(); ++i)
            if (g_ports[i] == this) g_ports.erase(g_ports.begin() + static_cast<long>(i));
        --g_openPorts;
        event("destroy " + name());
        return true;
    }

    bool dead_ = false;  // under g_mutex

private:
    int number_;
};

class SimInput final : public zeph::Input, public SimPort {
public:
    explicit SimInput(int number) : SimPort(SimZephInputs, "input", number) {
        int serial;
        {
            std::lock_guard<std::mutex> guard(g_mutex);
            serial = ++g_inputsSinceReset;
        }
        // Each port its own sequence, the same in every run with the same seed.
        std::seed_seq seed{envInt("CARROWICK_SIMZEPH_SEED", 14), serial};
        random_.seed(seed);
        thread_ = startLibraryThread([this] { run(); }, &threadId_);
        if (!thread_) {
            std::lock_guard<std::mutex> guard(g_mutex);
            violation(name() + ": no delivery thread could be started");
        }
    }

    void* ZEPH_MEMBER destroy(unsigned flags) override {
        bool ownThread = threadId_ == GetCurrentThreadId();
        {
            std::lock_guard<std::mutex> guard(g_mutex);
            if (!closeLocked(flags)) return nullptr;
            // A real library joins here and would wait for itself forever.
            if (ownThread) violation(name() + " destroyed on its own delivery thread");
        }
        std::unique_lock<std::mutex> lock(mutex_);
        stop_ = true;
        wake_.notify_all();
        bool finished = !thread_ || (!ownThread && wake_.wait_for(lock, kDeadlockWait, [this] { return finished_; }));
        lock.unlock();
        if (thread_) {
            if (finished) WaitForSingleObject(thread_, INFINITE);
            CloseHandle(thread_);
            thread_ = nullptr;
        }
        if (!finished && !ownThread) {
            std::lock_guard<std::mutex> guard(g_mutex);
            violation(name() + " destroy waited in vain for its delivery: deadlock");
        }
        return this;
    }
    int ZEPH_MEMBER unused2() override {
        usable("unused slot 2");
        return 0;
    }
    void ZEPH_MEMBER setReceiveCallback(zeph::ReceiveCallback callback, void* context) override {
        InCall inCall(*this);
        if (!usable("setReceiveCallback")) return;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            callback_ = callback;
            context_ = context;
            wake_.notify_all();
        }
        rebootIfInside("setReceiveCallback", number());
    }

    void goDeadLocked() override {
        SimPort::goDeadLocked();
        std::lock_guard<std::mutex> guard(mutex_);
        queue_.clear();
    }
    bool liveLocked() const { return alive_ && !dead_; }

    // Delivers on the caller's thread before returning, as a quick library may.
    void deliverNow(const Bytes& bytes) {
        zeph::ReceiveCallback callback;
        void* context;
        std::vector<Bytes> chunks;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            callback = callback_;
            context = context_;
            chunks = cut(bytes);
        }
        if (callback) send(chunks, callback, context);
        std::lock_guard<std::mutex> guard(g_mutex);
        ++g_deliveries;
    }
    void deliver(const Bytes& bytes) {
        std::lock_guard<std::mutex> guard(mutex_);
        queue_.push_back(bytes);
        wake_.notify_all();
    }

private:
    // Active sensing is due from the moment the port opens; it waits only for a callback.
    void run() {
        t_libraryThread = true;
        const int sensingMs = envInt("CARROWICK_SIMZEPH_SENSING_MS", 300);
        if (sensingMs >= 0) nextSensing_ = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            auto ready = [&] { return stop_ || (callback_ && (!queue_.empty() || (sensingMs >= 0 && sensingDue()))); };
            if (sensingMs >= 0 && callback_)
                wake_.wait_until(lock, nextSensing_, ready);
            else
                wake_.wait(lock, ready);
            if (stop_) break;
            if (!callback_) continue;
            zeph::ReceiveCallback callback = callback_;
            void* context = context_;
            std::vector<Bytes> chunks;
            if (!queue_.empty()) {
                chunks = cut(queue_.front());
                queue_.pop_front();
            }
            lock.unlock();
            if (chunks.empty()) {
                senseIfDue(callback, context, sensingMs);
            } else {
                send(chunks, callback, context, sensingMs);
                std::lock_guard<std::mutex> guard(g_mutex);
                ++g_deliveries;
            }
            lock.lock();
        }
        finished_ = true;
        wake_.notify_all();
    }

    bool sensingDue() const {
        return nextSensing_ != std::chrono::steady_clock::time_point() && std::chrono::steady_clock::now() >= nextSensing_;
    }
    // One FE on its own, between any two chunks; only on the delivery thread.
    void senseIfDue(zeph::ReceiveCallback callback, void* context, int sensingMs) {
        if (sensingMs < 0 || !sensingDue()) return;
        nextSensing_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(sensingMs > 0 ? sensingMs : 1);
        if (!stillLive()) return;
        static const uint8_t kSensing = 0xFE;
        callback(&kSensing, 1, context);
    }

    // MIDI allows real-time bytes anywhere, also inside a SysEx; a driver hands on
    // whatever arrived, cut anywhere. Holds mutex_.
    // Every delivery of two bytes or more gets a real-time byte between its first and its
    // last byte and comes in two pieces at least, so no seed makes it clean.
    std::vector<Bytes> cut(const Bytes& bytes) {
        Bytes stream;
        size_t first = 0;
        bool mixed = false;
        for (size_t i = 0; i < bytes.size(); ++i) {
            if (random_() % 6 == 0) {
                stream.push_back(realTime());
                mixed |= i > 0;
            }
            if (i == 0) first = stream.size();
            stream.push_back(bytes[i]);
        }
        if (!mixed && bytes.size() > 1)
            stream.insert(stream.begin() + static_cast<long>(first + 1 + random_() % (stream.size() - 1 - first)), realTime());
        std::vector<Bytes> chunks;
        for (size_t at = 0; at < stream.size();) {
            size_t n = 1 + random_() % 64;
            if (n > stream.size() - at) n = stream.size() - at;
            if (at == 0 && n == stream.size() && n > 1) n = 1 + random_() % (n - 1);
            chunks.emplace_back(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + n));
            at += n;
        }
        return chunks;
    }

    // Clock, start, continue, stop, active sensing, reset: any of them, anywhere.
    uint8_t realTime() {
        static const uint8_t kRealTime[] = {0xF8, 0xFA, 0xFB, 0xFC, 0xFE, 0xFF};
        return kRealTime[random_() % sizeof kRealTime];
    }

    bool stillLive() {
        {
            std::lock_guard<std::mutex> guard(g_mutex);
            if (dead_) return false;
        }
        std::lock_guard<std::mutex> guard(mutex_);
        return !stop_;
    }

    // sensingMs < 0: on a thread other than the delivery thread, which owns the sensing.
    void send(const std::vector<Bytes>& chunks, zeph::ReceiveCallback callback, void* context, int sensingMs = -1) {
        for (const Bytes& chunk : chunks) {
            senseIfDue(callback, context, sensingMs);
            if (!stillLive()) return;
            callback(chunk.data(), static_cast<int>(chunk.size()), context);
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Bytes> queue_;
    std::mt19937 random_;
    zeph::ReceiveCallback callback_ = nullptr;
    void* context_ = nullptr;
    bool stop_ = false, finished_ = false;
    std::chrono::steady_clock::time_point nextSensing_;  // the delivery thread's; epoch: never
    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
};

// Queues bytes for every live input of the instrument (any instrument: number < 0).
void deliverToInputs(const Bytes& bytes, int number) {
    std::lock_guard<std::mutex> guard(g_mutex);
    for (SimPort* port : g_ports) {
        SimInput* input = dynamic_cast<SimInput*>(port);
        if (input && input->liveLocked() && (number < 0 || input->number() == number)) input->deliver(bytes);
    }
}

// On the writer's thread; the inputs are never freed, so a concurrent destroy is harmless.
void deliverToInputsNow(const Bytes& bytes, int number) {
    std::vector<SimInput*> inputs;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        for (SimPort* port : g_ports) {
            SimInput* input = dynamic_cast<SimInput*>(port);
            if (input && input->liveLocked() && input->number() == number) inputs.push_back(input);
        }
    }
    for (SimInput* input : inputs) input->deliverNow(bytes);
}

bool isStatusRequest(const unsigned char* bytes, int length) {
    static const uint8_t request[14] = {0xF0, 0x00, 0x7A, 0x51, 0x03, 0x01, 0x7F, 0x60, 0x21, 0x00, 0x00, 0x00, 0x00, 0xF7};
    return length == 14 && std::memcmp(bytes, request, 14) == 0;
}

bool isStartMessage(const unsigned char* bytes, int length) { return length == 15 && bytes[5] == 0x71; }

void callBack(SimConnection* connection, const char* why, bool evenWhileDestroying);
void callEveryConnection(const char* why);
void triggerRebind(bool wait);
void reboot(int number, const char* inside);

void rebootIfInside(const char* call, int number) {
    if (envText("CARROWICK_SIMZEPH_REBOOT_INSIDE", "") != call) return;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        if (g_rebootedInside) return;
        g_rebootedInside = true;
    }
    reboot(number, call);
}

// The instrument restarts: its ports die at once, every connection hears of it (from a
// thread of the library, or on the caller's thread when the reboot happens inside a call),
// and it is offered again after CARROWICK_SIMZEPH_BACK_MS (or never).
void reboot(int number, const char* inside) {
    int backMs = envInt("CARROWICK_SIMZEPH_BACK_MS", 1000);
    unsigned epoch;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        g_down.insert(number);
        for (SimPort* port : g_ports)
            if (port->number() == number) port->goDeadLocked();
        event("reboot device " + std::to_string(number) + (inside ? std::string(" inside ") + inside : ""));
        epoch = g_resetEpoch;
    }
    if (inside) callEveryConnection((std::string("reboot inside ") + inside).c_str());
    const bool started = runDetached([number, backMs, epoch, inside] {
        t_libraryThread = true;
        if (!inside) callEveryConnection("reboot");
        if (backMs < 0) return;
        Sleep(static_cast<DWORD>(backMs));
        {
            std::lock_guard<std::mutex> guard(g_mutex);
            if (epoch != g_resetEpoch) return;
            g_down.erase(number);
            event("back device " + std::to_string(number));
        }
        callEveryConnection("back");
    });
    if (!started) {
        std::lock_guard<std::mutex> guard(g_mutex);
        violation("no thread could be started for the reboot");
    }
}

class SimOutput final : public zeph::Output, public SimPort {
public:
    explicit SimOutput(int number) : SimPort(SimZephOutputs, "output", number) {}
    void* ZEPH_MEMBER destroy(unsigned flags) override {
        std::lock_guard<std::mutex> guard(g_mutex);
        return closeLocked(flags) ? this : nullptr;
    }
    int ZEPH_MEMBER unused2() override {
        usable("unused slot 2");
        return 0;
    }
    int ZEPH_MEMBER writeSysex(const unsigned char* bytes, int length) override {
        InCall inCall(*this);
        Bytes copy;
        {
            std::lock_guard<std::mutex> guard(g_mutex);
            if (!usableLocked("writeSysex") || !bytes || length <= 0) return 0;
            if (dead_) {
                event("dead write " + name());
                return 0;
            }
            copy.assign(bytes, bytes + length);
            g_writes.push_back(copy);
            // The system's tick count, so a test can measure from the write itself.
            std::string line = std::to_string(GetTickCount());
            char hex[4];
            for (uint8_t b : copy) {
                std::snprintf(hex, sizeof hex, " %02x", b);
                line += hex;
            }
            capture(line);
        }
        int writeMs = envInt("CARROWICK_SIMZEPH_WRITE_MS", 0);
        rebootIfInside("writeSysex", number());
        if (isStartMessage(bytes, length)) {
            reboot(number(), nullptr);
            if (envInt("CARROWICK_SIMZEPH_REBIND_ON_START", 0)) {
                triggerRebind(false);
                if (writeMs < 200) writeMs = 200;  // the rebind arrives while this write is in progress
            }
            int delay = envInt("CARROWICK_SIMZEPH_LUMETRA_DELAY_MS", 1000);
            if (delay >= 0)
                announceInstrument(envText("CARROWICK_SIMZEPH_LUMETRA_NAME", "Lumetra"), delay,
                                   static_cast<uint32_t>(envInt("CARROWICK_SIMZEPH_LUMETRA_RATE", 48000)));
        }
        if (writeMs > 0) Sleep(static_cast<DWORD>(writeMs));
        if (isStatusRequest(bytes, length)) {
            // Status: byte 7 0x20, code 0x01000105 (0x105 with byte 8 = 0), bit 11 set.
            Bytes answer{0xF0, 0x00, 0x7A, 0x51, 0x03, 0x01, 0x7F, 0x20, 0x00, 0x01, 0x05, 0x01, 0x00, 0xF7};
            if (envInt("CARROWICK_SIMZEPH_ANSWER_AT_ONCE", 0))
                deliverToInputsNow(answer, number());
            else
                deliverToInputs(answer, number());
        }
        return length;
    }
};

class SimDevice final : public zeph::Device, public Life {
public:
    explicit SimDevice(const Entry& entry) : Life(SimZephDevices, "device"), entry_(entry) {}
    void* ZEPH_MEMBER destroy(unsigned flags) override {
        {
            std::lock_guard<std::mutex> guard(g_mutex);
            if (!dieLocked(flags)) return nullptr;
        }
        rebootIfInside("deviceDestroy", entry_.number);
        return this;
    }
    int ZEPH_MEMBER unused2() override {
        usable("unused slot 2");
        return 0;
    }
    int ZEPH_MEMBER unused3() override {
        usable("unused slot 3");
        return 0;
    }
    int ZEPH_MEMBER deviceNumber() override { return usable("deviceNumber") ? entry_.number : 0; }
    int ZEPH_MEMBER inputCount() override { return usable("inputCount") ? entry_.inputs : 0; }
    int ZEPH_MEMBER outputCount() override { return usable("outputCount") ? entry_.outputs : 0; }
    // Index 0 opens whatever the count says; a device whose instrument is rebooting opens
    // nothing, nor does a port that is open already.
    zeph::Input* ZEPH_MEMBER openInputPort(int index) override {
        InCall inCall(*this);
        return canOpen("openInputPort", SimZephInputs, index, entry_.inputs) ? new SimInput(entry_.number) : nullptr;
    }
    zeph::Output* ZEPH_MEMBER openOutputPort(int index) override {
        InCall inCall(*this);
        SimOutput* output =
            canOpen("openOutputPort", SimZephOutputs, index, entry_.outputs) ? new SimOutput(entry_.number) : nullptr;
        if (output) rebootIfInside("openOutputPort", entry_.number);
        return output;
    }

private:
    bool canOpen(const char* call, SimZephKind kind, int index, int count) {
        std::lock_guard<std::mutex> guard(g_mutex);
        if (!usableLocked(call) || index < 0 || (index != 0 && index >= count) || g_down.count(entry_.number)) return false;
        if (SimPort::inUseLocked(kind, entry_.number)) {
            event(std::string("refused ") + call + " of device " + std::to_string(entry_.number) + ": open already");
            return false;
        }
        return true;
    }

    Entry entry_;
};

class SimConnection final : public zeph::Connection, public Life {
public:
    SimConnection(zeph::RebindCallback callback, void* context, const std::vector<Entry>& entries)
        : Life(SimZephConnections, "connection"), callback_(callback), context_(context), entries_(entries) {}

    int ZEPH_MEMBER count() override {
        InCall inCall(*this);
        std::lock_guard<std::mutex> guard(g_mutex);
        return usableLocked("count") ? static_cast<int>(offeredLocked().size()) : 0;
    }
    zeph::Device* ZEPH_MEMBER deviceAt(int index) override {
        InCall inCall(*this);
        Entry entry;
        {
            std::lock_guard<std::mutex> guard(g_mutex);
            if (!usableLocked("deviceAt")) return nullptr;
            std::vector<Entry> offered = offeredLocked();
            if (index < 0 || index >= static_cast<int>(offered.size()) || offered[static_cast<size_t>(index)].null)
                return nullptr;
            entry = offered[static_cast<size_t>(index)];
        }
        return new SimDevice(entry);
    }
    void* ZEPH_MEMBER destroy(unsigned flags) override {
        {
            std::lock_guard<std::mutex> guard(g_mutex);
            if (!usableLocked("destroy")) return nullptr;
            if (destroying_) {
                violation(name() + " destroyed again while being destroyed");
                return nullptr;
            }
            destroying_ = true;
        }
        if (envInt("CARROWICK_SIMZEPH_CALLBACK_IN_DESTROY", 0)) callBack(this, "in destroy", true);
        int own = 0;
        for (const SimConnection* c : t_callingBack) own += c == this;
        std::unique_lock<std::mutex> lock(g_mutex);
        checkProgramThread();
        // A real library waits for its callbacks in flight; from inside one it would wait forever.
        if (own) violation(name() + " destroyed inside its own callback");
        if (!g_changed.wait_for(lock, kDeadlockWait, [&] { return inFlight_ == own; }))
            violation(name() + " destroy waited in vain for a callback in flight: deadlock");
        dieLocked(flags);
        for (size_t i = 0; i < g_connections.size(); ++i)
            if (g_connections[i] == this) g_connections.erase(g_connections.begin() + static_cast<long>(i));
        if (g_newest == this) g_newest = nullptr;
        event("destroy " + name());
        return this;
    }

    zeph::RebindCallback callback_;
    void* context_;
    bool destroying_ = false;  // under g_mutex, as is inFlight_
    int inFlight_ = 0;

private:
    // What the library offers now: a rebooting instrument is not there. Holds g_mutex.
    std::vector<Entry> offeredLocked() const {
        std::vector<Entry> offered;
        for (const Entry& entry : entries_)
            if (entry.null || !g_down.count(entry.number)) offered.push_back(entry);
        return offered;
    }

    std::vector<Entry> entries_;
};

void callBack(SimConnection* connection, const char* why, bool evenWhileDestroying) {
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        if (!connection->aliveLocked() || (connection->destroying_ && !evenWhileDestroying)) return;
        ++connection->inFlight_;
        event("callback " + connection->name() + " (" + why + ")");
    }
    t_callingBack.push_back(connection);
    connection->callback_(connection->context_);
    t_callingBack.pop_back();
    std::lock_guard<std::mutex> guard(g_mutex);
    --connection->inFlight_;
    g_changed.notify_all();
}

void callEveryConnection(const char* why) {
    std::vector<SimConnection*> connections;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        connections = g_connections;
    }
    for (SimConnection* connection : connections) callBack(connection, why, false);
}

void triggerRebind(bool wait) {
    SimConnection* newest;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        newest = g_newest;
    }
    if (!newest) return;
    HANDLE caller = startLibraryThread([newest] {
        t_libraryThread = true;
        callBack(newest, "trigger", false);
    });
    if (!caller) {
        std::lock_guard<std::mutex> guard(g_mutex);
        violation("no thread could be started for a rebind");
        return;
    }
    if (wait) WaitForSingleObject(caller, INFINITE);
    CloseHandle(caller);
}

std::vector<Entry> configuredDevices() {
    if (envInt("CARROWICK_SIMZEPH_NO_DEVICE", 0)) return {};
    std::lock_guard<std::mutex> guard(g_mutex);
    if (g_devicesSet) return g_devices;
    std::vector<Entry> entries = {{false, kInstrument, 1, 1}};
    if (!parseDevices(envText("CARROWICK_SIMZEPH_DEVICES", "30:1:1"), entries))
        violation("CARROWICK_SIMZEPH_DEVICES is malformed; offering 30:1:1");
    return entries;
}

int copyLines(const std::vector<std::string>& lines, char* text, int capacity) {
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    if (text && capacity > 0) {
        size_t n = all.size() < static_cast<size_t>(capacity) - 1 ? all.size() : static_cast<size_t>(capacity) - 1;
        std::memcpy(text, all.data(), n);
        text[n] = '\0';
    }
    return static_cast<int>(all.size());
}

}  // namespace

extern "C" {

__declspec(dllexport) int __cdecl ZEPHGetVersion() { return envInt("CARROWICK_SIMZEPH_VERSION", 1); }

__declspec(dllexport) zeph::Connection* __cdecl ZEPHCreate(zeph::RebindCallback callback, void* context) {
    if (envInt("CARROWICK_SIMZEPH_CREATE_NULL", 0)) return nullptr;
    SimConnection* connection = new SimConnection(callback, context, configuredDevices());
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        // A real library would wait here for the very thread that is calling.
        if (t_libraryThread) violation("ZEPHCreate on a thread of the library");
        g_connections.push_back(connection);
        g_newest = connection;
        event("create " + connection->name());
    }
    if (envInt("CARROWICK_SIMZEPH_CALLBACK_IN_CREATE", 0)) callBack(connection, "in create", false);
    return connection;
}

__declspec(dllexport) void __cdecl ZEPHDestroy(zeph::Connection* connection) {
    if (connection) connection->destroy(1);
}

__declspec(dllexport) void SimZeph_Reset() {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_writes.clear();
    g_deliveries = g_inputsSinceReset = 0;
    for (int kind = 0; kind < SimZephKinds; ++kind) g_created[kind] = g_destroyed[kind] = g_serial[kind] = 0;
    g_events.clear();
    g_violations.clear();
    g_down.clear();
    g_devicesSet = false;
    g_rebootedInside = false;
    ++g_resetEpoch;
}

__declspec(dllexport) int SimZeph_WriteCount() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return static_cast<int>(g_writes.size());
}

__declspec(dllexport) int SimZeph_WriteAt(int index, uint8_t* bytes, int capacity) {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (index < 0 || index >= static_cast<int>(g_writes.size())) return -1;
    const Bytes& write = g_writes[static_cast<size_t>(index)];
    int n = static_cast<int>(write.size()) < capacity ? static_cast<int>(write.size()) : capacity;
    if (n > 0) std::memcpy(bytes, write.data(), static_cast<size_t>(n));
    return static_cast<int>(write.size());
}

__declspec(dllexport) void SimZeph_TriggerRebind(int wait) { triggerRebind(wait != 0); }

__declspec(dllexport) void SimZeph_Deliver(const uint8_t* bytes, int length) {
    if (bytes && length > 0) deliverToInputs(Bytes(bytes, bytes + length), -1);
}

__declspec(dllexport) void SimZeph_Counters(int* created, int* destroyed, int* openPorts, int* deliveries) {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (created) *created = g_created[SimZephConnections];
    if (destroyed) *destroyed = g_destroyed[SimZephConnections];
    if (openPorts) *openPorts = g_openPorts;
    if (deliveries) *deliveries = g_deliveries;
}

__declspec(dllexport) int SimZeph_SetDevices(const char* list) {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (!list) {
        g_devicesSet = false;
        return 1;
    }
    if (!parseDevices(list, g_devices)) return 0;
    g_devicesSet = true;
    return 1;
}

__declspec(dllexport) void SimZeph_Objects(int kind, int* created, int* destroyed) {
    std::lock_guard<std::mutex> guard(g_mutex);
    bool known = kind >= 0 && kind < SimZephKinds;
    if (created) *created = known ? g_created[kind] : 0;
    if (destroyed) *destroyed = known ? g_destroyed[kind] : 0;
}

__declspec(dllexport) int SimZeph_ViolationCount() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return static_cast<int>(g_violations.size());
}

__declspec(dllexport) int SimZeph_Violations(char* text, int capacity) {
    std::lock_guard<std::mutex> guard(g_mutex);
    return copyLines(g_violations, text, capacity);
}

__declspec(dllexport) int SimZeph_Events(char* text, int capacity) {
    std::lock_guard<std::mutex> guard(g_mutex);
    return copyLines(g_events, text, capacity);
}

}  // extern "C"
