#include <windows.h>
#include <dbt.h>
#include <ks.h>
#include <ksmedia.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "midi/DeviceNotification.h"
#include "midi/DeviceNotificationApi.h"

namespace {

class CountingListener : public DeviceChangeListener {
public:
    explicit CountingListener(std::vector<int>* order = nullptr, int name = 0) : order_(order), name_(name) {}
    void devicesChanged() override {
        ++calls;
        if (order_) order_->push_back(name_);
    }
    int calls = 0;

private:
    std::vector<int>* order_;
    int name_;
};

class ThrowingListener : public DeviceChangeListener {
public:
    void devicesChanged() override {
        ++calls;
        throw std::runtime_error("listener failed");
    }
    int calls = 0;
};

LRESULT broadcast(WPARAM event) {
    return SendMessageA(static_cast<HWND>(deviceNotificationWindow()), WM_DEVICECHANGE, event, 0);
}

// What the window asked USER32 for, recorded instead of registered.
struct Registration {
    HANDLE recipient = nullptr;
    DEV_BROADCAST_DEVICEINTERFACE_A filter = {};
    DWORD flags = 0;
    int registered = 0;
    HDEVNOTIFY unregistered = nullptr;
};
Registration g_registration;
const HDEVNOTIFY kRecordedNotification = reinterpret_cast<HDEVNOTIFY>(static_cast<intptr_t>(0x5150));

HDEVNOTIFY WINAPI recordRegistration(HANDLE recipient, LPVOID filter, DWORD flags) {
    ++g_registration.registered;
    g_registration.recipient = recipient;
    g_registration.filter = *static_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(filter);
    g_registration.flags = flags;
    return kRecordedNotification;
}

BOOL WINAPI recordUnregistration(HDEVNOTIFY notification) {
    g_registration.unregistered = notification;
    return TRUE;
}

class DeviceNotification : public ::testing::Test {
protected:
    void TearDown() override {
        while (deviceNotificationRegistrations() > 0) stopDeviceNotification();
    }
};

TEST_F(DeviceNotification, StartCreatesTheWindowAndRegisters) {
    EXPECT_TRUE(startDeviceNotification("LumetraUpdater"));
    HWND window = static_cast<HWND>(deviceNotificationWindow());
    ASSERT_NE(window, nullptr);
    char className[64] = {};
    GetClassNameA(window, className, sizeof className);
    EXPECT_STREQ(className, "VeltroMidiLibNotifyWindow");
    EXPECT_EQ(GetParent(window), nullptr);  // message-only windows have no visible parent
    EXPECT_EQ(deviceNotificationRegistrations(), 1);
}

TEST_F(DeviceNotification, TwoStartsAndOneStopTakeTheWindowDown) {
    ASSERT_TRUE(startDeviceNotification("a"));
    HWND window = static_cast<HWND>(deviceNotificationWindow());
    ASSERT_TRUE(startDeviceNotification("b"));
    EXPECT_EQ(deviceNotificationWindow(), window);  // nothing new was made
    EXPECT_EQ(deviceNotificationRegistrations(), 1);
    stopDeviceNotification();
    EXPECT_EQ(deviceNotificationWindow(), nullptr);
    EXPECT_FALSE(IsWindow(window));
    // A stop without a start finds nothing to take down.
    stopDeviceNotification();
    EXPECT_EQ(deviceNotificationRegistrations(), 0);
    // And the class can be registered again by a later start.
    EXPECT_TRUE(startDeviceNotification("c"));
}

// The filter is the documented one: device interfaces of the audio category, to a window.
TEST_F(DeviceNotification, WindowRegistersForAudioDeviceInterfaces) {
    const DeviceNotificationApi recording = {recordRegistration, recordUnregistration};
    const DeviceNotificationApi* previous = setDeviceNotificationApi(&recording);
    g_registration = Registration();
    ASSERT_TRUE(startDeviceNotification("LumetraUpdater"));
    EXPECT_EQ(g_registration.registered, 1);
    EXPECT_EQ(g_registration.recipient, deviceNotificationWindow());
    EXPECT_EQ(g_registration.flags, static_cast<DWORD>(DEVICE_NOTIFY_WINDOW_HANDLE));
    EXPECT_EQ(g_registration.filter.dbcc_size, sizeof(DEV_BROADCAST_DEVICEINTERFACE_A));
    EXPECT_EQ(g_registration.filter.dbcc_devicetype, static_cast<DWORD>(DBT_DEVTYP_DEVICEINTERFACE));
    const GUID audio = {STATIC_KSCATEGORY_AUDIO};
    EXPECT_TRUE(IsEqualGUID(g_registration.filter.dbcc_classguid, audio));
    stopDeviceNotification();
    EXPECT_EQ(g_registration.unregistered, kRecordedNotification);
    setDeviceNotificationApi(previous);
}

TEST_F(DeviceNotification, ArrivalsAndRemovalsReachListenersInOrder) {
    std::vector<int> order;
    CountingListener first(&order, 1), second(&order, 2);
    ASSERT_TRUE(startDeviceNotification("LumetraUpdater"));
    registerDeviceChangeListener(&first);
    registerDeviceChangeListener(&second);
    const unsigned removals = deviceRemovalCount();
    broadcast(DBT_DEVICEARRIVAL);
    broadcast(DBT_DEVICEREMOVECOMPLETE);
    broadcast(DBT_DEVNODES_CHANGED);  // not passed on
    broadcast(0x1234);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 1, 2}));
    // Only the removal is counted, for the update to look at its port again.
    EXPECT_EQ(deviceRemovalCount(), removals + 1);
    unregisterDeviceChangeListener(&first);
    broadcast(DBT_DEVICEARRIVAL);
    EXPECT_EQ(first.calls, 2);
    EXPECT_EQ(second.calls, 3);
    unregisterDeviceChangeListener(&second);
}

