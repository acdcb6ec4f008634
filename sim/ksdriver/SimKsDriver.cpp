#include "sim/ksdriver/SimKsDriver.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <stdexcept>

#include "ks/KsOsApi.h"

namespace simks {

namespace {

SimKsDriver* g_driver = nullptr;

constexpr uint32_t kStatusSuccess = 0;
constexpr uint32_t kStatusPending = 0x103;
constexpr uint32_t kStatusCancelled = 0xC0000120;
constexpr uint32_t kStatusDeviceRemoved = 0xC00002B6;

// NTSTATUS values for the errors this driver gives; anything else travels with the
// customer bit so that GetOverlappedResult gives the same error back.
const struct {
    uint32_t status;
    DWORD error;
} kStatusMap[] = {
    {0x80000005, ERROR_MORE_DATA},           {0xC0000023, ERROR_INSUFFICIENT_BUFFER},
    {0xC0000225, ERROR_NOT_FOUND},           {kStatusCancelled, ERROR_OPERATION_ABORTED},
    {kStatusDeviceRemoved, ERROR_DEVICE_REMOVED},
};

// An error status (not a warning such as STATUS_BUFFER_OVERFLOW) carries no byte count.
bool isErrorStatus(uint32_t status) { return status >= 0xC0000000u; }

uint32_t statusFromError(DWORD error) {
    if (error == ERROR_SUCCESS) return kStatusSuccess;
    for (const auto& m : kStatusMap)
        if (m.error == error) return m.status;
    return 0xE0000000u | (error & 0xFFFF);
}

DWORD errorFromStatus(uint32_t status) {
    for (const auto& m : kStatusMap)
        if (m.status == status) return m.error;
    return status & 0xFFFF;
}

bool sameText(const std::string& a, const std::string& b) { return _stricmp(a.c_str(), b.c_str()) == 0; }

void putU32(Bytes& out, size_t at, uint32_t v) { std::memcpy(out.data() + at, &v, sizeof v); }

void appendGuid(Bytes& out, const KsGuid& g) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&g);
    out.insert(out.end(), p, p + sizeof g);
}

Bytes multipleItem(uint32_t count, const Bytes& items) {
    Bytes out(8);
    putU32(out, 0, static_cast<uint32_t>(8 + items.size()));
    putU32(out, 4, count);
    out.insert(out.end(), items.begin(), items.end());
    return out;
}

Bytes u32Reply(uint32_t v) {
    Bytes out(4);
    putU32(out, 0, v);
    return out;
}

Bytes identifier(const KsGuid& set, uint32_t id, uint32_t flags) {
    Bytes out;
    appendGuid(out, set);
    out.resize(24);
    putU32(out, 16, id);
    putU32(out, 20, flags);
    return out;
}

}  // namespace

Bytes MusicRange(const KsGuid& subFormat, const KsGuid& technology, uint32_t formatSize, const KsGuid& major) {
    Bytes range(std::max<uint32_t>(formatSize, 80));
    putU32(range, 0, formatSize);
    std::memcpy(range.data() + ksbytes::kMajorFormatOffset, &major, 16);
    std::memcpy(range.data() + ksbytes::kSubFormatOffset, &subFormat, 16);
    std::memcpy(range.data() + ksbytes::kTechnologyOffset, &technology, 16);
    range.resize(formatSize);
    return range;
}

Bytes HiddenMidiRange() { return MusicRange(kHiddenMidiSubFormat, ksbytes::kMusicTechnologyPort); }

// ---- SimPin ----

#define SIM_LOCK std::lock_guard<std::mutex> lock(driver_->mutex_)

SimPin& SimPin::setDataFlow(uint32_t flow) { SIM_LOCK; dataFlow_ = flow; return *this; }
SimPin& SimPin::setCommunication(uint32_t c) { SIM_LOCK; communication_ = c; return *this; }
SimPin& SimPin::addDataRange(const Bytes& range) { SIM_LOCK; ranges_.push_back(range); return *this; }
SimPin& SimPin::clearDataRanges() { SIM_LOCK; ranges_.clear(); return *this; }
SimPin& SimPin::addInterface(const KsGuid& set, uint32_t id, uint32_t flags) {
    SIM_LOCK;
    Bytes item = identifier(set, id, flags);
    interfaces_.insert(interfaces_.end(), item.begin(), item.end());
    return *this;
}
SimPin& SimPin::addMedium(const KsGuid& set, uint32_t id, uint32_t flags) {
    SIM_LOCK;
    Bytes item = identifier(set, id, flags);
    mediums_.insert(mediums_.end(), item.begin(), item.end());
    return *this;
}
SimPin& SimPin::setInstances(uint32_t p, uint32_t c) { SIM_LOCK; instances_[0] = p; instances_[1] = c; return *this; }
SimPin& SimPin::setGlobalInstances(uint32_t p, uint32_t c) {
    SIM_LOCK;
    globalInstances_[0] = p;
    globalInstances_[1] = c;
    return *this;
}
SimPin& SimPin::setCategory(const KsGuid& category) { SIM_LOCK; category_ = category; return *this; }
SimPin& SimPin::setName(const std::string& name) {
    SIM_LOCK;
    name_.assign(name.begin(), name.end());
    name_.push_back(0);
    return *this;
}
SimPin& SimPin::fault(uint32_t id, const PropertyFault& fault) { SIM_LOCK; faults_[id] = fault; return *this; }
SimPin& SimPin::refuse(uint32_t id, DWORD error) {
    PropertyFault f;
    f.kind = PropertyFault::Refuse;
    f.error = error;
    return fault(id, f);
}
SimPin& SimPin::refuseState(uint32_t state, DWORD error) { SIM_LOCK; refusedStates_[state] = error; return *this; }
SimPin& SimPin::setCreateError(DWORD error) { SIM_LOCK; createError_ = error; return *this; }

