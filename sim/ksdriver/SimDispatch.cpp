// The simulated driver's request dispatch: opening filters, creating pin instances, and
// the property and stream requests of IOCTL_KS_PROPERTY, IOCTL_KS_READ_STREAM and
// IOCTL_KS_WRITE_STREAM, answered in the call or held for later completion.

#include "sim/ksdriver/SimKsDriverInternal.h"

#include <algorithm>
#include <cstddef>

namespace simks {
namespace {

const GUID kPropSetPin = {STATIC_KSPROPSETID_Pin};
const GUID kPropSetTopology = {STATIC_KSPROPSETID_Topology};
const GUID kPropSetConnection = {STATIC_KSPROPSETID_Connection};
const GUID kInterfaceSetStandard = {STATIC_KSINTERFACESETID_Standard};
const GUID kMediumSetStandard = {STATIC_KSMEDIUMSETID_Standard};

constexpr uintptr_t kKsUserModule = 0x7E000000;

void putU32(Bytes& out, size_t at, uint32_t v) { std::memcpy(out.data() + at, &v, sizeof v); }

void appendGuid(Bytes& out, const GUID& g) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&g);
    out.insert(out.end(), p, p + sizeof g);
}

// A KSMULTIPLE_ITEM reply.
Bytes multipleItem(uint32_t count, const Bytes& items) {
    Bytes out(sizeof(KSMULTIPLE_ITEM));
    putU32(out, offsetof(KSMULTIPLE_ITEM, Size), static_cast<uint32_t>(out.size() + items.size()));
    putU32(out, offsetof(KSMULTIPLE_ITEM, Count), count);
    out.insert(out.end(), items.begin(), items.end());
    return out;
}

Bytes u32Reply(uint32_t v) {
    Bytes out(4);
    putU32(out, 0, v);
    return out;
}

Bytes instancesReply(const uint32_t (&instances)[2], int open) {
    KSPIN_CINSTANCES reply = {instances[0], instances[1] + static_cast<ULONG>(open)};
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&reply);
    return Bytes(p, p + sizeof reply);
}

DWORD WINAPI CreatePin(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE out) {
    Driver& d = Driver::current();
    unsigned delay = 0;
    {
        auto l = d.lock();
        delay = d.createPinDelayMs_;
    }
    if (delay) Sleep(delay);
    auto l = d.lock();
    auto it = d.handles_.find(filter);
    if (it == d.handles_.end() || it->second.pin) return ERROR_INVALID_HANDLE;
    Device* dev = it->second.device;
    if (dev->removed_) return ERROR_DEVICE_REMOVED;
    if (connect == nullptr || out == nullptr || connect->PinId >= dev->pins_.size()) return ERROR_INVALID_PARAMETER;
    Pin* pin = dev->pins_[connect->PinId].get();
    if (pin->createError_) return pin->createError_;
    const KSDATAFORMAT* format = reinterpret_cast<const KSDATAFORMAT*>(connect + 1);
    if (format->FormatSize < sizeof(KSDATAFORMAT) || format->FormatSize > 4096) return ERROR_INVALID_PARAMETER;
    if (!sameGuid(connect->Interface.Set, kInterfaceSetStandard) || !sameGuid(connect->Medium.Set, kMediumSetStandard))
        return ERROR_NO_MATCH;
    bool match = false;
    for (const Bytes& range : pin->ranges_)
        if (range.size() >= sizeof(KSDATARANGE) &&
            std::memcmp(range.data() + offsetof(KSDATARANGE, MajorFormat), &format->MajorFormat, 2 * sizeof(GUID)) == 0)
            match = true;
    if (!match) return ERROR_NO_MATCH;
    // A pin type allows so many instances; an instance still held (by another process,
    // or a closed one whose requests the driver has not given back) takes its room.
    const uint32_t possible = pin->instances_[0];
    if (possible != KSINSTANCE_INDETERMINATE && pin->instances_[1] + static_cast<uint32_t>(pin->open_) >= possible)
        return ERROR_NO_SYSTEM_RESOURCES;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(connect);
    pin->connect_.assign(bytes, bytes + sizeof(KSPIN_CONNECT) + format->FormatSize);
    pin->access_ = access;
    ++pin->creates_;
    ++pin->open_;
    pin->state_ = KSSTATE_STOP;
    *out = d.open(dev, pin);
    return ERROR_SUCCESS;
}

}  // namespace

