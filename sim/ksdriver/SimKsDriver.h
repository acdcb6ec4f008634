#pragma once
// A simulated USB MIDI driver for tests: it installs its own table of OS functions for
// the kernel-streaming layer and answers every request the layer sends with the bytes,
// error codes, size probes, pended completions and event signals a real driver gives.
// Its GUIDs and records come from the platform headers, never from the layer it stands
// in for, so that a wrong constant in the layer is not copied here.
//
// Threads: the test thread configures devices and pins; the layer's threads send
// requests; the driver's own worker thread completes pended requests and every
// cancellation. One SimKsDriver at a time; its constructor installs the table and its
// destructor puts the previous one back. The workings are in SimKsDriverInternal.h.

#include <windows.h>
#include <winioctl.h>
#include <ks.h>
#include <ksmedia.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace simks {

using Bytes = std::vector<uint8_t>;

const GUID kCategoryAudio = {STATIC_KSCATEGORY_AUDIO};
const GUID kMusicFormat = {STATIC_KSDATAFORMAT_TYPE_MUSIC};
const GUID kMidiSubFormat = {STATIC_KSDATAFORMAT_SUBTYPE_MIDI};
const GUID kPortTechnology = {STATIC_KSMUSIC_TECHNOLOGY_PORT};
// SubFormat of the maker's hidden MIDI pins (the driver's own, in no platform header).
const GUID kHiddenMidiSubFormat = {0x39D30B88, 0x6CFE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};

// A data range of formatSize bytes (at least 80): KSDATARANGE, then Technology.
Bytes MusicRange(const GUID& subFormat, const GUID& technology, uint32_t formatSize = sizeof(KSDATARANGE_MUSIC),
                 const GUID& major = kMusicFormat);
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

// Later (the default): a write pends and completes after the write delay, as a USB MIDI
// driver's does. Now: completes inside the call. Never: until cancelled or
// completePendingWrites. Refuse: fails inside the call.
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

class SimPin {
public:
    // Description (set before the layer reads it).
    virtual SimPin& setDataFlow(uint32_t flow) = 0;
    virtual SimPin& setCommunication(uint32_t communication) = 0;
    virtual SimPin& addDataRange(const Bytes& range) = 0;
    virtual SimPin& clearDataRanges() = 0;
    virtual SimPin& addInterface(const GUID& set, uint32_t id, uint32_t flags = 0) = 0;
    virtual SimPin& addMedium(const GUID& set, uint32_t id, uint32_t flags = 0) = 0;
    // Instances the pin type allows and those held outside this process: KsCreatePin is
    // refused once the instances held reach possible. A pin allows one by default.
    virtual SimPin& setInstances(uint32_t possible, uint32_t current) = 0;
    virtual SimPin& setGlobalInstances(uint32_t possible, uint32_t current) = 0;
    virtual SimPin& setCategory(const GUID& category) = 0;
    virtual SimPin& setName(const std::string& name) = 0;  // the reply's bytes, with a terminator
    virtual SimPin& fault(uint32_t pinPropertyId, const PropertyFault& fault) = 0;
    virtual SimPin& refuse(uint32_t pinPropertyId, DWORD error = ERROR_NOT_FOUND) = 0;
    virtual SimPin& refuseState(uint32_t state, DWORD error = ERROR_NOT_SUPPORTED) = 0;
    virtual SimPin& setCreateError(DWORD error) = 0;

    // Streaming.
    // Queues MIDI bytes for reads; each read delivers at most 12 of them in one entry.
    virtual void queueInput(const Bytes& midi) = 0;
    // The next read delivers these bytes (at most 12) in an entry whose ByteCount says
    // byteCount, more than the frame can hold if so chosen.
    virtual void queueFrame(uint32_t byteCount, const Bytes& midi) = 0;
    // The next read writes these bytes into the buffer, then fails with the error.
    virtual void failNextRead(const Bytes& midi, DWORD error = ERROR_GEN_FAILURE) = 0;
    // From now on every read pends and fails with this error after a millisecond
    // (ERROR_SUCCESS: reads are answered again).
    virtual void failReads(DWORD error) = 0;
    // Each read takes this long to start, before it resets its event (a slow driver entry).
    virtual void setReadStartDelay(unsigned delayMs) = 0;
    virtual int readsStarted() const = 0;
    virtual void setWriteMode(WriteMode mode, unsigned delayMs = 20) = 0;
    // The write with this number (from 0) pends and completes after the write delay
    // with the error, whatever the mode.
    virtual void failWrite(size_t number, DWORD error = ERROR_GEN_FAILURE) = 0;
    // Completes every write held back by Later or Never.
    virtual void completePendingWrites() = 0;

