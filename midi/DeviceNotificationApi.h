#pragma once
// The two USER32 calls that register the notification window for device changes, in one
// table: the program points it at Windows, a test installs one that records the filter.
// No logic here.

#include <windows.h>

struct DeviceNotificationApi {
    HDEVNOTIFY(WINAPI* registerNotification)(HANDLE recipient, LPVOID filter, DWORD flags);
    BOOL(WINAPI* unregisterNotification)(HDEVNOTIFY notification);
};

// Installs a table (NULL puts Windows back) and returns the previous one.
const DeviceNotificationApi* setDeviceNotificationApi(const DeviceNotificationApi* api);