namespace dispatch {

HANDLE WINAPI CreateFile(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
                         HANDLE) {
    Driver& d = Driver::current();
    auto l = d.lock();
    Device* dev = nullptr;
    for (auto& candidate : d.devices_)
        if (path && !candidate->removed_ && sameText(candidate->path_, path)) dev = candidate.get();
    if (dev == nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    dev->lastOpen_[0] = access;
    dev->lastOpen_[1] = share;
    dev->lastOpen_[2] = disposition;
    dev->lastOpen_[3] = flags;
    if (dev->openError_) {
        SetLastError(dev->openError_);
        return INVALID_HANDLE_VALUE;
    }
    ++dev->opens_;
    return d.open(dev, nullptr);
}

BOOL WINAPI Ioctl(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD bytes,
                  LPOVERLAPPED overlapped) {
    Driver& d = Driver::current();
    unsigned delay = 0;
    if (code == IOCTL_KS_READ_STREAM) {
        auto l = d.lock();
        auto it = d.handles_.find(h);
        if (it != d.handles_.end() && it->second.pin) {
            ++it->second.pin->readsStarted_;
            delay = it->second.pin->readStartDelayMs_;
        }
        d.changed_.notify_all();
    }
    if (delay) Sleep(delay);
    auto l = d.lock();
    return d.ioctl(h, code, in, inSize, out, outSize, bytes, overlapped);
}

HMODULE WINAPI LoadKsUser() {
    Driver& d = Driver::current();
    unsigned delay = 0;
    {
        auto l = d.lock();
        ++d.ksUserLoads_;
        delay = d.ksUserLoadDelayMs_;
    }
    if (delay) Sleep(delay);
    auto l = d.lock();
    if (!d.ksUserPresent_) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return NULL;
    }
    return reinterpret_cast<HMODULE>(kKsUserModule);
}

FARPROC WINAPI ProcAddress(HMODULE module, LPCSTR name) {
    Driver& d = Driver::current();
    auto l = d.lock();
    if (module == reinterpret_cast<HMODULE>(kKsUserModule) && d.ksCreatePinExported_ && name &&
        std::strcmp(name, "KsCreatePin") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&CreatePin));
    SetLastError(ERROR_PROC_NOT_FOUND);
    return NULL;
}

}  // namespace dispatch

BOOL Driver::ioctl(HANDLE handle, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytes,
                   OVERLAPPED* overlapped) {
    auto it = handles_.find(handle);
    if (it == handles_.end()) return fail(ERROR_INVALID_HANDLE);
    Handle h = it->second;
    // Every handle of this driver is opened for overlapped I/O.
    if (overlapped == nullptr) return fail(ERROR_INVALID_PARAMETER);
    // The I/O manager resets the request's event and marks it pending as it starts. The reset
    // is done once the request is under way (mutex_ is held, so nothing can complete it
    // before): a request completed in the call leaves the event set either way, and Wine
    // charges a server round trip for a reset the kernel does inside the same call.
    HANDLE event = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR(1));
    overlapped->Internal = kStatusPending;
    overlapped->InternalHigh = 0;
    startedEvent_ = event;
    startedEventSet_ = false;
    dispatching_ = overlapped;
    const BOOL accepted = dispatch(handle, h, code, in, inSize, out, outSize, bytes, overlapped);
    const DWORD error = GetLastError();
    if (event && !startedEventSet_) ResetEvent(event);
    startedEvent_ = NULL;
    dispatching_ = nullptr;
    SetLastError(error);
    return accepted;
}