void SimPin::queueInput(const Bytes& midi) {
    std::vector<Frame> frames;
    for (size_t at = 0; at < midi.size(); at += 12) {
        Bytes part(midi.begin() + at, midi.begin() + std::min(midi.size(), at + 12));
        frames.push_back(Frame{part, static_cast<uint32_t>(part.size()), ERROR_SUCCESS});
    }
    queueFrames(frames);
}

void SimPin::queueFrame(uint32_t byteCount, const Bytes& midi) {
    queueFrames({Frame{Bytes(midi.begin(), midi.begin() + std::min<size_t>(midi.size(), 12)), byteCount,
                       ERROR_SUCCESS}});
}

void SimPin::failNextRead(const Bytes& midi, DWORD error) {
    queueFrames({Frame{Bytes(midi.begin(), midi.begin() + std::min<size_t>(midi.size(), 12)),
                       static_cast<uint32_t>(std::min<size_t>(midi.size(), 12)), error}});
}

void SimPin::setReadStartDelay(unsigned delayMs) { SIM_LOCK; readStartDelayMs_ = delayMs; }
int SimPin::readsStarted() const { SIM_LOCK; return readsStarted_; }

void SimPin::queueFrames(const std::vector<Frame>& frames) {
    SIM_LOCK;
    input_.insert(input_.end(), frames.begin(), frames.end());
    for (size_t i = 0; i < driver_->pending_.size() && !input_.empty();) {
        SimKsDriver::Pending p = driver_->pending_[i];
        if (p.pin == this && p.kind == SimKsDriver::Kind::Read && !p.cancelling) {
            driver_->pending_.erase(driver_->pending_.begin() + i);
            driver_->completeRead(p);
        } else {
            ++i;
        }
    }
    driver_->changed_.notify_all();
}

void SimPin::setWriteMode(WriteMode mode, unsigned delayMs) {
    SIM_LOCK;
    writeMode_ = mode;
    writeDelayMs_ = delayMs;
}

void SimPin::failWrite(size_t number, DWORD error) { SIM_LOCK; failedWrites_[number] = error; }

void SimPin::completePendingWrites() {
    SIM_LOCK;
    std::vector<uint64_t> serials;
    for (const SimKsDriver::Pending& p : driver_->pending_)
        if (p.pin == this && p.kind == SimKsDriver::Kind::Write && !p.cancelling) serials.push_back(p.serial);
    for (uint64_t serial : serials) driver_->release(serial, kStatusSuccess, sizeof(KSSTREAM_HEADER));
}

std::vector<SimWrite> SimPin::writes() const { SIM_LOCK; return writes_; }

bool SimPin::waitForWrites(size_t count, unsigned timeoutMs) const {
    std::unique_lock<std::mutex> lock(driver_->mutex_);
    return driver_->changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                      [&] { return writes_.size() >= count; });
}

bool SimPin::waitForPendingReads(size_t count, unsigned timeoutMs) const {
    std::unique_lock<std::mutex> lock(driver_->mutex_);
    return driver_->changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return static_cast<size_t>(std::count_if(driver_->pending_.begin(), driver_->pending_.end(),
                                                 [&](const SimKsDriver::Pending& p) {
                                                     return p.pin == this && p.kind == SimKsDriver::Kind::Read &&
                                                            !p.cancelling;
                                                 })) >= count;
    });
}

uint32_t SimPin::state() const { SIM_LOCK; return state_; }
std::vector<uint32_t> SimPin::stateRequests() const { SIM_LOCK; return stateRequests_; }
Bytes SimPin::connectBlock() const { SIM_LOCK; return connect_; }
DWORD SimPin::createAccess() const { SIM_LOCK; return access_; }
int SimPin::createCount() const { SIM_LOCK; return creates_; }
int SimPin::openInstances() const { SIM_LOCK; return open_; }
size_t SimPin::pendingReads() const {
    SIM_LOCK;
    return std::count_if(driver_->pending_.begin(), driver_->pending_.end(),
                         [&](const SimKsDriver::Pending& p) {
                             return p.pin == this && p.kind == SimKsDriver::Kind::Read && !p.cancelling;
                         });
}
size_t SimPin::pendingWrites() const {
    SIM_LOCK;
    return std::count_if(driver_->pending_.begin(), driver_->pending_.end(),
                         [&](const SimKsDriver::Pending& p) {
                             return p.pin == this && p.kind == SimKsDriver::Kind::Write && !p.cancelling;
                         });
}

// ---- SimDevice ----

SimPin& SimDevice::addPin(uint32_t dataFlow, uint32_t communication) {
    std::lock_guard<std::mutex> lock(driver_->mutex_);
    pins_.emplace_back(new SimPin(driver_, this, static_cast<uint32_t>(pins_.size())));
    SimPin& pin = *pins_.back();
    pin.dataFlow_ = dataFlow;
    pin.communication_ = communication;
    Bytes item = identifier(ksbytes::kInterfaceSetStandard, 0, 0);
    pin.interfaces_ = item;
    pin.mediums_ = identifier(ksbytes::kMediumSetStandard, 0, 0);
    pin.name_ = {'M', 'I', 'D', 'I', 0};
    return pin;
}

SimPin& SimDevice::addHiddenMidiPin(uint32_t dataFlow, uint32_t communication) {
    return addPin(dataFlow, communication).addDataRange(HiddenMidiRange());
}

SimPin& SimDevice::pin(size_t index) { return *pins_.at(index); }
size_t SimDevice::pinCount() const { return pins_.size(); }

#undef SIM_LOCK
#define SIM_LOCK std::lock_guard<std::mutex> lock(driver_->mutex_)

