// The simulated Zeph library: offers the Lumetra as device 30 with one input and one
// output, records what is written to it, answers the status request through the input's
// receive callback, and can call the rebinding callback from a thread of its own.
//
// Threads: each input port delivers on a thread of its own, and its destructor waits
// for the delivery in flight (as a real driver library does). Rebind callbacks run on
// detached library threads. All shared state is under g_mutex.

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/HiddenMidi.h"
#include "sim/zeph/SimZephControl.h"
#include "sim/zeph/WinmmLink.h"

namespace {

using Bytes = std::vector<uint8_t>;

int envInt(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::atoi(value) : fallback;
}

std::string envText(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

class SimInput;
class SimConnection;

std::mutex g_mutex;
std::vector<Bytes> g_writes;
std::vector<SimInput*> g_inputs;
SimConnection* g_newest = nullptr;
int g_created = 0, g_destroyed = 0, g_openPorts = 0, g_deliveries = 0;

void capture(const Bytes& bytes) {
    std::string path = envText("CARROWICK_SIMZEPH_CAPTURE", "");
    if (path.empty()) return;
    FILE* file = std::fopen(path.c_str(), "a");
    if (!file) return;
    // The system's tick count, so a test can measure from the write itself.
    std::fprintf(file, "%lu", static_cast<unsigned long>(GetTickCount()));
    for (uint8_t b : bytes) std::fprintf(file, " %02x", b);
    std::fprintf(file, "\n");
    std::fclose(file);
}

class SimInput final : public HiddenMidiInput {
public:
    SimInput() : thread_([this] { run(); }) {}

    void* destroy(unsigned flags) override {
        {
            std::lock_guard<std::mutex> guard(g_mutex);
            for (size_t i = 0; i < g_inputs.size(); ++i)
                if (g_inputs[i] == this) g_inputs.erase(g_inputs.begin() + static_cast<long>(i));
            --g_openPorts;
        }
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        // Waits for a delivery in flight, unless asked from inside that delivery.
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else
            thread_.join();
        if (flags & 1) delete this;
        return this;
    }
    int reserved2() override { return 0; }
    void setReceiveCallback(HiddenMidiReceiveCallback callback, void* context) override {
        std::lock_guard<std::mutex> guard(mutex_);
        callback_ = callback;
        context_ = context;
    }
    // Delivers on the caller's thread before returning, as a quick library may.
    void deliverNow(const Bytes& bytes) {
        HiddenMidiReceiveCallback callback;
        void* context;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            callback = callback_;
            context = context_;
        }
        if (callback) callback(bytes.data(), static_cast<int>(bytes.size()), context);
    }
    void deliver(const Bytes& bytes) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            queue_.push_back(bytes);
        }
        wake_.notify_all();
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stop_ || (!queue_.empty() && callback_); });
            if (stop_) return;
            Bytes bytes = queue_.front();
            queue_.pop_front();
            HiddenMidiReceiveCallback callback = callback_;
            void* context = context_;
            lock.unlock();
            // A driver delivers in small chunks.
            for (size_t at = 0; at < bytes.size(); at += 12) {
                size_t n = bytes.size() - at < 12 ? bytes.size() - at : 12;
                callback(bytes.data() + at, static_cast<int>(n), context);
            }
            {
                std::lock_guard<std::mutex> guard(g_mutex);
                ++g_deliveries;
            }
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Bytes> queue_;
    HiddenMidiReceiveCallback callback_ = nullptr;
    void* context_ = nullptr;
    bool stop_ = false;
    std::thread thread_;
};

void deliverToInputs(const Bytes& bytes) {
    std::lock_guard<std::mutex> guard(g_mutex);
    for (SimInput* input : g_inputs) input->deliver(bytes);
}

// Only for a writer that owns the ports: no input can be destroyed meanwhile.
void deliverToInputsNow(const Bytes& bytes) {
    std::vector<SimInput*> inputs;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        inputs = g_inputs;
    }
    for (SimInput* input : inputs) input->deliverNow(bytes);
}

bool isStatusRequest(const unsigned char* bytes, int length) {
    static const uint8_t request[14] = {0xF0, 0x00, 0x7A, 0x51, 0x03, 0x01, 0x7F, 0x60, 0x21, 0x00, 0x00, 0x00, 0x00, 0xF7};
    return length == 14 && std::memcmp(bytes, request, 14) == 0;
}

bool isStartMessage(const unsigned char* bytes, int length) {
    return length == 15 && bytes[0] == 0xF0 && bytes[5] == 0x71 && bytes[14] == 0xF7;
}

void triggerRebind(bool wait);

