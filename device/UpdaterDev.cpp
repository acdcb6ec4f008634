#include "device/UpdaterDev.h"

#include "device/UpdateProtocol.h"
#include "support/Diagnostics.h"

UpdaterDev::UpdaterDev() : BaseDevice(kInstrumentName, 30) { connectDevice(); }

// A status answer still being delivered calls onStatus: the input ends while it exists.
UpdaterDev::~UpdaterDev() { unbind(); }

// Runs with the ports held (at the end of a rebind), so it reads them without asking again.
// The status of a new connection was cleared before its request went out: a library that
// answers at once must not have its answer wiped here.
void UpdaterDev::onConnectionChanged() {
    if (!isConnectedWithPortsHeld()) debugPrint("VOVirize:Device disconnected\n");
}

void UpdaterDev::onStatusRequestDue() {
    if (!isConnectedWithPortsHeld()) return;
    statusValue_.store(0);
    statusReceived_.store(false);
}

// The flag is published last, so whoever sees it also sees the value and the line.
void UpdaterDev::onStatus(int code, int, bool) {
    statusValue_.store(static_cast<uint32_t>(code));
    debugPrint("VoVirize:Device received status\n");
    statusReceived_.store(true);
}