    // What the layer did. A write's bytes are read again when the driver gives the
    // request back: what the record holds is what the buffer held while the driver did.
    virtual std::vector<SimWrite> writes() const = 0;
    // Waits until at least count writes were handed over; false after timeoutMs.
    virtual bool waitForWrites(size_t count, unsigned timeoutMs) const = 0;
    // Waits until at least count reads are pending; false after timeoutMs.
    virtual bool waitForPendingReads(size_t count, unsigned timeoutMs) const = 0;
    virtual uint32_t state() const = 0;
    virtual std::vector<uint32_t> stateRequests() const = 0;
    virtual Bytes connectBlock() const = 0;
    virtual DWORD createAccess() const = 0;
    virtual int createCount() const = 0;
    // Instances this process holds: a closed pin's instance stays until the driver has
    // given back every request of it.
    virtual int openInstances() const = 0;
    virtual size_t pendingReads() const = 0;
    virtual size_t pendingWrites() const = 0;
    virtual uint32_t id() const = 0;

protected:
    ~SimPin() = default;
};

class SimDevice {
public:
    // A pin with the hidden MIDI data range.
    virtual SimPin& addHiddenMidiPin(uint32_t dataFlow, uint32_t communication) = 0;
    // A pin with no data range yet.
    virtual SimPin& addPin(uint32_t dataFlow = KSPIN_DATAFLOW_IN, uint32_t communication = KSPIN_COMMUNICATION_SINK) = 0;
    virtual SimPin& pin(size_t index) = 0;
    virtual size_t pinCount() const = 0;

    virtual SimDevice& setFriendlyName(const std::string& name) = 0;
    // A size query of the "FriendlyName" value reports this many bytes (a damaged value).
    virtual SimDevice& setFriendlyNameSizeReport(DWORD size) = 0;
    virtual SimDevice& setService(const std::string& service, const std::string& imagePath) = 0;
    virtual SimDevice& setOpenError(DWORD error) = 0;
    virtual SimDevice& setCategory(const GUID& category) = 0;
    virtual SimDevice& setTopologyNodes(const std::vector<GUID>& nodes) = 0;
    // Faults of the filter's own requests: KSPROPERTY_PIN_CTYPES (pin set) and
    // KSPROPERTY_TOPOLOGY_NODES (topology set).
    virtual SimDevice& faultPinCount(const PropertyFault& fault) = 0;
    virtual SimDevice& faultTopology(const PropertyFault& fault) = 0;

    virtual const std::string& path() const = 0;
    virtual int openCount() const = 0;
    // CreateFileA arguments of the last open.
    virtual DWORD lastAccess() const = 0;
    virtual DWORD lastShare() const = 0;
    virtual DWORD lastDisposition() const = 0;
    virtual DWORD lastFlags() const = 0;

protected:
    ~SimDevice() = default;
};

class Driver;

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
    // Loading ksuser.dll takes this long (a cold disk).
    void setKsUserLoadDelay(unsigned delayMs);
    // KsCreatePin takes this long before the driver answers (a driver busy in its create
    // dispatch: the call cannot be cancelled or timed out by its caller).
    void setCreatePinDelay(unsigned delayMs);
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
    // The output buffer of the last GET property request as it was handed over, before
    // the driver wrote anything into it.
    Bytes lastGetBufferAtHandOver() const;
    // A cancelled request comes back after this long (default 1 ms); a long time stands
    // for a driver that does not complete its cancellations.
    void setCancelDelay(unsigned delayMs);
    // Requests the driver holds (their OVERLAPPEDs are the driver's until completed).
    size_t liveRequests() const;
    // Completes every request now, cancelled or not, with STATUS_CANCELLED.
    void completeAllNow();
    // Completions whose event could not be set (closed by the caller too early).
    int completionsWithoutEvent() const;
    // Completions whose OVERLAPPED had changed while the driver held it (its event or
    // status rewritten: the caller freed the block and the heap gave it out again). The
    // driver writes nothing into such a block.
    int completionsIntoChangedBlocks() const;
    // Handles the layer holds open (filters and pins).
    int openHandles() const;

private:
    std::unique_ptr<Driver> driver_;
};

}  // namespace simks