SimDevice& SimDevice::setFriendlyName(const std::string& name) {
    SIM_LOCK;
    friendlyName_ = name;
    hasFriendlyName_ = true;
    return *this;
}
SimDevice& SimDevice::setFriendlyNameSizeReport(DWORD size) {
    SIM_LOCK;
    friendlyNameSizeReport_ = size;
    return *this;
}
SimDevice& SimDevice::setService(const std::string& service, const std::string& imagePath) {
    SIM_LOCK;
    service_ = service;
    imagePath_ = imagePath;
    return *this;
}
SimDevice& SimDevice::setOpenError(DWORD error) { SIM_LOCK; openError_ = error; return *this; }
SimDevice& SimDevice::setCategory(const KsGuid& category) { SIM_LOCK; category_ = category; return *this; }
SimDevice& SimDevice::setTopologyNodes(const std::vector<KsGuid>& nodes) { SIM_LOCK; nodes_ = nodes; return *this; }
SimDevice& SimDevice::faultPinCount(const PropertyFault& f) {
    SIM_LOCK;
    pinCountFault_.reset(new PropertyFault(f));
    return *this;
}
SimDevice& SimDevice::faultTopology(const PropertyFault& f) {
    SIM_LOCK;
    topologyFault_.reset(new PropertyFault(f));
    return *this;
}
int SimDevice::openCount() const { SIM_LOCK; return opens_; }
DWORD SimDevice::lastAccess() const { SIM_LOCK; return lastOpen_[0]; }
DWORD SimDevice::lastShare() const { SIM_LOCK; return lastOpen_[1]; }
DWORD SimDevice::lastDisposition() const { SIM_LOCK; return lastOpen_[2]; }
DWORD SimDevice::lastFlags() const { SIM_LOCK; return lastOpen_[3]; }

#undef SIM_LOCK

// ---- the OS table ----