class SimOutput final : public HiddenMidiOutput {
public:
    void* destroy(unsigned flags) override {
        {
            std::lock_guard<std::mutex> guard(g_mutex);
            --g_openPorts;
        }
        if (flags & 1) delete this;
        return this;
    }
    int reserved2() override { return 0; }
    int writeSysex(const unsigned char* bytes, int length) override {
        if (!bytes || length <= 0) return 0;
        Bytes copy(bytes, bytes + length);
        {
            std::lock_guard<std::mutex> guard(g_mutex);
            g_writes.push_back(copy);
            capture(copy);
        }
        int writeMs = envInt("CARROWICK_SIMZEPH_WRITE_MS", 0);
        if (isStartMessage(bytes, length)) {
            if (envInt("CARROWICK_SIMZEPH_REBIND_ON_START", 0)) {
                triggerRebind(false);
                if (writeMs < 200) writeMs = 200;  // the rebind arrives while this write is in progress
            }
            int delay = envInt("CARROWICK_SIMZEPH_LUMETRA_DELAY_MS", 1000);
            if (delay >= 0) announceInstrument(envText("CARROWICK_SIMZEPH_LUMETRA_NAME", "Lumetra"), delay);
        }
        if (writeMs > 0) Sleep(static_cast<DWORD>(writeMs));
        if (isStatusRequest(bytes, length)) {
            // Status: byte 7 0x20, code 0x105, bit 11 set.
            Bytes answer{0xF0, 0x00, 0x7A, 0x51, 0x03, 0x01, 0x7F, 0x20, 0x00, 0x01, 0x05, 0x01, 0x00, 0xF7};
            if (envInt("CARROWICK_SIMZEPH_ANSWER_AT_ONCE", 0))
                deliverToInputsNow(answer);
            else
                deliverToInputs(answer);
        }
        return length;
    }
};

class SimDevice final : public HiddenMidiDevice {
public:
    void* destroy(unsigned flags) override {
        if (flags & 1) delete this;
        return this;
    }
    int reserved2() override { return 0; }
    int reserved3() override { return 0; }
    int deviceNumber() override { return 30; }
    int inputCount() override { return 1; }
    int outputCount() override { return 1; }
    HiddenMidiInput* openInputPort(int index) override {
        if (index != 0) return nullptr;
        SimInput* input = new SimInput();
        std::lock_guard<std::mutex> guard(g_mutex);
        g_inputs.push_back(input);
        ++g_openPorts;
        return input;
    }
    HiddenMidiOutput* openOutputPort(int index) override {
        if (index != 0) return nullptr;
        std::lock_guard<std::mutex> guard(g_mutex);
        ++g_openPorts;
        return new SimOutput();
    }
};

class SimConnection final : public VeltroHiddenMIDI::Connection {
public:
    SimConnection(VeltroHiddenMIDI::RebindCallback callback, void* context)
        : callback_(callback), context_(context), offersDevice_(envInt("CARROWICK_SIMZEPH_NO_DEVICE", 0) == 0) {}
    int count() override { return offersDevice_ ? 1 : 0; }
    HiddenMidiDevice* deviceAt(int index) override {
        return offersDevice_ && index == 0 ? new SimDevice() : nullptr;
    }
    void* destroy(unsigned flags) override {
        {
            std::lock_guard<std::mutex> guard(g_mutex);
            ++g_destroyed;
            if (g_newest == this) g_newest = nullptr;
        }
        if (flags & 1) delete this;
        return this;
    }
    VeltroHiddenMIDI::RebindCallback callback_;
    void* context_;

private:
    bool offersDevice_;
};

void triggerRebind(bool wait) {
    VeltroHiddenMIDI::RebindCallback callback;
    void* context;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        if (!g_newest) return;
        callback = g_newest->callback_;
        context = g_newest->context_;
    }
    std::thread caller([callback, context] { callback(context); });
    if (wait)
        caller.join();
    else
        caller.detach();
}

}  // namespace

extern "C" {

__declspec(dllexport) int ZEPHGetVersion() { return envInt("CARROWICK_SIMZEPH_VERSION", 1); }

__declspec(dllexport) VeltroHiddenMIDI::Connection* ZEPHCreate(VeltroHiddenMIDI::RebindCallback callback,
                                                              void* context) {
    if (envInt("CARROWICK_SIMZEPH_CREATE_NULL", 0)) return nullptr;
    SimConnection* connection = new SimConnection(callback, context);
    std::lock_guard<std::mutex> guard(g_mutex);
    ++g_created;
    g_newest = connection;
    return connection;
}

__declspec(dllexport) void ZEPHDestroy(VeltroHiddenMIDI::Connection* connection) {
    if (connection) connection->destroy(1);
}

__declspec(dllexport) void SimZeph_Reset() {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_writes.clear();
    g_created = g_destroyed = g_deliveries = 0;
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
    if (bytes && length > 0) deliverToInputs(Bytes(bytes, bytes + length));
}

__declspec(dllexport) void SimZeph_Counters(int* created, int* destroyed, int* openPorts, int* deliveries) {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (created) *created = g_created;
    if (destroyed) *destroyed = g_destroyed;
    if (openPorts) *openPorts = g_openPorts;
    if (deliveries) *deliveries = g_deliveries;
}

}  // extern "C"
