// The simulated driver's face to the tests: devices and pins described and watched, and
// the OS table installed for the kernel-streaming layer.

#include "sim/ksdriver/SimKsDriverInternal.h"

#include <algorithm>
#include <cstddef>
#include <stdexcept>

#include "ks/KsOsApi.h"

namespace simks {
namespace {

Driver* g_driver = nullptr;

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

Bytes identifier(const GUID& set, uint32_t id, uint32_t flags) {
    KSIDENTIFIER item = {};
    item.Set = set;
    item.Id = id;
    item.Flags = flags;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&item);
    return Bytes(p, p + sizeof item);
}

KsOsApi simTable() {
    KsOsApi t = {};
    t.SetupDiGetClassDevsA = setupapi::GetClassDevs;
    t.SetupDiEnumDeviceInterfaces = setupapi::EnumInterfaces;
    t.SetupDiGetDeviceInterfaceDetailA = setupapi::GetDetail;
    t.SetupDiCreateDeviceInfoList = setupapi::CreateList;
    t.SetupDiOpenDeviceInterfaceA = setupapi::OpenInterface;
    t.SetupDiOpenDeviceInterfaceRegKey = setupapi::OpenRegKey;
    t.SetupDiGetDeviceRegistryPropertyA = setupapi::GetRegistryProperty;
    t.SetupDiDestroyDeviceInfoList = setupapi::DestroyList;
    t.RegOpenKeyExA = setupapi::RegOpen;
    t.RegQueryValueExA = setupapi::RegQuery;
    t.RegCloseKey = setupapi::RegClose;
    t.CreateFileA = dispatch::CreateFile;
    t.DeviceIoControl = dispatch::Ioctl;
    t.GetOverlappedResult = completion::OverlappedResult;
    t.CancelIo = completion::Cancel;
    t.CancelIoEx = completion::CancelEx;
    t.CloseHandle = completion::Close;
    t.LoadKsUser = dispatch::LoadKsUser;
    t.GetProcAddress = dispatch::ProcAddress;
    return t;
}
const KsOsApi kSimTable = simTable();

}  // namespace

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

Bytes MusicRange(const GUID& subFormat, const GUID& technology, uint32_t formatSize, const GUID& major) {
    Bytes range(std::max<size_t>(formatSize, sizeof(KSDATARANGE) + sizeof(GUID)));
    std::memcpy(range.data() + offsetof(KSDATARANGE, FormatSize), &formatSize, sizeof formatSize);
    std::memcpy(range.data() + offsetof(KSDATARANGE, MajorFormat), &major, sizeof major);
    std::memcpy(range.data() + offsetof(KSDATARANGE, SubFormat), &subFormat, sizeof subFormat);
    std::memcpy(range.data() + offsetof(KSDATARANGE_MUSIC, Technology), &technology, sizeof technology);
    range.resize(formatSize);
    return range;
}

Bytes HiddenMidiRange() { return MusicRange(kHiddenMidiSubFormat, kPortTechnology); }

// ---- Pin ----

#define SIM_LOCK std::lock_guard<std::mutex> lock(driver_->mutex_)

