#include "ks/KsOsApi.h"

#include <mutex>

// setupapi.dll is not on the KnownDLLs list, so it is not imported (the loader would
// take it from the exe's own folder first); it is loaded from the system folder on
// first use. Until it is there every SetupAPI call fails with ERROR_MOD_NOT_FOUND.
namespace {

struct SetupApi {
    decltype(&::SetupDiGetClassDevsA) getClassDevs = nullptr;
    decltype(&::SetupDiEnumDeviceInterfaces) enumInterfaces = nullptr;
    decltype(&::SetupDiGetDeviceInterfaceDetailA) getDetail = nullptr;
    decltype(&::SetupDiCreateDeviceInfoList) createList = nullptr;
    decltype(&::SetupDiOpenDeviceInterfaceA) openInterface = nullptr;
    decltype(&::SetupDiOpenDeviceInterfaceRegKey) openRegKey = nullptr;
    decltype(&::SetupDiGetDeviceRegistryPropertyA) getRegistryProperty = nullptr;
    decltype(&::SetupDiDestroyDeviceInfoList) destroyList = nullptr;
};

template <typename F>
void bind(HMODULE module, const char* name, F& target) {
    target = reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

const SetupApi& setupApi() {
    static SetupApi api;
    static std::once_flag once;
    std::call_once(once, [] {
        HMODULE module = ::LoadLibraryExA("setupapi.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (!module) return;
        bind(module, "SetupDiGetClassDevsA", api.getClassDevs);
        bind(module, "SetupDiEnumDeviceInterfaces", api.enumInterfaces);
        bind(module, "SetupDiGetDeviceInterfaceDetailA", api.getDetail);
        bind(module, "SetupDiCreateDeviceInfoList", api.createList);
        bind(module, "SetupDiOpenDeviceInterfaceA", api.openInterface);
        bind(module, "SetupDiOpenDeviceInterfaceRegKey", api.openRegKey);
        bind(module, "SetupDiGetDeviceRegistryPropertyA", api.getRegistryProperty);
        bind(module, "SetupDiDestroyDeviceInfoList", api.destroyList);
    });
    return api;
}

BOOL missing() {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
}

HDEVINFO WINAPI getClassDevs(const GUID* g, PCSTR e, HWND w, DWORD f) {
    auto fn = setupApi().getClassDevs;
    return fn ? fn(g, e, w, f) : (missing(), INVALID_HANDLE_VALUE);
}
BOOL WINAPI enumInterfaces(HDEVINFO s, PSP_DEVINFO_DATA d, const GUID* g, DWORD i, PSP_DEVICE_INTERFACE_DATA o) {
    auto fn = setupApi().enumInterfaces;
    return fn ? fn(s, d, g, i, o) : missing();
}
BOOL WINAPI getDetail(HDEVINFO s, PSP_DEVICE_INTERFACE_DATA i, PSP_DEVICE_INTERFACE_DETAIL_DATA_A d, DWORD n,
                      PDWORD r, PSP_DEVINFO_DATA o) {
    auto fn = setupApi().getDetail;
    return fn ? fn(s, i, d, n, r, o) : missing();
}
HDEVINFO WINAPI createList(const GUID* g, HWND w) {
    auto fn = setupApi().createList;
    return fn ? fn(g, w) : (missing(), INVALID_HANDLE_VALUE);
}
BOOL WINAPI openInterface(HDEVINFO s, PCSTR p, DWORD f, PSP_DEVICE_INTERFACE_DATA o) {
    auto fn = setupApi().openInterface;
    return fn ? fn(s, p, f, o) : missing();
}
HKEY WINAPI openRegKey(HDEVINFO s, PSP_DEVICE_INTERFACE_DATA i, DWORD r, REGSAM a) {
    auto fn = setupApi().openRegKey;
    return fn ? fn(s, i, r, a) : (missing(), static_cast<HKEY>(INVALID_HANDLE_VALUE));
}
BOOL WINAPI getRegistryProperty(HDEVINFO s, PSP_DEVINFO_DATA d, DWORD p, PDWORD t, PBYTE b, DWORD n, PDWORD r) {
    auto fn = setupApi().getRegistryProperty;
    return fn ? fn(s, d, p, t, b, n, r) : missing();
}
BOOL WINAPI destroyList(HDEVINFO s) {
    auto fn = setupApi().destroyList;
    return fn ? fn(s) : missing();
}

HMODULE WINAPI loadKsUser() { return ::LoadLibraryExA("ksuser.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32); }

// CancelIoEx exists from Vista on; before that CancelIo is the best there is.
BOOL WINAPI cancelIoEx(HANDLE handle, LPOVERLAPPED overlapped) {
    typedef BOOL(WINAPI * CancelIoExFn)(HANDLE, LPOVERLAPPED);
    static const CancelIoExFn fn = reinterpret_cast<CancelIoExFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "CancelIoEx")));
    return fn ? fn(handle, overlapped) : ::CancelIo(handle);
}

KsOsApi windowsTable() {
    KsOsApi t = {};
    t.SetupDiGetClassDevsA = getClassDevs;
    t.SetupDiEnumDeviceInterfaces = enumInterfaces;
    t.SetupDiGetDeviceInterfaceDetailA = getDetail;
    t.SetupDiCreateDeviceInfoList = createList;
    t.SetupDiOpenDeviceInterfaceA = openInterface;
    t.SetupDiOpenDeviceInterfaceRegKey = openRegKey;
    t.SetupDiGetDeviceRegistryPropertyA = getRegistryProperty;
    t.SetupDiDestroyDeviceInfoList = destroyList;
    t.RegOpenKeyExA = ::RegOpenKeyExA;
    t.RegQueryValueExA = ::RegQueryValueExA;
    t.RegCloseKey = ::RegCloseKey;
    t.CreateFileA = ::CreateFileA;
    t.DeviceIoControl = ::DeviceIoControl;
    t.GetOverlappedResult = ::GetOverlappedResult;
    t.CancelIo = ::CancelIo;
    t.CancelIoEx = cancelIoEx;
    t.CloseHandle = ::CloseHandle;
    t.LoadKsUser = loadKsUser;
    t.GetProcAddress = ::GetProcAddress;
    return t;
}

}  // namespace

const KsOsApi* WindowsKsOsApi() {
    static const KsOsApi table = windowsTable();
    return &table;
}
