#pragma once
// A simulated USB MIDI driver for tests: it installs its own table of OS functions for
// the kernel-streaming layer and answers every request the layer sends with the bytes,
// error codes, size probes, pended completions and event signals a real driver gives.
//
// Threads: the test thread configures devices and pins; the layer's threads (a port's
// reader, the test itself) send requests; the driver's own worker thread completes
// pended property requests, delayed writes and every cancellation (cancelling only asks:
// the request ends later, as on Windows). One mutex guards all state; completion writes
// the caller's buffers and OVERLAPPED, then sets the request's event. As the I/O manager
// does, every request resets its event when it starts, and a request that fails with an
// error status reports no byte count (ERROR_MORE_DATA, a warning, still carries one).
//
// One SimKsDriver at a time; its constructor installs the table and its destructor puts
// the previous one back.

#include "ks/KsWin.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ks/KsBytes.h"

struct KsOsApi;

namespace simks {

using Bytes = std::vector<uint8_t>;
using ksbytes::KsGuid;

// SubFormat of the maker's hidden MIDI pins.
constexpr KsGuid kHiddenMidiSubFormat = {0x39D30B88, 0x6CFE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};

// A data range of formatSize bytes (at least 80): KSDATARANGE, then Technology.
Bytes MusicRange(const KsGuid& subFormat, const KsGuid& technology, uint32_t formatSize = 96,
                 const KsGuid& major = ksbytes::kDataFormatTypeMusic);
// The data range of the hidden MIDI pins.
Bytes HiddenMidiRange();

// How a property request is answered instead of the normal reply.
//  Refuse: fails at once with error.
//  Pend: completes later from the worker thread.
//  Replace: the reply is these bytes; a probe is told probeSize.
//  Grow: the first request sees a reply of probeSize bytes (0: an empty success), every
//        later one the whole reply: the answer grew between the probe and the read.
//  Oversize: a buffer too small for the reply still succeeds, filled as far as it goes,
//        and reports the reply's whole size.
//  Hang: never completes until cancelled; after hangs requests (-1: never) the property
//        answers normally again.
struct PropertyFault {
    enum Kind { Refuse, Pend, Replace, Grow, Oversize, Hang } kind = Refuse;
    DWORD error = ERROR_NOT_FOUND;  // Refuse
    Bytes reply;                    // Replace, Grow, Oversize: the bytes the driver completes with
    int64_t probeSize = -1;         // size reported to a probe (-1: reply's size)
    int answered = 0;               // requests seen (Grow)
    int hangs = -1;                 // Hang
};

enum class WriteMode { Now, Later, Never, Refuse };

struct SimWrite {
    Bytes midi;            // the ByteCount bytes of the KSMUSICFORMAT entry
    Bytes used;            // the MIDI bytes inside DataUsed (the header's own count)
    uint32_t byteCount;    // as the entry gave it
    uint32_t headerSize;   // KSSTREAM_HEADER.Size
    uint32_t frameExtent;
    uint32_t dataUsed;
    uint32_t timeDeltaMs;
};

class SimKsDriver;
class SimDevice;
struct SimOs;

class SimPin {
public:
    // Description (set before the layer reads it).
    SimPin& setDataFlow(uint32_t flow);
    SimPin& setCommunication(uint32_t communication);
    SimPin& addDataRange(const Bytes& range);
    SimPin& clearDataRanges();
    SimPin& addInterface(const KsGuid& set, uint32_t id, uint32_t flags = 0);
    SimPin& addMedium(const KsGuid& set, uint32_t id, uint32_t flags = 0);
    SimPin& setInstances(uint32_t possible, uint32_t current);
    SimPin& setGlobalInstances(uint32_t possible, uint32_t current);
    SimPin& setCategory(const KsGuid& category);
    SimPin& setName(const std::string& name);  // the reply's bytes, with a terminator
    SimPin& fault(uint32_t pinPropertyId, const PropertyFault& fault);
    SimPin& refuse(uint32_t pinPropertyId, DWORD error = ERROR_NOT_FOUND);
    SimPin& refuseState(uint32_t state, DWORD error = ERROR_NOT_SUPPORTED);
    SimPin& setCreateError(DWORD error);

    // Streaming.
    // Queues MIDI bytes for reads; each read delivers at most 12 of them in one entry.
    void queueInput(const Bytes& midi);
    // The next read delivers these bytes (at most 12) in an entry whose ByteCount says
    // byteCount, more than the frame can hold if so chosen.
    void queueFrame(uint32_t byteCount, const Bytes& midi);
    // The next read writes these bytes into the buffer, then fails with the error.
    void failNextRead(const Bytes& midi, DWORD error = ERROR_GEN_FAILURE);
    // Each read takes this long to start, before it resets its event (a slow driver entry).
    void setReadStartDelay(unsigned delayMs);
    int readsStarted() const;
    void setWriteMode(WriteMode mode, unsigned delayMs = 20);
    // The write with this number (from 0) pends and completes after the write delay
    // with the error, whatever the mode.
    void failWrite(size_t number, DWORD error = ERROR_GEN_FAILURE);
    // Completes every write held back by Later or Never.
    void completePendingWrites();

