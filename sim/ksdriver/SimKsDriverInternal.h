#pragma once
// The simulated driver's workings, shared by its three parts: SetupAPI and the registry
// (SimSetupApi.cpp), request dispatch (SimDispatch.cpp), and completion and cancellation
// (SimCompletion.cpp). Tests include SimKsDriver.h only.
//
// One mutex guards all state. Completion writes the caller's OVERLAPPED, then sets the
// request's event. As the I/O manager does, every request resets its event when it
// starts, a request that fails inside the call writes neither its status nor its event,
// and a request that fails with an error status reports no byte count (ERROR_MORE_DATA,
// a warning, still carries one).

#include "sim/ksdriver/SimKsDriver.h"

#include <setupapi.h>

#include <chrono>
#include <cstring>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

struct KsOsApi;

namespace simks {

constexpr uint32_t kStatusSuccess = 0;
constexpr uint32_t kStatusPending = 0x103;
constexpr uint32_t kStatusCancelled = 0xC0000120;
constexpr uint32_t kStatusDeviceRemoved = 0xC00002B6;

// An error status (not a warning such as STATUS_BUFFER_OVERFLOW) carries no byte count.
inline bool isErrorStatus(uint32_t status) { return status >= 0xC0000000u; }
uint32_t statusFromError(DWORD error);
DWORD errorFromStatus(uint32_t status);
bool sameText(const std::string& a, const std::string& b);
inline bool sameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

class Driver;
class Device;

class Pin final : public SimPin {
public:
    Pin(Driver* driver, Device* device, uint32_t id) : driver_(driver), device_(device), id_(id) {}

    SimPin& setDataFlow(uint32_t flow) override;
    SimPin& setCommunication(uint32_t communication) override;
    SimPin& addDataRange(const Bytes& range) override;
    SimPin& clearDataRanges() override;
    SimPin& addInterface(const GUID& set, uint32_t id, uint32_t flags) override;
    SimPin& addMedium(const GUID& set, uint32_t id, uint32_t flags) override;
    SimPin& setInstances(uint32_t possible, uint32_t current) override;
    SimPin& setGlobalInstances(uint32_t possible, uint32_t current) override;
    SimPin& setCategory(const GUID& category) override;
    SimPin& setName(const std::string& name) override;
    SimPin& fault(uint32_t pinPropertyId, const PropertyFault& fault) override;
    SimPin& refuse(uint32_t pinPropertyId, DWORD error) override;
    SimPin& refuseState(uint32_t state, DWORD error) override;
    SimPin& setCreateError(DWORD error) override;
    void queueInput(const Bytes& midi) override;
    void queueFrame(uint32_t byteCount, const Bytes& midi) override;
    void failNextRead(const Bytes& midi, DWORD error) override;
    void failReads(DWORD error) override;
    void setReadStartDelay(unsigned delayMs) override;
    int readsStarted() const override;
    void setWriteMode(WriteMode mode, unsigned delayMs) override;
    void failWrite(size_t number, DWORD error) override;
    void completePendingWrites() override;
    std::vector<SimWrite> writes() const override;
    bool waitForWrites(size_t count, unsigned timeoutMs) const override;
    bool waitForPendingReads(size_t count, unsigned timeoutMs) const override;
    uint32_t state() const override;
    std::vector<uint32_t> stateRequests() const override;
    Bytes connectBlock() const override;
    DWORD createAccess() const override;
    int createCount() const override;
    int openInstances() const override;
    size_t pendingReads() const override;
    size_t pendingWrites() const override;
    uint32_t id() const override { return id_; }

    struct Frame {
        Bytes midi;
        uint32_t byteCount;
        DWORD error;
    };
    void queueFrames(const std::vector<Frame>& frames);
    size_t countPending(int kind) const;  // with the driver's mutex held

