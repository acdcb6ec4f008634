#include <windows.h>

#include <new>

#include "device/FirmwareImage.h"

bool FirmwareImage::load(const char* path) {
    clear();  // a failed load leaves nothing of an earlier file behind
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;

    HANDLE file = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;

    bool ok = false;
    LARGE_INTEGER fileSize;
    // A size beyond 32 bits, or one that does not fit memory, is an invalid file.
    if (GetFileSizeEx(file, &fileSize) && fileSize.QuadPart >= 0 && fileSize.QuadPart <= 0xFFFFFFFFLL) {
        DWORD size = static_cast<DWORD>(fileSize.QuadPart);
        std::unique_ptr<uint8_t[]> bytes(size ? new (std::nothrow) uint8_t[size] : nullptr);
        if (size == 0 || bytes) {
            DWORD read = 0;
            if (size == 0 || (ReadFile(file, bytes.get(), size, &read, nullptr) && read == size)) {
                data_ = std::move(bytes);
                size_ = size;
                total_ = kProgressTotal;
                ok = true;
            }
        }
    }
    CloseHandle(file);
    return ok;
}