BOOL Driver::dispatch(HANDLE handle, const Handle& h, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                      DWORD* bytes, OVERLAPPED* overlapped) {
    if (h.device->removed_) return fail(ERROR_DEVICE_REMOVED);
    switch (code) {
    case IOCTL_KS_PROPERTY:
        return property(handle, h, in, inSize, out, outSize, bytes, overlapped);
    case IOCTL_KS_READ_STREAM:
    case IOCTL_KS_WRITE_STREAM:
        if (h.pin == nullptr) return fail(ERROR_INVALID_FUNCTION);
        return stream(handle, h, code == IOCTL_KS_WRITE_STREAM, out, outSize, bytes, overlapped);
    default:
        return fail(ERROR_INVALID_FUNCTION);
    }
}

BOOL Driver::property(HANDLE handle, const Handle& h, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytes,
                      OVERLAPPED* overlapped) {
    if (in == nullptr || inSize < sizeof(KSPROPERTY)) return fail(ERROR_INVALID_PARAMETER);
    ++propertyRequests_;
    if ((reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & 1) == 0) ++withoutLowBit_;
    const KSPROPERTY* request = static_cast<const KSPROPERTY*>(in);
    // Exactly one of GET and SET; a SET only where a value can be set.
    if (request->Flags != KSPROPERTY_TYPE_GET && request->Flags != KSPROPERTY_TYPE_SET)
        return fail(ERROR_INVALID_PARAMETER);
    if (request->Flags == KSPROPERTY_TYPE_GET && out != nullptr) {
        const uint8_t* given = static_cast<const uint8_t*>(out);
        lastGetBuffer_.assign(given, given + outSize);
    }
    const GUID& set = request->Set;
    Bytes reply;
    PropertyFault* fault = nullptr;

    if (h.pin) {
        if (!sameGuid(set, kPropSetConnection) || request->Id != KSPROPERTY_CONNECTION_STATE)
            return fail(sameGuid(set, kPropSetConnection) ? ERROR_NOT_FOUND : ERROR_SET_NOT_FOUND);
        if (request->Flags == KSPROPERTY_TYPE_SET) {
            if (out == nullptr || outSize < 4) return fail(ERROR_INVALID_PARAMETER);
            uint32_t state;
            std::memcpy(&state, out, 4);
            h.pin->stateRequests_.push_back(state);
            auto refused = h.pin->refusedStates_.find(state);
            if (refused != h.pin->refusedStates_.end()) return fail(refused->second);
            h.pin->state_ = state;
            // Stopping a pin ends its outstanding reads and writes.
            if (state == KSSTATE_STOP)
                for (auto& entry : handles_)
                    if (entry.second.pin == h.pin) cancel(entry.first, nullptr, true, kStatusCancelled);
            *bytes = 0;
            finish(overlapped, kStatusSuccess, 0);
            changed_.notify_all();
            return TRUE;
        }
        reply = u32Reply(h.pin->state_);
    } else if (request->Flags != KSPROPERTY_TYPE_GET) {
        return fail(ERROR_INVALID_PARAMETER);
    } else if (sameGuid(set, kPropSetPin)) {
        if (inSize >= sizeof(KSP_PIN) && static_cast<const KSP_PIN*>(in)->Reserved != 0)
            return fail(ERROR_INVALID_PARAMETER);
        if (request->Id == KSPROPERTY_PIN_CTYPES) {
            fault = h.device->pinCountFault_.get();
            reply = u32Reply(static_cast<uint32_t>(h.device->pins_.size()));
        } else {
            if (inSize < sizeof(KSP_PIN)) return fail(ERROR_INVALID_PARAMETER);
            ULONG pinId = static_cast<const KSP_PIN*>(in)->PinId;
            if (pinId >= h.device->pins_.size()) return fail(ERROR_INVALID_PARAMETER);
            Pin& pin = *h.device->pins_[pinId];
            auto f = pin.faults_.find(request->Id);
            if (f != pin.faults_.end()) fault = &f->second;
            switch (request->Id) {
            case KSPROPERTY_PIN_CINSTANCES:
                reply = instancesReply(pin.instances_, pin.open_);
                break;
            case KSPROPERTY_PIN_GLOBALCINSTANCES:
                reply = instancesReply(pin.globalInstances_, pin.open_);
                break;
            case KSPROPERTY_PIN_DATAFLOW:
                reply = u32Reply(pin.dataFlow_);
                break;
            case KSPROPERTY_PIN_COMMUNICATION:
                reply = u32Reply(pin.communication_);
                break;
            case KSPROPERTY_PIN_DATARANGES: {
                Bytes items;
                for (const Bytes& range : pin.ranges_) {
                    items.insert(items.end(), range.begin(), range.end());
                    items.resize((items.size() + 7) & ~size_t(7));
                }
                reply = multipleItem(static_cast<uint32_t>(pin.ranges_.size()), items);
                break;
            }
            case KSPROPERTY_PIN_INTERFACES:
                reply = multipleItem(static_cast<uint32_t>(pin.interfaces_.size() / sizeof(KSIDENTIFIER)),
                                     pin.interfaces_);
                break;
            case KSPROPERTY_PIN_MEDIUMS:
                reply = multipleItem(static_cast<uint32_t>(pin.mediums_.size() / sizeof(KSIDENTIFIER)), pin.mediums_);
                break;
            case KSPROPERTY_PIN_CATEGORY:
                appendGuid(reply, pin.category_);
                break;
            case KSPROPERTY_PIN_NAME:
                if (pin.name_.empty() && fault == nullptr) return fail(ERROR_NOT_FOUND);
                reply = pin.name_;
                break;
            default:
                if (fault == nullptr) return fail(ERROR_NOT_FOUND);
            }
        }
    } else if (sameGuid(set, kPropSetTopology) && request->Id == KSPROPERTY_TOPOLOGY_NODES) {
        fault = h.device->topologyFault_.get();
        Bytes items;
        for (const GUID& node : h.device->nodes_) appendGuid(items, node);
        reply = multipleItem(static_cast<uint32_t>(h.device->nodes_.size()), items);
    } else {
        return fail(ERROR_SET_NOT_FOUND);
    }

    bool pend = pendProperties_;
    bool oversize = false;
    int64_t probeSize = -1;
    if (fault) {
        PropertyFault* f = fault;
        switch (f->kind) {
        case PropertyFault::Refuse:
            return fail(f->error);
        case PropertyFault::Pend:
            pend = true;
            break;
        case PropertyFault::Replace:
            reply = f->reply;
            probeSize = f->probeSize;
            break;
        case PropertyFault::Grow:
            reply = f->answered++ == 0 ? Bytes(static_cast<size_t>(std::max<int64_t>(f->probeSize, 0))) : f->reply;
            break;
        case PropertyFault::Oversize:
            reply = f->reply;
            probeSize = f->probeSize;
            oversize = true;
            break;
        case PropertyFault::Hang:
            if (f->hangs == 0) break;
            if (f->hangs > 0) --f->hangs;
            hold(handle, overlapped, nullptr, Kind::Property, h.pin);
            return fail(ERROR_IO_PENDING);
        }
    }
    return answer(handle, reply, probeSize, pend, oversize, out, outSize, bytes, overlapped);
}

