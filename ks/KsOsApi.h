#pragma once
// The operating-system calls of the kernel-streaming layer, gathered in one table so
// that the layer never names Windows' own functions. In the program the table points at
// Windows (KsOsApi_win.cpp); tests install a simulated driver's table. No logic here.

#include "ks/KsWin.h"

struct KsOsApi {
    // SetupAPI (loaded at run time from the system folder).
    HDEVINFO(WINAPI* SetupDiGetClassDevsA)(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags);
    BOOL(WINAPI* SetupDiEnumDeviceInterfaces)(HDEVINFO set, PSP_DEVINFO_DATA devInfo, const GUID* classGuid,
                                              DWORD index, PSP_DEVICE_INTERFACE_DATA interfaceData);
    BOOL(WINAPI* SetupDiGetDeviceInterfaceDetailA)(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                   PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                                   PDWORD requiredSize, PSP_DEVINFO_DATA devInfo);
    HDEVINFO(WINAPI* SetupDiCreateDeviceInfoList)(const GUID* classGuid, HWND parent);
    BOOL(WINAPI* SetupDiOpenDeviceInterfaceA)(HDEVINFO set, PCSTR path, DWORD flags,
                                              PSP_DEVICE_INTERFACE_DATA interfaceData);
    HKEY(WINAPI* SetupDiOpenDeviceInterfaceRegKey)(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                   DWORD reserved, REGSAM access);
    BOOL(WINAPI* SetupDiGetDeviceRegistryPropertyA)(HDEVINFO set, PSP_DEVINFO_DATA devInfo, DWORD property,
                                                    PDWORD type, PBYTE buffer, DWORD size, PDWORD requiredSize);
    BOOL(WINAPI* SetupDiDestroyDeviceInfoList)(HDEVINFO set);
    // Registry.
    LONG(WINAPI* RegOpenKeyExA)(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
    LONG(WINAPI* RegQueryValueExA)(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                   LPDWORD size);
    LONG(WINAPI* RegCloseKey)(HKEY key);
    // Filter and pin handles.
    HANDLE(WINAPI* CreateFileA)(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE templateFile);
    BOOL(WINAPI* DeviceIoControl)(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                  LPDWORD bytes, LPOVERLAPPED overlapped);
    BOOL(WINAPI* GetOverlappedResult)(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD bytes, BOOL wait);
    // Cancels the calling thread's requests on the handle.
    BOOL(WINAPI* CancelIo)(HANDLE handle);
    // Cancels one request from any thread; where the system lacks it, CancelIo.
    BOOL(WINAPI* CancelIoEx)(HANDLE handle, LPOVERLAPPED overlapped);
    BOOL(WINAPI* CloseHandle)(HANDLE handle);
    // "ksuser.dll", from the system folder only.
    HMODULE(WINAPI* LoadKsUser)();
    FARPROC(WINAPI* GetProcAddress)(HMODULE module, LPCSTR name);
};

// The table in force. Never NULL.
const KsOsApi& KsOs();
// Installs a table (NULL puts Windows back) and returns the previous one.
const KsOsApi* SetKsOsApi(const KsOsApi* api);
// Changes with every SetKsOsApi, so that what was looked up through one table (the
// KsCreatePin binding) is not used with another.
unsigned KsOsApiGeneration();
// Windows' own table. Tables are filled member by member, by name.
const KsOsApi* WindowsKsOsApi();