TEST_F(DeviceNotification, RegisteredListenersKeepTheWindowAlive) {
    CountingListener listener;
    ASSERT_TRUE(startDeviceNotification("x"));
    registerDeviceChangeListener(&listener);
    stopDeviceNotification();  // the anonymous entry goes, the listener stays
    ASSERT_NE(deviceNotificationWindow(), nullptr);
    broadcast(DBT_DEVICEARRIVAL);
    EXPECT_EQ(listener.calls, 1);
    unregisterDeviceChangeListener(&listener);
    ASSERT_TRUE(startDeviceNotification("x"));
}

TEST_F(DeviceNotification, ThrowingListenerEndsTheWalkButNotTheWindow) {
    CountingListener before, after;
    ThrowingListener thrower;
    ASSERT_TRUE(startDeviceNotification("LumetraUpdater"));
    registerDeviceChangeListener(&before);
    registerDeviceChangeListener(&thrower);
    registerDeviceChangeListener(&after);
    broadcast(DBT_DEVICEARRIVAL);
    broadcast(DBT_DEVICEARRIVAL);
    EXPECT_EQ(before.calls, 2);
    EXPECT_EQ(thrower.calls, 2);
    EXPECT_EQ(after.calls, 0);
    EXPECT_TRUE(IsWindow(static_cast<HWND>(deviceNotificationWindow())));
    unregisterDeviceChangeListener(&before);
    unregisterDeviceChangeListener(&thrower);
    unregisterDeviceChangeListener(&after);
}

TEST_F(DeviceNotification, StopFromAnotherThreadForgetsTheWindow) {
    ASSERT_TRUE(startDeviceNotification("LumetraUpdater"));
    HWND window = static_cast<HWND>(deviceNotificationWindow());
    std::thread([] { stopDeviceNotification(); }).join();
    EXPECT_EQ(deviceNotificationWindow(), nullptr);
    EXPECT_TRUE(IsWindow(window));  // only its own thread can destroy it
    DestroyWindow(window);
}

}  // namespace