BOOL Driver::answer(HANDLE handle, const Bytes& reply, int64_t probeSize, bool pend, bool oversize, void* out,
                    DWORD outSize, DWORD* bytes, OVERLAPPED* overlapped) {
    uint64_t reported = probeSize >= 0 ? static_cast<uint64_t>(probeSize) : reply.size();
    DWORD error = ERROR_SUCCESS;
    ULONG_PTR information = reply.size();
    size_t copy = reply.size();
    if (outSize == 0 && reported > 0) {
        error = probeError_;
        information = static_cast<ULONG_PTR>(reported);
        copy = 0;
    } else if (outSize < reply.size() || (reply.size() > 0 && out == nullptr)) {
        if (oversize && out != nullptr) {
            copy = outSize;
        } else {
            error = probeError_;
            copy = 0;
        }
    }
    uint32_t status = statusFromError(error);
    if (pend) {
        const uint64_t serial = hold(handle, overlapped, nullptr, Kind::Property, handles_[handle].pin);
        later(pendDelayMs_, [this, serial, reply, copy, status, information, out] {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const Pending& p : pending_) {
                if (p.serial != serial || p.cancelling) continue;
                if (copy) std::memcpy(out, reply.data(), copy);
                release(serial, status, information);
                break;
            }
        });
        return fail(ERROR_IO_PENDING);
    }
    if (copy) std::memcpy(out, reply.data(), copy);
    if (!isErrorStatus(status)) *bytes = static_cast<DWORD>(information);
    finish(overlapped, status, information);
    return error == ERROR_SUCCESS ? TRUE : fail(error);
}

