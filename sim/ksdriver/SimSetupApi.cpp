// The simulated driver's SetupAPI and registry: device interfaces of a class, their
// details and friendly names, and the service key behind a device.

#include "sim/ksdriver/SimKsDriverInternal.h"

#include <cstddef>

namespace simks {
namespace setupapi {
namespace {

Device* findDevice(Driver& d, const std::string& path) {
    for (auto& dev : d.devices_)
        if (!dev->removed_ && sameText(dev->path_, path)) return dev.get();
    return nullptr;
}

Device* deviceOf(Driver& d, ULONG_PTR reserved) {
    for (auto& dev : d.devices_)
        if (reinterpret_cast<ULONG_PTR>(dev.get()) == reserved) return dev.get();
    return nullptr;
}

void fillInterface(Device* dev, PSP_DEVICE_INTERFACE_DATA data) {
    data->InterfaceClassGuid = dev->category_;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = reinterpret_cast<ULONG_PTR>(dev);
}

}  // namespace

HDEVINFO WINAPI GetClassDevs(const GUID* guid, PCSTR, HWND, DWORD flags) {
    Driver& d = Driver::current();
    auto l = d.lock();
    if (!(flags & DIGCF_DEVICEINTERFACE) || guid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    HDEVINFO set = d.newHandle();
    Driver::DevInfoSet& s = d.sets_[set];
    // Without DIGCF_PRESENT the interfaces of devices that left are listed too.
    const bool presentOnly = (flags & DIGCF_PRESENT) != 0;
    for (auto& dev : d.devices_)
        if ((!presentOnly || !dev->removed_) && sameGuid(dev->category_, *guid)) s.devices.push_back(dev.get());
    return set;
}

BOOL WINAPI EnumInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID*, DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    Driver& d = Driver::current();
    auto l = d.lock();
    auto it = d.sets_.find(set);
    if (it == d.sets_.end()) return fail(ERROR_INVALID_HANDLE);
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    if (index >= it->second.devices.size()) return fail(ERROR_NO_MORE_ITEMS);
    fillInterface(it->second.devices[index], data);
    return TRUE;
}

BOOL WINAPI GetDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                      DWORD size, PDWORD required, PSP_DEVINFO_DATA devInfo) {
    Driver& d = Driver::current();
    auto l = d.lock();
    if (d.sets_.find(set) == d.sets_.end()) return fail(ERROR_INVALID_HANDLE);
    Device* dev = data ? deviceOf(d, data->Reserved) : nullptr;
    if (dev == nullptr) return fail(ERROR_INVALID_PARAMETER);
    DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + dev->path_.size() + 1);
    if (required) *required = needed;
    if (detail && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return fail(ERROR_INVALID_USER_BUFFER);
    if (devInfo && devInfo->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    if (devInfo) {
        devInfo->ClassGuid = dev->category_;
        devInfo->DevInst = 1;
        devInfo->Reserved = reinterpret_cast<ULONG_PTR>(dev);
    }
    if (detail == nullptr || size < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(detail->DevicePath, dev->path_.c_str(), dev->path_.size() + 1);
    return TRUE;
}

HDEVINFO WINAPI CreateList(const GUID*, HWND) {
    Driver& d = Driver::current();
    auto l = d.lock();
    HDEVINFO set = d.newHandle();
    d.sets_[set];
    return set;
}

BOOL WINAPI OpenInterface(HDEVINFO set, PCSTR path, DWORD, PSP_DEVICE_INTERFACE_DATA data) {
    Driver& d = Driver::current();
    auto l = d.lock();
    auto it = d.sets_.find(set);
    if (it == d.sets_.end()) return fail(ERROR_INVALID_HANDLE);
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    Device* dev = path ? findDevice(d, path) : nullptr;
    if (dev == nullptr) return fail(ERROR_NO_SUCH_DEVICE_INTERFACE);
    it->second.devices.push_back(dev);
    fillInterface(dev, data);
    return TRUE;
}

HKEY WINAPI OpenRegKey(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data, DWORD, REGSAM) {
    Driver& d = Driver::current();
    auto l = d.lock();
    Device* dev = data ? deviceOf(d, data->Reserved) : nullptr;
    if (d.sets_.find(set) == d.sets_.end() || dev == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return static_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    HKEY key = static_cast<HKEY>(d.newHandle());
    Driver::Key& k = d.keys_[key];
    if (dev->hasFriendlyName_) k.values["FriendlyName"] = dev->friendlyName_;
    if (dev->friendlyNameSizeReport_) k.reportedSizes["FriendlyName"] = dev->friendlyNameSizeReport_;
    return key;
}

BOOL WINAPI GetRegistryProperty(HDEVINFO set, PSP_DEVINFO_DATA devInfo, DWORD property, PDWORD type, PBYTE buffer,
                                DWORD size, PDWORD required) {
    Driver& d = Driver::current();
    auto l = d.lock();
    Device* dev = devInfo ? deviceOf(d, devInfo->Reserved) : nullptr;
    if (d.sets_.find(set) == d.sets_.end() || dev == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if (property != SPDRP_SERVICE || dev->service_.empty()) return fail(ERROR_INVALID_DATA);
    DWORD needed = static_cast<DWORD>(dev->service_.size() + 1);
    if (required) *required = needed;
    if (type) *type = REG_SZ;
    if (buffer == nullptr || size < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, dev->service_.c_str(), needed);
    return TRUE;
}

BOOL WINAPI DestroyList(HDEVINFO set) {
    Driver& d = Driver::current();
    auto l = d.lock();
    if (!d.sets_.erase(set)) return fail(ERROR_INVALID_HANDLE);
    d.freeHandle(set);
    return TRUE;
}

LONG WINAPI RegOpen(HKEY root, LPCSTR subKey, DWORD, REGSAM, PHKEY result) {
    Driver& d = Driver::current();
    auto l = d.lock();
    static const std::string kPrefix = "SYSTEM\\CurrentControlSet\\Services\\";
    std::string sub = subKey ? subKey : "";
    if (root != HKEY_LOCAL_MACHINE || sub.size() <= kPrefix.size() || !sameText(sub.substr(0, kPrefix.size()), kPrefix))
        return ERROR_FILE_NOT_FOUND;
    std::string service = sub.substr(kPrefix.size());
    for (auto& dev : d.devices_) {
        if (dev->service_.empty() || !sameText(dev->service_, service)) continue;
        HKEY key = static_cast<HKEY>(d.newHandle());
        Driver::Key& k = d.keys_[key];
        if (!dev->imagePath_.empty()) k.values["ImagePath"] = dev->imagePath_;
        *result = key;
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

LONG WINAPI RegQuery(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    Driver& d = Driver::current();
    auto l = d.lock();
    auto it = d.keys_.find(key);
    if (it == d.keys_.end()) return ERROR_INVALID_HANDLE;
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

LONG WINAPI RegClose(HKEY key) {
    Driver& d = Driver::current();
    auto l = d.lock();
    if (!d.keys_.erase(key)) return ERROR_INVALID_HANDLE;
    d.freeHandle(key);
    return ERROR_SUCCESS;
}

}  // namespace setupapi
}  // namespace simks
