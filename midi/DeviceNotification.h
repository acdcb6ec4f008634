#pragma once
// One hidden message-only window per process that receives device-change broadcasts for
// audio-category device interfaces and passes arrivals and removals to registered
// listeners. The list of registrations is also the window's use count. The window belongs
// to the thread of the first start (the main thread, whose loop dispatches the broadcasts).

class DeviceChangeListener {
public:
    virtual void devicesChanged() = 0;

protected:
    ~DeviceChangeListener() {}
};

// True when the window and the device notification both exist. clientName is not used.
bool startDeviceNotification(const char* clientName);
// Drops one anonymous registration; the last one takes the window down.
void stopDeviceNotification();

// Listeners of the library's own users; the list does not own them.
void registerDeviceChangeListener(DeviceChangeListener* listener);
void unregisterDeviceChangeListener(DeviceChangeListener* listener);

// How many device removals the window has been told of since the process started; any
// thread may read it.
unsigned deviceRemovalCount();

// For inspection: the window, and the number of registrations (anonymous ones included).
void* deviceNotificationWindow();
int deviceNotificationRegistrations();
