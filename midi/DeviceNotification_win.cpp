#include "midi/DeviceNotification.h"
#include "midi/DeviceNotificationApi.h"

#include <windows.h>
#include <dbt.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <vector>

namespace {

const char kClassName[] = "VeltroMidiLibNotifyWindow";
// KSCATEGORY_AUDIO, the class under which USB MIDI devices appear.
const GUID kAudioCategory = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const HDEVNOTIFY kNotRegistered = reinterpret_cast<HDEVNOTIFY>(static_cast<intptr_t>(-1));

HWND g_window = nullptr;
HDEVNOTIFY g_notification = kNotRegistered;
std::vector<DeviceChangeListener*> g_registrations;  // null: an anonymous registration
std::atomic<unsigned> g_removals{0};                 // read by the update worker

static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32, "notification filter layout");

const DeviceNotificationApi kWindowsApi = {RegisterDeviceNotificationA, UnregisterDeviceNotification};
const DeviceNotificationApi* g_api = &kWindowsApi;
static_assert(sizeof(WNDCLASSEXA) == (sizeof(void*) == 8 ? 80 : 48), "window class layout");

LRESULT CALLBACK notifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DEVICECHANGE && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
        if (wParam == DBT_DEVICEREMOVECOMPLETE) ++g_removals;
        try {
            // Re-read at each step: a listener may register or unregister others.
            for (size_t i = 0; i < g_registrations.size(); ++i) {
                if (g_registrations[i]) g_registrations[i]->devicesChanged();
            }
        } catch (...) {
            // A listener's failure must not take the window down; the rest are skipped.
        }
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

bool startDeviceNotification(const char*) {
    if (!g_window) {
        WNDCLASSEXA windowClass = {};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = notifyWindowProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = kClassName;
        RegisterClassExA(&windowClass);
        g_window = CreateWindowExA(0, kClassName, nullptr, 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                   CW_USEDEFAULT, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr), nullptr);
        DEV_BROADCAST_DEVICEINTERFACE_A filter = {};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = kAudioCategory;
        g_notification = g_api->registerNotification(g_window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    }
    if (std::find(g_registrations.begin(), g_registrations.end(), nullptr) == g_registrations.end())
        g_registrations.push_back(nullptr);
    return g_window && g_notification;
}

void stopDeviceNotification() {
    auto anonymous = std::find(g_registrations.begin(), g_registrations.end(), nullptr);
    if (anonymous != g_registrations.end()) g_registrations.erase(anonymous);
    if (!g_registrations.empty()) return;
    if (g_notification != kNotRegistered) {
        if (g_notification) g_api->unregisterNotification(g_notification);
        g_notification = kNotRegistered;
    }
    // From another thread this fails; the window then lasts until the process ends.
    DestroyWindow(g_window);
    g_window = nullptr;
    UnregisterClassA(kClassName, nullptr);
}

void registerDeviceChangeListener(DeviceChangeListener* listener) {
    if (listener) g_registrations.push_back(listener);
}

void unregisterDeviceChangeListener(DeviceChangeListener* listener) {
    auto found = std::find(g_registrations.begin(), g_registrations.end(), listener);
    if (listener && found != g_registrations.end()) g_registrations.erase(found);
}

unsigned deviceRemovalCount() { return g_removals.load(); }

const DeviceNotificationApi* setDeviceNotificationApi(const DeviceNotificationApi* api) {
    const DeviceNotificationApi* previous = g_api;
    g_api = api ? api : &kWindowsApi;
    return previous;
}

void* deviceNotificationWindow() { return g_window; }

int deviceNotificationRegistrations() { return static_cast<int>(g_registrations.size()); }
