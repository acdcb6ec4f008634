#include "midi/VeltroDeviceList.h"

#include <atomic>

namespace {
// Set on the main thread, read by the update worker.
std::atomic<VeltroDeviceList*> g_deviceManager{nullptr};
}  // namespace

VeltroDeviceList* deviceManager() { return g_deviceManager.load(); }

void setDeviceManager(VeltroDeviceList* manager) { g_deviceManager.store(manager); }