SimPin& Pin::setDataFlow(uint32_t flow) { SIM_LOCK; dataFlow_ = flow; return *this; }
SimPin& Pin::setCommunication(uint32_t c) { SIM_LOCK; communication_ = c; return *this; }
SimPin& Pin::addDataRange(const Bytes& range) { SIM_LOCK; ranges_.push_back(range); return *this; }
SimPin& Pin::clearDataRanges() { SIM_LOCK; ranges_.clear(); return *this; }
SimPin& Pin::addInterface(const GUID& set, uint32_t id, uint32_t flags) {
    SIM_LOCK;
    Bytes item = identifier(set, id, flags);
    interfaces_.insert(interfaces_.end(), item.begin(), item.end());
    return *this;
}
SimPin& Pin::addMedium(const GUID& set, uint32_t id, uint32_t flags) {
    SIM_LOCK;
    Bytes item = identifier(set, id, flags);
    mediums_.insert(mediums_.end(), item.begin(), item.end());
    return *this;
}
SimPin& Pin::setInstances(uint32_t p, uint32_t c) { SIM_LOCK; instances_[0] = p; instances_[1] = c; return *this; }
SimPin& Pin::setGlobalInstances(uint32_t p, uint32_t c) {
    SIM_LOCK;
    globalInstances_[0] = p;
    globalInstances_[1] = c;
    return *this;
}
SimPin& Pin::setCategory(const GUID& category) { SIM_LOCK; category_ = category; return *this; }
SimPin& Pin::setName(const std::string& name) {
    SIM_LOCK;
    name_.assign(name.begin(), name.end());
    name_.push_back(0);
    return *this;
}
SimPin& Pin::fault(uint32_t id, const PropertyFault& fault) { SIM_LOCK; faults_[id] = fault; return *this; }
SimPin& Pin::refuse(uint32_t id, DWORD error) {
    PropertyFault f;
    f.kind = PropertyFault::Refuse;
    f.error = error;
    return fault(id, f);
}
SimPin& Pin::refuseState(uint32_t state, DWORD error) { SIM_LOCK; refusedStates_[state] = error; return *this; }
SimPin& Pin::setCreateError(DWORD error) { SIM_LOCK; createError_ = error; return *this; }

void Pin::queueInput(const Bytes& midi) {
    std::vector<Frame> frames;
    for (size_t at = 0; at < midi.size(); at += 12) {
        Bytes part(midi.begin() + at, midi.begin() + std::min(midi.size(), at + 12));
        frames.push_back(Frame{part, static_cast<uint32_t>(part.size()), ERROR_SUCCESS});
    }
    queueFrames(frames);
}

void Pin::queueFrame(uint32_t byteCount, const Bytes& midi) {
    queueFrames({Frame{Bytes(midi.begin(), midi.begin() + std::min<size_t>(midi.size(), 12)), byteCount,
                       ERROR_SUCCESS}});
}

void Pin::failNextRead(const Bytes& midi, DWORD error) {
    queueFrames({Frame{Bytes(midi.begin(), midi.begin() + std::min<size_t>(midi.size(), 12)),
                       static_cast<uint32_t>(std::min<size_t>(midi.size(), 12)), error}});
}

void Pin::failReads(DWORD error) { SIM_LOCK; readError_ = error; }
void Pin::setReadStartDelay(unsigned delayMs) { SIM_LOCK; readStartDelayMs_ = delayMs; }
int Pin::readsStarted() const { SIM_LOCK; return readsStarted_; }

void Pin::queueFrames(const std::vector<Frame>& frames) {
    SIM_LOCK;
    input_.insert(input_.end(), frames.begin(), frames.end());
    auto& pending = driver_->pending_;
    for (size_t i = 0; i < pending.size() && !input_.empty();) {
        Driver::Pending p = pending[i];
        if (p.pin == this && p.kind == Driver::Kind::Read && !p.cancelling) {
            pending.erase(pending.begin() + i);
            if (driver_->intact(p)) driver_->completeRead(p);
        } else {
            ++i;
        }
    }
    driver_->changed_.notify_all();
}

void Pin::setWriteMode(WriteMode mode, unsigned delayMs) {
    SIM_LOCK;
    writeMode_ = mode;
    writeDelayMs_ = delayMs;
}

void Pin::failWrite(size_t number, DWORD error) { SIM_LOCK; failedWrites_[number] = error; }

void Pin::completePendingWrites() {
    SIM_LOCK;
    std::vector<uint64_t> serials;
    for (const Driver::Pending& p : driver_->pending_)
        if (p.pin == this && p.kind == Driver::Kind::Write && !p.cancelling) serials.push_back(p.serial);
    for (uint64_t serial : serials) driver_->release(serial, kStatusSuccess, sizeof(KSSTREAM_HEADER));
}

std::vector<SimWrite> Pin::writes() const { SIM_LOCK; return writes_; }

bool Pin::waitForWrites(size_t count, unsigned timeoutMs) const {
    std::unique_lock<std::mutex> lock(driver_->mutex_);
    return driver_->changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                      [&] { return writes_.size() >= count; });
}

