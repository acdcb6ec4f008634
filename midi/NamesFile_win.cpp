#include <windows.h>

#include "midi/NamesFile.h"
#include "support/Diagnostics.h"

namespace {

// A reader that holds the file without delete sharing (a virus scanner, an editor) refuses
// the replace for a moment; this long it is asked again before the entry is given up.
const int kReplaceTries = 10;
const DWORD kReplaceRetryMs = 50;
const DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                              FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The new table reaches the disk before it takes the old one's place: a power cut then
// leaves one whole table or the other, never an empty file.
bool flushToDisk(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const BOOL flushed = FlushFileBuffers(file);
    CloseHandle(file);
    return flushed != FALSE;
}

bool refusedForNow(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_UNABLE_TO_REMOVE_REPLACED || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT;
}

}  // namespace

bool NamesFile::isRegularFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// ReplaceFileA keeps what the user or an administrator set on the old file (its security
// descriptor, owner, attributes and streams); a move would give it the new file's.
bool NamesFile::replaceFile(const std::string& from, const std::string& to) {
    if (!flushToDisk(from)) {
        diagnosticPrint("NamesFile: %s could not be flushed (error %lu); the old table stays\n", from.c_str(),
                        GetLastError());
        return false;
    }
    DWORD error = 0;
    for (int attempt = 0; attempt < kReplaceTries; ++attempt) {
        if (attempt) Sleep(kReplaceRetryMs);
        if (!isRegularFile(to)) {
            // No old file: nothing to keep, and nothing may be overwritten that appears meanwhile.
            if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
        } else {
            const DWORD attributes = GetFileAttributesA(to.c_str()) & kKeptAttributes;
            if (ReplaceFileA(to.c_str(), from.c_str(), nullptr, 0, nullptr, nullptr)) {
                // Not every ReplaceFileA carries the attributes over (Wine's does not).
                if ((GetFileAttributesA(to.c_str()) & kKeptAttributes) != attributes)
                    SetFileAttributesA(to.c_str(), attributes ? attributes : FILE_ATTRIBUTE_NORMAL);
                return true;
            }
        }
        error = GetLastError();
        if (!refusedForNow(error) && error != ERROR_FILE_NOT_FOUND && error != ERROR_ALREADY_EXISTS) break;
    }
    diagnosticPrint("NamesFile: %s could not be replaced (error %lu); the new entry is not remembered\n", to.c_str(),
                    error);
    return false;
}

void NamesFile::removeFile(const std::string& path) { DeleteFileA(path.c_str()); }