struct SimOs {
    static SimKsDriver& d() { return *g_driver; }
    static std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(d().mutex_); }

    static SimDevice* findDevice(const std::string& path) {
        for (auto& dev : d().devices_)
            if (!dev->removed_ && sameText(dev->path_, path)) return dev.get();
        return nullptr;
    }

    static SimDevice* deviceOf(ULONG_PTR reserved) {
        for (auto& dev : d().devices_)
            if (reinterpret_cast<ULONG_PTR>(dev.get()) == reserved) return dev.get();
        return nullptr;
    }

    static BOOL fail(DWORD error) {
        SetLastError(error);
        return FALSE;
    }

    static void fillInterface(SimDevice* dev, PSP_DEVICE_INTERFACE_DATA data) {
        data->InterfaceClassGuid = ToGuidLocal(dev->category_);
        data->Flags = SPINT_ACTIVE;
        data->Reserved = reinterpret_cast<ULONG_PTR>(dev);
    }

    static GUID ToGuidLocal(const KsGuid& g) {
        GUID out;
        std::memcpy(&out, &g, sizeof out);
        return out;
    }

    static HDEVINFO WINAPI GetClassDevs(const GUID* guid, PCSTR, HWND, DWORD flags) {
        auto l = lock();
        if (!(flags & DIGCF_DEVICEINTERFACE) || guid == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        HDEVINFO set = d().newHandle();
        SimKsDriver::DevInfoSet& s = d().sets_[set];
        // Without DIGCF_PRESENT the interfaces of devices that left are listed too.
        bool presentOnly = (flags & DIGCF_PRESENT) != 0;
        for (auto& dev : d().devices_)
            if ((!presentOnly || !dev->removed_) && std::memcmp(&dev->category_, guid, sizeof(GUID)) == 0)
                s.devices.push_back(dev.get());
        return set;
    }

    static BOOL WINAPI EnumInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                                      PSP_DEVICE_INTERFACE_DATA data) {
        auto l = lock();
        auto it = d().sets_.find(set);
        if (it == d().sets_.end()) return fail(ERROR_INVALID_HANDLE);
        if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
        if (index >= it->second.devices.size()) return fail(ERROR_NO_MORE_ITEMS);
        fillInterface(it->second.devices[index], data);
        return TRUE;
    }

    static BOOL WINAPI GetDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                 DWORD size, PDWORD required, PSP_DEVINFO_DATA devInfo) {
        auto l = lock();
        if (d().sets_.find(set) == d().sets_.end()) return fail(ERROR_INVALID_HANDLE);
        SimDevice* dev = data ? deviceOf(data->Reserved) : nullptr;
        if (dev == nullptr) return fail(ERROR_INVALID_PARAMETER);
        DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + dev->path_.size() + 1);
        if (required) *required = needed;
        if (detail && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return fail(ERROR_INVALID_USER_BUFFER);
        if (devInfo && devInfo->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
        if (devInfo) {
            devInfo->ClassGuid = ToGuidLocal(dev->category_);
            devInfo->DevInst = 1;
            devInfo->Reserved = reinterpret_cast<ULONG_PTR>(dev);
        }
        if (detail == nullptr || size < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(detail->DevicePath, dev->path_.c_str(), dev->path_.size() + 1);
        return TRUE;
    }

    static HDEVINFO WINAPI CreateList(const GUID*, HWND) {
        auto l = lock();
        HDEVINFO set = d().newHandle();
        d().sets_[set];
        return set;
    }

    static BOOL WINAPI OpenInterface(HDEVINFO set, PCSTR path, DWORD, PSP_DEVICE_INTERFACE_DATA data) {
        auto l = lock();
        auto it = d().sets_.find(set);
        if (it == d().sets_.end()) return fail(ERROR_INVALID_HANDLE);
        if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
        SimDevice* dev = path ? findDevice(path) : nullptr;
        if (dev == nullptr) return fail(ERROR_NO_SUCH_DEVICE_INTERFACE);
        it->second.devices.push_back(dev);
        fillInterface(dev, data);
        return TRUE;
    }

    static HKEY WINAPI OpenRegKey(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data, DWORD, REGSAM) {
        auto l = lock();
        SimDevice* dev = data ? deviceOf(data->Reserved) : nullptr;
        if (d().sets_.find(set) == d().sets_.end() || dev == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return static_cast<HKEY>(INVALID_HANDLE_VALUE);
        }
        HKEY key = static_cast<HKEY>(d().newHandle());
        SimKsDriver::Key& k = d().keys_[key];
        if (dev->hasFriendlyName_) k.values["FriendlyName"] = dev->friendlyName_;
        if (dev->friendlyNameSizeReport_) k.reportedSizes["FriendlyName"] = dev->friendlyNameSizeReport_;
        return key;
    }

    static BOOL WINAPI GetRegistryProperty(HDEVINFO set, PSP_DEVINFO_DATA devInfo, DWORD property, PDWORD type,
                                           PBYTE buffer, DWORD size, PDWORD required) {
        auto l = lock();
        SimDevice* dev = devInfo ? deviceOf(devInfo->Reserved) : nullptr;
        if (d().sets_.find(set) == d().sets_.end() || dev == nullptr) return fail(ERROR_INVALID_PARAMETER);
        if (property != SPDRP_SERVICE || dev->service_.empty()) return fail(ERROR_INVALID_DATA);
        DWORD needed = static_cast<DWORD>(dev->service_.size() + 1);
        if (required) *required = needed;
        if (type) *type = REG_SZ;
        if (buffer == nullptr || size < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(buffer, dev->service_.c_str(), needed);
        return TRUE;
    }

    static BOOL WINAPI DestroyList(HDEVINFO set) {
        auto l = lock();
        return d().sets_.erase(set) ? TRUE : fail(ERROR_INVALID_HANDLE);
    }

    static LONG WINAPI RegOpen(HKEY root, LPCSTR subKey, DWORD, REGSAM, PHKEY result) {
        auto l = lock();
        static const std::string kPrefix = "SYSTEM\\CurrentControlSet\\Services\\";
        std::string sub = subKey ? subKey : "";
        if (root != HKEY_LOCAL_MACHINE || sub.size() <= kPrefix.size() || !sameText(sub.substr(0, kPrefix.size()), kPrefix))
            return ERROR_FILE_NOT_FOUND;
        std::string service = sub.substr(kPrefix.size());
        for (auto& dev : d().devices_) {
            if (dev->service_.empty() || !sameText(dev->service_, service)) continue;
            HKEY key = static_cast<HKEY>(d().newHandle());
            SimKsDriver::Key& k = d().keys_[key];
            if (!dev->imagePath_.empty()) k.values["ImagePath"] = dev->imagePath_;
            *result = key;
            return ERROR_SUCCESS;
        }
        return ERROR_FILE_NOT_FOUND;
    }

    static LONG WINAPI RegQuery(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
        auto l = lock();
        auto it = d().keys_.find(key);
        if (it == d().keys_.end()) return ERROR_INVALID_HANDLE;
        auto value = it->second.values.find(name ? name : "");
        if (value == it->second.values.end()) return ERROR_FILE_NOT_FOUND;
        DWORD needed = static_cast<DWORD>(value->second.size() + 1);
        if (type) *type = value->first == "ImagePath" ? REG_EXPAND_SZ : REG_SZ;
        if (data == nullptr) {
            auto reported = it->second.reportedSizes.find(value->first);
            if (size) *size = reported != it->second.reportedSizes.end() ? reported->second : needed;
            return ERROR_SUCCESS;
        }
        if (size == nullptr) return ERROR_INVALID_PARAMETER;
        if (*size < needed) {
            *size = needed;
            return ERROR_MORE_DATA;
        }
        std::memcpy(data, value->second.c_str(), needed);
        *size = needed;
        return ERROR_SUCCESS;
    }

    static LONG WINAPI RegClose(HKEY key) {
        auto l = lock();
        return d().keys_.erase(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    }

    static HANDLE WINAPI CreateFile(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                                    DWORD flags, HANDLE) {
        auto l = lock();
        SimDevice* dev = path ? findDevice(path) : nullptr;
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
        HANDLE h = d().newHandle();
        d().handles_[h] = SimKsDriver::Handle{dev, nullptr};
        return h;
    }

    static BOOL WINAPI Ioctl(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD bytes,
                             LPOVERLAPPED overlapped) {
        unsigned delay = 0;
        if (code == IOCTL_KS_READ_STREAM) {
            auto l = lock();
            auto it = d().handles_.find(h);
            if (it != d().handles_.end() && it->second.pin) {
                ++it->second.pin->readsStarted_;
                delay = it->second.pin->readStartDelayMs_;
            }
            d().changed_.notify_all();
        }
        if (delay) Sleep(delay);
        auto l = lock();
        return d().ioctl(h, code, in, inSize, out, outSize, bytes, overlapped);
    }

    static BOOL WINAPI OverlappedResult(HANDLE h, LPOVERLAPPED overlapped, LPDWORD bytes, BOOL wait) {
        {
            auto l = lock();
            if (d().handles_.find(h) == d().handles_.end()) return fail(ERROR_INVALID_HANDLE);
        }
        if (overlapped->Internal == kStatusPending) {
            if (!wait) return fail(ERROR_IO_INCOMPLETE);
            HANDLE event = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR(1));
            WaitForSingleObject(event, INFINITE);
        }
        auto l = lock();
        *bytes = static_cast<DWORD>(overlapped->InternalHigh);
        uint32_t status = static_cast<uint32_t>(overlapped->Internal);
        return status == kStatusSuccess ? TRUE : fail(errorFromStatus(status));
    }

    static BOOL WINAPI Cancel(HANDLE h) {
        auto l = lock();
        if (d().handles_.find(h) == d().handles_.end()) return fail(ERROR_INVALID_HANDLE);
        // Like CancelIo: only the requests this thread issued.
        d().cancel(h, nullptr, false, kStatusCancelled);
        return TRUE;
    }

    static BOOL WINAPI CancelEx(HANDLE h, LPOVERLAPPED overlapped) {
        auto l = lock();
        if (d().handles_.find(h) == d().handles_.end()) return fail(ERROR_INVALID_HANDLE);
        // Like CancelIoEx: from any thread; nothing to cancel is ERROR_NOT_FOUND.
        return d().cancel(h, overlapped, true, kStatusCancelled) ? TRUE : fail(ERROR_NOT_FOUND);
    }

    static BOOL WINAPI Close(HANDLE h) {
        auto l = lock();
        auto it = d().handles_.find(h);
        if (it == d().handles_.end()) return fail(ERROR_INVALID_HANDLE);
        d().cancel(h, nullptr, true, kStatusCancelled);
        if (it->second.pin) {
            --it->second.pin->open_;
            it->second.pin->state_ = 0;
        }
        d().handles_.erase(it);
        d().changed_.notify_all();
        return TRUE;
    }

    static HMODULE WINAPI LoadKsUser() {
        auto l = lock();
        ++d().ksUserLoads_;
        if (!d().ksUserPresent_) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return NULL;
        }
        return reinterpret_cast<HMODULE>(kKsUserModule);
    }

    static FARPROC WINAPI ProcAddress(HMODULE module, LPCSTR name) {
        auto l = lock();
        if (module == reinterpret_cast<HMODULE>(kKsUserModule) && d().ksCreatePinExported_ && name &&
            std::strcmp(name, "KsCreatePin") == 0)
            return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&CreatePin));
        SetLastError(ERROR_PROC_NOT_FOUND);
        return NULL;
    }

    static DWORD WINAPI CreatePin(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE out) {
        auto l = lock();
        auto it = d().handles_.find(filter);
        if (it == d().handles_.end() || it->second.pin) return ERROR_INVALID_HANDLE;
        SimDevice* dev = it->second.device;
        if (dev->removed_) return ERROR_DEVICE_REMOVED;
        if (connect == nullptr || out == nullptr || connect->PinId >= dev->pins_.size()) return ERROR_INVALID_PARAMETER;
        SimPin* pin = dev->pins_[connect->PinId].get();
        if (pin->createError_) return pin->createError_;
        const KSDATAFORMAT* format = reinterpret_cast<const KSDATAFORMAT*>(connect + 1);
        if (format->FormatSize < sizeof(KSDATAFORMAT) || format->FormatSize > 4096) return ERROR_INVALID_PARAMETER;
        if (FromGuidLocal(connect->Interface.Set) != ksbytes::kInterfaceSetStandard ||
            FromGuidLocal(connect->Medium.Set) != ksbytes::kMediumSetStandard)
            return ERROR_NO_MATCH;
        bool match = false;
        for (const Bytes& range : pin->ranges_)
            if (range.size() >= 64 && std::memcmp(range.data() + 16, &format->MajorFormat, 32) == 0) match = true;
        if (!match) return ERROR_NO_MATCH;
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(connect);
        pin->connect_.assign(bytes, bytes + sizeof(KSPIN_CONNECT) + format->FormatSize);
        pin->access_ = access;
        ++pin->creates_;
        ++pin->open_;
        pin->state_ = 0;
        HANDLE h = d().newHandle();
        d().handles_[h] = SimKsDriver::Handle{dev, pin};
        *out = h;
        return ERROR_SUCCESS;
    }

    static KsGuid FromGuidLocal(const GUID& g) {
        KsGuid out;
        std::memcpy(&out, &g, sizeof out);
        return out;
    }

    static constexpr uintptr_t kKsUserModule = 0x7E000000;
};