    Driver* driver_;
    Device* device_;
    uint32_t id_;
    uint32_t dataFlow_ = KSPIN_DATAFLOW_IN;
    uint32_t communication_ = KSPIN_COMMUNICATION_SINK;
    std::vector<Bytes> ranges_;
    Bytes interfaces_;
    Bytes mediums_;
    uint32_t instances_[2] = {1, 0};
    uint32_t globalInstances_[2] = {1, 0};
    GUID category_ = {};
    Bytes name_;
    std::map<uint32_t, PropertyFault> faults_;
    std::map<uint32_t, DWORD> refusedStates_;
    std::map<size_t, DWORD> failedWrites_;
    DWORD createError_ = 0;
    // Run time.
    std::deque<Frame> input_;
    DWORD readError_ = ERROR_SUCCESS;
    unsigned readStartDelayMs_ = 0;
    int readsStarted_ = 0;
    // A 3-byte packet takes about a millisecond on the wire and the driver completes it
    // on the next USB frame.
    WriteMode writeMode_ = WriteMode::Later;
    unsigned writeDelayMs_ = 2;
    std::vector<SimWrite> writes_;
    uint32_t state_ = KSSTATE_STOP;
    std::vector<uint32_t> stateRequests_;
    Bytes connect_;
    DWORD access_ = 0;
    int creates_ = 0;
    int open_ = 0;
};

class Device final : public SimDevice {
public:
    Device(Driver* driver, const std::string& path) : driver_(driver), path_(path) {}

    SimPin& addHiddenMidiPin(uint32_t dataFlow, uint32_t communication) override;
    SimPin& addPin(uint32_t dataFlow, uint32_t communication) override;
    SimPin& pin(size_t index) override;
    size_t pinCount() const override;
    SimDevice& setFriendlyName(const std::string& name) override;
    SimDevice& setFriendlyNameSizeReport(DWORD size) override;
    SimDevice& setService(const std::string& service, const std::string& imagePath) override;
    SimDevice& setOpenError(DWORD error) override;
    SimDevice& setCategory(const GUID& category) override;
    SimDevice& setTopologyNodes(const std::vector<GUID>& nodes) override;
    SimDevice& faultPinCount(const PropertyFault& fault) override;
    SimDevice& faultTopology(const PropertyFault& fault) override;
    const std::string& path() const override { return path_; }
    int openCount() const override;
    DWORD lastAccess() const override;
    DWORD lastShare() const override;
    DWORD lastDisposition() const override;
    DWORD lastFlags() const override;

    Driver* driver_;
    std::string path_;
    std::string friendlyName_;
    std::string service_;
    std::string imagePath_;
    bool hasFriendlyName_ = false;
    DWORD friendlyNameSizeReport_ = 0;
    GUID category_ = kCategoryAudio;
    DWORD openError_ = 0;
    bool removed_ = false;
    std::vector<std::unique_ptr<Pin>> pins_;
    std::vector<GUID> nodes_;
    std::unique_ptr<PropertyFault> pinCountFault_;
    std::unique_ptr<PropertyFault> topologyFault_;
    int opens_ = 0;
    DWORD lastOpen_[4] = {};
};

class Driver {
public:
    Driver();
    ~Driver();

    struct Handle {
        Device* device;
        Pin* pin;       // NULL for a filter handle
        uint64_t file;  // the object behind the handle, never reused
    };
    enum class Kind { Read, Write, Property };
    // A request the driver holds. Its file is the handle it came on until that handle is
    // closed (NULL from then on: the handle's value may be given out again).
    struct Pending {
        HANDLE handle;
        OVERLAPPED* overlapped;
        DWORD thread;
        KSSTREAM_HEADER* header;  // stream requests
        Kind kind;
        Pin* pin;                 // the pin instance it came on, if any
        uint64_t file;            // the object it came on
        uint64_t serial;
        bool cancelling;
        size_t write;             // the record of a write
        HANDLE event;             // the OVERLAPPED's hEvent as it was handed over
    };
    struct DevInfoSet {
        std::vector<Device*> devices;
    };
    struct Key {
        std::map<std::string, std::string> values;
        std::map<std::string, DWORD> reportedSizes;
    };

    // The driver in force (one at a time).
    static Driver& current();
    std::unique_lock<std::mutex> lock() const { return std::unique_lock<std::mutex>(mutex_); }

    // Request dispatch (SimDispatch.cpp), called with mutex_ held.
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
    void recordWrite(Pin* pin, const KSSTREAM_HEADER* header, size_t number);