size_t Pin::countPending(int kind) const {
    return static_cast<size_t>(
        std::count_if(driver_->pending_.begin(), driver_->pending_.end(), [&](const Driver::Pending& p) {
            return p.pin == this && static_cast<int>(p.kind) == kind && !p.cancelling;
        }));
}

bool Pin::waitForPendingReads(size_t count, unsigned timeoutMs) const {
    std::unique_lock<std::mutex> lock(driver_->mutex_);
    return driver_->changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return countPending(static_cast<int>(Driver::Kind::Read)) >= count;
    });
}

uint32_t Pin::state() const { SIM_LOCK; return state_; }
std::vector<uint32_t> Pin::stateRequests() const { SIM_LOCK; return stateRequests_; }
Bytes Pin::connectBlock() const { SIM_LOCK; return connect_; }
DWORD Pin::createAccess() const { SIM_LOCK; return access_; }
int Pin::createCount() const { SIM_LOCK; return creates_; }
int Pin::openInstances() const { SIM_LOCK; return open_; }
size_t Pin::pendingReads() const { SIM_LOCK; return countPending(static_cast<int>(Driver::Kind::Read)); }
size_t Pin::pendingWrites() const { SIM_LOCK; return countPending(static_cast<int>(Driver::Kind::Write)); }

// ---- Device ----

SimPin& Device::addPin(uint32_t dataFlow, uint32_t communication) {
    SIM_LOCK;
    pins_.emplace_back(new Pin(driver_, this, static_cast<uint32_t>(pins_.size())));
    Pin& pin = *pins_.back();
    pin.dataFlow_ = dataFlow;
    pin.communication_ = communication;
    pin.interfaces_ = identifier(GUID{STATIC_KSINTERFACESETID_Standard}, KSINTERFACE_STANDARD_STREAMING, 0);
    pin.mediums_ = identifier(GUID{STATIC_KSMEDIUMSETID_Standard}, KSMEDIUM_TYPE_ANYINSTANCE, 0);
    pin.name_ = {'M', 'I', 'D', 'I', 0};
    return pin;
}

SimPin& Device::addHiddenMidiPin(uint32_t dataFlow, uint32_t communication) {
    return addPin(dataFlow, communication).addDataRange(HiddenMidiRange());
}

SimPin& Device::pin(size_t index) { SIM_LOCK; return *pins_.at(index); }
size_t Device::pinCount() const { SIM_LOCK; return pins_.size(); }

SimDevice& Device::setFriendlyName(const std::string& name) {
    SIM_LOCK;
    friendlyName_ = name;
    hasFriendlyName_ = true;
    return *this;
}
SimDevice& Device::setFriendlyNameSizeReport(DWORD size) { SIM_LOCK; friendlyNameSizeReport_ = size; return *this; }
SimDevice& Device::setService(const std::string& service, const std::string& imagePath) {
    SIM_LOCK;
    service_ = service;
    imagePath_ = imagePath;
    return *this;
}
SimDevice& Device::setOpenError(DWORD error) { SIM_LOCK; openError_ = error; return *this; }
SimDevice& Device::setCategory(const GUID& category) { SIM_LOCK; category_ = category; return *this; }
SimDevice& Device::setTopologyNodes(const std::vector<GUID>& nodes) { SIM_LOCK; nodes_ = nodes; return *this; }
SimDevice& Device::faultPinCount(const PropertyFault& f) {
    SIM_LOCK;
    pinCountFault_.reset(new PropertyFault(f));
    return *this;
}
SimDevice& Device::faultTopology(const PropertyFault& f) {
    SIM_LOCK;
    topologyFault_.reset(new PropertyFault(f));
    return *this;
}
int Device::openCount() const { SIM_LOCK; return opens_; }
DWORD Device::lastAccess() const { SIM_LOCK; return lastOpen_[0]; }
DWORD Device::lastShare() const { SIM_LOCK; return lastOpen_[1]; }
DWORD Device::lastDisposition() const { SIM_LOCK; return lastOpen_[2]; }
DWORD Device::lastFlags() const { SIM_LOCK; return lastOpen_[3]; }

#undef SIM_LOCK

// ---- Driver ----

Driver& Driver::current() { return *g_driver; }

