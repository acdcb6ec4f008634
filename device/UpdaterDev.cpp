#include "device/UpdaterDev.h"

#include "support/Diagnostics.h"

UpdaterDev::UpdaterDev() : BaseDevice("Lumetra", 30) { connectDevice(); }

// Runs with the ports held (at the end of a rebind), so it reads them without asking again.
void UpdaterDev::onConnectionChanged() {
    if (isConnectedWithPortsHeld()) {
        statusValue_.store(0);
        statusReceived_.store(false);
    } else {
        debugPrint("VOVirize:Device disconnected\n");
    }
}

void UpdaterDev::onStatus(int code, int, bool) {
    statusReceived_.store(true);
    statusValue_.store(static_cast<uint32_t>(code));
    debugPrint("VoVirize:Device received status\n");
}