    // What the layer did.
    std::vector<SimWrite> writes() const;
    // Waits until at least count writes were recorded; false after timeoutMs.
    bool waitForWrites(size_t count, unsigned timeoutMs) const;
    // Waits until at least count reads are pending; false after timeoutMs.
    bool waitForPendingReads(size_t count, unsigned timeoutMs) const;
    uint32_t state() const;
    std::vector<uint32_t> stateRequests() const;
    Bytes connectBlock() const;
    DWORD createAccess() const;
    int createCount() const;
    int openInstances() const;
    size_t pendingReads() const;
    size_t pendingWrites() const;
    uint32_t id() const { return id_; }

private:
    friend class SimKsDriver;
    friend class SimDevice;
    friend struct SimOs;
    SimPin(SimKsDriver* driver, SimDevice* device, uint32_t id) : driver_(driver), device_(device), id_(id) {}
    struct Frame;
    void queueFrames(const std::vector<Frame>& frames);

    SimKsDriver* driver_;
    SimDevice* device_;
    uint32_t id_;
    uint32_t dataFlow_ = 1;
    uint32_t communication_ = 1;
    std::vector<Bytes> ranges_;
    Bytes interfaces_;
    Bytes mediums_;
    uint32_t instances_[2] = {1, 0};
    uint32_t globalInstances_[2] = {1, 0};
    KsGuid category_ = {};
    Bytes name_;
    std::map<uint32_t, PropertyFault> faults_;
    std::map<uint32_t, DWORD> refusedStates_;
    std::map<size_t, DWORD> failedWrites_;
    DWORD createError_ = 0;
    // Run time.
    struct Frame {
        Bytes midi;
        uint32_t byteCount;
        DWORD error;
    };
    std::deque<Frame> input_;
    unsigned readStartDelayMs_ = 0;
    int readsStarted_ = 0;
    WriteMode writeMode_ = WriteMode::Now;
    unsigned writeDelayMs_ = 20;
    std::vector<SimWrite> writes_;
    uint32_t state_ = 0;
    std::vector<uint32_t> stateRequests_;
    Bytes connect_;
    DWORD access_ = 0;
    int creates_ = 0;
    int open_ = 0;
};

class SimDevice {
public:
    // A pin with the hidden MIDI data range.
    SimPin& addHiddenMidiPin(uint32_t dataFlow, uint32_t communication);
    // A pin with no data range yet.
    SimPin& addPin(uint32_t dataFlow = 1, uint32_t communication = 1);
    SimPin& pin(size_t index);
    size_t pinCount() const;

    SimDevice& setFriendlyName(const std::string& name);
    // A size query of the "FriendlyName" value reports this many bytes (a damaged value).
    SimDevice& setFriendlyNameSizeReport(DWORD size);
    SimDevice& setService(const std::string& service, const std::string& imagePath);
    SimDevice& setOpenError(DWORD error);
    SimDevice& setCategory(const KsGuid& category);
    SimDevice& setTopologyNodes(const std::vector<KsGuid>& nodes);
    // Faults of the filter's own requests: KSPROPERTY_PIN_CTYPES (pin set) and
    // KSPROPERTY_TOPOLOGY_NODES (topology set).
    SimDevice& faultPinCount(const PropertyFault& fault);
    SimDevice& faultTopology(const PropertyFault& fault);

    const std::string& path() const { return path_; }
    int openCount() const;
    // CreateFileA arguments of the last open.
    DWORD lastAccess() const;
    DWORD lastShare() const;
    DWORD lastDisposition() const;
    DWORD lastFlags() const;

private:
    friend class SimKsDriver;
    friend struct SimOs;
    SimDevice(SimKsDriver* driver, const std::string& path) : driver_(driver), path_(path) {}

    SimKsDriver* driver_;
    std::string path_;
    std::string friendlyName_;
    std::string service_;
    std::string imagePath_;
    bool hasFriendlyName_ = false;
    DWORD friendlyNameSizeReport_ = 0;
    KsGuid category_ = ksbytes::kKsCategoryAudio;
    DWORD openError_ = 0;
    bool removed_ = false;
    std::vector<std::unique_ptr<SimPin>> pins_;
    std::vector<KsGuid> nodes_;
    std::unique_ptr<PropertyFault> pinCountFault_;
    std::unique_ptr<PropertyFault> topologyFault_;
    int opens_ = 0;
    DWORD lastOpen_[4] = {};
};

class SimKsDriver {
public:
    SimKsDriver();
    ~SimKsDriver();
    SimKsDriver(const SimKsDriver&) = delete;
    SimKsDriver& operator=(const SimKsDriver&) = delete;