Driver::Driver() {
    if (g_driver) throw std::logic_error("one SimKsDriver at a time");
    g_driver = this;
    previous_ = SetKsOsApi(&kSimTable);
    worker_ = std::thread([this] { worker(); });
}

Driver::~Driver() {
    {
        std::lock_guard<std::mutex> lock(timerMutex_);
        stopping_ = true;
    }
    timerChanged_.notify_all();
    worker_.join();
    SetKsOsApi(previous_ == WindowsKsOsApi() ? nullptr : previous_);
    g_driver = nullptr;
}

// ---- SimKsDriver ----

#define SIM_LOCK std::lock_guard<std::mutex> lock(driver_->mutex_)

SimKsDriver::SimKsDriver() : driver_(new Driver()) {}
SimKsDriver::~SimKsDriver() = default;

SimDevice& SimKsDriver::addDevice(const std::string& path, const std::string& friendlyName) {
    SIM_LOCK;
    driver_->devices_.emplace_back(new Device(driver_.get(), path));
    Device& dev = *driver_->devices_.back();
    if (!friendlyName.empty()) {
        dev.friendlyName_ = friendlyName;
        dev.hasFriendlyName_ = true;
    }
    return dev;
}

SimDevice* SimKsDriver::device(const std::string& path) {
    SIM_LOCK;
    for (auto& dev : driver_->devices_)
        if (!dev->removed_ && sameText(dev->path_, path)) return dev.get();
    return nullptr;
}

void SimKsDriver::removeDevice(const std::string& path) {
    SIM_LOCK;
    for (auto& dev : driver_->devices_) {
        if (dev->removed_ || !sameText(dev->path_, path)) continue;
        dev->removed_ = true;
        for (auto& h : driver_->handles_)
            if (h.second.device == dev.get()) driver_->cancel(h.first, nullptr, true, kStatusDeviceRemoved);
    }
    driver_->changed_.notify_all();
}

void SimKsDriver::setKsUserPresent(bool present) { SIM_LOCK; driver_->ksUserPresent_ = present; }
void SimKsDriver::setKsUserLoadDelay(unsigned delayMs) { SIM_LOCK; driver_->ksUserLoadDelayMs_ = delayMs; }
void SimKsDriver::setCreatePinDelay(unsigned delayMs) { SIM_LOCK; driver_->createPinDelayMs_ = delayMs; }
void SimKsDriver::setKsCreatePinExported(bool e) { SIM_LOCK; driver_->ksCreatePinExported_ = e; }
int SimKsDriver::ksUserLoads() const { SIM_LOCK; return driver_->ksUserLoads_; }
void SimKsDriver::setProbeError(DWORD error) { SIM_LOCK; driver_->probeError_ = error; }
void SimKsDriver::setPendProperties(bool pend, unsigned delayMs) {
    SIM_LOCK;
    driver_->pendProperties_ = pend;
    driver_->pendDelayMs_ = delayMs;
}
int SimKsDriver::propertyRequests() const { SIM_LOCK; return driver_->propertyRequests_; }
int SimKsDriver::propertyRequestsWithoutLowBit() const { SIM_LOCK; return driver_->withoutLowBit_; }
Bytes SimKsDriver::lastGetBufferAtHandOver() const { SIM_LOCK; return driver_->lastGetBuffer_; }
void SimKsDriver::setCancelDelay(unsigned delayMs) { SIM_LOCK; driver_->cancelDelayMs_ = delayMs; }
size_t SimKsDriver::liveRequests() const { SIM_LOCK; return driver_->pending_.size(); }
void SimKsDriver::completeAllNow() {
    SIM_LOCK;
    while (!driver_->pending_.empty()) driver_->release(driver_->pending_.front().serial, kStatusCancelled, 0);
}
int SimKsDriver::completionsWithoutEvent() const { SIM_LOCK; return driver_->eventFaults_; }
int SimKsDriver::completionsIntoChangedBlocks() const { SIM_LOCK; return driver_->changedBlocks_; }
int SimKsDriver::openHandles() const { SIM_LOCK; return static_cast<int>(driver_->handles_.size()); }

#undef SIM_LOCK

}  // namespace simks
