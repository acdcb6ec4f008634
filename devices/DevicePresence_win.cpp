#include "devices/DevicePresence.h"

#include "ks/KsMidi.h"
#include "ks/KsOsApi.h"

bool devicePathOpens(const CKsMidiFilter* filter) {
    if (!filter) return false;
    HANDLE h = KsOs().CreateFileA(filter->GetDevicePath(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
    if (h == INVALID_HANDLE_VALUE || h == NULL) return false;
    KsOs().CloseHandle(h);
    return true;
}
