#include <windows.h>

#include <atomic>
#include <cctype>
#include <cstring>

#include "device/ZephBinding.h"

namespace {

std::atomic<ZephDestroyFn> g_zephDestroy{nullptr};

const char kZephKey[] = "Software\\Veltro\\Zeph";

// Only a fully qualified path is loaded: a relative one would be searched for in the
// current and the program's folder, where a planted DLL may lie.
bool isAbsolutePath(const char* path) {
    if (std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' && (path[2] == '\\' || path[2] == '/'))
        return true;
    return path[0] == '\\' && path[1] == '\\' && path[2] != '\0';
}

HMODULE loadLibraryFrom(const char* path) {
    // The library's own DLLs beside it are found through its folder; the rest comes from
    // the system folder.
    HMODULE module = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module && GetLastError() == ERROR_INVALID_PARAMETER)  // a system without those flags
        module = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    return module;
}

}  // namespace

ZephDestroyFn zephDestroy() { return g_zephDestroy.load(); }

VeltroHiddenMIDI::Connection* bindConnection(VeltroHiddenMIDI::RebindCallback callback, void* context) {
    VeltroHiddenMIDI::Connection* dummy = &DummyConnection::instance();

    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kZephKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return dummy;
    char location[256];
    DWORD type = 0;
    DWORD size = sizeof location;
    LONG status = RegQueryValueExA(key, "Location", nullptr, &type, reinterpret_cast<BYTE*>(location), &size);
    RegCloseKey(key);
    // A string of at most 256 bytes with its terminator.
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) || size == 0 ||
        std::memchr(location, '\0', size) == nullptr)
        return dummy;
    // An expandable value ("%ProgramFiles%\...") is judged and loaded as it expands.
    char expanded[MAX_PATH];
    const char* path = location;
    if (type == REG_EXPAND_SZ) {
        DWORD needed = ExpandEnvironmentStringsA(location, expanded, sizeof expanded);
        if (needed == 0 || needed > sizeof expanded) return dummy;
        path = expanded;
    }
    if (!isAbsolutePath(path)) return dummy;

    HMODULE library = loadLibraryFrom(path);
    if (!library) return dummy;

    ZephGetVersionFn getVersion = reinterpret_cast<ZephGetVersionFn>(GetProcAddress(library, "ZEPHGetVersion"));
    ZephCreateFn create = reinterpret_cast<ZephCreateFn>(GetProcAddress(library, "ZEPHCreate"));
    ZephDestroyFn destroy = reinterpret_cast<ZephDestroyFn>(GetProcAddress(library, "ZEPHDestroy"));
    g_zephDestroy.store(destroy);
    if (!getVersion || !create || !destroy) return dummy;
    if (getVersion() != 1) return dummy;

    VeltroHiddenMIDI::Connection* connection = create(callback, context);
    return connection ? connection : dummy;
}