namespace {
KsOsApi simTable() {
    KsOsApi t = {};
    t.SetupDiGetClassDevsA = SimOs::GetClassDevs;
    t.SetupDiEnumDeviceInterfaces = SimOs::EnumInterfaces;
    t.SetupDiGetDeviceInterfaceDetailA = SimOs::GetDetail;
    t.SetupDiCreateDeviceInfoList = SimOs::CreateList;
    t.SetupDiOpenDeviceInterfaceA = SimOs::OpenInterface;
    t.SetupDiOpenDeviceInterfaceRegKey = SimOs::OpenRegKey;
    t.SetupDiGetDeviceRegistryPropertyA = SimOs::GetRegistryProperty;
    t.SetupDiDestroyDeviceInfoList = SimOs::DestroyList;
    t.RegOpenKeyExA = SimOs::RegOpen;
    t.RegQueryValueExA = SimOs::RegQuery;
    t.RegCloseKey = SimOs::RegClose;
    t.CreateFileA = SimOs::CreateFile;
    t.DeviceIoControl = SimOs::Ioctl;
    t.GetOverlappedResult = SimOs::OverlappedResult;
    t.CancelIo = SimOs::Cancel;
    t.CancelIoEx = SimOs::CancelEx;
    t.CloseHandle = SimOs::Close;
    t.LoadKsUser = SimOs::LoadKsUser;
    t.GetProcAddress = SimOs::ProcAddress;
    return t;
}
const KsOsApi kSimTable = simTable();
}  // namespace

// ---- SimKsDriver ----

SimKsDriver::SimKsDriver() {
    if (g_driver) throw std::logic_error("one SimKsDriver at a time");
    g_driver = this;
    previous_ = SetKsOsApi(&kSimTable);
    worker_ = std::thread([this] { worker(); });
}

SimKsDriver::~SimKsDriver() {
    {
        std::lock_guard<std::mutex> lock(timerMutex_);
        stopping_ = true;
    }
    timerChanged_.notify_all();
    worker_.join();
    SetKsOsApi(previous_ == WindowsKsOsApi() ? nullptr : previous_);
    g_driver = nullptr;
}

SimDevice& SimKsDriver::addDevice(const std::string& path, const std::string& friendlyName) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.emplace_back(new SimDevice(this, path));
    SimDevice& dev = *devices_.back();
    if (!friendlyName.empty()) {
        dev.friendlyName_ = friendlyName;
        dev.hasFriendlyName_ = true;
    }
    return dev;
}

SimDevice* SimKsDriver::device(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& dev : devices_)
        if (!dev->removed_ && sameText(dev->path_, path)) return dev.get();
    return nullptr;
}