    // Completion and cancellation (SimCompletion.cpp), called with mutex_ held.
    // Whether the held request's OVERLAPPED is as it was handed over; counts it if not.
    bool intact(const Pending& p);
    void completeRead(const Pending& p);
    // Writes the status into the OVERLAPPED and signals its event; a failure of the
    // request being dispatched writes neither.
    void finish(OVERLAPPED* overlapped, uint32_t status, ULONG_PTR information);
    uint64_t hold(HANDLE handle, OVERLAPPED* overlapped, KSSTREAM_HEADER* header, Kind kind, Pin* pin,
                  size_t write = 0);
    // Completes the held request with this serial (if still held) and lets it go.
    bool release(uint64_t serial, uint32_t status, ULONG_PTR information);
    // release() after delayMs, unless the request was cancelled meanwhile.
    void releaseLater(unsigned delayMs, uint64_t serial, uint32_t status, ULONG_PTR information);
    // Asks the held requests to end: matching ones complete with status after the
    // cancel delay. Gives the number asked.
    size_t cancel(HANDLE handle, OVERLAPPED* overlapped, bool anyThread, uint32_t status);
    // The handle is closed: its requests are cancelled and keep their pin instance.
    void closeHandle(HANDLE handle);
    void later(unsigned delayMs, std::function<void()> action);
    void worker();

    // Handle values: the most recently freed value is given out first, as Windows does.
    HANDLE newHandle();
    void freeHandle(HANDLE handle);
    // Opens a filter or pin object under a new handle.
    HANDLE open(Device* device, Pin* pin);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    const KsOsApi* previous_ = nullptr;
    std::vector<std::unique_ptr<Device>> devices_;
    std::map<HANDLE, Handle> handles_;
    std::vector<Pending> pending_;
    std::map<HDEVINFO, DevInfoSet> sets_;
    std::map<HKEY, Key> keys_;
    uintptr_t nextHandle_ = 0x40000000;
    std::vector<HANDLE> freeHandles_;
    bool ksUserPresent_ = true;
    bool ksCreatePinExported_ = true;
    int ksUserLoads_ = 0;
    unsigned ksUserLoadDelayMs_ = 0;
    unsigned createPinDelayMs_ = 0;
    DWORD probeError_ = ERROR_MORE_DATA;
    bool pendProperties_ = false;
    unsigned pendDelayMs_ = 5;
    int propertyRequests_ = 0;
    int withoutLowBit_ = 0;
    Bytes lastGetBuffer_;
    unsigned cancelDelayMs_ = 1;
    uint64_t nextSerial_ = 1;
    uint64_t nextFile_ = 1;
    int eventFaults_ = 0;
    int changedBlocks_ = 0;
    // The request being dispatched: its event, whether it was set, and its OVERLAPPED.
    HANDLE startedEvent_ = NULL;
    bool startedEventSet_ = false;
    OVERLAPPED* dispatching_ = nullptr;

    // Worker: timed actions, run without mutex_ held.
    std::mutex timerMutex_;
    std::condition_variable timerChanged_;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timers_;
    bool stopping_ = false;
    std::thread worker_;
};

// The OS table's functions, by part.
namespace setupapi {
HDEVINFO WINAPI GetClassDevs(const GUID* guid, PCSTR, HWND, DWORD flags);
BOOL WINAPI EnumInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID*, DWORD index, PSP_DEVICE_INTERFACE_DATA data);
BOOL WINAPI GetDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                      DWORD size, PDWORD required, PSP_DEVINFO_DATA devInfo);
HDEVINFO WINAPI CreateList(const GUID*, HWND);
BOOL WINAPI OpenInterface(HDEVINFO set, PCSTR path, DWORD, PSP_DEVICE_INTERFACE_DATA data);
HKEY WINAPI OpenRegKey(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data, DWORD, REGSAM);
BOOL WINAPI GetRegistryProperty(HDEVINFO set, PSP_DEVINFO_DATA devInfo, DWORD property, PDWORD type, PBYTE buffer,
                                DWORD size, PDWORD required);
BOOL WINAPI DestroyList(HDEVINFO set);
LONG WINAPI RegOpen(HKEY root, LPCSTR subKey, DWORD, REGSAM, PHKEY result);
LONG WINAPI RegQuery(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size);
LONG WINAPI RegClose(HKEY key);
}  // namespace setupapi

namespace dispatch {
HANDLE WINAPI CreateFile(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
                         HANDLE);
BOOL WINAPI Ioctl(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD bytes,
                  LPOVERLAPPED overlapped);
HMODULE WINAPI LoadKsUser();
FARPROC WINAPI ProcAddress(HMODULE module, LPCSTR name);
}  // namespace dispatch

namespace completion {
BOOL WINAPI OverlappedResult(HANDLE h, LPOVERLAPPED overlapped, LPDWORD bytes, BOOL wait);
BOOL WINAPI Cancel(HANDLE h);
BOOL WINAPI CancelEx(HANDLE h, LPOVERLAPPED overlapped);
BOOL WINAPI Close(HANDLE h);
}  // namespace completion

inline BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

}  // namespace simks