void Driver::recordWrite(Pin* pin, const KSSTREAM_HEADER* header, size_t number) {
    const uint8_t* data = static_cast<const uint8_t*>(header->Data);
    const KSMUSICFORMAT* entry = reinterpret_cast<const KSMUSICFORMAT*>(data);
    SimWrite& w = pin->writes_[number];
    w.timeDeltaMs = entry->TimeDeltaMs;
    w.byteCount = entry->ByteCount;
    const uint32_t room = header->FrameExtent - sizeof(KSMUSICFORMAT);
    const uint32_t n = std::min<uint32_t>(w.byteCount, room);
    const uint8_t* midi = data + sizeof(KSMUSICFORMAT);
    w.midi.assign(midi, midi + n);
    const uint32_t inUsed = header->DataUsed > sizeof(KSMUSICFORMAT) ? header->DataUsed - sizeof(KSMUSICFORMAT) : 0;
    w.used.assign(midi, midi + std::min(n, inUsed));
    w.headerSize = header->Size;
    w.frameExtent = header->FrameExtent;
    w.dataUsed = header->DataUsed;
}

BOOL Driver::stream(HANDLE handle, const Handle& h, bool write, void* out, DWORD outSize, DWORD* bytes,
                    OVERLAPPED* overlapped) {
    KSSTREAM_HEADER* header = static_cast<KSSTREAM_HEADER*>(out);
    if (header == nullptr || outSize < sizeof(KSSTREAM_HEADER) || header->Size != outSize || header->Data == nullptr ||
        header->FrameExtent < sizeof(KSMUSICFORMAT))
        return fail(ERROR_INVALID_PARAMETER);
    Pin* pin = h.pin;
    if (write) {
        if (pin->writeMode_ == WriteMode::Refuse) return fail(ERROR_GEN_FAILURE);
        const size_t number = pin->writes_.size();
        pin->writes_.emplace_back();
        recordWrite(pin, header, number);
        changed_.notify_all();
        auto failed = pin->failedWrites_.find(number);
        if (failed == pin->failedWrites_.end() && pin->writeMode_ == WriteMode::Now) {
            *bytes = header->Size;
            finish(overlapped, kStatusSuccess, header->Size);
            return TRUE;
        }
        const uint64_t serial = hold(handle, overlapped, header, Kind::Write, pin, number);
        if (failed != pin->failedWrites_.end() || pin->writeMode_ == WriteMode::Later) {
            const uint32_t status = failed != pin->failedWrites_.end() ? statusFromError(failed->second) : kStatusSuccess;
            releaseLater(pin->writeDelayMs_, serial, status, sizeof(KSSTREAM_HEADER));
        }
        return fail(ERROR_IO_PENDING);
    }
    if (pin->readError_ != ERROR_SUCCESS) {
        // Accepted, then failed by the device a moment later.
        releaseLater(1, hold(handle, overlapped, header, Kind::Read, pin), statusFromError(pin->readError_), 0);
        return fail(ERROR_IO_PENDING);
    }
    if (!pin->input_.empty()) {
        const DWORD error = pin->input_.front().error;
        completeRead(Pending{handle, overlapped, GetCurrentThreadId(), header, Kind::Read, pin, h.file, 0, false, 0, NULL});
        if (error != ERROR_SUCCESS) return fail(error);
        *bytes = header->Size;
        return TRUE;
    }
    hold(handle, overlapped, header, Kind::Read, pin);
    return fail(ERROR_IO_PENDING);
}

}  // namespace simks