void SimKsDriver::removeDevice(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& dev : devices_) {
        if (dev->removed_ || !sameText(dev->path_, path)) continue;
        dev->removed_ = true;
        for (auto& h : handles_)
            if (h.second.device == dev.get()) cancel(h.first, nullptr, true, kStatusDeviceRemoved);
    }
    changed_.notify_all();
}

void SimKsDriver::setKsUserPresent(bool present) { std::lock_guard<std::mutex> l(mutex_); ksUserPresent_ = present; }
void SimKsDriver::setKsCreatePinExported(bool e) { std::lock_guard<std::mutex> l(mutex_); ksCreatePinExported_ = e; }
int SimKsDriver::ksUserLoads() const { std::lock_guard<std::mutex> l(mutex_); return ksUserLoads_; }
void SimKsDriver::setProbeError(DWORD error) { std::lock_guard<std::mutex> l(mutex_); probeError_ = error; }
void SimKsDriver::setPendProperties(bool pend, unsigned delayMs) {
    std::lock_guard<std::mutex> l(mutex_);
    pendProperties_ = pend;
    pendDelayMs_ = delayMs;
}
int SimKsDriver::propertyRequests() const { std::lock_guard<std::mutex> l(mutex_); return propertyRequests_; }
int SimKsDriver::propertyRequestsWithoutLowBit() const {
    std::lock_guard<std::mutex> l(mutex_);
    return withoutLowBit_;
}
void SimKsDriver::setCancelDelay(unsigned delayMs) { std::lock_guard<std::mutex> l(mutex_); cancelDelayMs_ = delayMs; }
size_t SimKsDriver::liveRequests() const { std::lock_guard<std::mutex> l(mutex_); return pending_.size(); }
void SimKsDriver::completeAllNow() {
    std::lock_guard<std::mutex> l(mutex_);
    while (!pending_.empty()) release(pending_.front().serial, kStatusCancelled, 0);
}
int SimKsDriver::completionsWithoutEvent() const { std::lock_guard<std::mutex> l(mutex_); return eventFaults_; }
int SimKsDriver::openHandles() const { std::lock_guard<std::mutex> l(mutex_); return static_cast<int>(handles_.size()); }

HANDLE SimKsDriver::newHandle() {
    HANDLE h = reinterpret_cast<HANDLE>(nextHandle_);
    nextHandle_ += 4;
    return h;
}

void SimKsDriver::finish(OVERLAPPED* overlapped, uint32_t status, ULONG_PTR information) {
    if (overlapped == nullptr) return;
    overlapped->Internal = status;
    overlapped->InternalHigh = isErrorStatus(status) ? 0 : information;
    HANDLE event = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR(1));
    if (event && event == startedEvent_) startedEventSet_ = true;
    if (event && !SetEvent(event)) ++eventFaults_;
}

uint64_t SimKsDriver::hold(HANDLE handle, OVERLAPPED* overlapped, KSSTREAM_HEADER* header, Kind kind, SimPin* pin) {
    uint64_t serial = nextSerial_++;
    pending_.push_back(Pending{handle, overlapped, GetCurrentThreadId(), header, kind, pin, serial, false});
    changed_.notify_all();
    return serial;
}

bool SimKsDriver::release(uint64_t serial, uint32_t status, ULONG_PTR information) {
    for (size_t i = 0; i < pending_.size(); ++i) {
        if (pending_[i].serial != serial) continue;
        OVERLAPPED* overlapped = pending_[i].overlapped;
        pending_.erase(pending_.begin() + i);
        finish(overlapped, status, information);
        changed_.notify_all();
        return true;
    }
    return false;
}

size_t SimKsDriver::cancel(HANDLE handle, OVERLAPPED* overlapped, bool anyThread, uint32_t status) {
    DWORD self = GetCurrentThreadId();
    size_t asked = 0;
    for (Pending& p : pending_) {
        if (p.handle != handle || p.cancelling || (overlapped && p.overlapped != overlapped)) continue;
        if (!anyThread && p.thread != self) continue;
        p.cancelling = true;
        ++asked;
        uint64_t serial = p.serial;
        later(cancelDelayMs_, [this, serial, status] {
            std::lock_guard<std::mutex> lock(mutex_);
            release(serial, status, 0);
        });
    }
    changed_.notify_all();
    return asked;
}

BOOL SimKsDriver::ioctl(HANDLE handle, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytes,
                        OVERLAPPED* overlapped) {
    auto it = handles_.find(handle);
    if (it == handles_.end()) return SimOs::fail(ERROR_INVALID_HANDLE);
    Handle h = it->second;
    // Every handle of this driver is opened for overlapped I/O.
    if (overlapped == nullptr) return SimOs::fail(ERROR_INVALID_PARAMETER);
    // The I/O manager resets the request's event and marks it pending as it starts. The reset
    // is done once the request is under way (mutex_ is held, so nothing can complete it
    // before): a request completed in the call leaves the event set either way, and Wine
    // charges a server round trip for a reset the kernel does inside the same call.
    HANDLE event = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR(1));
    overlapped->Internal = kStatusPending;
    overlapped->InternalHigh = 0;
    startedEvent_ = event;
    startedEventSet_ = false;
    const BOOL accepted = dispatch(handle, h, code, in, inSize, out, outSize, bytes, overlapped);
    const DWORD error = GetLastError();
    if (event && !startedEventSet_) ResetEvent(event);
    startedEvent_ = NULL;
    SetLastError(error);
    return accepted;
}

