// The firmware check flow: runs on the main thread inside WM_CREATE, with the modal loops
// of its boxes nested in it. Everything it creates lives to process exit, except the
// device manager, which the worker destroys.

#include <string>

#include "app/App.h"
#include "BuildVersion.h"
#include "app/Progress.h"
#include "app/UpdateLog.h"
#include "app/UpdateWorker.h"
#include "device/FirmwareImage.h"
#include "device/UpdateProtocol.h"
#include "device/UpdaterDev.h"
#include "devices/USBDeviceManager.h"
#include "midi/DeviceNotification.h"
#include "midi/VeltroDeviceList.h"
#include "support/Diagnostics.h"

namespace {

const char kConnectText[] =
    "Please connect your Lumetra, wait for the\n"
    "driver installation to complete, then press\n"
    "'OK' to do a firmware upgrade check.\n\n"
    "Pressing 'Cancel' will skip the upgrade.\n";

const char kConfirmText[] =
    "This installer includes " CARROWICK_FIRMWARE_VERSION " of the Lumetra firmware.\n\n"
    "If you wish to install this firmware, press 'Yes'. Otherwise press 'No'.\n"
    "Firmware updates improve the stability and performance of your synthesizer.\n"
    "Do you want to proceed?\n";

bool quitPending() {
    MSG message;
    return PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE) != FALSE;
}

}  // namespace

bool findInstrumentPort(UpdaterDev& device) {
    if (device.isConnected()) return true;
    return outputNamedLikeInstrumentExists();
}

bool UN_FW_Check(const char* path, HWND mainWindow) {
    startDeviceNotification("LumetraUpdater");
    // Names files lie in the current directory.
    setDeviceManager(new USBDeviceManager(""));
    UpdaterDev* device = new UpdaterDev();

    FirmwareImage* image = new FirmwareImage();
    if (!image->load(path)) {
        debugPrint("UN_FW_Check: invalid file: %s\n", path);
        return false;
    }
    image->setValid(true);
    beginUpdateLog(path, *image);

    while (!findInstrumentPort(*device)) {
        // A box that cannot be shown (0) ends the flow like Cancel: the loop would never end.
        updateLogLine("the instrument is not there: asking the user to connect it");
        int answer = MessageBoxA(nullptr, kConnectText, "Lumetra Firmware check", MB_OKCANCEL);
        updateLogLine("connect box: %s", answer == IDOK ? "OK" : "Cancel");
        // A quit posted while the box was up (Exit, or a result) closes the box with OK;
        // the program is ending with that quit's code, which must stand.
        if (quitPending()) return true;
        if (answer == IDCANCEL || answer == 0) return false;
        if (!device->isConnected())
            device->connectDevice();
        else
            device->requestDeviceStatus();
    }

    int answer = MessageBoxA(nullptr, kConfirmText, "Lumetra Update", MB_YESNO);
    updateLogLine("confirmation: %s", answer == IDYES ? "Yes" : "No");
    if (quitPending()) return true;
    if (answer != IDYES) return false;

    Progress* progress = new Progress();
    UpdateContext* context = new UpdateContext{image, progress, device, -1, mainWindow};
    return startUpdateWorker(context);
}
