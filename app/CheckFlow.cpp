// The firmware check flow: runs on the main thread inside WM_CREATE.

#include "app/App.h"
#include "device/FirmwareImage.h"
#include "support/Diagnostics.h"

bool UN_FW_Check(const char* path, HWND) {
    FirmwareImage* image = new FirmwareImage();  // lives to process exit, as the worker uses it
    if (!image->load(path)) {
        debugPrint("UN_FW_Check: invalid file: %s\n", path);
        delete image;
        return false;
    }
    image->setValid(true);
    // The search for the instrument and the update come with the device protocol.
    return false;
}