BOOL SimKsDriver::dispatch(HANDLE handle, const Handle& h, DWORD code, void* in, DWORD inSize, void* out,
                           DWORD outSize, DWORD* bytes, OVERLAPPED* overlapped) {
    if (h.device->removed_) return SimOs::fail(ERROR_DEVICE_REMOVED);
    switch (code) {
    case IOCTL_KS_PROPERTY:
        return property(handle, h, in, inSize, out, outSize, bytes, overlapped);
    case IOCTL_KS_READ_STREAM:
    case IOCTL_KS_WRITE_STREAM:
        if (h.pin == nullptr) return SimOs::fail(ERROR_INVALID_FUNCTION);
        return stream(handle, h, code == IOCTL_KS_WRITE_STREAM, out, outSize, bytes, overlapped);
    default:
        return SimOs::fail(ERROR_INVALID_FUNCTION);
    }
}

BOOL SimKsDriver::property(HANDLE handle, const Handle& h, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytes,
                           OVERLAPPED* overlapped) {
    if (in == nullptr || inSize < sizeof(KSPROPERTY)) return SimOs::fail(ERROR_INVALID_PARAMETER);
    ++propertyRequests_;
    if ((reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & 1) == 0) ++withoutLowBit_;
    const KSPROPERTY* request = static_cast<const KSPROPERTY*>(in);
    // Exactly one of GET and SET; a SET only where a value can be set.
    if (request->Flags != KSPROPERTY_TYPE_GET && request->Flags != KSPROPERTY_TYPE_SET)
        return SimOs::fail(ERROR_INVALID_PARAMETER);
    KsGuid set = SimOs::FromGuidLocal(request->Set);
    Bytes reply;
    PropertyFault* fault = nullptr;

    if (h.pin) {
        if (set != ksbytes::kPropSetConnection || request->Id != KSPROPERTY_CONNECTION_STATE)
            return SimOs::fail(set == ksbytes::kPropSetConnection ? ERROR_NOT_FOUND : ERROR_SET_NOT_FOUND);
        if (request->Flags == KSPROPERTY_TYPE_SET) {
            if (out == nullptr || outSize < 4) return SimOs::fail(ERROR_INVALID_PARAMETER);
            uint32_t state;
            std::memcpy(&state, out, 4);
            h.pin->stateRequests_.push_back(state);
            auto refused = h.pin->refusedStates_.find(state);
            if (refused != h.pin->refusedStates_.end()) return SimOs::fail(refused->second);
            h.pin->state_ = state;
            // Stopping a pin ends its outstanding reads and writes.
            if (state == 0)
                for (auto& entry : handles_)
                    if (entry.second.pin == h.pin) cancel(entry.first, nullptr, true, kStatusCancelled);
            *bytes = 0;
            finish(overlapped, kStatusSuccess, 0);
            changed_.notify_all();
            return TRUE;
        }
        reply = u32Reply(h.pin->state_);
    } else if (request->Flags != KSPROPERTY_TYPE_GET) {
        return SimOs::fail(ERROR_INVALID_PARAMETER);
    } else if (set == ksbytes::kPropSetPin) {
        if (inSize >= sizeof(KSP_PIN) && static_cast<const KSP_PIN*>(in)->Reserved != 0)
            return SimOs::fail(ERROR_INVALID_PARAMETER);
        if (request->Id == KSPROPERTY_PIN_CTYPES) {
            fault = h.device->pinCountFault_.get();
            reply = u32Reply(static_cast<uint32_t>(h.device->pins_.size()));
        } else {
            if (inSize < sizeof(KSP_PIN)) return SimOs::fail(ERROR_INVALID_PARAMETER);
            ULONG pinId = static_cast<const KSP_PIN*>(in)->PinId;
            if (pinId >= h.device->pins_.size()) return SimOs::fail(ERROR_INVALID_PARAMETER);
            SimPin& pin = *h.device->pins_[pinId];
            auto f = pin.faults_.find(request->Id);
            if (f != pin.faults_.end()) fault = &f->second;
            switch (request->Id) {
            case KSPROPERTY_PIN_CINSTANCES:
                reply.assign(reinterpret_cast<uint8_t*>(pin.instances_), reinterpret_cast<uint8_t*>(pin.instances_) + 8);
                break;
            case KSPROPERTY_PIN_GLOBALCINSTANCES:
                reply.assign(reinterpret_cast<uint8_t*>(pin.globalInstances_),
                             reinterpret_cast<uint8_t*>(pin.globalInstances_) + 8);
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
                reply = multipleItem(static_cast<uint32_t>(pin.interfaces_.size() / 24), pin.interfaces_);
                break;
            case KSPROPERTY_PIN_MEDIUMS:
                reply = multipleItem(static_cast<uint32_t>(pin.mediums_.size() / 24), pin.mediums_);
                break;
            case KSPROPERTY_PIN_CATEGORY:
                appendGuid(reply, pin.category_);
                break;
            case KSPROPERTY_PIN_NAME:
                if (pin.name_.empty() && fault == nullptr) return SimOs::fail(ERROR_NOT_FOUND);
                reply = pin.name_;
                break;
            default:
                if (fault == nullptr) return SimOs::fail(ERROR_NOT_FOUND);
            }
        }
    } else if (set == ksbytes::kPropSetTopology && request->Id == KSPROPERTY_TOPOLOGY_NODES) {
        fault = h.device->topologyFault_.get();
        Bytes items;
        for (const KsGuid& node : h.device->nodes_) appendGuid(items, node);
        reply = multipleItem(static_cast<uint32_t>(h.device->nodes_.size()), items);
    } else {
        return SimOs::fail(ERROR_SET_NOT_FOUND);
    }

    bool pend = pendProperties_;
    bool oversize = false;
    int64_t probeSize = -1;
    if (fault) {
        PropertyFault* f = fault;
        switch (f->kind) {
        case PropertyFault::Refuse:
            return SimOs::fail(f->error);
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
            hold(handle, overlapped, nullptr, Kind::Property, nullptr);
            return SimOs::fail(ERROR_IO_PENDING);
        }
    }
    return answer(handle, reply, probeSize, pend, oversize, out, outSize, bytes, overlapped);
}