    // A present device interface (of KSCATEGORY_AUDIO unless changed).
    SimDevice& addDevice(const std::string& path, const std::string& friendlyName = std::string());
    SimDevice* device(const std::string& path);
    // The device leaves: it is no longer enumerated or opened, its pending requests end
    // with ERROR_DEVICE_REMOVED and further requests on its handles fail.
    void removeDevice(const std::string& path);

    void setKsUserPresent(bool present);
    void setKsCreatePinExported(bool exported);
    int ksUserLoads() const;
    // The error of a size probe (and of a too small buffer): ERROR_MORE_DATA by default.
    void setProbeError(DWORD error);
    // Pends every property request and completes it later from the worker thread.
    void setPendProperties(bool pend, unsigned delayMs = 5);
    // Property requests seen (filters and pins), and those whose event lacked the low bit
    // that keeps a completion away from an I/O completion port.
    int propertyRequests() const;
    int propertyRequestsWithoutLowBit() const;
    // A cancelled request comes back after this long (default 1 ms); a long time stands
    // for a driver that does not complete its cancellations.
    void setCancelDelay(unsigned delayMs);
    // Requests the driver holds (their OVERLAPPEDs are the driver's until completed).
    size_t liveRequests() const;
    // Completes every request now, cancelled or not, with STATUS_CANCELLED.
    void completeAllNow();
    // Completions whose event could not be set (closed by the caller too early).
    int completionsWithoutEvent() const;
    // Handles the layer holds open (filters and pins).
    int openHandles() const;

private:
    friend class SimPin;
    friend class SimDevice;
    friend struct SimOs;

    struct Handle {
        SimDevice* device;
        SimPin* pin;  // NULL for a filter handle
    };
    enum class Kind { Read, Write, Property };
    struct Pending {
        HANDLE handle;
        OVERLAPPED* overlapped;
        DWORD thread;
        KSSTREAM_HEADER* header;  // stream requests
        Kind kind;
        SimPin* pin;              // stream requests
        uint64_t serial;
        bool cancelling;
    };
    struct DevInfoSet {
        std::vector<SimDevice*> devices;
    };
    struct Key {
        std::map<std::string, std::string> values;
        std::map<std::string, DWORD> reportedSizes;
    };

    // Request handling (called with mutex_ held unless noted).
    BOOL ioctl(HANDLE handle, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytes,
               OVERLAPPED* overlapped);
    BOOL dispatch(HANDLE handle, const Handle& h, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                  DWORD* bytes, OVERLAPPED* overlapped);
    BOOL property(HANDLE handle, const Handle& h, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytes,
                  OVERLAPPED* overlapped);
    BOOL answer(HANDLE handle, const Bytes& reply, int64_t probeSize, bool pend, bool oversize, void* out,
                DWORD outSize, DWORD* bytes, OVERLAPPED* overlapped);
    BOOL stream(HANDLE handle, const Handle& h, bool write, void* out, DWORD outSize, DWORD* bytes,
                OVERLAPPED* overlapped);
    void completeRead(const Pending& p);
    void finish(OVERLAPPED* overlapped, uint32_t status, ULONG_PTR information);
    uint64_t hold(HANDLE handle, OVERLAPPED* overlapped, KSSTREAM_HEADER* header, Kind kind, SimPin* pin);
    // Completes the held request with this serial (if still held) and lets it go.
    bool release(uint64_t serial, uint32_t status, ULONG_PTR information);
    // Asks the held requests to end: matching ones complete with status after the
    // cancel delay. Gives the number asked.
    size_t cancel(HANDLE handle, OVERLAPPED* overlapped, bool anyThread, uint32_t status);
    void later(unsigned delayMs, std::function<void()> action);
    void worker();
    HANDLE newHandle();

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    const KsOsApi* previous_;
    std::vector<std::unique_ptr<SimDevice>> devices_;
    std::map<HANDLE, Handle> handles_;
    std::vector<Pending> pending_;
    std::map<HDEVINFO, DevInfoSet> sets_;
    std::map<HKEY, Key> keys_;
    uintptr_t nextHandle_ = 0x40000000;
    bool ksUserPresent_ = true;
    bool ksCreatePinExported_ = true;
    int ksUserLoads_ = 0;
    DWORD probeError_ = ERROR_MORE_DATA;
    bool pendProperties_ = false;
    unsigned pendDelayMs_ = 5;
    int propertyRequests_ = 0;
    int withoutLowBit_ = 0;
    unsigned cancelDelayMs_ = 1;
    uint64_t nextSerial_ = 1;
    int eventFaults_ = 0;
    HANDLE startedEvent_ = NULL;  // the event of the request in ioctl, and whether it was set
    bool startedEventSet_ = false;

    // Worker: timed actions, run without mutex_ held.
    std::mutex timerMutex_;
    std::condition_variable timerChanged_;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timers_;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace simks