BOOL SimKsDriver::answer(HANDLE handle, const Bytes& reply, int64_t probeSize, bool pend, bool oversize, void* out,
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
        uint64_t serial = hold(handle, overlapped, nullptr, Kind::Property, nullptr);
        later(pendDelayMs_, [this, serial, reply, copy, status, information, out] {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const Pending& p : pending_) {
                if (p.serial != serial || p.cancelling) continue;
                if (copy) std::memcpy(out, reply.data(), copy);
                release(serial, status, information);
                break;
            }
        });
        return SimOs::fail(ERROR_IO_PENDING);
    }
    if (copy) std::memcpy(out, reply.data(), copy);
    if (!isErrorStatus(status)) *bytes = static_cast<DWORD>(information);
    finish(overlapped, status, information);
    return error == ERROR_SUCCESS ? TRUE : SimOs::fail(error);
}

BOOL SimKsDriver::stream(HANDLE handle, const Handle& h, bool write, void* out, DWORD outSize, DWORD* bytes,
                         OVERLAPPED* overlapped) {
    KSSTREAM_HEADER* header = static_cast<KSSTREAM_HEADER*>(out);
    if (header == nullptr || outSize < sizeof(KSSTREAM_HEADER) || header->Size != outSize || header->Data == nullptr ||
        header->FrameExtent < sizeof(KSMUSICFORMAT))
        return SimOs::fail(ERROR_INVALID_PARAMETER);
    SimPin* pin = h.pin;
    if (write) {
        if (pin->writeMode_ == WriteMode::Refuse) return SimOs::fail(ERROR_GEN_FAILURE);
        const uint8_t* data = static_cast<const uint8_t*>(header->Data);
        SimWrite w;
        w.timeDeltaMs = ksbytes::ReadU32(data);
        w.byteCount = ksbytes::ReadU32(data + 4);
        const uint32_t room = header->FrameExtent - sizeof(KSMUSICFORMAT);
        uint32_t n = std::min<uint32_t>(w.byteCount, room);
        w.midi.assign(data + 8, data + 8 + n);
        uint32_t inUsed = header->DataUsed > sizeof(KSMUSICFORMAT) ? header->DataUsed - sizeof(KSMUSICFORMAT) : 0;
        w.used.assign(data + 8, data + 8 + std::min(n, inUsed));
        w.headerSize = header->Size;
        w.frameExtent = header->FrameExtent;
        w.dataUsed = header->DataUsed;
        const size_t number = pin->writes_.size();
        pin->writes_.push_back(w);
        changed_.notify_all();
        auto failed = pin->failedWrites_.find(number);
        if (failed == pin->failedWrites_.end() && pin->writeMode_ == WriteMode::Now) {
            *bytes = header->Size;
            finish(overlapped, kStatusSuccess, header->Size);
            return TRUE;
        }
        uint64_t serial = hold(handle, overlapped, header, Kind::Write, pin);
        if (failed != pin->failedWrites_.end() || pin->writeMode_ == WriteMode::Later) {
            uint32_t status = failed != pin->failedWrites_.end() ? statusFromError(failed->second) : kStatusSuccess;
            later(pin->writeDelayMs_, [this, serial, status] {
                std::lock_guard<std::mutex> lock(mutex_);
                for (const Pending& p : pending_) {
                    if (p.serial != serial || p.cancelling) continue;
                    release(serial, status, sizeof(KSSTREAM_HEADER));
                    break;
                }
            });
        }
        return SimOs::fail(ERROR_IO_PENDING);
    }
    if (!pin->input_.empty()) {
        const DWORD error = pin->input_.front().error;
        completeRead(Pending{handle, overlapped, GetCurrentThreadId(), header, Kind::Read, pin, 0, false});
        if (error != ERROR_SUCCESS) return SimOs::fail(error);
        *bytes = header->Size;
        return TRUE;
    }
    hold(handle, overlapped, header, Kind::Read, pin);
    return SimOs::fail(ERROR_IO_PENDING);
}

void SimKsDriver::completeRead(const Pending& p) {
    SimPin* pin = p.pin;
    KSSTREAM_HEADER* header = p.header;
    SimPin::Frame& frame = pin->input_.front();
    uint32_t room = std::min<uint32_t>(12, header->FrameExtent - sizeof(KSMUSICFORMAT));
    // A frame with its own ByteCount goes whole into one read.
    const bool whole = frame.byteCount != frame.midi.size() || frame.error != ERROR_SUCCESS;
    uint32_t n = std::min<uint32_t>(room, static_cast<uint32_t>(frame.midi.size()));
    uint8_t* data = static_cast<uint8_t*>(header->Data);
    uint32_t zero = 0;
    uint32_t count = whole ? frame.byteCount : n;
    std::memcpy(data, &zero, 4);
    std::memcpy(data + 4, &count, 4);
    std::memcpy(data + 8, frame.midi.data(), n);
    header->DataUsed = sizeof(KSMUSICFORMAT) + n;
    const uint32_t status = statusFromError(frame.error);
    if (whole || n == frame.midi.size())
        pin->input_.pop_front();
    else
        frame.midi.erase(frame.midi.begin(), frame.midi.begin() + n);
    finish(p.overlapped, status, header->Size);
}

void SimKsDriver::later(unsigned delayMs, std::function<void()> action) {
    {
        std::lock_guard<std::mutex> lock(timerMutex_);
        timers_.emplace(std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs), std::move(action));
    }
    timerChanged_.notify_all();
}

void SimKsDriver::worker() {
    std::unique_lock<std::mutex> lock(timerMutex_);
    while (!stopping_) {
        if (timers_.empty()) {
            timerChanged_.wait(lock);
            continue;
        }
        auto due = timers_.begin()->first;
        if (std::chrono::steady_clock::now() < due) {
            timerChanged_.wait_until(lock, due);
            continue;
        }
        std::function<void()> action = std::move(timers_.begin()->second);
        timers_.erase(timers_.begin());
        lock.unlock();
        action();
        lock.lock();
    }
}

}  // namespace simks
